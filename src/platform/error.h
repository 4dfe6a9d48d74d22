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
    // A finer kind within the code, where the domain has one (the export's Damage of a damaged
    // file); 0 where it has none. What callers and tests compare, rather than the text.
    int detail = 0;

    friend bool operator==(const Error&, const Error&) = default;
};

// Domain of errors that carry an errno value as their code.
inline constexpr const char* kPosixErrorDomain = "POSIX";

// A Chinese reason for common errno values; the system's own text for the rest.
std::string errnoReason(int err);

// Error{POSIX, err, prefix + reason}.
Error posixError(int err, const std::string& prefix = {});

// The errno value a system call's error (kPosixErrorDomain) carries as its code.
inline int errnoOf(const Error& error) { return static_cast<int>(error.code); }

// Asking a success for its error, or a failure for its value, is a fault of the program, not of
// its input: it says so on standard error, with the error when there is one, and aborts.
[[noreturn]] void outcomeMisused(const char* what, const Error* error = nullptr);

// A value or the error that prevented it.
template <typename T>
class [[nodiscard]] ErrorOr {
public:
    ErrorOr(T value) : v_(std::move(value)) {}
    ErrorOr(Error error) : v_(std::move(error)) {}

    bool isError() const { return std::holds_alternative<Error>(v_); }
    explicit operator bool() const { return !isError(); }
    const Error& error() const
    {
        if (const Error* e = std::get_if<Error>(&v_)) return *e;
        outcomeMisused("ErrorOr::error() of a value");
    }
    Error releaseError()
    {
        if (Error* e = std::get_if<Error>(&v_)) return std::move(*e);
        outcomeMisused("ErrorOr::releaseError() of a value");
    }
    T& value()
    {
        if (T* v = std::get_if<T>(&v_)) return *v;
        outcomeMisused("ErrorOr::value() of an error", std::get_if<Error>(&v_));
    }
    const T& value() const
    {
        if (const T* v = std::get_if<T>(&v_)) return *v;
        outcomeMisused("ErrorOr::value() of an error", std::get_if<Error>(&v_));
    }
    T releaseValue() { return std::move(value()); }
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
    const Error& error() const
    {
        if (!failed_) outcomeMisused("ErrorOr::error() of a success");
        return error_;
    }
    Error releaseError()
    {
        if (!failed_) outcomeMisused("ErrorOr::releaseError() of a success");
        return std::move(error_);
    }
    // Nothing to give; a failure asked for it is a fault as for any ErrorOr.
    void releaseValue() const
    {
        if (failed_) outcomeMisused("ErrorOr::releaseValue() of an error", &error_);
    }

private:
    bool failed_ = false;
    Error error_;
};

// The outcome of one file's rewrite: success carries whether the file was found done already (and
// so left as it was), failure one error. An ErrorOr<void> under the names the rewrite's callers
// read it by.
class [[nodiscard]] Result : public ErrorOr<void> {
public:
    Result(ErrorOr<void> outcome) : ErrorOr<void>(std::move(outcome)) {}
    static Result success(bool alreadyDone = false)
    {
        Result result(ErrorOr<void>{});
        result.alreadyDone_ = alreadyDone;
        return result;
    }
    static Result failure(Error error) { return Result(ErrorOr<void>(std::move(error))); }

    bool isSuccess() const { return !isError(); }
    bool isFailure() const { return isError(); }
    bool wasAlreadyDone() const { return alreadyDone_; }

private:
    bool alreadyDone_ = false;
};

}  // namespace kelvatta

// Propagates the error of an ErrorOr expression, or yields its value (nothing for ErrorOr<void>).
// Each use has a variable of its own, so uses nested in one another's expression shadow nothing.
#define KV_TRY(expr) KV_TRY_WITH(expr, KV_TRY_NAME(kv_try_, __COUNTER__))
#define KV_TRY_NAME(prefix, n) KV_TRY_PASTE(prefix, n)
#define KV_TRY_PASTE(prefix, n) prefix##n
#define KV_TRY_WITH(expr, name)                         \
    __extension__({                                     \
        auto name = (expr);                             \
        if (name.isError()) return name.releaseError(); \
        std::move(name).releaseValue();                 \
    })
