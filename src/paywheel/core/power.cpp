// The correctly rounded binary32 power.
//
// Plan. Special operands are settled by the C rules first. For a finite,
// non-zero base the magnitude |x|^y is then rounded to the nearest float, and
// the sign comes from the parity of an integer exponent.
//
// * Integer exponents 1 <= |n| <= 1024 (every exponent the engine passes in
//   practice) take a fast path: |x| = m * 2^E with m in [2^-1/2, 2^1/2], m^|n|
//   by binary powering in double, a reciprocal for negative n, then an exact
//   scaling by 2^(E*n). The error bound below tells when that double cannot
//   round to a different float than the exact value; only then is the exact
//   comparison used.
// * Everything else (larger integer exponents, non-integer exponents) goes
//   straight to the exact comparison, started from a candidate taken from the
//   double-precision pow. That candidate is only a starting point: the answer
//   is decided by comparisons against the midpoints between floats, which are
//   exact, so it does not depend on the C library.
//
// The exact comparison. A non-integer binary32 y is p / 2^j with p odd, and
// for positive values x^(p/2^j) < D  <=>  x^p < D^(2^j)  (raising to the
// power 2^j is increasing). So comparing x^y with a midpoint D (a dyadic
// rational) is comparing two products of dyadic rationals; for p < 0 it is
// comparing x^|p| * D^(2^j) with 1. Both sides are enclosed in intervals
// computed with wide fixed-length significands rounded down for the lower
// end and up for the upper end; when the intervals overlap the length is
// doubled. Equality is recognised algebraically beforehand, so the widening
// ends: two different reals are separated once the enclosures are narrower
// than their distance.
#include "paywheel/core/power.hpp"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace paywheel {
namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i64 = std::int64_t;
using i128 = __int128;
using u128 = unsigned __int128;

constexpr u32 kAbsMask = 0x7fffffffu;
constexpr u32 kSignMask = 0x80000000u;
constexpr u32 kInfBits = 0x7f800000u;
constexpr u32 kOneBits = 0x3f800000u;

inline float from_bits(u32 b) noexcept { return std::bit_cast<float>(b); }

// ------------------------------------------------------------ exponents

enum class Kind : unsigned char { NotInteger, Even, Odd };

// Integer-ness and parity of a finite, non-zero |y| given by its bits.
inline Kind classify(u32 ay) noexcept {
    const int ey = static_cast<int>(ay >> 23) - 127;
    if (ey < 0) return Kind::NotInteger;
    if (ey >= 24) return Kind::Even;  // the spacing of such floats is at least 2
    const u32 sig = (ay & 0x7fffffu) | 0x800000u;
    const int frac_bits = 23 - ey;
    if (frac_bits > 0 && (sig & ((1u << frac_bits) - 1u)) != 0) return Kind::NotInteger;
    return ((sig >> frac_bits) & 1u) ? Kind::Odd : Kind::Even;
}

// A finite, non-zero |x| as sig * 2^(exp - 23) with sig in [2^23, 2^24).
struct Unpacked {
    u32 sig;
    int exp;
};

inline Unpacked unpack(u32 ax) noexcept {
    if (ax >= 0x800000u) return {(ax & 0x7fffffu) | 0x800000u, static_cast<int>(ax >> 23) - 127};
    const int shift = std::countl_zero(ax) - 8;  // subnormal: bring the top bit to bit 23
    return {ax << shift, -126 - shift};
}

// ------------------------------------------------ midpoints between floats

// A positive dyadic rational sig * 2^exp.
struct Dyadic {
    u64 sig;
    int exp;
};

// The midpoint between the non-negative float with bits b (1 <= b <= the
// bits of +inf) and the float just below it. For b = +inf this is the
// overflow threshold 2^128 - 2^103: values from there up round to infinity.
inline Dyadic midpoint_below(u32 b) noexcept {
    const u32 ef = b >> 23;
    const u32 fr = b & 0x7fffffu;
    if (ef == 0) return {2u * static_cast<u64>(fr) - 1u, -150};
    // A power of two (other than the smallest normal) has a neighbour below
    // at half the spacing.
    if (fr == 0 && ef > 1) return {(u64{1} << 25) - 1u, static_cast<int>(ef) - 152};
    return {2u * (static_cast<u64>(fr) | 0x800000u) - 1u, static_cast<int>(ef) - 151};
}

