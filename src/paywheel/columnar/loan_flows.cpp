#include "paywheel/columnar/loan_flows.hpp"

namespace paywheel::columnar::proj {

namespace {

// Periods 1..R of one loan's flows, every array its own: a separate
// function so that the compiler sees the arrays apart and vectorises.
template <bool kPrepay, bool kDefault, bool kFee, typename T>
[[gnu::noinline]] void net_flow_rows(std::int64_t R, const T* __restrict__ C, const T* __restrict__ I,
                                     const T* __restrict__ B, const double* __restrict__ live,
                                     const double* __restrict__ prepay, const double* __restrict__ dflt,
                                     double fee_ratio, double* __restrict__ head, double* __restrict__ interest,
                                     double* __restrict__ servicing, double* __restrict__ defaulted) {
    for (std::int64_t m = 1; m <= R; ++m) {
        interest[m] = live[m] * static_cast<double>(I[m]);
        servicing[m] = kFee ? live[m] * (fee_ratio * static_cast<double>(I[m])) : 0.0;
        const double sched = live[m] * static_cast<double>(C[m]);
        const double prepaid = kPrepay ? prepay[m] * static_cast<double>(B[m]) : 0.0;
        head[m] = sched + prepaid;
        defaulted[m] = kDefault ? dflt[m] * static_cast<double>(B[m - 1]) : 0.0;
    }
}

template <bool kPrepay, bool kDefault, bool kAccrual, bool kFee, typename T>
void loan_net_flows(const LoanSchedule& l, const T* s, const Weights& wt, const Scenario& sc, std::size_t span,
                    LoanScratch& x, double* __restrict__ net, double* __restrict__ prin) {
    const std::int64_t R = l.remaining();
    double* head = x.head.data();
    double* interest = x.interest.data();
    double* servicing = x.servicing.data();
    double* defaulted = x.defaulted.data();
    head[0] = interest[0] = servicing[0] = defaulted[0] = 0.0;
    net_flow_rows<kPrepay, kDefault, kFee>(R, s + l.len + l.start, s + 2 * l.len + l.start,
                                           s + 4 * l.len + l.start, wt.live.data(), wt.prepay.data(),
                                           wt.dflt.data(), kFee ? l.fee->first : 0.0, head, interest, servicing,
                                           defaulted);
    if constexpr (kFee) {
        // A rate step changes the fee over the rate: the same operations
        // with each period's own.
        if (!l.fee->steps.empty()) {
            const T* I = s + 2 * l.len + l.start;
            const double* live = wt.live.data();
            for (std::int64_t m = 1; m <= R; ++m)
                servicing[m] = live[m] * (l.fee->at(l.start + m) * static_cast<double>(I[m]));
        }
    }
    if constexpr (kAccrual) {
        // The interest the prepaid balance accrued, added to each period's
        // as project_as adds it.
        const T* interest_col = s + 2 * l.len;
        const std::int64_t f = l.int_freq;
        const std::int64_t last = static_cast<std::int64_t>(l.len) - 1;
        const double* prepay = wt.prepay.data();
        for (std::int64_t m = 1; m <= R; ++m) {
            const std::int64_t t = l.start + m;
            const std::int64_t elapsed = t % f;
            const std::int64_t next = t - elapsed + f;
            double a = 0.0;
            if (elapsed != 0 && next <= last)
                a = static_cast<double>(interest_col[next]) * static_cast<double>(elapsed) / static_cast<double>(f);
            interest[m] = interest[m] + prepay[m] * a;
            if constexpr (kFee) servicing[m] = servicing[m] + prepay[m] * (l.fee->at(next) * a);
        }
    }
    const std::size_t n = static_cast<std::size_t>(R) + 1;
    for (std::size_t p = n; p < span; ++p) head[p] = interest[p] = servicing[p] = defaulted[p] = 0.0;
    const std::size_t lag = static_cast<std::size_t>(sc.lag);
    const double recovered = 1.0 - sc.severity;
    for (std::size_t p = 0; p < span; ++p) {
        const double rec = recovered * (p >= lag ? defaulted[p - lag] : 0.0);
        prin[p] = head[p] + rec;
        net[p] = (prin[p] + interest[p]) - servicing[p];
    }
}

// The columns as they are: binary32, or float64 in cent mode.
template <bool kPrepay, bool kDefault, bool kAccrual, bool kFee>
void loan_net_flows_typed(const LoanSchedule& l, const Weights& wt, const Scenario& sc, std::size_t span,
                          LoanScratch& x, double* net, double* prin) {
    if (l.s.f64 != nullptr)
        loan_net_flows<kPrepay, kDefault, kAccrual, kFee>(l, l.s.f64, wt, sc, span, x, net, prin);
    else
        loan_net_flows<kPrepay, kDefault, kAccrual, kFee>(l, l.s.f32, wt, sc, span, x, net, prin);
}

template <bool kPrepay, bool kDefault, bool kAccrual>
void loan_net_flows_fee(const LoanSchedule& l, const Weights& wt, const Scenario& sc, std::size_t span,
                        LoanScratch& x, double* net, double* prin) {
    if (!l.fee->none())
        loan_net_flows_typed<kPrepay, kDefault, kAccrual, true>(l, wt, sc, span, x, net, prin);
    else
        loan_net_flows_typed<kPrepay, kDefault, kAccrual, false>(l, wt, sc, span, x, net, prin);
}

template <bool kPrepay, bool kDefault>
void loan_net_flows_accrual(const LoanSchedule& l, const Weights& wt, const Scenario& sc, std::size_t span,
                            LoanScratch& x, double* net, double* prin) {
    if (kPrepay && l.int_freq > 1)
        loan_net_flows_fee<kPrepay, kDefault, kPrepay>(l, wt, sc, span, x, net, prin);
    else
        loan_net_flows_fee<kPrepay, kDefault, false>(l, wt, sc, span, x, net, prin);
}

}  // namespace

void loan_net_flows_of(const LoanSchedule& l, const Weights& wt, const Scenario& sc, std::size_t span,
                       LoanScratch& x, double* net, double* prin) {
    x.fit(span);
    const bool p = !sc.prepay.rates.empty(), d = !sc.dflt.rates.empty();
    if (p && d)
        loan_net_flows_accrual<true, true>(l, wt, sc, span, x, net, prin);
    else if (p)
        loan_net_flows_accrual<true, false>(l, wt, sc, span, x, net, prin);
    else if (d)
        loan_net_flows_accrual<false, true>(l, wt, sc, span, x, net, prin);
    else
        loan_net_flows_accrual<false, false>(l, wt, sc, span, x, net, prin);
}

}  // namespace paywheel::columnar::proj
