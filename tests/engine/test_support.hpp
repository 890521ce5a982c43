// Shorthands shared by the engine suites.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "paywheel/core/engine.hpp"

namespace paywheel::testing {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The engine never reads the id, so every test loan shares one.
inline LoanTerms terms(float amt, float rate, std::int32_t pers, std::int32_t int_freq, std::int32_t cap_freq) {
    return LoanTerms{"test", amt, rate, pers, int_freq, cap_freq};
}

// The long proofs run only with QH_LONG_POWER_TESTS=1.
inline bool long_run() {
    const char* v = std::getenv("QH_LONG_POWER_TESTS");
    return v != nullptr && std::string(v) == "1";
}

// The factor on the default samples: a twentieth under the sanitizers,
// QH_POWER_SCALE=<factor> to choose.
inline double sample_scale() {
    double scale = 1.0;
#if defined(__SANITIZE_ADDRESS__)
    scale = 0.05;
#endif
    if (const char* v = std::getenv("QH_POWER_SCALE")) scale = std::atof(v);
    return scale;
}

// SplitMix64: a small, seedable generator, the same stream everywhere.
struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    std::int64_t in(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(hi - lo + 1));
    }
};

}  // namespace paywheel::testing
