#include <cmath>
#include <cstdint>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/detail.hpp"
#include "paywheel/core/numeric.hpp"

namespace paywheel {

namespace detail {

Series interest_from(const LoanTerms& terms, Series marks, const Series& profile) {
    const float a = terms.amt * terms.rate;
    const float b = terms.rate + 1.0f;
    // A negative exponent, not a reciprocal of the positive power: the two
    // round differently.
    const float e = static_cast<float>(num::wrapping_neg(terms.pers));
    const float p = ::powf(b, e);
    const float d = 1.0f - p;
    const float pmt = a / d;

    if (profile.empty()) raise_abort("ndarray: index out of bounds");
    Series accrued(profile.size());
    for (std::size_t k = 0; k < profile.size(); ++k) accrued[k] = pmt - profile[k];
    accrued[0] = 0.0f;

    std::vector<float> sums = block_sums(accrued, terms.int_freq);
    if (sums.empty()) raise_abort("called `Option::unwrap()` on a `None` value");
    Series().swap(accrued);

    // Pending sums only ever lose their front, so the k-th payment chooses
    // among sums[k..]. The choice is the largest magnitude, a later one
    // winning ties; any NaN in a choice between two or more sums makes the
    // comparison undecidable, which aborts.
    const std::size_t blocks = sums.size();
    std::size_t nan_upto = 0;  // choices starting before this index see a NaN
    for (std::size_t k = blocks; k-- > 0;)
        if (sums[k] != sums[k]) {
            nan_upto = k + 1;
            break;
        }
    std::vector<float> choice(blocks);
    choice[blocks - 1] = sums[blocks - 1];
    for (std::size_t k = blocks - 1; k-- > 0;)
        choice[k] = std::fabs(sums[k]) > std::fabs(choice[k + 1]) ? sums[k] : choice[k + 1];

    std::size_t paid = 0;
    for (std::size_t j = 1; j < marks.size(); ++j) {
        if (num::saturating_i32(marks[j]) != static_cast<std::int32_t>(j)) {
            marks[j] = 0.0f;
            continue;
        }
        if (paid >= blocks) {
            // Nothing left to pay: report no interest rather than leaving the
            // period number in the interest column.
            marks[j] = 0.0f;
            continue;
        }
        if (blocks - paid >= 2 && paid < nan_upto) raise_abort("called `Option::unwrap()` on a `None` value");
        marks[j] = choice[paid];
        ++paid;
    }
    return marks;
}

}  // namespace detail

Series interest_schedule(const LoanTerms& terms) {
    Series marks = payment_marks(terms.pers, terms.int_freq);
    Series profile = principal_profile(terms);
    return detail::interest_from(terms, std::move(marks), profile);
}

}  // namespace paywheel
