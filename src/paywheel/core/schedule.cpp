#include <algorithm>

#include "paywheel/core/detail.hpp"

namespace paywheel {

ScheduleShape schedule_shape(std::int32_t pers) noexcept {
    const std::int32_t n = num::saturating_i32(static_cast<float>(pers));
    const std::size_t per = (n < 0 || n == INT32_MAX) ? 0 : static_cast<std::size_t>(n) + 1;
    return ScheduleShape{per, num::column_length(pers)};
}

namespace {

// The columns of one loan, computed in their own vectors.
struct Columns {
    Series per, cap, interest, pmt, bal;
};

Columns compute(const LoanTerms& terms) {
    // Same abort order as computing each column on its own: each frequency
    // is checked where its marks would have been built, and the profile,
    // which cannot abort, is computed once and shared.
    Columns c;
    c.per = period_axis(terms.pers);
    detail::check_frequency(terms.pers, terms.cap_freq);
    detail::Running folded{};
    const bool every_period = terms.cap_freq == 1;
    Series profile = every_period ? detail::principal_profile_folded(terms, c.bal, folded) : principal_profile(terms);
    c.cap = detail::capital_from(terms, profile, &c.bal, every_period ? &folded : nullptr);
    detail::check_frequency(terms.pers, terms.int_freq);
    c.interest = detail::interest_from(terms, profile);
    Series().swap(profile);

    const std::size_t n = c.cap.size();
    c.pmt.resize(n);
    for (std::size_t k = 0; k < n; ++k) c.pmt[k] = c.cap[k] + c.interest[k];
    return c;
}

}  // namespace

void fill_schedule(const LoanTerms& terms, const ScheduleOut& out) {
    Columns c = compute(terms);
    std::copy(c.per.begin(), c.per.end(), out.per);
    std::copy(c.cap.begin(), c.cap.end(), out.cap);
    std::copy(c.interest.begin(), c.interest.end(), out.interest);
    std::copy(c.pmt.begin(), c.pmt.end(), out.pmt);
    std::copy(c.bal.begin(), c.bal.end(), out.bal);
}

Schedule build_schedule(const LoanTerms& terms) {
    Columns c = compute(terms);
    Schedule s;
    *s.find("Per") = std::move(c.per);
    *s.find("Cap") = std::move(c.cap);
    *s.find("Int") = std::move(c.interest);
    *s.find("Pmt") = std::move(c.pmt);
    *s.find("Bal") = std::move(c.bal);
    return s;
}

}  // namespace paywheel
