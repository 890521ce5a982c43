// The correctly rounded power against exact arithmetic.
//
// Oracles, none of which shares code with the function under test:
// * GMP rationals for integer exponents: |x|^n is compared exactly with the
//   midpoints between the returned float and its neighbours (computed here
//   in double, where floats and their midpoints are exact). The result is
//   correct exactly when it lies between them, a midpoint itself only for
//   the even neighbour.
// * MPFR for everything else: a 24-bit result with the binary32 exponent
//   range and subnormal emulation, which MPFR rounds correctly by design.
// * For the sweeps over the engine's bases, binary128 running products with
//   their own error bound screen the results, and GMP decides the few that
//   lie too close to a midpoint for that bound.
//
// The default run takes a bounded sample; QH_LONG_POWER_TESTS=1 runs the
// full sweeps (every base in [1, 1.05) with exponents -360..360 and 10^7
// random pairs). QH_POWER_SCALE=<factor> scales the default sample.
#include <gtest/gtest.h>
#include <gmp.h>
#include <mpfr.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "paywheel/core/power.hpp"
#include "test_support.hpp"

namespace {

using paywheel::correctly_rounded_powf;

std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }
float float_of(std::uint32_t b) { return std::bit_cast<float>(b); }

bool same(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return bits_of(a) == bits_of(b);
}

std::string show(float f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a (0x%08x)", static_cast<double>(f), bits_of(f));
    return buf;
}

using paywheel::testing::long_run;
using paywheel::testing::Rng;
using paywheel::testing::sample_scale;

// ------------------------------------------------------------ GMP oracle

// The sign of |x|^n - m, exactly, for finite non-zero x and a positive
// double m.
int exact_sign(float x, long n, double m) {
    int ex = 0;
    const double fx = std::frexp(std::fabs(static_cast<double>(x)), &ex);
    const auto mx = static_cast<unsigned long>(std::ldexp(fx, 24));
    ex -= 24;  // |x| = mx * 2^ex
    int em = 0;
    const double fm = std::frexp(m, &em);
    mpz_t a, b;
    mpz_init(a);
    mpz_init(b);
    mpz_set_d(b, std::ldexp(fm, 53));
    em -= 53;  // m = b * 2^em
    const unsigned long k = static_cast<unsigned long>(n < 0 ? -n : n);
    mpz_ui_pow_ui(a, mx, k);
    int sign;
    if (n >= 0) {
        // mx^k 2^(ex k) against b 2^em
        const long s = static_cast<long>(ex) * n - em;
        if (s >= 0) mpz_mul_2exp(a, a, static_cast<mp_bitcnt_t>(s));
        else mpz_mul_2exp(b, b, static_cast<mp_bitcnt_t>(-s));
        sign = mpz_cmp(a, b);
    } else {
        // 1 / (mx^k 2^(ex k)) against b 2^em  <=>  1 against mx^k b 2^(ex k + em)
        mpz_mul(a, a, b);
        const long s = static_cast<long>(ex) * static_cast<long>(k) + em;
        mpz_set_ui(b, 1);
        if (s >= 0) mpz_mul_2exp(a, a, static_cast<mp_bitcnt_t>(s));
        else mpz_mul_2exp(b, b, static_cast<mp_bitcnt_t>(-s));
        sign = -mpz_cmp(a, b);
    }
    mpz_clear(a);
    mpz_clear(b);
    return sign > 0 ? 1 : (sign < 0 ? -1 : 0);
}

// The value of the non-negative float with bits b, with the bits of +inf
// standing for 2^128, the float the overflow threshold rounds towards.
double grid_value(std::uint32_t b) { return b == 0x7f800000u ? 0x1p128 : static_cast<double>(float_of(b)); }

