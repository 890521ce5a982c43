#include "paywheel/core/failure_code.hpp"

#include <cmath>

#include "paywheel/core/detail.hpp"
#include "paywheel/core/engine.hpp"
#include "paywheel/core/numeric.hpp"

namespace paywheel {

namespace detail {

Blame blame_degenerate(const LoanTerms& t, Blame otherwise) noexcept {
    if (!std::isfinite(t.amt)) return {FailureCode::NonFinite, Field::Amt};
    if (!std::isfinite(t.rate)) return {FailureCode::NonFinite, Field::Rate};
    if (t.pers == 1) return {FailureCode::SingleCapitalBlock, Field::Pers};
    // |cap_freq| >= pers: every period's capital falls in one block.
    const std::int64_t cap_step = t.cap_freq < 0 ? -static_cast<std::int64_t>(t.cap_freq) : t.cap_freq;
    if (cap_step >= t.pers) return {FailureCode::SingleCapitalBlock, Field::CapFreq};
    if (t.rate == 0.0f) return {FailureCode::ZeroRate, Field::Rate};
    // A zero amount gives equal blocks, which cannot be taken in rising order either.
    if (t.amt <= 0.0f) return {FailureCode::DecreasingBlocks, Field::Amt};
    if (t.rate < 0.0f) return {FailureCode::DecreasingBlocks, Field::Rate};
    if (t.cap_freq < 0) return {FailureCode::DecreasingBlocks, Field::CapFreq};
    if (t.int_freq < 0) return {FailureCode::DecreasingBlocks, Field::IntFreq};
    // (1 + rate)^pers past the largest binary32 (2^128 = e^88.72...).
    if (static_cast<double>(t.pers) * std::log1p(static_cast<double>(t.rate)) > 88.0)
        return {FailureCode::GrowthOverflow, Field::Rate};
    // A rate too small for binary32 to compound: 1 + rate rounds to 1 or
    // nearly, the annuity factor degenerates and the blocks are infinite.
    if (std::fabs(t.rate) < 1e-6f) return {FailureCode::VanishingRate, Field::Rate};
    return otherwise;
}

}  // namespace detail

Field blame_nan(const LoanTerms& t) noexcept { return std::isfinite(t.amt) ? Field::Rate : Field::Amt; }

}  // namespace paywheel
