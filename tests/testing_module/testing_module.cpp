// testing_module.cpp — _tesk_testing: hooks into the call frame for the tests only.
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/arguments.h"
#include "binding/call_frame.h"
#include "binding/convert.h"
#include "binding/trap.h"
#include "binding/error.h"
#include "binding/python.h"
#include "functions/max_min_kernel.h"
#include "functions/perturb_kernel.h"
#include "random/bulk_form.h"
#include "runtime/failure.h"

namespace {

using tesk::binding::Error;
using tesk::binding::Result;

/// Registers `count` new references to `object`, then returns what `callback()` returns.
PyObject* hold_and_call(PyObject*, PyObject* args) {
    return tesk::binding::run_in_frame([&]() -> Result<PyObject*> {
        PyObject* object;
        Py_ssize_t count;
        PyObject* callback;
        if (PyArg_ParseTuple(args, "OnO", &object, &count, &callback) == 0) {
            return Error::fetch();
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_INCREF(object);
            tesk::binding::register_new(object);
        }
        PyObject* result = PyObject_CallNoArgs(callback);
        if (result == nullptr) {
            return Error::fetch();
        }
        return result;
    });
}

/// Registers `count` new references to `object`, then stops with an internal failure.
PyObject* fail_holding(PyObject*, PyObject* args) {
    return tesk::binding::run_in_frame([&]() -> Result<PyObject*> {
        PyObject* object;
        Py_ssize_t count;
        const char* message;
        if (PyArg_ParseTuple(args, "Ons", &object, &count, &message) == 0) {
            return Error::fetch();
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_INCREF(object);
            tesk::binding::register_new(object);
        }
        tesk::runtime::fail(message);
    });
}

PyObject* raise_bad_alloc(PyObject*, PyObject*) {
    return tesk::binding::run_in_frame([]() -> Result<PyObject*> { throw std::bad_alloc(); });
}

PyObject* raise_foreign(PyObject*, PyObject*) {
    return tesk::binding::run_in_frame([]() -> Result<PyObject*> { throw 42; });
}

PyObject* raise_from_object(PyObject*, PyObject* object) {
    return tesk::binding::run_in_frame(
        [&]() -> Result<PyObject*> { return Error::from_object(object); });
}

PyObject* raise_fetch_with_nothing_pending(PyObject*, PyObject*) {
    return tesk::binding::run_in_frame([]() -> Result<PyObject*> { return Error::fetch(); });
}

/// Raises the argument-error rewrite of `exception` for parameter `name`.
PyObject* raise_rewritten(PyObject*, PyObject* args) {
    return tesk::binding::run_in_frame([&]() -> Result<PyObject*> {
        const char* name;
        PyObject* exception;
        if (PyArg_ParseTuple(args, "sO", &name, &exception) == 0) {
            return Error::fetch();
        }
        return tesk::binding::rewrite_argument_error(name, Error::from_object(exception));
    });
}

PyObject* lossy_text(PyObject*, PyObject* str) {
    return tesk::binding::run_in_frame([&]() -> Result<PyObject*> {
        const std::string text = tesk::binding::lossy_utf8(str);
        return tesk::binding::require_non_null(
            PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyObject* raise_downcast(PyObject*, PyObject* args) {
    return tesk::binding::run_in_frame([&]() -> Result<PyObject*> {
        PyObject* object;
        const char* target;
        if (PyArg_ParseTuple(args, "Os", &object, &target) == 0) {
            return Error::fetch();
        }
        return tesk::binding::downcast_error(object, target);
    });
}

PyObject* index_size(PyObject*, PyObject* object) {
    return tesk::binding::run_in_frame([&]() -> Result<PyObject*> {
        Result<std::uint64_t> value = tesk::binding::to_index_size(object);
        if (!value.ok()) {
            return value.take_error();
        }
        return tesk::binding::require_non_null(PyLong_FromUnsignedLongLong(value.value()));
    });
}

PyObject* to_float(PyObject*, PyObject* object) {
    return tesk::binding::run_in_frame([&]() -> Result<PyObject*> {
        Result<double> value = tesk::binding::to_f64(object);
        if (!value.ok()) {
            return value.take_error();
        }
        return tesk::binding::require_non_null(PyFloat_FromDouble(value.value()));
    });
}

/// Calls `function` through vectorcall with the keyword-name tuple exactly as given,
/// which lets a test pass names that Python syntax cannot (non-str names).
PyObject* call_with_kwnames(PyObject*, PyObject* args) {
    PyObject* function;
    PyObject* positional;
    PyObject* kwnames;
    PyObject* values;
    if (PyArg_ParseTuple(args, "OO!O!O!", &function, &PyTuple_Type, &positional, &PyTuple_Type,
                         &kwnames, &PyTuple_Type, &values) == 0) {
        return nullptr;
    }
    std::vector<PyObject*> vector;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(positional); ++i) {
        vector.push_back(PyTuple_GET_ITEM(positional, i));
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values); ++i) {
        vector.push_back(PyTuple_GET_ITEM(values, i));
    }
    return PyObject_Vectorcall(function, vector.data(),
                               static_cast<std::size_t>(PyTuple_GET_SIZE(positional)), kwnames);
}

/// The forms this module's copy of the code chose: {"chacha": ..., "extremes": ...,
/// "perturb": ...}, each the name of a form.
/// The name under which a production table lists the chosen form.
template <typename Form>
std::string_view form_name(std::span<const Form> forms, decltype(Form::function) chosen) {
    for (const Form& form : forms) {
        if (form.function == chosen) {
            return form.name;
        }
    }
    return "unlisted";
}

PyObject* chosen_forms(PyObject*, PyObject*) {
    namespace functions = tesk::functions;
    const std::string_view names[] = {
        tesk::random::bulk_chacha_form().name,
        form_name(functions::fold_forms(), functions::fold_contiguous_form()),
        form_name(functions::perturb_forms(), functions::perturb_contiguous_form()),
        functions::perturb_keystream_form() == nullptr
            ? "separate"
            : form_name(functions::perturb_keystream_forms(), functions::perturb_keystream_form()),
    };
    const auto length = [](std::string_view name) { return static_cast<Py_ssize_t>(name.size()); };
    return Py_BuildValue("{s:s#,s:s#,s:s#,s:s#}", "chacha", names[0].data(), length(names[0]),
                         "extremes", names[1].data(), length(names[1]), "perturb",
                         names[2].data(), length(names[2]), "fused", names[3].data(),
                         length(names[3]));
}

PyMethodDef testing_methods[] = {
    {"chosen_forms", chosen_forms, METH_NOARGS, nullptr},
    {"call_with_kwnames", call_with_kwnames, METH_VARARGS, nullptr},
    {"hold_and_call", hold_and_call, METH_VARARGS, nullptr},
    {"fail_holding", fail_holding, METH_VARARGS, nullptr},
    {"raise_bad_alloc", raise_bad_alloc, METH_NOARGS, nullptr},
    {"raise_foreign", raise_foreign, METH_NOARGS, nullptr},
    {"raise_from_object", raise_from_object, METH_O, nullptr},
    {"raise_fetch_with_nothing_pending", raise_fetch_with_nothing_pending, METH_NOARGS, nullptr},
    {"raise_rewritten", raise_rewritten, METH_VARARGS, nullptr},
    {"lossy_text", lossy_text, METH_O, nullptr},
    {"raise_downcast", raise_downcast, METH_VARARGS, nullptr},
    {"index_size", index_size, METH_O, nullptr},
    {"to_float", to_float, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef testing_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_tesk_testing",
    .m_doc = "Hooks into tesk's call machinery, built for the tests only.",
    .m_size = 0,
    .m_methods = testing_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__tesk_testing() { return PyModule_Create(&testing_definition); }