// Whether got is the correctly rounded x^n (finite non-zero x), decided with
// exact rationals against the midpoints around got.
::testing::AssertionResult exact_integer_check(float x, long n, float got) {
    const bool negative = std::signbit(x) && (n % 2 != 0);
    if (std::isnan(got) || std::signbit(got) != negative)
        return ::testing::AssertionFailure() << "wrong sign or NaN: x=" << show(x) << " n=" << n << " got " << show(got);
    const std::uint32_t c = bits_of(got) & 0x7fffffffu;
    if (n == 0) {
        if (c == 0x3f800000u) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "x^0 != 1";
    }
    if (c > 0) {
        const double lo = (grid_value(c - 1) + grid_value(c)) / 2;
        const int s = exact_sign(x, n, lo);
        if (s < 0 || (s == 0 && (c & 1u)))
            return ::testing::AssertionFailure() << "x=" << show(x) << " n=" << n << " got " << show(got)
                                                 << " is above the correctly rounded value";
    }
    if (c < 0x7f800000u) {
        const double hi = (grid_value(c) + grid_value(c + 1)) / 2;
        const int s = exact_sign(x, n, hi);
        if (s > 0 || (s == 0 && (c & 1u)))
            return ::testing::AssertionFailure() << "x=" << show(x) << " n=" << n << " got " << show(got)
                                                 << " is below the correctly rounded value";
    }
    return ::testing::AssertionSuccess();
}

// ----------------------------------------------------------- MPFR oracle

// x^y rounded once to binary32 (24 bits, the binary32 exponent range and its
// subnormals), with C's special values.
float mpfr_powf(float x, float y) {
    const mpfr_exp_t old_min = mpfr_get_emin();
    const mpfr_exp_t old_max = mpfr_get_emax();
    mpfr_set_emin(-148);
    mpfr_set_emax(128);
    mpfr_t a, b, r;
    mpfr_init2(a, 24);
    mpfr_init2(b, 24);
    mpfr_init2(r, 24);
    mpfr_set_flt(a, x, MPFR_RNDN);
    mpfr_set_flt(b, y, MPFR_RNDN);
    int inex = mpfr_pow(r, a, b, MPFR_RNDN);
    inex = mpfr_check_range(r, inex, MPFR_RNDN);
    mpfr_subnormalize(r, inex, MPFR_RNDN);
    const float out = mpfr_get_flt(r, MPFR_RNDN);
    mpfr_clear(a);
    mpfr_clear(b);
    mpfr_clear(r);
    mpfr_set_emin(old_min);
    mpfr_set_emax(old_max);
    return out;
}

// --------------------------------------------------- the five cases

TEST(CorrectlyRoundedPower, TheFiveCasesWherePlatformVariantsDisagree) {
    // Base bits, exponent, and the two results the platform variants gave.
    struct Case {
        std::uint32_t base;
        long n;
        std::uint32_t a, b;
    };
    const Case cases[] = {{1065617246u, 108, 0x41e34fe3u, 0x41e34fe4u},
                          {1065666945u, 68, 0x414249f0u, 0x414249efu},
                          {1065668457u, 337, 0x4874dd9du, 0x4874dd9eu},
                          {1065724193u, 94, 0x4269b38fu, 0x4269b38eu},
                          {1065743210u, 195, 0x45dc6d49u, 0x45dc6d4au}};
    for (const Case& c : cases) {
        const float x = float_of(c.base);
        const float got = correctly_rounded_powf(x, static_cast<float>(c.n));
        EXPECT_TRUE(exact_integer_check(x, c.n, got));
        // Exactly one of the two variants was right, and the exact check
        // must single it out.
        EXPECT_NE(static_cast<bool>(exact_integer_check(x, c.n, float_of(c.a))),
                  static_cast<bool>(exact_integer_check(x, c.n, float_of(c.b))));
        EXPECT_TRUE(bits_of(got) == c.a || bits_of(got) == c.b) << c.base;
        // These are hard cases: the exact value lies within 1% of a unit of
        // the midpoint between the two candidates.
        const double mid = (static_cast<double>(float_of(c.a)) + static_cast<double>(float_of(c.b))) / 2;
        const double unit = std::fabs(static_cast<double>(float_of(c.a)) - static_cast<double>(float_of(c.b)));
        EXPECT_NE(exact_sign(x, c.n, mid - unit / 100), exact_sign(x, c.n, mid + unit / 100));
        // And the same bits through the negative exponent's reciprocal path.
        EXPECT_TRUE(exact_integer_check(x, -c.n, correctly_rounded_powf(x, static_cast<float>(-c.n))));
    }
}

