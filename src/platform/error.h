// Errors as values: a domain, a code and the text the user reads.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kelvatta {

struct Error {
    std::string domain;
    long code = 0;
    std::string localizedDescription;

    friend bool operator==(const Error&, const Error&) = default;
};

// Domain of errors that carry an errno value as their code.
inline constexpr const char* kPosixErrorDomain = "POSIX";

// A Chinese reason for common errno values; the system's own text for the rest.
std::string errnoReason(int err);

// Error{POSIX, err, prefix + reason}.
Error posixError(int err, const std::string& prefix = {});

// The outcome of one file's rewrite: success carries nothing, failure one error.
class [[nodiscard]] Result {
public:
    static Result success() { return Result(); }
    static Result failure(Error error) { return Result(std::move(error)); }

    bool isSuccess() const { return !failed_; }
    bool isFailure() const { return failed_; }
    const Error& error() const { return error_; }

private:
    Result() = default;
    explicit Result(Error error) : failed_(true), error_(std::move(error)) {}
    bool failed_ = false;
    Error error_;
};

// A value or the error that prevented it.
template <typename T>
class [[nodiscard]] ErrorOr {
public:
    ErrorOr(T value) : v_(std::move(value)) {}
    ErrorOr(Error error) : v_(std::move(error)) {}

    bool isError() const { return std::holds_alternative<Error>(v_); }
    explicit operator bool() const { return !isError(); }
    const Error& error() const { return std::get<Error>(v_); }
    Error releaseError() { return std::move(std::get<Error>(v_)); }
    T& value() { return std::get<T>(v_); }
    const T& value() const { return std::get<T>(v_); }
    T releaseValue() { return std::move(std::get<T>(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }

private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] ErrorOr<void> {
public:
    ErrorOr() = default;
    ErrorOr(Error error) : failed_(true), error_(std::move(error)) {}

    bool isError() const { return failed_; }
    explicit operator bool() const { return !failed_; }
    const Error& error() const { return error_; }
    Error releaseError() { return std::move(error_); }

private:
    bool failed_ = false;
    Error error_;
};

}  // namespace kelvatta

// Propagates the error of an ErrorOr expression, or yields its value.
#define KV_TRY(expr)                                     \
    __extension__({                                      \
        auto _kv_try = (expr);                           \
        if (_kv_try.isError()) return _kv_try.releaseError(); \
        std::move(_kv_try).releaseValue();               \
    })

#define KV_TRY_VOID(expr)                                \
    do {                                                 \
        auto _kv_try = (expr);                           \
        if (_kv_try.isError()) return _kv_try.releaseError(); \
    } while (0)
