// The run of powers against the scalar correctly rounded power (proven in
// test_power.cpp), lane by lane: the same bits (any NaN for a NaN), nothing
// written outside the run. QH_LONG_POWER_TESTS=1 adds every base in
// [1, 1.05) with exponents -360..360 and a hundred times the random runs.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "paywheel/core/power.hpp"
#include "test_support.hpp"

namespace {

using paywheel::correctly_rounded_powf;
using paywheel::correctly_rounded_powf_run;

float float_of(std::uint32_t b) { return std::bit_cast<float>(b); }
std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }

using paywheel::testing::kInf;
using paywheel::testing::kMax;
using paywheel::testing::kMin;
using paywheel::testing::long_run;
using paywheel::testing::Rng;
using paywheel::testing::sample_scale;

// One run into a buffer with a guard lane on either side; every lane against
// the scalar function and the guards untouched.
::testing::AssertionResult run_matches(float base, std::int32_t first, std::size_t count) {
    constexpr std::uint32_t kGuard = 0x7fa5a5a5u;  // a signalling NaN no lane can produce
    std::vector<float> out(count + 2, float_of(kGuard));
    correctly_rounded_powf_run(base, first, count, out.data() + 1);
    if (bits_of(out.front()) != kGuard || bits_of(out.back()) != kGuard)
        return ::testing::AssertionFailure() << "wrote outside the run: base " << base << " first " << first;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t n = static_cast<std::int64_t>(first) + static_cast<std::int64_t>(i);
        const float want = correctly_rounded_powf(base, static_cast<float>(n));
        const float got = out[i + 1];
        const bool same = std::isnan(want) ? std::isnan(got) : bits_of(got) == bits_of(want);
        if (!same)
            return ::testing::AssertionFailure() << std::hex << "base 0x" << bits_of(base) << std::dec << " exponent " << n
                                                 << std::hex << ": run gives 0x" << bits_of(got) << ", scalar 0x" << bits_of(want);
    }
    return ::testing::AssertionSuccess();
}

struct RunCase {
    const char* what;
    float base;
    std::int32_t first;
    std::size_t count;
};

const RunCase kCases[] = {
    {"an engine loan", 1.004f, 0, 361},
    {"the negative side", 1.004f, -360, 361},
    {"a negative base, even start", -1.004f, -8, 41},
    {"a negative base, odd start", -1.0125f, -7, 40},
    {"plus one", 1.0f, -50, 101},
    {"minus one", -1.0f, -51, 103},
    {"a short run below one", 0.97f, -9, 7},
    {"an empty run", 1.03f, 5, 0},
    // Exact powers; (1 + 2^-12)^2, 11^7 and 17^6 are midpoints between floats.
    {"exact powers of 1 + 2^-12", 1.0f + 0x1p-12f, -3, 12},
    {"exact powers of 11", 11.0f, -2, 14},
    {"exact powers of 17", -17.0f, 0, 11},
    {"powers of two", 2.0f, -160, 300},
    // Overflow and underflow, through the subnormals, inside one run.
    {"overflow mid-run", 1.5f, 200, 40},
    {"overflow mid-run, odd lanes negative", -3.0f, 70, 20},
    {"underflow mid-run", 0.5f, 120, 40},
    {"underflow, negative exponents", 1.5f, -270, 60},
    {"underflow of a base near one", 0.9f, 820, 130},
    {"near the end of the range", 0x1.fffffep127f, -3, 7},
    {"the smallest normal base", 0x1p-126f, -2, 5},
    // Exponents beyond the chain's reach and beyond exact integers.
    {"crossing the reach upwards", 1.0001f, 16370, 30},
    {"crossing the reach downwards", 0.9999f, -16395, 30},
    {"crossing the 1024 boundary", 1.004f, 1000, 60},
    {"exponents around 2^24", 1.0000001f, 16777210, 12},
    {"the largest exponents", 1.0000001f, kMax - 4, 9},
    {"the smallest exponents", 0.9999999f, kMin, 9},
    // Special bases: every lane through the scalar function.
    {"NaN", std::numeric_limits<float>::quiet_NaN(), -3, 7},
    {"plus infinity", kInf, -3, 7},
    {"minus infinity", -kInf, -3, 7},
    {"plus zero", 0.0f, -3, 7},
    {"minus zero", -0.0f, -3, 7},
    {"the smallest subnormal", 0x1p-149f, -2, 6},
    {"a negative subnormal", -0x1.fffffcp-127f, -3, 7},
};

TEST(CorrectlyRoundedPowerRun, CasesAgainstTheScalarFunction) {
    for (const RunCase& c : kCases) EXPECT_TRUE(run_matches(c.base, c.first, c.count)) << c.what;
}

// Random runs: bases within a few thousand units of one on either side,
// realistic rates, and any normal base; starts near zero, around the reach
// and anywhere; lengths up to 80 (every tail length).
void random_runs(long runs, std::uint64_t seed) {
    Rng rng{seed};
    for (long r = 0; r < runs; ++r) {
        float base;
        switch (rng.next() % 3) {
            case 0: base = float_of(static_cast<std::uint32_t>(bits_of(1.0f) + rng.in(-4096, 4096))); break;
            case 1: base = 1.0f + static_cast<float>(rng.in(-200000, 600000)) * 1e-7f; break;
            default: base = float_of(static_cast<std::uint32_t>(rng.in(0x00800000, 0x7f7fffff))); break;
        }
        if (rng.next() % 4 == 0) base = -base;
        std::int32_t first;
        switch (rng.next() % 8) {
            case 0: first = static_cast<std::int32_t>(rng.in(-16500, 16500)); break;
            case 1: first = static_cast<std::int32_t>(rng.in(kMin, kMax - 100)); break;
            default: first = static_cast<std::int32_t>(rng.in(-420, 420)); break;
        }
        const auto count = static_cast<std::size_t>(rng.in(1, 80));
        ASSERT_TRUE(run_matches(base, first, count)) << "run " << r;
    }
}

TEST(CorrectlyRoundedPowerRun, RandomRuns) { random_runs(static_cast<long>(20000 * sample_scale()), 17); }

// Every engine base in [1, 1.05) with exponents -360..360, as one run per
// base; the default run takes every 61st base.
void sweep_engine_bases(std::uint32_t stride) {
    for (std::uint32_t b = bits_of(1.0f); b < bits_of(1.05f); b += stride) ASSERT_TRUE(run_matches(float_of(b), -360, 721));
}

TEST(CorrectlyRoundedPowerRun, EngineBasesSample) {
    const double scale = sample_scale();
    sweep_engine_bases(static_cast<std::uint32_t>(scale > 0.01 ? 61.0 / scale : 6100.0) | 1u);
}

TEST(CorrectlyRoundedPowerLong, EveryEngineBaseAsOneRun) {
    if (!long_run()) GTEST_SKIP() << "set QH_LONG_POWER_TESTS=1";
    sweep_engine_bases(1);  // 419,430 bases x 721 exponents = 302,409,030 pairs
}

TEST(CorrectlyRoundedPowerLong, TwoMillionRandomRuns) {
    if (!long_run()) GTEST_SKIP() << "set QH_LONG_POWER_TESTS=1";
    random_runs(2000000, 2028);
}

}  // namespace
