// The correctly rounded power for a run of consecutive integer exponents:
// base^n, base^(n+1), ... with one base, the engine's shape (every period of
// a loan). It returns the very bits correctly_rounded_powf returns, lane by
// lane; only the way to them differs.
//
// Plan. The lanes go in fours. For a = |base| and a run starting at p, the
// first four lanes get a^p, a^(p+1), a^(p+2), a^(p+3) in double, and every
// further four are the previous four times a^4, one multiplication per lane.
// A lane's double is then converted to binary32 when it provably rounds to
// the same float as the exact power; otherwise the lane is marked and given
// to correctly_rounded_powf, which decides it exactly. So are every lane of
// a run whose base is zero, subnormal, infinite or NaN, and every lane whose
// exponent lies beyond the reach below (huge exponents, and powers far
// outside the double range).
//
// Error bound (u = 2^-53; Higham's gamma_C = C u / (1 - C u) bounds a
// product of C factors (1 + e)^(+-1) with |e| <= u).
// * Every double here is a product or quotient of the exact double a (a
//   binary32 is a double) and no intermediate leaves the normal double range
//   (see reach_of), so each operation contributes one factor (1 + e)^(+-1).
// * a^2 is exact (48 significant bits); a^3 = fl(a^2 a) and a^4 = fl(a^2 a^2)
//   carry one factor each.
// * a^|p| by square-and-multiply from a carries at most |p| - 1 factors (by
//   induction: squaring a^k with k - 1 gives 2k - 1, times the exact a gives
//   k); the reciprocal for p < 0 adds one. So a^p carries at most |p|, and
//   the first four lanes a^p a^j at most |p| + 2.
// * Each step multiplies by a^4 (one factor) and rounds (one more): the lane
//   with exponent p + j + 4m carries at most |p| + 2 + 2m factors. With every
//   exponent of the chain within [-kReach, kReach], |p| <= kReach and
//   4m <= 2 kReach, so C <= 2 kReach + 2 = 32770 and the computed v differs
//   from the exact X = a^n by |v / X - 1| <= gamma_32770 < 2^-37.99.
// * For v in [2^e, 2^(e+1)) that is |X - v| < 2^-37.98 2^(e+1) = 2^15.02
//   units of v's last place 2^(e-52). The points where rounding to binary32
//   changes (midpoints between floats, the overflow threshold 2^128 - 2^103
//   among them) are, inside v's binade, the doubles whose 29 bits below the
//   float's 24 are exactly 100...0; those of the neighbouring binades lie at
//   least 2^27 units away. So if the low 29 bits of v differ from 2^28 by
//   more than kWindow = 2^16 units, no such point lies between v and X, both
//   round to the same float, and the conversion of v is the answer.
// * The test also asks 2^-126 <= v < 2^128, where the float grid is the
//   normal one and the argument above holds; lanes outside (overflow,
//   underflow, subnormal results) are marked. A lane is marked with
//   probability about 2^17 / 2^29 = 1/4096 otherwise.
// The exhaustive sweep in the tests (every base in [1, 1.05), exponents
// -360..360) checks the bound's consequence on 302 million lanes.
#include <bit>
#include <cstdint>
#include <cstring>

#include "paywheel/core/power.hpp"

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#define QH_VECTOR_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define QH_VECTOR_CLONES
#endif

