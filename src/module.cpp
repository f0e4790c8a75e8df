// module.cpp — PyInit_tesk, the function table and introduction().
#include <string>
#include <string_view>

#include "binding/call_frame.h"
#include "binding/convert.h"
#include "binding/error.h"
#include "binding/owned_reference.h"
#include "binding/python.h"
#include "binding/result.h"
#include "binding/trap.h"
#include "entry/function_entry.h"
#include "entry/signature.h"
#include "entry/static_text.h"
#include "functions/eye.h"
#include "functions/max_min.h"
#include "functions/perturbation.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"
#include "runtime/utf8.h"

namespace tesk {
namespace {

using binding::Error;
using binding::Result;

constexpr std::string_view introduction_utf8 = contract_text::introduction;
static_assert(introduction_utf8.size() == 85);

// Decoded once, by the compiler: every call copies the characters into a new str.
constexpr entry::StaticUcs2Text<entry::utf8_character_count(introduction_utf8)>
    introduction_text(introduction_utf8);
static_assert(introduction_text.units.size() == 45);

entry::Ucs2Text introduction() noexcept {
    return introduction_text.text();
}

constexpr entry::Signature<> introduction_signature{"introduction", {}};
constexpr entry::Signature<entry::Float64Array> max_min_signature{"max_min", {"x"}};
constexpr entry::Signature<entry::MutableFloat64Array, entry::Float64> perturbation_signature{
    "double_and_random_perturbation", {"x", "perturbation_scaling"}};
constexpr entry::Signature<entry::IndexSize> eye_signature{"eye", {"size"}};

/// A METH_FASTCALL | METH_KEYWORDS entry as CPython stores it: in ml_meth, under the
/// generic function type.
PyCFunction method_entry(_PyCFunctionFastWithKeywords entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

constexpr int fast_call_with_keywords = METH_FASTCALL | METH_KEYWORDS;

// The order here is the order of publication and of __all__. Every function object keeps a
// pointer to its record, so the records are shared by every initialisation of the module
// and live as long as the process; nothing writes them. An empty doc leaves __doc__ None.
PyMethodDef method_records[] = {
    {"introduction", method_entry(&entry::function_entry<introduction_signature, &introduction>),
     fast_call_with_keywords, ""},
    {"max_min", method_entry(&entry::function_entry<max_min_signature, &functions::max_min>),
     fast_call_with_keywords, ""},
    {"double_and_random_perturbation",
     method_entry(&entry::function_entry<perturbation_signature,
                                         &functions::double_and_random_perturbation>),
     fast_call_with_keywords, ""},
    {"eye", method_entry(&entry::function_entry<eye_signature, &functions::eye>),
     fast_call_with_keywords, ""},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tesk",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

binding::FirstUseCell<> name_key_cell;
binding::FirstUseCell<> all_key_cell;

Result<PyObject*> create_function(PyMethodDef& record, PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) {
        return Error::fetch();
    }
    const std::string_view name_text(module_name);
    if (std::size_t offset = runtime::utf8_error_offset(name_text);
        offset != std::string_view::npos) {
        runtime::fail(contract_text::module_name_not_utf8,
                      contract_text::invalid_utf8_at_byte + std::to_string(offset));
    }
    PyObject* module_name_str = binding::str_from_text(name_text);
    PyObject* function = PyCMethod_New(&record, module, module_name_str, nullptr);
    if (function == nullptr) {
        return Error::fetch();
    }
    return binding::register_new(function);
}

Result<PyObject*> module_index(PyObject* module) {
    PyObject* key = binding::interned_name(all_key_cell, "__all__");
    PyObject* all = PyObject_GetAttr(module, key);
    if (all != nullptr) {
        binding::register_new(all);
        if (!PyList_Check(all)) {
            return binding::downcast_error(all, contract_text::list_target);
        }
        return all;
    }
    Error error = Error::fetch();
    if (!error.matches(PyExc_AttributeError)) {
        return error;
    }
    PyObject* list = binding::register_new(PyList_New(0));
    if (PyObject_SetAttr(module, key, list) < 0) {
        return Error::fetch();
    }
    return list;
}

Result<void> add_function(PyObject* module, PyObject* function) {
    PyObject* name_object =
        PyObject_GetAttr(function, binding::interned_name(name_key_cell, "__name__"));
    if (name_object == nullptr) {
        return Error::fetch();
    }
    Result<std::string_view> name = binding::to_utf8(binding::register_new(name_object));
    if (!name.ok()) {
        return name.take_error();
    }
    Result<PyObject*> all = module_index(module);
    if (!all.ok()) {
        return all.take_error();
    }
    if (PyList_Append(all.value(), binding::str_from_text(name.value())) < 0) {
        runtime::fail(contract_text::all_not_appended, Error::fetch().render());
    }
    Py_INCREF(function);
    const int status = PyObject_SetAttr(module, binding::str_from_text(name.value()), function);
    Py_DECREF(function);
    if (status < 0) {
        return Error::fetch();
    }
    return {};
}

Result<void> fill_module(PyObject* module) {
    for (PyMethodDef& record : method_records) {
        Result<PyObject*> function = create_function(record, module);
        if (!function.ok()) {
            return function.take_error();
        }
        Result<void> added = add_function(module, function.value());
        if (!added.ok()) {
            return added;
        }
    }
    return {};
}

Result<PyObject*> create_module() {
    binding::OwnedReference module(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (module.get() == nullptr) {
        return Error::fetch();
    }
    Result<void> filled = fill_module(module.get());
    if (!filled.ok()) {
        return filled.take_error();
    }
    return module.release();
}

} // namespace
} // namespace tesk

PyMODINIT_FUNC PyInit_tesk() {
    // The module's types, first-use objects and generators are one per process, and
    // objects of one interpreter must not be used in another: every interpreter but the
    // main one is refused, before anything is created. A module of single-phase
    // initialisation whose state size is not -1 has this function called again by every
    // interpreter that imports it, so the check runs for each.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, tesk::contract_text::subinterpreters_refused);
        return nullptr;
    }
    return tesk::binding::run_in_frame(&tesk::create_module);
}
