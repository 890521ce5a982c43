#include <algorithm>
#include <cmath>
#include <cstdint>

#include "paywheel/core/detail.hpp"

namespace paywheel {

namespace detail {

float level_payment(const LoanTerms& terms, PowFn pow) noexcept {
    const float a = terms.amt * terms.rate;
    const float b = terms.rate + 1.0f;
    // A negative exponent, not a reciprocal of the positive power: the two
    // round differently.
    const float e = static_cast<float>(num::wrapping_neg(terms.pers));
    const float p = pow(b, e);
    const float d = 1.0f - p;
    return a / d;
}

void interest_into(const LoanTerms& terms, float pmt, const float* prof, std::size_t len, float* col) {
    if (len == 0) raise_abort(kNoPeriods, messages::kIndexOutOfBounds);
    // The accrued interest of period k is pmt - profile[k]; period 0 accrues
    // nothing but is never summed either.
    if (terms.int_freq == 1 && len >= 2 && DuePeriods::all_exact(len)) {
        // Interest due every period: each block is one period's accrual and,
        // when they shrink strictly in magnitude (the ordinary loan), each
        // payment is its own period's, so the column is built in place.
        col[0] = 0.0f;
        for (std::size_t j = 1; j < len; ++j) col[j] = 0.0f + (pmt - prof[j]);
        if (strictly_shrinking_in_magnitude(col + 1, len - 1)) return;
    }
    const std::size_t blocks = blocks_of(len, terms.int_freq).count;
    Scratch sums(blocks);
    sum_blocks_into(len, terms.int_freq, [prof, pmt](std::size_t k) { return pmt - prof[k]; }, sums.data());
    interest_from_sums(terms, len, sums.data(), blocks, col);
}

void interest_from_sums(const LoanTerms& terms, std::size_t len, float* sums, std::size_t blocks, float* col) {
    if (blocks == 0) raise_abort(kNoPeriods, messages::kUnwrapNone);

    // Pending sums only ever lose their front, so the k-th payment chooses
    // among sums[k..]: the largest magnitude, a later one winning ties. A NaN
    // in a choice between two or more sums makes the comparison undecidable,
    // which aborts. An ordinary loan's sums shrink strictly in magnitude, and
    // then each choice is simply the front.
    const bool shrinking = strictly_shrinking_in_magnitude(sums, blocks);
    std::size_t nan_upto = 0;  // choices starting before this index see a NaN
    if (!shrinking) {
        for (std::size_t k = blocks; k-- > 0;)
            if (sums[k] != sums[k]) {
                nan_upto = k + 1;
                break;
            }
        float best = sums[blocks - 1];
        for (std::size_t k = blocks - 1; k-- > 0;) {
            if (std::fabs(sums[k]) > std::fabs(best)) best = sums[k];
            sums[k] = best;
        }
    }

    std::fill(col, col + len, 0.0f);
    const DuePeriods due(len, terms.int_freq);
    // Up to 2^24 every multiple is a payment period. The first of them
    // decides whether a NaN makes the choice abort: it sees every sum.
    const std::size_t exact_due = due.exact_count();
    const std::size_t exact_paid = exact_due < blocks ? exact_due : blocks;
    // A NaN among the sums has a cause in the terms; a rate too small to
    // compound, when nothing else is.
    const Blame undecidable = {FailureCode::VanishingRate, Field::Rate};
    if (exact_paid > 0 && blocks >= 2 && nan_upto > 0)
        raise_abort(blame_degenerate(terms, undecidable), messages::kUnwrapNone);
    std::size_t paid = 0;
    for (std::int64_t j = due.step; paid < exact_paid; j += due.step) col[static_cast<std::size_t>(j)] = sums[paid++];
    // Once nothing is pending the remaining payment periods pay no interest,
    // rather than showing their period number.
    if (paid == blocks) return;
    for (std::int64_t j = due.first_tested(); j <= due.last; j += due.step) {
        if (!due_past_exact(j)) continue;
        if (paid >= blocks) break;
        if (blocks - paid >= 2 && paid < nan_upto) raise_abort(blame_degenerate(terms, undecidable), messages::kUnwrapNone);
        col[static_cast<std::size_t>(j)] = sums[paid++];
    }
}

}  // namespace detail

Series interest_schedule(const LoanTerms& terms) {
    detail::check_frequency(terms.pers, terms.int_freq, Field::IntFreq);
    const detail::PowFn pow = detail::power_function();
    const Series profile = principal_profile(terms);
    Series col(profile.size());
    detail::interest_into(terms, detail::level_payment(terms, pow), profile.data(), profile.size(), col.data());
    return col;
}

}  // namespace paywheel