// ---------------------------------------------------------- exact powers

TEST(CorrectlyRoundedPower, PowersOfTwoAcrossTheWholeRange) {
    // 2^(k n): exact, subnormal, the tie at 2^-150 (to zero), beyond it
    // (zero), and overflow; for both signs of the base.
    for (int k = -149; k <= 127; ++k) {
        const float x = std::ldexp(1.0f, k);
        for (long n = -300; n <= 300; ++n) {
            for (const float b : {x, -x}) {
                const float got = correctly_rounded_powf(b, static_cast<float>(n));
                ASSERT_TRUE(exact_integer_check(b, n, got));
            }
        }
    }
    EXPECT_EQ(bits_of(correctly_rounded_powf(0x1p-75f, 2.0f)), 0u);           // 2^-150: the tie goes to 0
    EXPECT_EQ(bits_of(correctly_rounded_powf(0x1p-50f, 3.0f)), 0u);           // 2^-150 once more
    EXPECT_EQ(bits_of(correctly_rounded_powf(0x1.8p-75f, 2.0f)), 1u);         // 2.25 * 2^-150 rounds to 2^-149
    EXPECT_EQ(bits_of(correctly_rounded_powf(0x1p-100f, 1.5f)), 0u);          // 2^-150 again, via a root
    EXPECT_EQ(bits_of(correctly_rounded_powf(4.0f, 64.0f)), 0x7f800000u);    // 2^128 overflows
}

TEST(CorrectlyRoundedPower, ExactIntegerPowersAndTheirHalfwayCases) {
    // m^n for odd m below 4096 while m^n has at most 25 significant bits: at 24
    // or fewer the result is exact; at 25 (odd m) it is a midpoint and must
    // round to even. Scaled by 2^s, the same values reach the subnormals.
    long ties = 0, exact = 0;
    for (std::uint64_t m = 3; m <= 4095; m += 2) {  // odd m; the scalings cover the even ones
        std::uint64_t p = m;
        for (long n = 2;; ++n) {
            p *= m;
            const std::uint64_t odd = p;
            if (odd >= (std::uint64_t{1} << 25)) break;
            for (const int s : {0, 1, -7, -40, -60, 9}) {
                // x = m 2^s, x^n = m^n 2^(s n)
                const float x = std::ldexp(static_cast<float>(m), s);
                const float got = correctly_rounded_powf(x, static_cast<float>(n));
                ASSERT_TRUE(exact_integer_check(x, n, got));
                if (s == 0) {
                    if (odd < (std::uint64_t{1} << 24)) {
                        ++exact;
                        ASSERT_EQ(static_cast<double>(got), static_cast<double>(p)) << m << "^" << n;
                    } else {
                        ++ties;  // p is a midpoint between two floats
                    }
                }
            }
        }
    }
    EXPECT_GT(ties, 10);
    EXPECT_GT(exact, 1000);
    // 11^7 = 19487171 lies halfway between 19487170 and 19487172; the even
    // significand is 19487172's. 3^15 * 2 = 28697814 is exact.
    EXPECT_EQ(correctly_rounded_powf(11.0f, 7.0f), 19487172.0f);
}

TEST(CorrectlyRoundedPower, ExactNonIntegerPowersAndTheirHalfwayCases) {
    // x = w^(2^j), y = p / 2^j: x^y = w^p exactly, a float or a midpoint.
    struct Case {
        float x, y;
    };
    const Case cases[] = {{2.25f, 0.5f},    {2.25f, 1.5f},    {2.25f, -0.5f},   {121.0f, 3.5f},  {121.0f, 2.5f},
                          {6561.0f, 0.125f}, {6561.0f, 1.875f}, {81.0f, 0.25f},   {81.0f, 3.75f},  {0x1p-100f, 1.5f},
                          {0x1p-100f, 1.49f}, {16.0f, -0.25f},  {0.0625f, 0.75f}, {9.0f, 7.5f},    {1.0f / 64, 1.5f},
                          {14641.0f, 1.75f}, {0x1.2p-124f, 0.5f}, {0x1.2p-60f, 2.5f}};
    for (const Case& c : cases) {
        const float got = correctly_rounded_powf(c.x, c.y);
        EXPECT_TRUE(same(got, mpfr_powf(c.x, c.y))) << show(c.x) << " ^ " << c.y << " = " << show(got);
    }
    // 121^3.5 = 11^7, the midpoint above.
    EXPECT_EQ(correctly_rounded_powf(121.0f, 3.5f), 19487172.0f);
    EXPECT_EQ(correctly_rounded_powf(2.25f, 0.5f), 1.5f);
}

