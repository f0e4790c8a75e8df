// parameters.h — from argument objects to the values a body takes, over a signature's kinds.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "array/numpy_api.h"
#include "binding/arguments.h"
#include "binding/result.h"
#include "entry/parameter_kinds.h"
#include "entry/static_text.h"
#include "runtime/float64_buffer.h"

namespace tesk::entry {

/// The converted arguments of the kinds `Kinds`, one member each.
template <typename... Kinds> using ConvertedArguments = std::tuple<typename Kinds::Converted...>;

/// Converts one argument into `converted`; false, with the error rewritten with the
/// parameter's name in `error`, when the conversion fails. Inline, so that a function's
/// kinds choose their conversions at compile time.
template <typename Kind>
bool convert_argument(std::string_view name, PyObject* object, typename Kind::Converted& converted,
                      std::optional<binding::Error>& error) {
    binding::Result<typename Kind::Converted> result = Kind::convert(object);
    if (!result.ok()) [[unlikely]] {
        error.emplace(binding::rewrite_argument_error(name, result.take_error()));
        return false;
    }
    converted = result.value();
    return true;
}

/// Whether check_arrays has anything to do for these kinds: an array that a later
/// conversion may change, or one that the body writes.
template <typename... Kinds> constexpr bool has_array_checks() {
    constexpr std::array<bool, sizeof...(Kinds)> arrays{Kinds::is_array...};
    constexpr std::array<bool, sizeof...(Kinds)> written{Kinds::body_writes...};
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        if (written[i] || (arrays[i] && i + 1 < arrays.size())) {
            return true;
        }
    }
    return false;
}

/// The array check of the conversion again, with the same errors.
binding::Result<void> check_array_again(std::string_view name, PyObject* object);

/// ValueError "argument '<name>': assignment destination is read-only".
binding::Error read_only_error(std::string_view name);

/// The checks of one argument of kind `Kind` before the body; false, with `error` set,
/// when it is refused.
template <typename Kind>
bool check_array(bool again, std::string_view name, PyObject* object,
                 std::optional<binding::Error>& error) {
    if constexpr (Kind::is_array) {
        if (again) {
            if (binding::Result<void> checked = check_array_again(name, object); !checked.ok()) {
                error.emplace(checked.take_error());
                return false;
            }
        }
        // Writing through a read-only array could change memory that others rely on
        // being immutable (bytes objects under frombuffer), or fault on read-only pages.
        if (Kind::body_writes &&
            (array::fields_of(reinterpret_cast<PyArrayObject*>(object))->flags &
             NPY_ARRAY_WRITEABLE) == 0) {
            error.emplace(read_only_error(name));
            return false;
        }
    }
    return true;
}

/// Runs once every argument is converted, right before the body. A later conversion may
/// have run Python code (__float__, __index__) that changed an array checked earlier, so
/// such an array is checked again, with the same errors; then arrays the body writes are
/// refused when NumPy marks them read-only. Each function keeps only the tests its own
/// kinds need.
template <typename... Kinds, std::size_t... I>
std::optional<binding::Error> check_arrays(const std::array<std::string_view, sizeof...(I)>& names,
                                           const std::array<PyObject*, sizeof...(I)>& arguments,
                                           std::index_sequence<I...>) {
    // Arrays before the last conversion that may have run Python code are checked again.
    std::size_t check_again_before = 0;
    ((check_again_before = Kinds::may_run_code(arguments[I]) ? I : check_again_before), ...);
    std::optional<binding::Error> error;
    static_cast<void>(
        (check_array<Kinds>(I < check_again_before, names[I], arguments[I], error) && ...));
    return error;
}

/// What the body receives for a parameter of kind `Kind`, made in place.
template <typename Kind> struct Received {
    explicit Received(typename Kind::Converted converted) : value(Kind::receive(converted)) {}
    decltype(Kind::receive(std::declval<typename Kind::Converted>())) value;
};

/// A new reference to a body's result as a Python object.
PyObject* to_python(runtime::Float64Buffer&& result);
PyObject* to_python(Ucs2Text text);
PyObject* none();

} // namespace tesk::entry
