#include "paywheel/core/detail.hpp"

namespace paywheel {

Schedule build_schedule(const LoanTerms& terms) {
    // Same abort order as computing each column on its own: the capital
    // marks are checked before anything else can fail, and the profile,
    // which cannot abort, is computed once and shared.
    Series per = period_axis(terms.pers);
    Series cap_marks = payment_marks(terms.pers, terms.cap_freq);
    Series profile = principal_profile(terms);
    Series cap = detail::capital_from(terms, std::move(cap_marks), profile);
    Series int_marks = payment_marks(terms.pers, terms.int_freq);
    Series interest = detail::interest_from(terms, std::move(int_marks), profile);
    Series().swap(profile);

    const std::size_t n = cap.size();
    Series pmt(n);
    for (std::size_t k = 0; k < n; ++k) pmt[k] = cap[k] + interest[k];

    Series bal(n);
    float b = terms.amt;
    for (std::size_t k = 0; k < n; ++k) {
        const float c = cap[k];
        // Zeros of either sign leave the balance and its sign alone; NaN is
        // not equal to zero, so it is subtracted and sticks.
        if (!(c == 0.0f)) b = b - c;
        bal[k] = b;
    }

    Schedule s;
    *s.find("Per") = std::move(per);
    *s.find("Cap") = std::move(cap);
    *s.find("Int") = std::move(interest);
    *s.find("Pmt") = std::move(pmt);
    *s.find("Bal") = std::move(bal);
    return s;
}

}  // namespace paywheel
