// error.h — Error: a Python exception that has not been raised yet.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "binding/python.h"

namespace tesk::binding {

/// Returns a borrowed exception type object (such as PyExc_TypeError).
using TypeGetter = PyObject* (*)();

/// The text of an exception's argument: a constant, or one made for this error.
using MessageText = std::variant<std::string_view, std::string>;

/// Produces the exception's argument at most once: a str, or a 1-tuple of a str.
class ArgumentMaker {
public:
    enum class Shape : unsigned char { text, one_tuple };

    ArgumentMaker(MessageText text, Shape shape) noexcept : text_(std::move(text)), shape_(shape) {}

    /// A new reference to the argument object; consumes the maker's text.
    PyObject* make();

private:
    MessageText text_;
    Shape shape_;
};

/// Move-only. Dropping it releases what it holds through safe release.
class Error {
public:
    /// Lazy error: no interpreter call until it is raised or inspected.
    static Error lazy(TypeGetter type, MessageText text,
                      ArgumentMaker::Shape shape = ArgumentMaker::Shape::text);
    static Error type_error(MessageText text) { return lazy(&type_error_type, std::move(text)); }
    static Error value_error(MessageText text) { return lazy(&value_error_type, std::move(text)); }
    static Error system_error(MessageText text) {
        return lazy(&system_error_type, std::move(text));
    }

    /// The pending exception, or none. A pending pyo3_runtime.PanicException is
    /// resumed: printed, then continued as an internal failure.
    static std::optional<Error> fetch_if_set();
    /// fetch_if_set(), or SystemError "attempted to fetch exception but none was set".
    static Error fetch();
    /// From an exception instance or class; anything else gives the TypeError
    /// "exceptions must derive from BaseException". A __cause__ set from C code, which
    /// the interpreter does not check, can be any of the three.
    static Error from_object(PyObject* object);
    /// The pyo3_runtime.PanicException of an internal failure: its message as the one
    /// argument, or a generic text for a failure that carried none (null).
    static Error from_failure(const std::string* message);

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
    /// "PyErr { type: T, value: V, traceback: B }", for failure messages; inside a call.
    std::string render();

private:
    enum class State : unsigned char { lazy, raw, normalized, moved };
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
