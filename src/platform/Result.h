#pragma once

#include <QString>
#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace platform {

// The error side of a Result, wrapped so that a Result<QString> can still tell a
// value from an error: `return platform::fail(u"cannot read"_s);`.
template <class E>
struct Failure {
    E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
    return Failure<std::decay_t<E>>{std::forward<E>(error)};
}

// A value or an error, for operations that can fail. The error type defaults to a
// readable text; the session service uses its own error with a numeric code.
template <class T, class E = QString>
class [[nodiscard]] Result {
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<E> failure) : m_state(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T& value() const& {
        assert(ok());
        return std::get<0>(m_state);
    }
    T& value() & {
        assert(ok());
        return std::get<0>(m_state);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(m_state));
    }
    const T& operator*() const& { return value(); }
    const T* operator->() const { return &value(); }

    const E& error() const {
        assert(!ok());
        return std::get<1>(m_state);
    }

    T valueOr(T fallback) const { return ok() ? value() : std::move(fallback); }

private:
    std::variant<T, E> m_state;
};

// The result of an operation that gives nothing back but can fail.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(Failure<E> failure) : m_error(std::move(failure.error)), m_failed(true) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }

    const E& error() const {
        assert(m_failed);
        return m_error;
    }

private:
    E m_error{};
    bool m_failed = false;
};

using Status = Result<void>;

} // namespace platform