// --------------------------------------------------------- special values

TEST(CorrectlyRoundedPower, SpecialValuesAsThePlatformPowf) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float big = std::numeric_limits<float>::max();
    const std::vector<float> xs = {0.0f, -0.0f, inf, -inf, nan, -nan, 1.0f, -1.0f, 0.5f, -0.5f, 2.0f, -2.0f,
                                   3.0f, -3.0f, tiny, -tiny, big, -big, 0.999999940f, 1.00000012f, -1.00000012f};
    const std::vector<float> ys = {0.0f,  -0.0f,  inf,   -inf,  nan,         1.0f,        -1.0f,  2.0f,   -2.0f,
                                   3.0f,  -3.0f,  0.5f,  -0.5f, 1.5f,        -1.5f,       5.0f,   -5.0f,  0x1p24f,
                                   -0x1p24f, 16777215.0f, -16777215.0f, 0x1p31f, -0x1p31f, big, -big, tiny, -tiny};
    int special = 0;
    for (const float x : xs) {
        for (const float y : ys) {
            const float got = correctly_rounded_powf(x, y);
            EXPECT_TRUE(same(got, mpfr_powf(x, y))) << show(x) << " ^ " << show(y) << " = " << show(got);
            // Where an operand is special, the C rules fix the result, so
            // the platform must agree to the bit (NaN to NaN).
            const bool exact_by_rule = !std::isfinite(x) || !std::isfinite(y) || x == 0.0f || y == 0.0f ||
                                       std::fabs(x) == 1.0f || (x < 0 && y != std::trunc(y));
            if (exact_by_rule) {
                ++special;
                EXPECT_TRUE(same(got, ::powf(x, y))) << show(x) << " ^ " << show(y) << " = " << show(got)
                                                     << " platform " << show(::powf(x, y));
            }
        }
    }
    EXPECT_GT(special, 300);
}

// ------------------------------------------------------------ random pairs

// A base whose power by n lands near 2^t (t random over the whole range,
// including both edges), so that huge exponents still give finite,
// non-zero results.
float aimed_base(Rng& rng, double n, double lo_t, double hi_t) {
    float x;
    do {
        const double t = lo_t + (hi_t - lo_t) * rng.unit();
        x = static_cast<float>(std::exp2(t / n));
    } while (!std::isfinite(x) || x == 0.0f);  // small n can aim beyond the floats
    return (rng.next() & 1u) ? -x : x;
}

long random_exponent(Rng& rng, long max_magnitude) {
    // log-uniform magnitude, random sign
    const double mag = std::exp2(rng.unit() * std::log2(static_cast<double>(max_magnitude)));
    long n = static_cast<long>(mag);
    if (n > max_magnitude) n = max_magnitude;
    return (rng.next() & 1u) ? -n : n;
}

struct Tally {
    long pairs = 0;
    long platform_differs = 0;
};

