// error.cpp — error values: make, fetch, restore, normalise, inspect, render.
#include "binding/error.h"

#include <cstdio>

#include "binding/call_frame.h"
#include "binding/convert.h"
#include "binding/first_use_cell.h"
#include "binding/owned_reference.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"

namespace tesk::binding {
namespace {

FirstUseCell<> panic_type_cell;

bool is_exception_class(PyObject* object) {
    return PyType_Check(object) != 0 && PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(object),
                                                            Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

} // namespace

PyObject* ArgumentMaker::make() {
    const std::string_view text =
        std::visit([](const auto& held) { return std::string_view(held); }, text_);
    PyObject* str = require_non_null(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    text_ = std::string_view();
    if (shape_ == Shape::text) {
        return str;
    }
    PyObject* tuple = PyTuple_New(1);
    if (tuple == nullptr) {
        Py_DECREF(str);
        fail_python_api_call();
    }
    PyTuple_SET_ITEM(tuple, 0, str);
    return tuple;
}

PyObject* panic_type() {
    return panic_type_cell.get([] {
        PyObject* type =
            PyErr_NewExceptionWithDoc(contract_text::panic_type_name, contract_text::panic_type_doc,
                                      PyExc_BaseException, nullptr);
        if (type == nullptr) {
            runtime::fail(contract_text::panic_type_failed, Error::fetch().render());
        }
        return type;
    });
}

PyObject* Error::type_error_type() {
    return PyExc_TypeError;
}
PyObject* Error::value_error_type() {
    return PyExc_ValueError;
}
PyObject* Error::system_error_type() {
    return PyExc_SystemError;
}

Error Error::lazy(TypeGetter type, MessageText text, ArgumentMaker::Shape shape) {
    Error error;
    error.fields_->state = State::lazy;
    error.fields_->getter = type;
    error.fields_->maker.emplace(std::move(text), shape);
    return error;
}

std::optional<Error> Error::fetch_if_set() {
    Error error;
    PyErr_Fetch(&error.fields_->type, &error.fields_->value, &error.fields_->traceback);
    if (error.fields_->type == nullptr) {
        return std::nullopt;
    }
    error.fields_->state = State::raw;
    if (error.fields_->type == panic_type()) {
        // A panic raised by Python code that the module called: print it and carry
        // it on as an internal failure of the current call.
        std::string message = contract_text::unwrapped_panic;
        if (error.fields_->value != nullptr && PyUnicode_Check(error.fields_->value)) {
            Result<std::string> text = to_utf8_owned(error.fields_->value);
            if (text.ok()) {
                message = std::move(text).value();
            }
        }
        std::fputs(contract_text::panic_resumed_notice, stderr);
        std::fflush(stderr);
        const Triple triple = error.into_triple();
        PyErr_Restore(triple.type, triple.value, triple.traceback);
        PyErr_PrintEx(0);
        runtime::resume(std::move(message));
    }
    return error;
}

Error Error::fetch() {
    if (std::optional<Error> error = fetch_if_set()) {
        return std::move(*error);
    }
    return system_error(std::string_view(contract_text::nothing_to_fetch));
}

Error Error::from_object(PyObject* object) {
    Error error;
    if (PyExceptionInstance_Check(object)) {
        error.fields_->state = State::normalized;
        error.fields_->type = reinterpret_cast<PyObject*>(Py_TYPE(object));
        error.fields_->value = object;
        Py_INCREF(error.fields_->type);
        Py_INCREF(error.fields_->value);
    } else if (is_exception_class(object)) {
        error.fields_->state = State::raw;
        error.fields_->type = object;
        Py_INCREF(object);
    } else {
        return type_error(std::string_view(contract_text::not_an_exception));
    }
    return error;
}

Error Error::from_failure(const std::string* message) {
    constexpr std::string_view generic = contract_text::failure_without_message;
    return lazy(&panic_type, message != nullptr ? MessageText(*message) : MessageText(generic),
                ArgumentMaker::Shape::one_tuple);
}

Error::Error(Error&& other) noexcept = default;

Error& Error::operator=(Error&& other) noexcept {
    if (this != &other) {
        release();
        fields_ = std::move(other.fields_);
    }
    return *this;
}

Error::~Error() {
    release();
}

void Error::release() noexcept {
    if (fields_ == nullptr) {
        return;
    }
    for (PyObject* object : {fields_->type, fields_->value, fields_->traceback}) {
        if (object != nullptr) {
            safe_release(object);
        }
    }
    fields_.reset();
}

Error::Triple Error::into_triple() {
    if (fields_->state == State::lazy) {
        // Every getter gives an exception class, one of the interpreter's or panic_type.
        PyObject* type = fields_->getter();
        Py_INCREF(type);
        OwnedReference held_type(type);
        PyObject* value = fields_->maker->make();
        fields_->maker.reset();
        fields_->state = State::moved;
        return Triple{held_type.release(), value, nullptr};
    }
    Triple triple{fields_->type, fields_->value, fields_->traceback};
    fields_->type = fields_->value = fields_->traceback = nullptr;
    fields_->state = State::moved;
    return triple;
}

void Error::restore() && {
    Triple triple = into_triple();
    PyErr_Restore(triple.type, triple.value, triple.traceback);
}

void Error::normalize() {
    if (fields_->state == State::normalized) {
        return;
    }
    Triple triple = into_triple();
    PyErr_NormalizeException(&triple.type, &triple.value, &triple.traceback);
    if (triple.type == nullptr || triple.value == nullptr) {
        Py_XDECREF(triple.type);
        Py_XDECREF(triple.value);
        Py_XDECREF(triple.traceback);
        fields_->state = State::moved;
        runtime::fail(triple.type == nullptr ? contract_text::exception_type_missing
                                             : contract_text::exception_value_missing);
    }
    fields_->type = triple.type;
    fields_->value = triple.value;
    fields_->traceback = triple.traceback;
    fields_->state = State::normalized;
}

PyObject* Error::type() {
    normalize();
    return fields_->type;
}

PyObject* Error::value() {
    normalize();
    return fields_->value;
}

bool Error::matches(PyObject* exception_type) {
    return PyErr_GivenExceptionMatches(type(), exception_type) != 0;
}

std::optional<Error> Error::cause() {
    PyObject* cause = PyException_GetCause(value());
    if (cause == nullptr) {
        return std::nullopt;
    }
    return from_object(register_new(cause));
}

void Error::set_cause(std::optional<Error> cause) {
    PyObject* exception = value();
    PyObject* cause_value = nullptr;
    if (cause.has_value()) {
        cause_value = cause->value();
        Py_INCREF(cause_value);
    }
    PyException_SetCause(exception, cause_value);
}

std::string Error::render() {
    normalize();
    auto repr = [](PyObject* object) {
        PyObject* text = PyObject_Repr(object);
        if (text == nullptr) {
            PyErr_Clear();
            return std::string(contract_text::unrepresentable_object);
        }
        return lossy_utf8(register_new(text));
    };
    using namespace contract_text;
    std::string rendering = rendering_type + repr(fields_->type) + rendering_value +
                            repr(fields_->value) + rendering_traceback;
    if (fields_->traceback == nullptr) {
        rendering += rendering_no_traceback;
    } else {
        rendering += rendering_some + repr(fields_->traceback) + rendering_some_end;
    }
    rendering += rendering_end;
    return rendering;
}

} // namespace tesk::binding
