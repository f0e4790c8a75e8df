// signature.h — a module function's name and typed parameters, in one table.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "binding/arguments.h"

namespace tesk::entry {

/// What a parameter accepts, and the C++ value its body receives.
enum class ParameterKind : unsigned char {
    float64_array,         ///< a float64 NumPy array, read in place: const Float64View&
    mutable_float64_array, ///< a writeable float64 NumPy array, written in place: the same
    float64,               ///< float(object): double
    index_size,            ///< operator.index(object) as an unsigned 64-bit size
};

struct Parameter {
    std::string_view name;
    ParameterKind kind;
};

/// The constant description of one function: positional-or-keyword parameters, all
/// required, in order.
template <std::size_t Count> struct Signature {
    std::string_view function_name;
    std::array<Parameter, Count> parameters;
    std::array<std::string_view, Count> names{};

    constexpr Signature(std::string_view function, std::array<Parameter, Count> typed)
        : function_name(function), parameters(typed) {
        for (std::size_t i = 0; i < Count; ++i) {
            names[i] = typed[i].name;
        }
    }

    /// What the binder matches a call against; refers to this signature's names.
    constexpr binding::ArgSpec arguments() const {
        return binding::ArgSpec{
            .function_name = function_name, .positional = names, .required_positional = Count};
    }
};

} // namespace tesk::entry
