#include "paywheel/columnar/survival.hpp"

#include <algorithm>

namespace paywheel::columnar::proj {

namespace {

// rate(m) of a curve for a loan aged `age`.
double curve_rate(const RateCurve& c, std::int64_t age, std::int64_t m) noexcept {
    if (c.rates.empty()) return 0.0;
    const std::int64_t last = static_cast<std::int64_t>(c.rates.size()) - 1;
    // The index of period m: m - 1, or the age at that period, a + m.
    return c.rates[static_cast<std::size_t>(std::min(c.by_age ? age + m : m - 1, last))];
}

// The weights of loans at least this old are those of a loan of exactly this
// age: past the end of every curve read by age, the rates no longer depend
// on it. 0 when no curve is read by age.
std::int64_t age_cap(const Scenario& sc) noexcept {
    std::int64_t cap = 0;
    for (const RateCurve* c : {&sc.prepay, &sc.dflt})
        if (c->by_age && !c->rates.empty()) cap = std::max(cap, static_cast<std::int64_t>(c->rates.size()) - 1);
    return cap;
}

}  // namespace

void Weights::extend(const Scenario& sc, std::int64_t age, std::int64_t R) {
    // Room for exactly R + 1 periods: growing by doubling would hold up
    // to twice what the cache counts, 1 GiB for a loan of 2^24 periods.
    const std::size_t n = static_cast<std::size_t>(R) + 1;
    for (std::vector<double>* v : {&surv, &live, &prepay, &dflt})
        if (v->capacity() < n) v->reserve(n);
    for (std::int64_t m = periods() + 1; m <= R; ++m) {
        const double mdr = curve_rate(sc.dflt, age, m);
        const double smm = curve_rate(sc.prepay, age, m);
        const double S = surv.back();
        const double l = S * (1.0 - mdr);
        live.push_back(l);
        prepay.push_back(smm * l);
        dflt.push_back(mdr * S);
        surv.push_back(l * (1.0 - smm));
    }
}

const Weights& WeightCache::get(std::size_t scenario, const Scenario& sc, std::int64_t age, std::int64_t R) {
    const std::int64_t key = std::min(age, age_cap(sc));
    Weights& w = sets_[{scenario, key}];
    if (w.periods() < R) {
        const std::size_t grow = static_cast<std::size_t>(R - w.periods()) * 4;
        if (held_ + grow > kCacheDoubles && held_ != 0) {
            sets_.clear();
            held_ = 0;
            return get(scenario, sc, age, R);
        }
        w.extend(sc, age, R);
        held_ += grow;
    }
    return w;
}

}  // namespace paywheel::columnar::proj
