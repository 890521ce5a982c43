#include "paywheel/core/detail.hpp"

namespace paywheel {

Schedule build_schedule(const LoanTerms& terms) {
    // Same abort order as computing each column on its own: each frequency
    // is checked where its marks would have been built, and the profile,
    // which cannot abort, is computed once and shared.
    Series per = period_axis(terms.pers);
    detail::check_frequency(terms.pers, terms.cap_freq);
    Series bal;
    detail::Running folded{};
    const bool every_period = terms.cap_freq == 1;
    Series profile = every_period ? detail::principal_profile_folded(terms, bal, folded) : principal_profile(terms);
    Series cap = detail::capital_from(terms, profile, &bal, every_period ? &folded : nullptr);
    detail::check_frequency(terms.pers, terms.int_freq);
    Series interest = detail::interest_from(terms, profile);
    Series().swap(profile);

    const std::size_t n = cap.size();
    Series pmt(n);
    for (std::size_t k = 0; k < n; ++k) pmt[k] = cap[k] + interest[k];

    Schedule s;
    *s.find("Per") = std::move(per);
    *s.find("Cap") = std::move(cap);
    *s.find("Int") = std::move(interest);
    *s.find("Pmt") = std::move(pmt);
    *s.find("Bal") = std::move(bal);
    return s;
}

}  // namespace paywheel
