#pragma once

// Outcome of an operation that has no result code of its own: either a value
// or a message that says what was expected and what was found.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kestrune {

struct Error {
    std::string message;
};

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_value(std::move(value)) {}  // NOLINT: implicit on purpose
    Result(Error error) : m_value(std::move(error)) {}  // NOLINT

    bool ok() const { return std::holds_alternative<T>(m_value); }
    explicit operator bool() const { return ok(); }

    T& value() { return std::get<T>(m_value); }
    const T& value() const { return std::get<T>(m_value); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const std::string& error() const { return std::get<Error>(m_value).message; }

private:
    std::variant<T, Error> m_value;
};

// For operations that give nothing back but can fail.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Error error) : m_error(std::move(error.message)) {}  // NOLINT

    static Status Ok() { return {}; }

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }
    const std::string& error() const { return *m_error; }

private:
    std::optional<std::string> m_error;
};

}  // namespace kestrune