// ------------------------------------------------- wide interval arithmetic

// A positive number words * 2^exp, where words is an n-word little-endian
// integer whose top bit is set. With equal n, order is by exp, then words.
// The exponent is 128-bit so that no intermediate can overflow it whatever
// the operands (D^(2^j) with j up to 57 stays far inside).
struct Wide {
    std::vector<u64> words;
    i128 exp;
};

Wide make_wide(u64 sig, i128 exp, std::size_t n) {
    const int len = 64 - std::countl_zero(sig);
    Wide w{std::vector<u64>(n, 0), exp - static_cast<i128>(64 * n) + len};
    w.words[n - 1] = sig << (64 - len);
    return w;
}

int compare(const Wide& a, const Wide& b) noexcept {
    if (a.exp != b.exp) return a.exp < b.exp ? -1 : 1;
    for (std::size_t i = a.words.size(); i-- > 0;) {
        if (a.words[i] != b.words[i]) return a.words[i] < b.words[i] ? -1 : 1;
    }
    return 0;
}

// a * b cut to n words, rounded down (up = false) or up (up = true); the
// truncation is the only error, less than one unit of the last word.
Wide multiply(const Wide& a, const Wide& b, bool up) {
    const std::size_t n = a.words.size();
    std::vector<u64> prod(2 * n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        u64 carry = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const u128 t = static_cast<u128>(a.words[i]) * b.words[k] + prod[i + k] + carry;
            prod[i + k] = static_cast<u64>(t);
            carry = static_cast<u64>(t >> 64);
        }
        prod[i + n] = carry;
    }
    i128 exp = a.exp + b.exp;
    // Both factors lie in [2^(64n-1), 2^(64n)), so the product needs at most
    // one shift to bring its top bit to the top.
    if ((prod[2 * n - 1] >> 63) == 0) {
        for (std::size_t i = 2 * n; i-- > 1;) prod[i] = (prod[i] << 1) | (prod[i - 1] >> 63);
        prod[0] <<= 1;
        exp -= 1;
    }
    bool sticky = false;
    for (std::size_t i = 0; i < n; ++i) sticky = sticky || prod[i] != 0;
    Wide r{std::vector<u64>(prod.begin() + static_cast<std::ptrdiff_t>(n), prod.end()), exp + static_cast<i128>(64 * n)};
    if (up && sticky) {
        std::size_t i = 0;
        while (i < n && ++r.words[i] == 0) ++i;
        if (i == n) {  // carried out: the value is now exactly 2^(64n) * 2^exp
            r.words[n - 1] = u64{1} << 63;
            r.exp += 1;
        }
    }
    return r;
}

// base^k for k >= 1, every product rounded the same way, so the result is a
// bound in that direction (all values are positive, products monotone).
Wide power(const Wide& base, u64 k, bool up) {
    Wide acc = base;
    for (int i = 62 - std::countl_zero(k); i >= 0; --i) {
        acc = multiply(acc, acc, up);
        if ((k >> i) & 1u) acc = multiply(acc, base, up);
    }
    return acc;
}

u64 integer_sqrt(u64 v) noexcept {
    u64 r = static_cast<u64>(std::sqrt(static_cast<double>(v)));
    while (r * r > v) --r;
    while ((r + 1) * (r + 1) <= v) ++r;
    return r;
}

