// Engine internals shared between translation units. The capital and
// interest schedules take the principal profile from the caller, so that
// build_schedule computes it once per loan.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/engine.hpp"
#include "paywheel/core/messages.hpp"
#include "paywheel/core/numeric.hpp"

namespace paywheel::detail {

// The one failure of the period marks: a zero frequency on a non-empty
// period range. Checked on its own so that callers keep the same abort order
// without building the marks.
inline void check_frequency(std::int32_t pers, std::int32_t freq) {
    if (num::column_length(pers) != 0 && freq == 0)
        raise_abort(messages::kRemainderByZero);
}

// Periods up to 2^24 survive the round trip through binary32, so every
// multiple of the step up to there is due without testing its mark.
inline constexpr std::int64_t kExactPeriods = 16777216;

// The due periods of a column of len >= 1 entries under a non-zero freq: the
// multiples of |freq| from 1 to len - 1. Up to 2^24 every multiple is due;
// past that only those whose binary32 form is exact (due_past_exact).
struct DuePeriods {
    std::int64_t step;        // |freq|, widened so that INT32_MIN cannot overflow
    std::int64_t last;        // the last period, len - 1
    std::int64_t exact_last;  // the last period that needs no test

    DuePeriods(std::size_t len, std::int32_t freq) noexcept
        : step(freq < 0 ? -static_cast<std::int64_t>(freq) : static_cast<std::int64_t>(freq)),
          last(static_cast<std::int64_t>(len) - 1),
          exact_last(last < kExactPeriods ? last : kExactPeriods) {}

    std::size_t exact_count() const noexcept { return static_cast<std::size_t>(exact_last / step); }
    // The first multiple that must be tested.
    std::int64_t first_tested() const noexcept { return (exact_last / step + 1) * step; }
    static bool all_exact(std::size_t len) noexcept { return static_cast<std::int64_t>(len) - 1 <= kExactPeriods; }
};

// Whether a multiple l past 2^24 is due: its mark, l as binary32, must
// convert back to l.
inline bool due_past_exact(std::int64_t l) noexcept {
    return num::saturating_i32(static_cast<float>(static_cast<std::int32_t>(l))) == static_cast<std::int32_t>(l);
}

// The balance after capital c is repaid: zeros of either sign leave it, and
// its sign, alone; NaN is not equal to zero, so it is subtracted and sticks.
inline float balance_after(float b, float c) noexcept { return c == 0.0f ? b : b - c; }

// Sums entries 1..len-1 of a column given by value(k) in blocks of freq
// entries, each block from +0.0 left to right. The column must be non-empty.
template <class Value>
std::vector<float> sum_blocks(std::size_t len, std::int32_t freq, Value value) {
    const std::size_t count = len - 1;
    if (count == 0) return {};
    // A negative frequency, sign-extended and read as a size, is at least
    // 2^63: one block holding everything.
    const std::uint64_t wide = static_cast<std::uint64_t>(static_cast<std::int64_t>(freq));
    const std::size_t block = wide >= count ? count : static_cast<std::size_t>(wide);
    const std::size_t blocks = (count + block - 1) / block;
    std::vector<float> sums(blocks);
    if (block == 1) {
        // Still one addition per entry: +0.0 + -0.0 is +0.0.
        for (std::size_t b = 0; b < blocks; ++b) sums[b] = 0.0f + value(b + 1);
        return sums;
    }
    // Full blocks are summed side by side, one entry of every block per
    // sweep: each block still adds its own entries first to last, but the
    // blocks no longer wait on one another's additions.
    const std::size_t full = count / block;
    for (std::size_t j = 0; j < block; ++j)
        for (std::size_t b = 0; b < full; ++b) sums[b] = sums[b] + value(b * block + j + 1);
    if (full < blocks) {
        float s = 0.0f;
        for (std::size_t k = full * block + 1; k < len; ++k) s = s + value(k);
        sums[full] = s;
    }
    return sums;
}

// Whole-range checks written without an early exit, so that they vectorise;
// a NaN anywhere fails both.
inline bool strictly_rising(const float* x, std::size_t n) noexcept {
    unsigned bad = 0;
    for (std::size_t k = 1; k < n; ++k) bad |= !(x[k - 1] < x[k]);
    return bad == 0;
}

inline bool strictly_shrinking_in_magnitude(const float* x, std::size_t n) noexcept {
    unsigned bad = 0;
    for (std::size_t k = 1; k < n; ++k) bad |= !(std::fabs(x[k - 1]) > std::fabs(x[k]));
    return bad == 0;
}

// The running total and balance of a capital column, in period order.
struct Running {
    float total;
    float balance;
};

// The principal profile, also folding the total and the balance ("Bal",
// into balance) of the capital column that capital due every period gives
// when each period repays its own profile entry.
Series principal_profile_folded(const LoanTerms& terms, Series& balance, Running& running);

// When balance is given it receives the "Bal" column, amt minus the capital
// repaid so far. folded, when given, is what principal_profile_folded
// computed alongside profile (and into balance).
Series capital_from(const LoanTerms& terms, const Series& profile, Series* balance, const Running* folded);
Series interest_from(const LoanTerms& terms, const Series& profile);

}  // namespace paywheel::detail
