// Integer and conversion rules shared by the engine. Written out by hand
// because the obvious C++ spellings are undefined behaviour at the edges
// (signed overflow, out-of-range float-to-int casts).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace paywheel::num {

// Truncates toward zero; NaN gives 0; out-of-range values clamp.
inline std::int32_t saturating_i32(float x) noexcept {
    if (x != x) return 0;
    if (x >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
    if (x < -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(x);
}

inline std::int32_t wrapping_add(std::int32_t a, std::int32_t b) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

inline std::int32_t wrapping_neg(std::int32_t a) noexcept {
    return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(a));
}

inline std::uint32_t bits(float x) noexcept { return std::bit_cast<std::uint32_t>(x); }

inline bool same_bits(float a, float b) noexcept { return bits(a) == bits(b); }

// Number of entries of a per-period column: pers + 1, or 0 for a negative
// pers and for the largest one (whose pers + 1 wraps).
inline std::size_t column_length(std::int32_t pers) noexcept {
    if (pers < 0 || pers == std::numeric_limits<std::int32_t>::max()) return 0;
    return static_cast<std::size_t>(pers) + 1;
}

// Rounds a float64 to the nearest binary32, as every reader of numbers
// narrows them; magnitudes past the largest finite float become infinities
// rather than relying on an out-of-range conversion.
inline float narrow_to_float(double d) noexcept {
    if (std::isfinite(d) && std::fabs(d) >= 0x1.ffffffp+127)
        return std::copysign(std::numeric_limits<float>::infinity(), static_cast<float>(d > 0 ? 1 : -1));
    return static_cast<float>(d);
}

}  // namespace paywheel::num