// Is x^(p/2^j) exactly the dyadic d? x = mx * 2^ex, with mx < 2^24, p != 0,
// p odd when j > 0, j <= 63, and d.sig < 2^26.
bool exactly_equal(u64 mx, i64 ex, i64 p, int j, Dyadic d) noexcept {
    const int tx = std::countr_zero(mx);
    mx >>= tx;
    ex += tx;
    u64 md = d.sig;
    i64 ed = d.exp;
    const int td = std::countr_zero(md);
    md >>= td;
    ed += td;
    // x^p = d^(2^j) compares odd parts and powers of two separately.
    const bool twos = static_cast<i128>(ex) * p == static_cast<i128>(ed) * (static_cast<i128>(1) << j);
    if (p < 0) return mx == 1 && md == 1 && twos;
    // mx^p = md^(2^j) with p and 2^j coprime: mx = w^(2^j) and md = w^p.
    u64 w = mx;
    for (int i = 0; i < j && w != 1; ++i) {
        const u64 r = integer_sqrt(w);
        if (r * r != w) return false;
        w = r;
    }
    u64 wp = 1;
    for (i64 i = 0; i < p; ++i) {
        if (w == 1) break;
        wp *= w;  // w >= 3 and md < 2^26: leaves the loop long before overflow
        if (wp > md) return false;
    }
    return wp == md && twos;
}

// The sign of x^(p/2^j) - d, exactly, for x = mx * 2^ex > 0.
int compare_power(u64 mx, i64 ex, i64 p, int j, Dyadic d) {
    if (exactly_equal(mx, ex, p, j, d)) return 0;
    const u64 k = p < 0 ? 0u - static_cast<u64>(p) : static_cast<u64>(p);
    for (std::size_t n = 2;; n *= 2) {
        const Wide x = make_wide(mx, ex, n);
        const Wide dd = make_wide(d.sig, d.exp, n);
        const Wide a_lo = power(x, k, false);
        const Wide a_hi = power(x, k, true);
        Wide b_lo = dd;
        Wide b_hi = dd;
        for (int i = 0; i < j; ++i) {
            b_lo = multiply(b_lo, b_lo, false);
            b_hi = multiply(b_hi, b_hi, true);
        }
        if (p > 0) {
            if (compare(a_hi, b_lo) < 0) return -1;
            if (compare(a_lo, b_hi) > 0) return 1;
        } else {
            // x^y = (1 / x^|p|)^(1/2^j), so x^y < d  <=>  x^|p| * d^(2^j) > 1.
            const Wide one = make_wide(1, 0, n);
            if (compare(multiply(a_lo, b_lo, false), one) > 0) return -1;
            if (compare(multiply(a_hi, b_hi, true), one) < 0) return 1;
        }
    }
}

// The bits of the float nearest to x^(p/2^j) (ties to even), starting from
// the candidate bits c: step while the value lies beyond a midpoint next to
// the candidate. A midpoint hit exactly picks the even neighbour; the float
// after the largest finite one is +inf, which is how overflow rounds.
u32 resolve(u64 mx, i64 ex, i64 p, int j, u32 c) {
    bool below_checked = false;  // the value is known to be above the midpoint below c
    for (;;) {
        if (c < kInfBits) {
            const int s = compare_power(mx, ex, p, j, midpoint_below(c + 1));
            if (s > 0) {
                ++c;
                below_checked = true;
                continue;
            }
            if (s == 0) return (c & 1u) ? c + 1 : c;
        }
        if (c > 0 && !below_checked) {
            const int s = compare_power(mx, ex, p, j, midpoint_below(c));
            if (s < 0) {
                --c;
                continue;
            }
            if (s == 0) return (c & 1u) ? c - 1 : c;
        }
        return c;
    }
}

// ------------------------------------------------------------- fast path

