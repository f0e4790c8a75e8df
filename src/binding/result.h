// result.h — Result<T>: a value or an error value, returned, never thrown.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "binding/error.h"

namespace tesk::binding {

template <typename T> class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() & { return std::get<0>(state_); }
    T value() && { return std::move(std::get<0>(state_)); }
    Error take_error() { return std::move(std::get<1>(state_)); }

private:
    std::variant<T, Error> state_;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    Error take_error() { return std::move(*error_); }

private:
    std::optional<Error> error_;
};

} // namespace tesk::binding
