// The correctly rounded binary32 power.
//
// Plan. Special operands are settled by the C rules first. For a finite,
// non-zero base the magnitude |x|^y is then rounded to the nearest float, and
// the sign comes from the parity of an integer exponent.
//
// * Integer exponents 1 <= |n| <= 1024 (every exponent the engine passes in
//   practice) take a fast path: n log2|x| from a table and a short series,
//   then 2^t from another table and series, all in double. The error bound
//   below tells when that double cannot round to a different float than the
//   exact value; only near a midpoint is the exact comparison used.
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
// than their distance. The enclosures live on the stack up to the width
// proven sufficient for the fast path's cases (see kStackWords), so the
// function never allocates on the engine's exponents and cannot fail there.
#include "paywheel/core/power.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

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
// integer whose top bit is set. One comparison uses one n for all its
// numbers, and the words live in storage the comparison owns (nothing here
// allocates). With equal n, order is by exp, then words. The exponent is
// 128-bit so that no intermediate can overflow it whatever the operands
// (D^(2^j) with j up to 57 stays far inside).
struct Wide {
    u64* words;
    i128 exp;
};

void set_wide(Wide& w, u64 sig, i128 exp, std::size_t n) noexcept {
    const int len = 64 - std::countl_zero(sig);
    std::fill(w.words, w.words + n, u64{0});
    w.words[n - 1] = sig << (64 - len);
    w.exp = exp - static_cast<i128>(64 * n) + len;
}

void copy_wide(Wide& to, const Wide& from, std::size_t n) noexcept {
    std::copy(from.words, from.words + n, to.words);
    to.exp = from.exp;
}

int compare(const Wide& a, const Wide& b, std::size_t n) noexcept {
    if (a.exp != b.exp) return a.exp < b.exp ? -1 : 1;
    for (std::size_t i = n; i-- > 0;) {
        if (a.words[i] != b.words[i]) return a.words[i] < b.words[i] ? -1 : 1;
    }
    return 0;
}

// r = a * b cut to n words, rounded down (up = false) or up (up = true); the
// truncation is the only error, less than one unit of the last word. prod is
// 2n words of scratch; r may be a or b (the product is complete before r is
// written).
void multiply(const Wide& a, const Wide& b, bool up, std::size_t n, u64* prod, Wide& r) noexcept {
    std::fill(prod, prod + 2 * n, u64{0});
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
    std::copy(prod + n, prod + 2 * n, r.words);
    r.exp = exp + static_cast<i128>(64 * n);
    if (up && sticky) {
        std::size_t i = 0;
        while (i < n && ++r.words[i] == 0) ++i;
        if (i == n) {  // carried out: the value is now exactly 2^(64n) * 2^exp
            r.words[n - 1] = u64{1} << 63;
            r.exp += 1;
        }
    }
}