// |x|^n for 1 <= |n| <= 1024: true with the bits of the nearest float,
// or false with the bits of the float of the approximation when it is too
// close to a midpoint to decide.
//
// Error bound. In binary powering every computed power of m is m^s times a
// product of factors (1 + d_i)^(c_i), |d_i| <= u = 2^-53, with sum c_i <= s - 1
// (induction: multiplying two such powers adds the exponents and one new
// rounding; multiplying by the exact 1 adds none). So for |n| <= 1024 the
// relative error of m^|n| is at most (1 + u)^1023 - 1 < 1024 u = 2^-43. The
// reciprocal for negative n gives (1 + d)/(1 + e) - 1 with |d| <= u and
// |e| < 2^-43, below 2^-42. Scaling by 2^(E*n) is exact (the exponent is
// checked to stay normal). Hence the exact value X and the computed v satisfy
// |X - v| <= 2^-42 |X|.
//
// Rounding test. For v in [2^t, 2^(t+1)) with t >= -126 this is below 2049
// units of v's last double place (2^(t-52)). The midpoints between floats of
// that binade are the doubles whose 29 bits below the float's 24 are exactly
// 100...0; the nearest ones in the neighbouring binades are at least 2^27
// units away. If the low 29 bits of v differ from 2^28 by more than 4096, no
// midpoint lies within |X - v| of v, so X and v round to the same float, and
// the conversion of v is correct. Below 2^-126 the grid is fixed: in units of
// 2^-150 (w = v * 2^150) the midpoints are the odd integers, and the same
// argument needs |w - nearest odd integer| > w * 2^-41. Overflow and
// underflow fall out of the same test (the float after the largest finite
// one is +inf, and below 2^-150 everything rounds to 0).
inline bool fast_integer_power(u32 ax, int n, u32& out) noexcept {
    const Unpacked u = unpack(ax);
    // m = sig / 2^23, halved when above sqrt(2) (0xB504F3 / 2^23 < sqrt 2),
    // so |log2 m| <= 1/2 and m^1024 stays well inside the double range.
    const bool halve = u.sig > 0xB504F3u;
    const u64 m_bits = (static_cast<u64>(u.sig & 0x7fffffu) << 29) | (static_cast<u64>(halve ? 1022 : 1023) << 52);
    const double m = std::bit_cast<double>(m_bits);
    const int e = u.exp + (halve ? 1 : 0);
    const unsigned k = static_cast<unsigned>(n < 0 ? -n : n);
    double acc = 1.0;
    double sq = m;
    for (unsigned b = k;;) {
        acc *= (b & 1u) ? sq : 1.0;
        b >>= 1;
        if (b == 0) break;
        sq *= sq;
    }
    if (n < 0) acc = 1.0 / acc;
    const i64 scale = static_cast<i64>(e) * n;
    const u64 acc_bits = std::bit_cast<u64>(acc);
    const i64 t = static_cast<i64>((acc_bits >> 52) & 0x7ffu) - 1023 + scale;
    if (t >= 128) {  // v >= 2^128, so X > 2^128 (1 - 2^-42), beyond the overflow threshold
        out = kInfBits;
        return true;
    }
    if (t < -151) {  // X < 2^-151 (1 + 2^-42) < 2^-150: rounds to zero
        out = 0;
        return true;
    }
    const u64 v_bits = acc_bits + (static_cast<u64>(scale) << 52);
    const double v = std::bit_cast<double>(v_bits);
    if (t >= -126) {
        const u64 low = v_bits & ((u64{1} << 29) - 1u);
        const u64 mid = u64{1} << 28;
        const u64 dist = low > mid ? low - mid : mid - low;
        if (dist <= 4096) {
            out = std::bit_cast<u32>(static_cast<float>(v));
            return false;
        }
    } else {
        const double w = v * 0x1p150;
        const double odd = 2.0 * std::floor(w * 0.5) + 1.0;
        const double dist = std::fabs(w - odd);
        if (!(dist > w * 0x1p-41)) {
            out = std::bit_cast<u32>(static_cast<float>(v));
            return false;
        }
    }
    out = std::bit_cast<u32>(static_cast<float>(v));
    return true;
}

