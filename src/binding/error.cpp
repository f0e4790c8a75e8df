// error.cpp — error values: make, fetch, restore, normalise, inspect, render.
#include "binding/error.h"

#include <cstdio>

#include "binding/call_frame.h"
#include "binding/convert.h"
#include "runtime/failure.h"

namespace tesk::binding {
namespace {

constexpr std::string_view not_an_exception = "exceptions must derive from BaseException";

constexpr char panic_type_name[] = "pyo3_runtime.PanicException";
constexpr char panic_type_doc[] =
    "\n"
    "The exception raised when native code of the tesk module, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

/// Written only under the interpreter lock; one reference, never released.
PyObject* panic_type_cell = nullptr;

bool is_exception_class(PyObject* object) {
    return PyType_Check(object) != 0 &&
           PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(object),
                               Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

PyObject* builtin_exception(PyObject* type) { return require_new(type); }

} // namespace

PyObject* ArgumentMaker::make() {
    std::string_view text = owned_ ? std::string_view(owned_text_) : static_text_;
    PyObject* str = require_new(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    owned_text_ = std::string();
    if (shape_ == Shape::text) {
        return str;
    }
    PyObject* tuple = PyTuple_New(1);
    if (tuple == nullptr) {
        Py_DECREF(str);
        require_new(tuple);
    }
    PyTuple_SET_ITEM(tuple, 0, str);
    return tuple;
}

PyObject* panic_type() {
    if (panic_type_cell != nullptr) {
        return panic_type_cell;
    }
    PyObject* base = require_new(PyExc_BaseException);
    PyObject* type = PyErr_NewExceptionWithDoc(panic_type_name, panic_type_doc, base, nullptr);
    if (type == nullptr) {
        runtime::fail("Failed to initialize new exception type.", Error::fetch().render());
    }
    // Creating the type may run Python code; keep whichever type was stored first.
    if (panic_type_cell != nullptr) {
        Py_DECREF(type);
    } else {
        panic_type_cell = type;
    }
    return panic_type_cell;
}

PyObject* Error::type_error_type() { return builtin_exception(PyExc_TypeError); }
PyObject* Error::value_error_type() { return builtin_exception(PyExc_ValueError); }
PyObject* Error::system_error_type() { return builtin_exception(PyExc_SystemError); }

Error Error::lazy(TypeGetter type, std::string_view static_text) {
    Error error;
    error.state_ = State::lazy;
    error.getter_ = type;
    error.maker_.emplace(static_text, ArgumentMaker::Shape::text);
    return error;
}

Error Error::lazy(TypeGetter type, std::string owned_text) {
    Error error;
    error.state_ = State::lazy;
    error.getter_ = type;
    error.maker_.emplace(std::move(owned_text), ArgumentMaker::Shape::text);
    return error;
}

Error Error::lazy_tuple(TypeGetter type, std::string owned_text) {
    Error error;
    error.state_ = State::lazy;
    error.getter_ = type;
    error.maker_.emplace(std::move(owned_text), ArgumentMaker::Shape::one_tuple);
    return error;
}

Error Error::memory_error() {
    Error error;
    error.state_ = State::raw;
    error.type_ = require_new(PyExc_MemoryError);
    Py_INCREF(error.type_);
    return error;
}

std::optional<Error> Error::take() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return std::nullopt;
    }
    PyObject* panic;
    try {
        panic = panic_type();
    } catch (...) {
        Py_DECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        throw;
    }
    if (type == panic) {
        // A panic raised by Python code that the module called: print it and carry
        // it on as an internal failure of the current call.
        std::string message = "Unwrapped panic from Python code";
        if (value != nullptr && PyUnicode_Check(value)) {
            Result<std::string> text = to_utf8_owned(value);
            if (text.ok()) {
                message = std::move(text).value();
            }
        }
        std::fputs("--- A PanicException was fetched from Python; resuming it as a failure of "
                   "the current call ---\n"
                   "Python stack trace below:\n",
                   stderr);
        std::fflush(stderr);
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
        runtime::resume(std::move(message));
    }
    Error error;
    error.state_ = State::raw;
    error.type_ = type;
    error.value_ = value;
    error.traceback_ = traceback;
    return error;
}

Error Error::fetch() {
    if (std::optional<Error> error = take()) {
        return std::move(*error);
    }
    return system_error("attempted to fetch exception but none was set");
}

Error Error::from_object(PyObject* object) {
    Error error;
    if (PyExceptionInstance_Check(object)) {
        error.state_ = State::normalized;
        error.type_ = reinterpret_cast<PyObject*>(Py_TYPE(object));
        error.value_ = object;
        Py_INCREF(error.type_);
        Py_INCREF(error.value_);
    } else if (is_exception_class(object)) {
        error.state_ = State::raw;
        error.type_ = object;
        Py_INCREF(object);
    } else {
        error.state_ = State::lazy_value;
        error.type_ = type_error_type();
        Py_INCREF(error.type_);
        error.maker_.emplace(not_an_exception, ArgumentMaker::Shape::text);
    }
    return error;
}

Error Error::from_failure(std::string message) { return lazy_tuple(&panic_type, std::move(message)); }

Error Error::from_unknown_failure() {
    Error error;
    error.state_ = State::lazy;
    error.getter_ = &panic_type;
    error.maker_.emplace(std::string_view("native code of tesk failed without a message"),
                         ArgumentMaker::Shape::one_tuple);
    return error;
}

Error::Error(Error&& other) noexcept
    : state_(other.state_), getter_(other.getter_), type_(other.type_), value_(other.value_),
      traceback_(other.traceback_), maker_(std::move(other.maker_)) {
    other.state_ = State::moved;
    other.type_ = other.value_ = other.traceback_ = nullptr;
    other.maker_.reset();
}

Error& Error::operator=(Error&& other) noexcept {
    if (this != &other) {
        release();
        state_ = other.state_;
        getter_ = other.getter_;
        type_ = other.type_;
        value_ = other.value_;
        traceback_ = other.traceback_;
        maker_ = std::move(other.maker_);
        other.state_ = State::moved;
        other.type_ = other.value_ = other.traceback_ = nullptr;
        other.maker_.reset();
    }
    return *this;
}

Error::~Error() { release(); }

void Error::release() noexcept {
    for (PyObject* object : {type_, value_, traceback_}) {
        if (object != nullptr) {
            safe_release(object);
        }
    }
    type_ = value_ = traceback_ = nullptr;
    maker_.reset();
    state_ = State::moved;
}

Error::Triple Error::into_triple() {
    if (state_ == State::lazy) {
        PyObject* type = getter_();
        if (!is_exception_class(type)) {
            // The replaced argument maker never runs.
            state_ = State::lazy_value;
            type_ = type_error_type();
            Py_INCREF(type_);
            maker_.emplace(not_an_exception, ArgumentMaker::Shape::text);
        } else {
            Py_INCREF(type);
            Triple triple{type, nullptr, nullptr};
            try {
                triple.value = maker_->make();
            } catch (...) {
                Py_DECREF(type);
                throw;
            }
            maker_.reset();
            state_ = State::moved;
            return triple;
        }
    }
    if (state_ == State::lazy_value) {
        Triple triple{type_, maker_->make(), nullptr};
        type_ = nullptr;
        maker_.reset();
        state_ = State::moved;
        return triple;
    }
    Triple triple{type_, value_, traceback_};
    type_ = value_ = traceback_ = nullptr;
    state_ = State::moved;
    return triple;
}

void Error::restore() && {
    if (state_ == State::normalizing) {
        runtime::fail("Cannot restore a PyErr while normalizing it");
    }
    Triple triple = into_triple();
    PyErr_Restore(triple.type, triple.value, triple.traceback);
}

void Error::normalize() {
    if (state_ == State::normalized) {
        return;
    }
    if (state_ == State::normalizing) {
        runtime::fail("Cannot normalize a PyErr while already normalizing it.");
    }
    Triple triple = into_triple();
    state_ = State::normalizing;
    PyErr_NormalizeException(&triple.type, &triple.value, &triple.traceback);
    if (triple.type == nullptr || triple.value == nullptr) {
        Py_XDECREF(triple.type);
        Py_XDECREF(triple.value);
        Py_XDECREF(triple.traceback);
        state_ = State::moved;
        runtime::fail(triple.type == nullptr ? "Exception type missing" : "Exception value missing");
    }
    type_ = triple.type;
    value_ = triple.value;
    traceback_ = triple.traceback;
    state_ = State::normalized;
}

PyObject* Error::type() {
    normalize();
    return type_;
}

PyObject* Error::value() {
    normalize();
    return value_;
}

PyObject* Error::traceback() {
    normalize();
    return traceback_;
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

void Error::print() {
    normalize();
    safe_incref(type_);
    safe_incref(value_);
    if (traceback_ != nullptr) {
        safe_incref(traceback_);
    }
    PyErr_Restore(type_, value_, traceback_);
    PyErr_PrintEx(0);
}

std::string Error::render() {
    std::optional<LockGuard> guard;
    if (!lock_held()) {
        guard.emplace();
    }
    normalize();
    auto repr = [](PyObject* object) {
        PyObject* text = PyObject_Repr(object);
        if (text == nullptr) {
            PyErr_Clear();
            return std::string("<unrepresentable object>");
        }
        return lossy_utf8(register_new(text));
    };
    std::string rendering = "PyErr { type: " + repr(type_) + ", value: " + repr(value_) +
                            ", traceback: ";
    if (traceback_ == nullptr) {
        rendering += "None";
    } else {
        rendering += "Some(" + repr(traceback_) + ")";
    }
    rendering += " }";
    return rendering;
}

} // namespace tesk::binding