// Integer exponents: random bases of every kind (GMP decides exactly while
// |n| stays small enough for m^n; MPFR beyond), and bases aimed at results
// anywhere in the range, overflow and underflow edges included.
void random_integer_pairs(long count, std::uint64_t seed, Tally& tally) {
    Rng rng{seed};
    for (long i = 0; i < count; ++i) {
        float x;
        long n;
        switch (i % 4) {
            case 0:  // any finite non-zero base, moderate exponents
                do x = float_of(static_cast<std::uint32_t>(rng.next())); while (!std::isfinite(x) || x == 0.0f);
                n = random_exponent(rng, 400);
                break;
            case 1:  // base in [0.5, 2), exponents -400..400
                x = static_cast<float>(0.5 + 1.5 * rng.unit());
                n = static_cast<long>(rng.next() % 801) - 400;
                break;
            case 2:  // anywhere in the range, exponents up to 2^31 - 128
                n = random_exponent(rng, 2147483520);
                if (n == 0) n = 1;
                x = aimed_base(rng, static_cast<double>(n), -155.0, 131.0);
                break;
            default:  // near the overflow and underflow edges
                n = random_exponent(rng, 2147483520);
                if (n == 0) n = 1;
                x = (rng.next() & 1u) ? aimed_base(rng, static_cast<double>(n), 127.5, 128.5)
                                      : aimed_base(rng, static_cast<double>(n), -151.0, -125.0);
                break;
        }
        const float y = static_cast<float>(n);
        n = static_cast<long>(y);  // the exponent as the function sees it
        const float got = correctly_rounded_powf(x, y);
        if (std::labs(n) <= 4096) {
            ASSERT_TRUE(exact_integer_check(x, n, got)) << "seed " << seed << " pair " << i;
        } else {
            ASSERT_TRUE(same(got, mpfr_powf(x, y))) << "x=" << show(x) << " y=" << y << " got " << show(got)
                                                     << " expected " << show(mpfr_powf(x, y));
        }
        ++tally.pairs;
        tally.platform_differs += !same(got, ::powf(x, y));
    }
}

// Non-integer exponents: random pairs of every kind, and pairs aimed at
// results across the range.
void random_real_pairs(long count, std::uint64_t seed, Tally& tally) {
    Rng rng{seed};
    for (long i = 0; i < count; ++i) {
        float x, y;
        if (i % 2 == 0) {
            do x = float_of(static_cast<std::uint32_t>(rng.next()) & 0x7fffffffu); while (!std::isfinite(x) || x == 0.0f);
            const double mag = std::exp2(-40.0 + 70.0 * rng.unit());
            y = static_cast<float>((rng.next() & 1u) ? -mag : mag);
        } else {
            y = static_cast<float>((rng.unit() - 0.5) * std::exp2(-30.0 + 54.0 * rng.unit()));
            const double t = -152.0 + 282.0 * rng.unit();
            x = static_cast<float>(std::exp2(t / static_cast<double>(y)));
            if (!std::isfinite(x) || x == 0.0f) x = 1.5f;
        }
        const float got = correctly_rounded_powf(x, y);
        const float want = mpfr_powf(x, y);
        ASSERT_TRUE(same(got, want)) << "x=" << show(x) << " y=" << show(y) << " got " << show(got) << " expected "
                                     << show(want);
        ++tally.pairs;
        tally.platform_differs += !same(got, ::powf(x, y));
    }
}

TEST(CorrectlyRoundedPower, RandomIntegerExponentsAcrossTheRange) {
    Tally t;
    random_integer_pairs(static_cast<long>(300000 * sample_scale()), 11, t);
    std::printf("[ power ] %ld random integer pairs, platform powf differs on %ld\n", t.pairs, t.platform_differs);
}

TEST(CorrectlyRoundedPower, RandomNonIntegerExponents) {
    Tally t;
    random_real_pairs(static_cast<long>(200000 * sample_scale()), 12, t);
    std::printf("[ power ] %ld random non-integer pairs, platform powf differs on %ld\n", t.pairs, t.platform_differs);
}

// ------------------------------------------- one base after another

