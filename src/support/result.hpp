// Error values: numerical code never raises for user errors; it returns the message text,
// and the entry point raises ValueError with exactly that text.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quelbrin {

struct Error {
    std::string message;
};

// Either a value or an Error.  Result<void> is success-or-error.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error e) : v_(std::move(e)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const Error& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error e) : ok_(false), e_(std::move(e)) {}
    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const Error& error() const { return e_; }

  private:
    bool ok_ = true;
    Error e_;
};

inline Error error(std::string message) { return Error{std::move(message)}; }

}  // namespace quelbrin
