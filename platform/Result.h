#pragma once

#include "Error.h"

#include <cstdlib>
#include <optional>
#include <utility>
#include <variant>

namespace pixavella {

// A value or an Error, built only through success() or failure().
template <typename T> class [[nodiscard]] Result {
public:
    static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result failure(Error error) { return Result(std::in_place_index<1>, std::move(error)); }
    // Lets `return value;` and `return error;` read naturally in functions returning Result.
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : m_state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T& value() const&
    {
        if (!ok())
            std::abort();
        return std::get<0>(m_state);
    }
    T& value() &
    {
        if (!ok())
            std::abort();
        return std::get<0>(m_state);
    }
    T&& value() &&
    {
        if (!ok())
            std::abort();
        return std::get<0>(std::move(m_state));
    }
    const Error& error() const
    {
        if (ok())
            std::abort();
        return std::get<1>(m_state);
    }

private:
    template <std::size_t I, typename A>
    Result(std::in_place_index_t<I> i, A&& a) : m_state(i, std::forward<A>(a)) {}
    std::variant<T, Error> m_state;
};

template <> class [[nodiscard]] Result<void> {
public:
    static Result success() { return Result(std::nullopt); }
    static Result failure(Error error) { return Result(std::move(error)); }
    Result(Error error) : m_error(std::move(error)) {}

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error& error() const
    {
        if (ok())
            std::abort();
        return *m_error;
    }

private:
    explicit Result(std::nullopt_t) {}
    std::optional<Error> m_error;
};

using VoidResult = Result<void>;

} // namespace pixavella