// The function keeps the last base's logarithm per thread. Neighbouring
// bases (one unit apart), a base and its negative, a subnormal and special
// values in between, in runs and interleaved call by call and on two
// threads at once, must all give the exactly rounded results, and the same
// bits whatever the order.
TEST(CorrectlyRoundedPower, BasesInRunsInterleavedAndOnTwoThreads) {
    const float near = 1.0f + 0.004f;
    const float bases[] = {near,
                           float_of(bits_of(near) + 1u),
                           -near,
                           float_of(bits_of(near) - 1u),
                           1.0f + 0.0125f,
                           0.75f,
                           float_of(0x00400001u),  // subnormal
                           -3.5f,
                           1e-20f};
    constexpr int kBases = sizeof bases / sizeof bases[0];
    constexpr int kLow = -200, kHigh = 360;
    constexpr int kExps = kHigh - kLow + 1;
    // In runs: every exponent of one base before the next.
    std::vector<std::uint32_t> runs(kBases * kExps);
    for (int b = 0; b < kBases; ++b) {
        for (int n = kLow; n <= kHigh; ++n) {
            const float got = correctly_rounded_powf(bases[b], static_cast<float>(n));
            runs[b * kExps + (n - kLow)] = bits_of(got);
            if (n != 0 && std::isfinite(got) && got != 0.0f) {
                ASSERT_TRUE(exact_integer_check(bases[b], n, got));
            }
        }
    }
    // Interleaved, with a NaN, an infinity and a zero base between the
    // calls: none of them may disturb what the next call sees.
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 0.0f};
    auto interleaved = [&](int first_base, std::vector<std::uint32_t>& out) {
        out.assign(kBases * kExps, 0u);
        for (int n = kLow; n <= kHigh; ++n) {
            for (int i = 0; i < kBases; ++i) {
                const int b = (first_base + i) % kBases;
                out[b * kExps + (n - kLow)] = bits_of(correctly_rounded_powf(bases[b], static_cast<float>(n)));
                (void)correctly_rounded_powf(specials[(n - kLow + i) % 3], static_cast<float>(n));
            }
        }
    };
    std::vector<std::uint32_t> mixed;
    interleaved(0, mixed);
    EXPECT_EQ(mixed, runs);
    // Two threads, each starting from a different base, while this thread
    // runs through the bases too.
    std::vector<std::uint32_t> t1, t2, here;
    std::thread a([&] { interleaved(1, t1); });
    std::thread b([&] { interleaved(5, t2); });
    interleaved(3, here);
    a.join();
    b.join();
    EXPECT_EQ(t1, runs);
    EXPECT_EQ(t2, runs);
    EXPECT_EQ(here, runs);
}

// ------------------------------------------------- the engine's own bases

using f128 = __float128;

struct SweepTally {
    long bases = 0;
    long pairs = 0;
    long decided_by_gmp = 0;
    long platform_differs = 0;
    long bases_platform_differs = 0;
};

// Every stride-th base in [1, 1.05) with exponents -360..360. The running
// products P_n = fl(P_(n-1) x) in binary128 (u = 2^-113) carry a relative
// error below (1 + u)^n - 1 < 2n u; with the reciprocal 1/x rounded once
// more, below (1 + u)^(2n) - 1 < 4n u for the negative side. A result is
// accepted when P lies farther than twice that from both midpoints around it
// (so no midpoint lies between P and the exact value); otherwise GMP
// decides exactly.
void sweep_engine_bases(std::uint32_t stride, SweepTally& tally) {
    const std::uint32_t first = bits_of(1.0f);
    const std::uint32_t last = bits_of(1.05f);  // 1.05f itself is above 1.05
    for (std::uint32_t b = first; b < last; b += stride) {
        const float x = float_of(b);
        const f128 up = x;
        const f128 down = f128(1) / up;
        f128 p_up = 1, p_down = 1;
        bool base_differs = false;
        for (long n = 0; n <= 360; ++n) {
            for (const int sign : {1, -1}) {
                if (n == 0 && sign < 0) continue;
                const long e = sign * n;
                const float got = correctly_rounded_powf(x, static_cast<float>(e));
                const f128 p = sign > 0 ? p_up : p_down;
                const f128 slack = p * f128(2 * (sign > 0 ? 2 : 4) * (n + 1)) * f128(0x1p-113);
                const std::uint32_t c = bits_of(got);
                bool ok = c < 0x7f800000u && c > 0;
                if (ok) {
                    const f128 lo = (f128(grid_value(c - 1)) + f128(grid_value(c))) / 2;
                    const f128 hi = (f128(grid_value(c)) + f128(grid_value(c + 1))) / 2;
                    ok = p - lo > slack && hi - p > slack;
                }
                if (!ok) {
                    ++tally.decided_by_gmp;
                    ASSERT_TRUE(exact_integer_check(x, e, got));
                }
                ++tally.pairs;
                if (!same(got, ::powf(x, static_cast<float>(e)))) {
                    ++tally.platform_differs;
                    base_differs = true;
                }
            }
            p_up = p_up * up;
            p_down = p_down * down;
        }
        ++tally.bases;
        tally.bases_platform_differs += base_differs;
    }
}

