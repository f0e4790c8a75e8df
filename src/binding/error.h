// error.h — Error: a Python exception that has not been raised yet.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "binding/python.h"

namespace tesk::binding {

/// Returns a borrowed exception type object (such as PyExc_TypeError).
using TypeGetter = PyObject* (*)();

/// Produces the exception's argument at most once: a str, or a 1-tuple of a str, of
/// either a static or an owned text.
class ArgumentMaker {
public:
    enum class Shape : unsigned char { text, one_tuple };

    ArgumentMaker(std::string_view static_text, Shape shape) noexcept
        : static_text_(static_text), shape_(shape) {}
    ArgumentMaker(std::string owned_text, Shape shape) noexcept
        : owned_text_(std::move(owned_text)), owned_(true), shape_(shape) {}

    /// A new reference to the argument object; consumes the maker's text.
    PyObject* make();

private:
    std::string_view static_text_;
    std::string owned_text_;
    bool owned_ = false;
    Shape shape_;
};

/// Move-only. Dropping it releases what it holds through safe release.
class Error {
public:
    /// Lazy error: no interpreter call until it is raised or inspected.
    static Error lazy(TypeGetter type, std::string_view static_text);
    static Error lazy(TypeGetter type, std::string owned_text);
    /// Lazy error whose argument is a 1-tuple of the text.
    static Error lazy_tuple(TypeGetter type, std::string owned_text);

    static Error type_error(std::string_view static_text) {
        return lazy(&type_error_type, static_text);
    }
    static Error type_error(std::string owned_text) {
        return lazy(&type_error_type, std::move(owned_text));
    }
    static Error value_error(std::string_view static_text) {
        return lazy(&value_error_type, static_text);
    }
    static Error value_error(std::string owned_text) {
        return lazy(&value_error_type, std::move(owned_text));
    }
    static Error system_error(std::string_view static_text) {
        return lazy(&system_error_type, static_text);
    }

    /// The pending exception, or none. A pending pyo3_runtime.PanicException is
    /// resumed: printed, then continued as an internal failure.
    static std::optional<Error> take();
    /// take(), or SystemError "attempted to fetch exception but none was set".
    static Error fetch();
    /// From an exception instance or class; anything else gives the TypeError
    /// "exceptions must derive from BaseException".
    static Error from_object(PyObject* object);
    /// The pyo3_runtime.PanicException for an internal failure with this message.
    static Error from_failure(std::string message);
    /// The PanicException for a failure that carried no message.
    static Error from_unknown_failure();

    Error(Error&& other) noexcept;
    Error& operator=(Error&& other) noexcept;
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    ~Error();

    /// Sets the interpreter's error indicator; the references pass to the interpreter.
    void restore() &&;
    /// Creates the exception object if needed; borrowed results stay owned by the error.
    void normalize();
    PyObject* type();
    PyObject* value();
    /// PyErr_GivenExceptionMatches on the normalised type.
    bool matches(PyObject* exception_type);
    /// The exception's __cause__ as an error value, or none.
    std::optional<Error> cause();
    /// Sets __cause__ (and so __suppress_context__) of the normalised exception.
    void set_cause(std::optional<Error> cause);
    /// Prints like an uncaught exception; the error value is kept.
    void print();
    /// "PyErr { type: T, value: V, traceback: B }", for failure messages.
    std::string render();

private:
    enum class State : unsigned char { lazy, lazy_value, raw, normalized, normalizing, moved };
    struct Triple {
        PyObject* type;
        PyObject* value;
        PyObject* traceback;
    };

    /// What an error holds lives on the heap: an Error is one pointer wide, so that the
    /// results of conversions that run Python code keep the frames of every level of a
    /// recursion through an argument's callbacks small.
    struct Fields {
        State state = State::moved;
        TypeGetter getter = nullptr;
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        std::optional<ArgumentMaker> maker;
    };

    Error() : fields_(std::make_unique<Fields>()) {}
    static PyObject* type_error_type();
    static PyObject* value_error_type();
    static PyObject* system_error_type();
    Triple into_triple();
    void release() noexcept;

    std::unique_ptr<Fields> fields_;
};

/// The pyo3_runtime.PanicException type (borrowed), created on first use.
PyObject* panic_type();

} // namespace tesk::binding