// acc = base^k for k >= 1, every product rounded the same way, so the result
// is a bound in that direction (all values are positive, products
// monotone). acc must not share storage with base.
void power(const Wide& base, u64 k, bool up, std::size_t n, u64* prod, Wide& acc) noexcept {
    copy_wide(acc, base, n);
    for (int i = 62 - std::countl_zero(k); i >= 0; --i) {
        multiply(acc, acc, up, n, prod, acc);
        if ((k >> i) & 1u) multiply(acc, base, up, n, prod, acc);
    }
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

// The widest enclosures kept on the stack, in 64-bit words. For an integer
// exponent |p| <= 1024 with j = 0 (every undecided case of the fast path)
// this bound is proven: 512 words hold x^|p| (at most 24 * 1024 bits) and
// its product with a midpoint (26 more bits) exactly, so at 512 words the
// enclosures are the exact values, and two reals that are not equal (the
// algebraic test rules equality out first) are separated. For the other
// exponents no bound is proven; a sweep of 1.5 million random non-integer
// and large exponents never needed more than 2 words.
constexpr std::size_t kStackWords = 512;

// compare_power's answer when it cannot get the storage it needs.
constexpr int kUnknown = 2;

// The sign of x^(p/2^j) - d, exactly, for x = mx * 2^ex > 0; kUnknown only
// if more than kStackWords words were needed and the allocator refused
// them.
int compare_power(u64 mx, i64 ex, i64 p, int j, Dyadic d) noexcept {
    if (exactly_equal(mx, ex, p, j, d)) return 0;
    const u64 k = p < 0 ? 0u - static_cast<u64>(p) : static_cast<u64>(p);
    // Six numbers of n words and a 2n-word product.
    u64 stack[8 * kStackWords];
    std::unique_ptr<u64[]> heap;
    for (std::size_t n = 2;; n *= 2) {
        u64* store = stack;
        if (n > kStackWords) {
            heap.reset(new (std::nothrow) u64[8 * n]);
            if (!heap) return kUnknown;
            store = heap.get();
        }
        Wide x{store, 0};
        Wide dd{store + n, 0};
        Wide a_lo{store + 2 * n, 0};
        Wide a_hi{store + 3 * n, 0};
        Wide b_lo{store + 4 * n, 0};
        Wide b_hi{store + 5 * n, 0};
        u64* const prod = store + 6 * n;
        set_wide(x, mx, ex, n);
        set_wide(dd, d.sig, d.exp, n);
        power(x, k, false, n, prod, a_lo);
        power(x, k, true, n, prod, a_hi);
        copy_wide(b_lo, dd, n);
        copy_wide(b_hi, dd, n);
        for (int i = 0; i < j; ++i) {
            multiply(b_lo, b_lo, false, n, prod, b_lo);
            multiply(b_hi, b_hi, true, n, prod, b_hi);
        }
        if (p > 0) {
            if (compare(a_hi, b_lo, n) < 0) return -1;
            if (compare(a_lo, b_hi, n) > 0) return 1;
        } else {
            // x^y = (1 / x^|p|)^(1/2^j), so x^y < d  <=>  x^|p| * d^(2^j) > 1.
            Wide& one = x;  // x is no longer needed
            set_wide(one, 1, 0, n);
            multiply(a_lo, b_lo, false, n, prod, a_lo);
            multiply(a_hi, b_hi, true, n, prod, a_hi);
            if (compare(a_lo, one, n) > 0) return -1;
            if (compare(a_hi, one, n) < 0) return 1;
        }
    }
}

// The bits of the float nearest to x^(p/2^j) (ties to even), starting from
// the candidate bits c: step while the value lies beyond a midpoint next to
// the candidate. A midpoint hit exactly picks the even neighbour; the float
// after the largest finite one is +inf, which is how overflow rounds. If a
// comparison cannot get its storage (never on the integer fast path's
// cases, see kStackWords) the candidate reached so far is returned, one
// step at most from the answer, rather than ending the process.
u32 resolve(u64 mx, i64 ex, i64 p, int j, u32 c) noexcept {
    bool below_checked = false;  // the value is known to be above the midpoint below c
    for (;;) {
        if (c < kInfBits) {
            const int s = compare_power(mx, ex, p, j, midpoint_below(c + 1));
            if (s == kUnknown) return c;
            if (s > 0) {
                ++c;
                below_checked = true;
                continue;
            }
            if (s == 0) return (c & 1u) ? c + 1 : c;
        }
        if (c > 0 && !below_checked) {
            const int s = compare_power(mx, ex, p, j, midpoint_below(c));
            if (s == kUnknown) return c;
            if (s < 0) {
                --c;
                continue;
            }
            if (s == 0) return (c & 1u) ? c - 1 : c;
        }
        return c;
    }
}

// ------------------------------------------------- tables for the fast path

// Double-double arithmetic for building the tables at compile time (about
// 100 bits; the tables keep the nearest double, within 2^-53 relative plus
// a negligible 2^-100). Plain + - * /, so the constant evaluator computes
// them exactly as IEEE double operations.
struct DD {
    double hi, lo;
};

constexpr DD fast_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

constexpr DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

constexpr DD two_prod(double a, double b) {
    // Veltkamp splitting into 26-bit halves, so the partial products are exact.
    const double ca = 134217729.0 * a;
    const double ah = ca - (ca - a);
    const double al = a - ah;
    const double cb = 134217729.0 * b;
    const double bh = cb - (cb - b);
    const double bl = b - bh;
    const double p = a * b;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

constexpr DD dd_add(DD a, DD b) {
    const DD s = two_sum(a.hi, b.hi);
    return fast_two_sum(s.hi, s.lo + a.lo + b.lo);
}

constexpr DD dd_mul(DD a, DD b) {
    const DD p = two_prod(a.hi, b.hi);
    return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

constexpr DD dd_div(DD a, DD b) {
    const double q1 = a.hi / b.hi;
    const DD r1 = dd_add(a, dd_mul(b, {-q1, 0.0}));
    const double q2 = r1.hi / b.hi;
    const DD r2 = dd_add(r1, dd_mul(b, {-q2, 0.0}));
    const double q3 = r2.hi / b.hi;
    return dd_add(fast_two_sum(q1, q2), {q3, 0.0});
}

// 2 atanh(s) = ln((1 + s) / (1 - s)) for 0 <= s <= 1/3: the terms fall by 9
// each step, so 40 of them leave far less than 2^-110.
constexpr DD dd_two_atanh(DD s) {
    const DD s2 = dd_mul(s, s);
    DD power = s;
    DD sum{0.0, 0.0};
    for (int k = 0; k < 40; ++k) {
        sum = dd_add(sum, dd_div(power, {2.0 * k + 1.0, 0.0}));
        power = dd_mul(power, s2);
    }
    return dd_add(sum, sum);
}

constexpr DD dd_ln2() { return dd_two_atanh(dd_div({1.0, 0.0}, {3.0, 0.0})); }

// e^a for |a| <= ln 2 by its Taylor series; 40 terms leave less than 2^-150.
constexpr DD dd_exp(DD a) {
    DD term{1.0, 0.0};
    DD sum{1.0, 0.0};
    for (int k = 1; k < 40; ++k) {
        term = dd_div(dd_mul(term, a), {static_cast<double>(k), 0.0});
        sum = dd_add(sum, term);
    }
    return sum;
}

// log2 of the significand m' in [1, 2): the top 7 fraction bits pick i; c_i
// is 1 / (1 + (i + 1/2) / 128) rounded to a multiple of 2^-10, so that
// r = m' c_i - 1 is exact (a 24-bit times an 11-bit significand, then a
// subtraction within a factor of two) and small; log2 m' = log2(1/c_i) +
// log2(1 + r).
struct LogTable {
    double c[128];
    double log2_inv_c[128];  // 256 log2(1/c_i)
};

constexpr LogTable make_log_table() {
    LogTable t{};
    const DD ln2 = dd_ln2();
    for (int i = 0; i < 128; ++i) {
        const int den = 257 + 2 * i;  // 1 + (i + 1/2)/128 = den / 256
        const int num = (262144 + den / 2) / den;  // round(1024 * 256 / den)
        const double c = num / 1024.0;
        t.c[i] = c;
        // ln(1/c) = 2 atanh((1 - c) / (1 + c)); 1 - c and 1 + c are exact.
        const DD s = dd_div({1.0 - c, 0.0}, {1.0 + c, 0.0});
        t.log2_inv_c[i] = 256 * dd_div(dd_two_atanh(s), ln2).hi;
    }
    return t;
}

constexpr LogTable kLog = make_log_table();

// The largest |r| over every table interval, at its two ends (r is monotone
// in m' within an interval): the polynomial bound below assumes 1.25 * 2^-8.
constexpr bool log_reduction_small() {
    for (int i = 0; i < 128; ++i) {
        const double lo = 1.0 + i / 128.0;
        const double hi = 1.0 + (i + 1) / 128.0;
        const double r_lo = lo * kLog.c[i] - 1.0;
        const double r_hi = hi * kLog.c[i] - 1.0;
        if (r_lo < -0x1.4p-8 || r_lo > 0x1.4p-8 || r_hi < -0x1.4p-8 || r_hi > 0x1.4p-8) return false;
    }
    return true;
}
static_assert(log_reduction_small());

struct ExpTable {
    double two_to[256];  // 2^(j/256)
};

constexpr ExpTable make_exp_table() {
    ExpTable t{};
    const DD ln2 = dd_ln2();
    for (int j = 0; j < 256; ++j) t.two_to[j] = dd_exp(dd_mul(ln2, {j / 256.0, 0.0})).hi;
    return t;
}

constexpr ExpTable kExp = make_exp_table();

// Taylor coefficients: log2(1 + r) = sum (-1)^(k+1) r^k / (k ln 2), and
// e^g = sum g^k / k!, each rounded to double.
constexpr double kInvLn2 = 1.0 / (dd_ln2().hi + dd_ln2().lo);
constexpr double kLn2 = dd_ln2().hi;
// The log2 coefficients and table carry the factor 256 (see log2_of).
constexpr double kL1 = 256 * kInvLn2;
constexpr double kL2 = 256 * (-kInvLn2 / 2);
constexpr double kL3 = 256 * (kInvLn2 / 3);
constexpr double kL4 = 256 * (-kInvLn2 / 4);
constexpr double kL5 = 256 * (kInvLn2 / 5);
constexpr double kL6 = 256 * (-kInvLn2 / 6);
constexpr double kLn2Over256 = kLn2 / 256;
constexpr double kE3 = 1.0 / 6;
constexpr double kE4 = 1.0 / 24;

// ------------------------------------------------------------- fast path

// |x|^n for 1 <= |n| <= 1024: the bits of the nearest float with kDecided
// set, or without it the bits of the float of the approximation, when that
// is too close to a midpoint to decide.
//
// Method: t = n log2|x| = n (E + log2(1/c_i) + log2(1 + r)), then 2^t =
// 2^k 2^(j/256) e^(f ln 2) with J = round(256 t) = 256 k + j and
// f = t - J/256.
//
// Error bound (u = 2^-53), for |n| <= 1024 and a result not screened out as
// overflow or underflow (|t| <= 152):
// * log2(1 + r), |r| <= 1.25 * 2^-8 (checked by static_assert above): the
//   series cut after r^6 leaves at most |r|^7 / (7 ln 2 (1 - |r|)) < 2^-56;
//   evaluating it (everything beyond the first pair is multiplied by
//   r^2 < 2^-15) rounds the coefficient 1/ln 2, the two sums that carry it
//   and the final product: less than |r| (3 * 1.45 u + 1.5 u) < 2^-58.
// * the table entry log2(1/c_i) < 1 is within 2^-54 (plus 2^-100); adding
//   the polynomial (sum below 1.01) rounds by at most u; adding E rounds by
//   at most u |E + log2 m'|. So the computed l differs from log2|x| by at
//   most 1.66 u + u |log2 |x||.
// * t = fl(n l): |n| * 1.66 u + u |n log2|x|| + u |t| <= 1024 * 1.66 u +
//   2 * 152 u * 1.0001 < 2^-42.03.
// * J and f are exact (J by the 1.5 * 2^52 rounding trick, |256 t| < 2^51;
//   f is a multiple of t's last place below 2^-9). g = fl(f ln2) differs
//   from f ln 2 by less than 2^-62 (|f| <= 2^-9). e^g by the series to g^4:
//   cut |g|^5 / 120 * 1.01 < 2^-54.4 (|g| <= ln2 / 512); rounding: u for
//   1 + g and for the final sum, everything else multiplied by g^2 < 2^-19,
//   < 1.1 u in all (the final sum's u counted with the product below). The
//   table entry 2^(j/256) is within u (plus 2^-100), and the product rounds
//   by u: about 3.2 u = 2^-51.3 in all. Scaling by 2^k is exact.
// * So the computed v = 2^t' (1 + d_e) with |t' - n log2|x|| < 2^-42 and
//   |d_e| < 2^-51.3: |v / X - 1| < 2^-42 ln 2 (1.0001) + 2^-51.3 < 2^-42.
//
// Rounding test. For v in [2^e, 2^(e+1)) with e >= -126 the error is below
// 2049 units of v's last double place (2^(e-52)). The midpoints between
// floats of that binade are the doubles whose 29 bits below the float's 24
// are exactly 100...0; the nearest ones in the neighbouring binades are at
// least 2^27 units away. If the low 29 bits of v differ from 2^28 by more
// than 4096, no midpoint lies within |X - v| of v, so X and v round to the
// same float, and the conversion of v is correct. Below 2^-126 the grid is
// fixed: in units of 2^-150 (w = v * 2^150) the midpoints are the odd
// integers, and the same argument needs |w - nearest odd| > w * 2^-41.
// Beyond the range: t' >= 128.5 means X > 2^128.49, past the overflow
// threshold; t' < -151 means X < 2^-150.99, which rounds to zero.

constexpr u64 kDecided = u64{1} << 32;

// Shared by both forms below: 256 log2|x| for |x| = sig * 2^(exp - 23). The
// factor 256 (exact in every table entry, coefficient and rounding) saves
// the scalings around J = round(256 t); the bounds below are stated for t.
inline double log2_of(u32 sig, int exp) noexcept {
    const u32 i = (sig >> 16) & 127u;
    const double m = std::bit_cast<double>((static_cast<u64>(sig & 0x7fffffu) << 29) | (u64{1023} << 52));
    const double r = m * kLog.c[i] - 1.0;
    // Estrin's scheme: three independent pairs, so the chain is short.
    const double r2 = r * r;
    const double p = r * ((kL1 + kL2 * r) + r2 * ((kL3 + kL4 * r) + r2 * (kL5 + kL6 * r)));
    return static_cast<double>(exp * 256) + (kLog.log2_inv_c[i] + p);
}

// 2^(J/256 + f/256) as s * 2^k, s in [0.99, 2): returns s.
inline double exp2_parts(std::int32_t J, double f) noexcept {
    const double g = f * kLn2Over256;
    const double g2 = g * g;
    const double q = (1.0 + g) + g2 * ((0.5 + kE3 * g) + g2 * kE4);
    return kExp.two_to[J & 255] * q;
}

inline bool midpoint_far(u64 v_bits) noexcept {
    // |low 29 bits - 2^28| > 4096, as one unsigned comparison.
    const u64 low = v_bits & ((u64{1} << 29) - 1u);
    return low - ((u64{1} << 28) - 4096u) > 8192u;
}

// Every case of the fast path: subnormal bases, results near or beyond the
// ends of the range.
[[gnu::noinline]] u64 fast_integer_power_edges(u32 ax, int n) noexcept {
    const Unpacked u = unpack(ax);
    const double t = static_cast<double>(n) * log2_of(u.sig, u.exp);  // 256 t
    if (!(t < 128.5 * 256)) return kDecided | kInfBits;
    if (t < -151.0 * 256) return kDecided;  // +0
    const double shifted = t + 0x1.8p52;
    const auto J = static_cast<std::int32_t>(static_cast<u32>(std::bit_cast<u64>(shifted)));
    const double f = t - (shifted - 0x1.8p52);
    const double s = exp2_parts(J, f);
    const std::int32_t k = J >> 8;  // floor(J / 256)
    const u64 v_bits = std::bit_cast<u64>(s) + (static_cast<u64>(static_cast<i64>(k)) << 52);
    const double v = std::bit_cast<double>(v_bits);
    const int e = static_cast<int>((v_bits >> 52) & 0x7ffu) - 1023;
    const u64 out = std::bit_cast<u32>(static_cast<float>(v));
    if (e >= -126) return midpoint_far(v_bits) ? kDecided | out : out;
    const double w = v * 0x1p150;
    const double odd = 2.0 * std::floor(w * 0.5) + 1.0;
    return std::fabs(w - odd) > w * 0x1p-41 ? kDecided | out : out;
}

// The fast path's undecided cases. candidate is the float of the fast value,
// within 2^-42 of the exact one, so at most one step from the answer.
[[gnu::noinline]] u32 resolve_integer_power(u32 ax, int n, u32 candidate) noexcept {
    const Unpacked u = unpack(ax);
    return resolve(u.sig, static_cast<i64>(u.exp) - 23, n, 0, candidate);
}

// The hand-offs of the common path below, out of line and given the sign of
// the result (negative base, odd n), so that each is a tail call and the
// common path needs no saved registers.
[[gnu::noinline]] float integer_power_edges(u32 ax, int n, u32 sign) noexcept {
    const u64 fast = fast_integer_power_edges(ax, n);
    const u32 mag = (fast & kDecided) ? static_cast<u32>(fast) : resolve_integer_power(ax, n, static_cast<u32>(fast));
    return from_bits(mag | sign);
}

[[gnu::noinline]] float integer_power_undecided(u32 ax, int n, u32 candidate, u32 sign) noexcept {
    return from_bits(resolve_integer_power(ax, n, candidate) | sign);
}

// The common case: a normal base and a result 2^t with -125 <= t' < 127,
// where v is a normal float value and only the midpoint test remains (a v
// just below 2^128 that rounds to +inf converts to +inf correctly). l is
// log2_of for |x| (the bits ax).
inline float integer_power_from_log(u32 ax, int n, double l, u32 sign) noexcept {
    // 256 t, below 2^51 in magnitude: |n| <= 1024 and |log2|x|| < 150.
    const double t = static_cast<double>(n) * l;
    const double shifted = t + 0x1.8p52;
    const auto J = static_cast<std::int32_t>(static_cast<u32>(std::bit_cast<u64>(shifted)));
    if (static_cast<u32>(J + 125 * 256) >= 252u * 256u) return integer_power_edges(ax, n, sign);
    const double f = t - (shifted - 0x1.8p52);
    // 2^k built alongside the series, and applied by an exact product.
    const double scale = std::bit_cast<double>(static_cast<u64>(static_cast<i64>((J >> 8) + 1023)) << 52);
    const double v = exp2_parts(J, f) * scale;
    const u32 out = std::bit_cast<u32>(static_cast<float>(v));
    if (!midpoint_far(std::bit_cast<u64>(v))) return integer_power_undecided(ax, n, out, sign);
    return from_bits(out | sign);
}

// The engine asks for many powers of one base in a row (every period of a
// loan), so each thread keeps log2_of of the last normal |x| it saw, keyed
// by the bits of |x|. A hit returns the very double log2_of would compute,
// so the results are the same bits either way. The key starts at 0, which is
// no normal |x| (those are at least 0x800000), and only normal bases reach
// the cache: specials, zeros and subnormals never enter it. thread_local
// keeps concurrent callers from seeing each other's entry.
struct LogCache {
    u32 ax;
    double log256;
};
thread_local LogCache t_log_cache{0u, 0.0};

[[gnu::noinline]] float integer_power_miss(u32 ax, int n, u32 sign) noexcept {
    const double l = log2_of((ax & 0x7fffffu) | 0x800000u, static_cast<int>(ax >> 23) - 127);
    t_log_cache = LogCache{ax, l};
    return integer_power_from_log(ax, n, l, sign);
}

// |x|^n with the given sign, for |x| = the bits ax finite and non-zero and
// 1 <= |n| <= 1024.
inline float integer_power(u32 ax, int n, u32 sign) noexcept {
    if (ax < 0x800000u) return integer_power_edges(ax, n, sign);
    const LogCache& c = t_log_cache;
    if (c.ax != ax) return integer_power_miss(ax, n, sign);
    return integer_power_from_log(ax, n, c.log256, sign);
}

// |x|^y for finite, non-zero x (given by ax = |x|'s bits) and a finite,
// non-zero y that is not handled by the fast path: the bits of the result.
u32 general_power(u32 ax, float y) noexcept {
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

// Special operands, integers beyond 1024 in magnitude, and non-integers.
[[gnu::noinline]] float other_power(float x, float y) noexcept {
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

    if (ax == kOneBits) return from_bits(kOneBits | odd_sign);  // (-1)^n, n an integer
    // Integers beyond 1024 in magnitude, and non-integers.
    return from_bits(general_power(ax, y) | odd_sign);
}

std::atomic<PowerMode> g_power_mode{PowerMode::Platform};

}  // namespace

float correctly_rounded_powf(float x, float y) noexcept {
    const u32 bx = std::bit_cast<u32>(x);
    const u32 by = std::bit_cast<u32>(y);
    const u32 ax = bx & kAbsMask;
    const u32 ay = by & kAbsMask;
    // The engine's case first: x finite and non-zero, y a non-zero integer
    // with |y| <= 1024 (so the conversion to int is in range and exact).
    if (ax - 1u < kInfBits - 1u && ay - 1u < 0x44800000u) {
        const int n = static_cast<int>(y);
        if (static_cast<float>(n) == y) {
            const u32 sign = bx & (static_cast<u32>(n) << 31);  // negative base, odd n
            return integer_power(ax, n, sign);
        }
    }
    return other_power(x, y);
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