void print_sweep(const char* what, const SweepTally& t) {
    std::printf("[ power ] %s: %ld bases, %ld pairs, %ld decided by GMP, platform powf differs on %ld pairs (%ld bases)\n",
                what, t.bases, t.pairs, t.decided_by_gmp, t.platform_differs, t.bases_platform_differs);
}

TEST(CorrectlyRoundedPower, EngineBasesSample) {
    SweepTally t;
    const double scale = sample_scale();
    const auto stride = static_cast<std::uint32_t>(scale > 0 ? 10.0 / scale : 1e9);
    sweep_engine_bases(stride < 1 ? 1 : stride, t);
    print_sweep("engine bases sample", t);
    EXPECT_GT(t.bases, 0);
}

// ---------------------------------------------------------- the long runs

TEST(CorrectlyRoundedPowerLong, EveryEngineBaseWithExponentsToThreeHundredSixty) {
    if (!long_run()) GTEST_SKIP() << "set QH_LONG_POWER_TESTS=1";
    SweepTally t;
    sweep_engine_bases(1, t);
    print_sweep("every base in [1, 1.05)", t);
    EXPECT_EQ(t.bases, static_cast<long>(bits_of(1.05f) - bits_of(1.0f)));
}

TEST(CorrectlyRoundedPowerLong, TenMillionRandomIntegerPairs) {
    if (!long_run()) GTEST_SKIP() << "set QH_LONG_POWER_TESTS=1";
    Tally t;
    random_integer_pairs(10000000, 2026, t);
    std::printf("[ power ] %ld random integer pairs, platform powf differs on %ld\n", t.pairs, t.platform_differs);
}

TEST(CorrectlyRoundedPowerLong, MillionRandomNonIntegerPairs) {
    if (!long_run()) GTEST_SKIP() << "set QH_LONG_POWER_TESTS=1";
    Tally t;
    random_real_pairs(1000000, 2027, t);
    std::printf("[ power ] %ld random non-integer pairs, platform powf differs on %ld\n", t.pairs, t.platform_differs);
}

// ------------------------------------------------------------- the mode

TEST(PowerMode, EnvironmentValues) {
    using paywheel::PowerMode;
    PowerMode m = PowerMode::CorrectlyRounded;
    ASSERT_TRUE(paywheel::power_mode_from_env(nullptr, m));
    EXPECT_EQ(m, PowerMode::Platform);
    m = PowerMode::CorrectlyRounded;
    ASSERT_TRUE(paywheel::power_mode_from_env("platform", m));
    EXPECT_EQ(m, PowerMode::Platform);
    ASSERT_TRUE(paywheel::power_mode_from_env("correctly-rounded", m));
    EXPECT_EQ(m, PowerMode::CorrectlyRounded);
    for (const char* bad : {"", "Platform", "correctly_rounded", "correctly-rounded ", "1", "cr"}) {
        m = PowerMode::CorrectlyRounded;
        EXPECT_FALSE(paywheel::power_mode_from_env(bad, m)) << '"' << bad << '"';
        EXPECT_EQ(m, PowerMode::CorrectlyRounded) << "a refused value must leave the mode alone";
    }
    const std::string message = paywheel::kPowerModeError;
    for (const char* word : {paywheel::kPowerModeVariable, paywheel::kPowerModePlatform, paywheel::kPowerModeCorrectlyRounded})
        EXPECT_NE(message.find(word), std::string::npos) << word;
}

TEST(PowerMode, DefaultsToPlatformAndSwitches) {
    using paywheel::PowerMode;
    EXPECT_EQ(paywheel::power_mode(), PowerMode::Platform);
    paywheel::set_power_mode(PowerMode::CorrectlyRounded);
    EXPECT_EQ(paywheel::power_mode(), PowerMode::CorrectlyRounded);
    paywheel::set_power_mode(PowerMode::Platform);
    EXPECT_EQ(paywheel::power_mode(), PowerMode::Platform);
}

}  // namespace