namespace paywheel {
namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i32 = std::int32_t;
using i64 = std::int64_t;

// Four lanes; with AVX2 each is one register, in the baseline build two.
typedef double f64x4 __attribute__((vector_size(32)));
typedef i64 i64x4 __attribute__((vector_size(32)));
typedef float f32x4 __attribute__((vector_size(16)));
typedef i32 i32x4 __attribute__((vector_size(16)));

constexpr u32 kAbsMask = 0x7fffffffu;
constexpr u32 kSignMask = 0x80000000u;
constexpr u32 kInfBits = 0x7f800000u;
constexpr u32 kSmallestNormal = 0x00800000u;
// A marked lane holds a NaN until correctly_rounded_powf replaces it; a
// chain lane is never NaN, so the mark cannot be mistaken for a result.
constexpr i64 kMark = i64{0x7ff8} << 48;

// The largest |exponent| a chain lane may have (see the bound above).
constexpr i64 kReach = 16384;
// Half the width, in units of the double's last place, of the band around
// a rounding point inside which a lane is marked.
constexpr i64 kWindow = i64{1} << 16;
// Powers kept within 2^-1000 .. 2^1000: no chain value or intermediate
// comes near the ends of the double range (2^-1022 .. 2^1024), where the
// per-operation bound would no longer hold.
constexpr double kSafeLog2 = 1000.0;

constexpr i64 kDoubleBitsOf2ToMinus126 = i64{1023 - 126} << 52;
constexpr i64 kDoubleBitsOf2To128 = i64{1023 + 128} << 52;

// The largest R <= kReach with |R log2 a| <= kSafeLog2, for a normal float a.
// |log2 a| <= (max(a, 1/a) - 1) / ln 2 (from ln y <= y - 1), and 1.5 exceeds
// 1 / ln 2 by enough to cover the roundings of the bound itself; the bound is
// generous far from 1, which only hands more lanes to the scalar function.
i64 reach_of(double a) noexcept {
    const double excess = a >= 1.0 ? a - 1.0 : 1.0 / a - 1.0;
    const double bound = excess * 1.5;
    if (bound * static_cast<double>(kReach) <= kSafeLog2) return kReach;
    return static_cast<i64>(kSafeLog2 / bound);
}

// a^p by square-and-multiply, for |p| <= kReach and a^p within the safe
// range (so are all intermediates: they lie between 1 and a^|p|).
double power_of(double a, i64 p) noexcept {
    if (p == 0) return 1.0;
    const u64 k = p < 0 ? static_cast<u64>(-p) : static_cast<u64>(p);
    double r = a;
    for (int b = 62 - std::countl_zero(k); b >= 0; --b) {
        r = r * r;
        if ((k >> b) & 1u) r = r * a;
    }
    return p < 0 ? 1.0 / r : r;
}

void scalar_lanes(float base, i64 first, i64 from, i64 to, float* out) noexcept {
    for (i64 n = from; n < to; ++n) out[n - first] = correctly_rounded_powf(base, static_cast<float>(n));
}

// One four-lane step: bits gets the floats of v with the lane signs, or the
// mark; marked gets all ones in the lanes to mark. By reference throughout,
// so that no vector crosses a call boundary (there is none once inlined).
[[gnu::always_inline]] inline void convert_lanes(const f64x4& v, const i32x4& sign, i32x4& bits,
                                                 i64x4& marked) noexcept {
    const i64x4 b = (i64x4)v;  // the same bits, read as integers
    const i64x4 low = (b & ((i64{1} << 29) - 1)) - (i64{1} << 28);
    const i64x4 ok = ((low > kWindow) | (low < -kWindow)) & (b >= kDoubleBitsOf2ToMinus126) & (b < kDoubleBitsOf2To128);
    // A marked lane becomes a double NaN first, which converts to a NaN.
    const i64x4 kept = (b & ok) | (kMark & ~ok);
    bits = (i32x4)__builtin_convertvector((f64x4)kept, f32x4) | sign;
    marked = ~ok;
}

// The chain over exponents p .. p + len - 1, all within the reach of a;
// base is the signed base, a = |base|, sign its sign bit.
QH_VECTOR_CLONES void chain_lanes(float base, double a, u32 sign_bit, i64 p, std::size_t len, float* out) noexcept {
    const double a2 = a * a;
    const double a3 = a2 * a;
    const double a4 = a2 * a2;
    const double s = power_of(a, p);
    f64x4 acc = {s, s * a, s * a2, s * a3};
    const f64x4 step = {a4, a4, a4, a4};
    // A negative base gives odd exponents the sign; four lanes keep their
    // parity from one step to the next.
    const i32 odd = static_cast<i32>(sign_bit);
    const i32 even_first = (p & 1) == 0;
    const i32x4 sign = even_first ? i32x4{0, odd, 0, odd} : i32x4{odd, 0, odd, 0};
    i64x4 marked = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        const f64x4 v = acc;
        acc = acc * step;
        i32x4 bits;
        i64x4 m;
        convert_lanes(v, sign, bits, m);
        marked |= m;
        std::memcpy(out + i, &bits, sizeof bits);
    }
    if (i < len) {
        i32x4 bits;
        const std::size_t rest = len - i;
        i64x4 m;
        convert_lanes(acc, sign, bits, m);
        const i64x4 valid = {-1, rest > 1 ? -1 : 0, rest > 2 ? -1 : 0, 0};
        marked |= m & valid;
        std::memcpy(out + i, &bits, rest * sizeof(float));
    }
    if ((marked[0] | marked[1] | marked[2] | marked[3]) == 0) return;
    for (std::size_t k = 0; k < len; ++k) {
        if (out[k] != out[k]) out[k] = correctly_rounded_powf(base, static_cast<float>(p + static_cast<i64>(k)));
    }
}

}  // namespace

void correctly_rounded_powf_run(float base, std::int32_t first_exponent, std::size_t count, float* out) noexcept {
    if (count == 0) return;
    const i64 first = first_exponent;
    const i64 end = first + static_cast<i64>(count);
    const u32 bits = std::bit_cast<u32>(base);
    const u32 ax = bits & kAbsMask;
    if (ax < kSmallestNormal || ax >= kInfBits) {
        scalar_lanes(base, first, first, end, out);
        return;
    }
    const double a = static_cast<double>(std::bit_cast<float>(ax));
    const i64 reach = reach_of(a);
    const i64 from = first > -reach ? first : -reach;
    const i64 to = end < reach + 1 ? end : reach + 1;
    if (from >= to) {
        scalar_lanes(base, first, first, end, out);
        return;
    }
    scalar_lanes(base, first, first, from, out);
    chain_lanes(base, a, bits & kSignMask, from, static_cast<std::size_t>(to - from), out + (from - first));
    scalar_lanes(base, first, to, end, out);
}

}  // namespace paywheel
