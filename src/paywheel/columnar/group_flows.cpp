#include "paywheel/columnar/group_flows.hpp"

#include <algorithm>

namespace paywheel::columnar::proj {

void Group::add(const ScheduleView& s, std::size_t len, std::int64_t start, std::int32_t int_freq,
                const FeeRatio& fee_ratio) {
    if (s.f64 != nullptr)
        add_columns(s.f64, len, start, int_freq, fee_ratio);
    else
        add_columns(s.f32, len, start, int_freq, fee_ratio);
}

template <typename T>
void Group::add_columns(const T* s, std::size_t len, std::int64_t start, std::int32_t int_freq,
                        const FeeRatio& fee_ratio) {
    const std::int64_t R = static_cast<std::int64_t>(len) - 1 - start;
    const std::size_t n = static_cast<std::size_t>(R) + 1;
    if (cap.size() < n)
        for (std::vector<double>* v : {&cap, &interest, &bal, &bal_prev, &accrued, &fee_interest, &fee_accrued})
            v->resize(n, 0.0);
    const T* __restrict__ c = s + len + start;
    const T* __restrict__ i = s + 2 * len + start;
    const T* __restrict__ b = s + 4 * len + start;
    double* __restrict__ gc = cap.data();
    double* __restrict__ gi = interest.data();
    double* __restrict__ gb = bal.data();
    double* __restrict__ gp = bal_prev.data();
    for (std::size_t j = 0; j < n; ++j) {
        gc[j] += static_cast<double>(c[j]);
        gi[j] += static_cast<double>(i[j]);
        gb[j] += static_cast<double>(b[j]);
    }
    for (std::size_t j = 1; j < n; ++j) gp[j] += static_cast<double>(b[j - 1]);
    if (!fee_ratio.none()) {
        fee = true;
        double* __restrict__ fi = fee_interest.data();
        const double phi = fee_ratio.first;
        if (fee_ratio.steps.empty())
            for (std::size_t j = 0; j < n; ++j) fi[j] += phi * static_cast<double>(i[j]);
        else
            for (std::size_t j = 0; j < n; ++j)
                fi[j] += fee_ratio.at(start + static_cast<std::int64_t>(j)) * static_cast<double>(i[j]);
    }
    if (int_freq > 1) {
        accrual = true;
        const T* interest_col = s + 2 * len;
        const std::int64_t f = int_freq;
        const std::int64_t last = static_cast<std::int64_t>(len) - 1;
        for (std::int64_t j = 1; j <= R; ++j) {
            const std::int64_t t = start + j;  // the entry of period j
            const std::int64_t elapsed = t % f;
            const std::int64_t next = t - elapsed + f;
            if (elapsed == 0 || next > last) continue;
            const double a = static_cast<double>(interest_col[next]) * static_cast<double>(elapsed) /
                             static_cast<double>(f);
            accrued[static_cast<std::size_t>(j)] += a;
            if (!fee_ratio.none()) fee_accrued[static_cast<std::size_t>(j)] += fee_ratio.at(next) * a;
        }
    }
    remaining = std::max(remaining, R);
}

namespace {

template <bool kPrepay, bool kDefault, bool kAccrual, bool kFee>
void project_as(const Group& w, const Weights& wt, double* const acc[kMeasureCount]) {
    const std::int64_t R = w.remaining;
    // No two of these arrays overlap, which lets the loop be vectorised.
    const double* __restrict__ C = w.cap.data();
    const double* __restrict__ I = w.interest.data();
    const double* __restrict__ B = w.bal.data();
    const double* __restrict__ Bp = w.bal_prev.data();
    const double* __restrict__ A = w.accrued.data();
    const double* __restrict__ FI = w.fee_interest.data();
    const double* __restrict__ FA = w.fee_accrued.data();
    double* __restrict__ servicing = acc[kServicing];
    const double* __restrict__ surv = wt.surv.data();
    const double* __restrict__ live = wt.live.data();
    const double* __restrict__ prepay = wt.prepay.data();
    const double* __restrict__ dflt = wt.dflt.data();
    double* __restrict__ bal = acc[kBalance];
    double* __restrict__ sched = acc[kScheduled];
    double* __restrict__ interest = acc[kInterest];
    double* __restrict__ prepaid = acc[kPrepaid];
    double* __restrict__ defaulted = acc[kDefaulted];
    bal[0] += B[0];
    for (std::int64_t m = 1; m <= R; ++m) {
        bal[m] += surv[m] * B[m];
        sched[m] += live[m] * C[m];
        double i = live[m] * I[m];
        // The balance prepaid in m pays the interest accrued since the last
        // interest date with its principal.
        if constexpr (kAccrual) i = i + prepay[m] * A[m];
        interest[m] += i;
        if constexpr (kFee) {
            double f = live[m] * FI[m];
            if constexpr (kAccrual) f = f + prepay[m] * FA[m];
            servicing[m] += f;
        }
        if constexpr (kPrepay) prepaid[m] += prepay[m] * B[m];
        if constexpr (kDefault) defaulted[m] += dflt[m] * Bp[m];
    }
}

template <bool kPrepay, bool kDefault, bool kAccrual>
void project_with_fee(const Group& w, const Weights& wt, double* const acc[kMeasureCount]) {
    if (w.fee)
        project_as<kPrepay, kDefault, kAccrual, true>(w, wt, acc);
    else
        project_as<kPrepay, kDefault, kAccrual, false>(w, wt, acc);
}

// Accrued interest flows only with a balance that prepays.
template <bool kPrepay, bool kDefault>
void project_with_accrual(const Group& w, const Weights& wt, double* const acc[kMeasureCount]) {
    if (kPrepay && w.accrual)
        project_with_fee<kPrepay, kDefault, kPrepay>(w, wt, acc);
    else
        project_with_fee<kPrepay, kDefault, false>(w, wt, acc);
}

}  // namespace

void project_group(const Group& w, const Weights& wt, const Scenario& sc, double* const acc[kMeasureCount]) {
    const bool p = !sc.prepay.rates.empty(), d = !sc.dflt.rates.empty();
    if (p && d)
        project_with_accrual<true, true>(w, wt, acc);
    else if (p)
        project_with_accrual<true, false>(w, wt, acc);
    else if (d)
        project_with_accrual<false, true>(w, wt, acc);
    else
        project_with_accrual<false, false>(w, wt, acc);
}

void derive_flows(std::vector<double> (&col)[kMeasureCount], std::size_t row, std::size_t len, const Scenario& sc) {
    const std::size_t lag = static_cast<std::size_t>(sc.lag);
    const double severity = sc.severity;
    const double recovered = 1.0 - sc.severity;
    for (std::size_t p = 0; p < len; ++p) {
        const double d = p >= lag ? col[kDefaulted][row + p - lag] : 0.0;
        col[kLoss][row + p] = severity * d;
        col[kRecovery][row + p] = recovered * d;
        col[kCashflow][row + p] =
            col[kScheduled][row + p] + col[kPrepaid][row + p] + col[kRecovery][row + p] + col[kInterest][row + p];
        col[kNetCashflow][row + p] = col[kCashflow][row + p] - col[kServicing][row + p];
    }
}

}  // namespace paywheel::columnar::proj