// |x|^y for finite, non-zero x (given by ax = |x|'s bits) and a finite,
// non-zero y that is not handled by the fast path: the bits of the result.
u32 general_power(u32 ax, float y) {
    const u32 ay = std::bit_cast<u32>(y) & kAbsMask;
    const bool above_one = ax > kOneBits;  // |x| = 1 never gets here
    const bool negative = (std::bit_cast<u32>(y) & kSignMask) != 0;
    // |y| < 2^-34: |y log2 x| < 150 * 2^-34 < 2^-26, and |2^t - 1| <= |t| for
    // |t| <= 1, so x^y lies strictly between the midpoints 1 - 2^-25 and
    // 1 + 2^-24 around 1.
    if (ay < 0x2e800000u) return kOneBits;
    // |y| >= 2^31: since |x| = 1 is excluded, x >= 1 + 2^-23 or x <= 1 - 2^-24,
    // and (1 + 2^-23)^(2^31) > e^255, (1 - 2^-24)^(2^31) < e^-128 < 2^-150.
    if (ay >= 0x4f000000u) return (above_one != negative) ? kInfBits : 0u;
    // y = p / 2^j with p odd, or p = y when y is an integer (j = 0).
    const int ey = static_cast<int>(ay >> 23) - 127;
    i64 p = static_cast<i64>((ay & 0x7fffffu) | 0x800000u);
    int j = 0;
    if (ey >= 23) {
        p <<= (ey - 23);  // |y| < 2^31, so p < 2^31
    } else {
        j = 23 - ey;  // at most 57 after the cut above
        const int tz = std::min(std::countr_zero(static_cast<u64>(p)), j);
        p >>= tz;
        j -= tz;
    }
    if (negative) p = -p;
    const Unpacked u = unpack(ax);
    // The platform's double pow is only a starting guess; resolve() decides.
    const double guess = std::pow(static_cast<double>(from_bits(ax)), static_cast<double>(y));
    u32 c = std::bit_cast<u32>(static_cast<float>(guess)) & kAbsMask;
    if (c > kInfBits) c = kOneBits;
    return resolve(u.sig, static_cast<i64>(u.exp) - 23, p, j, c);
}

std::atomic<PowerMode> g_power_mode{PowerMode::Platform};

}  // namespace

float correctly_rounded_powf(float x, float y) noexcept {
    const u32 bx = std::bit_cast<u32>(x);
    const u32 by = std::bit_cast<u32>(y);
    const u32 ax = bx & kAbsMask;
    const u32 ay = by & kAbsMask;
    const bool x_negative = (bx & kSignMask) != 0;
    const bool y_negative = (by & kSignMask) != 0;

    if (ay == 0 || bx == kOneBits) return 1.0f;  // even for a NaN in the other operand
    if (ax > kInfBits || ay > kInfBits) return x + y;  // a quiet NaN
    if (ay == kInfBits) {
        if (ax == kOneBits) return 1.0f;  // (-1)^(+-inf)
        return ((ax > kOneBits) != y_negative) ? from_bits(kInfBits) : 0.0f;
    }
    const Kind kind = classify(ay);
    const u32 odd_sign = (x_negative && kind == Kind::Odd) ? kSignMask : 0u;
    if (ax == 0 || ax == kInfBits) {
        // 0^y and inf^y: infinity exactly when (base is zero) == (y < 0).
        const u32 mag = ((ax == 0) == y_negative) ? kInfBits : 0u;
        return from_bits(mag | odd_sign);
    }
    if (x_negative && kind == Kind::NotInteger) return std::numeric_limits<float>::quiet_NaN();

    u32 mag;
    if (ax == kOneBits) {  // (-1)^n, n an integer
        mag = kOneBits;
    } else if (kind != Kind::NotInteger && ay <= 0x44800000u) {  // |y| <= 1024
        const int n = static_cast<int>(y);
        if (!fast_integer_power(ax, n, mag)) {
            // mag holds the float of the fast value, within 2^-42 of the
            // exact one, so at most one step from the answer.
            const Unpacked u = unpack(ax);
            mag = resolve(u.sig, static_cast<i64>(u.exp) - 23, n, 0, mag);
        }
    } else {
        mag = general_power(ax, y);
    }
    return from_bits(mag | odd_sign);
}

void set_power_mode(PowerMode mode) noexcept { g_power_mode.store(mode, std::memory_order_relaxed); }

PowerMode power_mode() noexcept { return g_power_mode.load(std::memory_order_relaxed); }

bool power_mode_from_env(const char* value, PowerMode& out) noexcept {
    if (value == nullptr || std::strcmp(value, kPowerModePlatform) == 0) {
        out = PowerMode::Platform;
        return true;
    }
    if (std::strcmp(value, kPowerModeCorrectlyRounded) == 0) {
        out = PowerMode::CorrectlyRounded;
        return true;
    }
    return false;
}

}  // namespace paywheel
