// signature.h — a module function's name and the names of its parameters, by kind.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "binding/arguments.h"

namespace tesk::entry {

/// The constant description of one function: positional-or-keyword parameters, all
/// required, in order, the i-th of the i-th kind in `Kinds` (see parameter_kinds.h).
template <typename... Kinds> struct Signature {
    static constexpr std::size_t count = sizeof...(Kinds);

    std::string_view function_name;
    std::array<std::string_view, count> names;

    /// What the binder matches a call against; refers to this signature's names.
    constexpr binding::ArgSpec arguments() const {
        return binding::ArgSpec{.function_name = function_name, .names = names};
    }
};

} // namespace tesk::entry
