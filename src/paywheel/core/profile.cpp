#include <cmath>

#include "paywheel/core/detail.hpp"

namespace paywheel {

namespace {

// With Fold, the loop also runs the two running sums of the capital column
// an every-period loan gets in the ordinary case (each period repays its own
// profile entry, +0.0 added): its left-to-right total and the balance. Both
// are dependency chains of one addition per period; here they hide behind
// the powers instead of costing a pass of their own.
template <bool Fold>
Series profile(const LoanTerms& terms, float* bal, detail::Running* running) {
    const std::size_t count = num::column_length(terms.pers);
    if (count == 0) return {};
    const float base = 1.0f + terms.rate;
    const float g = ::powf(base, static_cast<float>(terms.pers));
    // Reciprocal and numerator are rounded separately and every power is
    // divided by their product, then scaled: folding the rate into the
    // numerator, or amt into the divisor, would round differently.
    const float factor = (1.0f / terms.rate) * (g - 1.0f);
    const float amt = terms.amt;
    Series out(count);
    out[0] = (0.0f / factor) * amt;
    float total = 0.0f + 0.0f;
    float b = amt;
    if constexpr (Fold) bal[0] = b;
    // Powers in short runs, each run then scaled (and folded) with no call
    // in the way: the running sums stay in registers, and the out-of-order
    // core overlaps a run's dependent additions with the next run's powers.
    constexpr std::size_t kRun = 32;
    for (std::size_t from = 1; from < count; from += kRun) {
        const std::size_t to = count - from > kRun ? from + kRun : count;
        for (std::size_t i = from; i < to; ++i)
            out[i] = ::powf(base, static_cast<float>(static_cast<std::int32_t>(i)) - 1.0f);
        for (std::size_t i = from; i < to; ++i) {
            const float v = (out[i] / factor) * amt;
            out[i] = v;
            if constexpr (Fold) {
                const float c = 0.0f + v;
                total = total + c;
                b = detail::balance_after(b, c);
                bal[i] = b;
            }
        }
    }
    if constexpr (Fold) *running = detail::Running{total, b};
    return out;
}

}  // namespace

Series principal_profile(const LoanTerms& terms) { return profile<false>(terms, nullptr, nullptr); }

namespace detail {

Series principal_profile_folded(const LoanTerms& terms, Series& balance, Running& running) {
    balance.resize(num::column_length(terms.pers));
    return profile<true>(terms, balance.data(), &running);
}

}  // namespace detail

}  // namespace paywheel
