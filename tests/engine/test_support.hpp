// Shorthands shared by the engine suites.
#pragma once

#include <cstdint>
#include <limits>

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

}  // namespace paywheel::testing
