// Arithmetic on sizes and offsets read from files: overflow is a value, never a wrap.
#pragma once

#include <concepts>
#include <optional>

namespace kelvatta {

template <std::integral T>
[[nodiscard]] constexpr std::optional<T> checkedAdd(T a, T b)
{
    T r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

template <std::integral T>
[[nodiscard]] constexpr std::optional<T> checkedSub(T a, T b)
{
    T r;
    if (__builtin_sub_overflow(a, b, &r)) return std::nullopt;
    return r;
}

template <std::integral T>
[[nodiscard]] constexpr std::optional<T> checkedMul(T a, T b)
{
    T r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// The value as type To, or nothing when it does not fit.
template <std::integral To, std::integral From>
[[nodiscard]] constexpr std::optional<To> checkedCast(From v)
{
    To r;
    if (__builtin_add_overflow(v, From{0}, &r)) return std::nullopt;
    return r;
}

}  // namespace kelvatta
