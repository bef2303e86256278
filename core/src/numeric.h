// Small exact-arithmetic helpers shared by the core: wrapping 32-bit products,
// saturating float-to-integer conversions and NaN-ignoring min/max.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace quillet {

// Two's-complement product of two signed 32-bit values, computed in unsigned
// arithmetic so that overflow wraps instead of being undefined.
constexpr std::int32_t wrapping_mul(std::int32_t a, std::int32_t b) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

constexpr std::int32_t wrapping_add(std::int32_t a, std::int32_t b) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// float -> int32, truncating toward zero; NaN gives 0 and out-of-range values
// saturate (a plain cast would be undefined there).
inline std::int32_t saturating_to_i32(float x) noexcept {
    if (std::isnan(x)) return 0;
    if (x <= -2147483648.0f) return INT32_MIN;
    if (x >= 2147483648.0f) return INT32_MAX;
    return static_cast<std::int32_t>(x);
}

// float -> byte, truncating toward zero; negative and NaN give 0, x >= 255 gives 255.
inline std::uint8_t saturating_to_u8(float x) noexcept {
    if (!(x > 0.0f)) return 0;
    if (x >= 255.0f) return 255;
    return static_cast<std::uint8_t>(x);
}

// max and min that return the other operand when one is NaN.
inline float max_ignoring_nan(float a, float b) noexcept {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a > b ? a : b;
}

inline float min_ignoring_nan(float a, float b) noexcept {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a < b ? a : b;
}

}  // namespace quillet
