// parameter_kinds.h — the parameter kinds: each one's whole rule, from argument to body.
#pragma once

#include <cstdint>

#include "array/array_check.h"
#include "array/view.h"
#include "binding/convert.h"
#include "binding/result.h"
#include "runtime/float64_view.h"

namespace tesk::entry {

/// A parameter kind says, for the arguments of its parameters:
///   Converted           what an argument converts to;
///   convert(object)     how, as a Result: an error is rewritten with the parameter's name;
///   may_run_code(o)     whether converting `o` may have run Python code (__float__,
///                       __index__, or more) that could have changed an array converted
///                       before it;
///   is_array            whether it is a NumPy array, whose layout is read only after every
///                       conversion has run, and body_writes, whether the body writes it;
///   receive(converted)  what the body receives, alive while the body runs.
/// Adding a kind is adding one such type.

/// A float64 NumPy array, read in place: the body receives const Float64View&.
struct Float64Array {
    using Converted = PyArrayObject*; ///< borrowed from the call's arguments
    static constexpr bool is_array = true;
    static constexpr bool body_writes = false;

    static binding::Result<Converted> convert(PyObject* object) {
        return array::extract_float64_array(object);
    }
    /// The array check runs Python code where it imports NumPy, on the first call.
    static bool may_run_code(PyObject*) noexcept { return true; }
    static runtime::Float64View receive(Converted array) { return array::view_of(array); }
};

/// A writeable float64 NumPy array, written in place: the same, refused when read-only.
struct MutableFloat64Array : Float64Array {
    static constexpr bool body_writes = true;
};

/// float(object): the body receives a double.
struct Float64 {
    using Converted = double;
    static constexpr bool is_array = false;
    static constexpr bool body_writes = false;

    static binding::Result<Converted> convert(PyObject* object) { return binding::to_f64(object); }
    /// An exact float is read as it stands.
    static bool may_run_code(PyObject* object) noexcept { return !PyFloat_CheckExact(object); }
    static double receive(Converted value) noexcept { return value; }
};

/// operator.index(object) as an unsigned 64-bit size: the body receives a std::uint64_t.
struct IndexSize {
    using Converted = std::uint64_t;
    static constexpr bool is_array = false;
    static constexpr bool body_writes = false;

    static binding::Result<Converted> convert(PyObject* object) {
        return binding::to_index_size(object);
    }
    /// An exact int is read as it stands.
    static bool may_run_code(PyObject* object) noexcept { return !PyLong_CheckExact(object); }
    static std::uint64_t receive(Converted value) noexcept { return value; }
};

} // namespace tesk::entry
