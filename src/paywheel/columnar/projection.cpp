#include "paywheel/columnar/projection.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "paywheel/columnar/per_thread.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/failure_code.hpp"
#include "paywheel/core/memory_bound.hpp"
#include "paywheel/core/message_text.hpp"
#include "paywheel/core/messages.hpp"
#include "paywheel/core/numeric.hpp"

namespace paywheel::columnar {

const char* const kBadAgeReason = messages::kBadAge;

namespace {

// Rows per block of the sums. It depends on the input's batches only, never
// on the thread count, so the order of every float64 addition is fixed.
// Larger blocks hold more loans of each age (see the order in
// compute_projection) at no cost in memory: a block's sums grow with its
// segments, scenarios and periods only.
constexpr std::int64_t kBlockRows = 1024;
// Blocks computed at once: bounds the memory of block sums in flight; the
// result does not depend on it.
constexpr std::size_t kWave = 8;
constexpr std::size_t kWaveBytes = std::size_t{256} << 20;
// The measures summed over loans. Loss and recovery are severity and
// 1 - severity times the defaulted principal `lag` periods earlier, and the
// cash flow is the sum of four others: all three are derived from the sums
// (derive_flows), which leaves two fewer arrays to add into for every loan
// and scenario.
constexpr std::size_t kSummed[] = {kBalance, kScheduled, kPrepaid, kDefaulted, kInterest, kServicing};
constexpr std::size_t kSums = std::size(kSummed);

using Block = Chunk;

// What a row brings besides its engine terms: the servicing fee over the
// rate, and whether its schedule starts at its current balance (entry 0 is
// then period 0) rather than at origination (entry `age` is period 0).
struct Standing {
    double fee_ratio = 0.0;
    bool rebased = false;
};

// The schedules of loans of one age (and segment), each widened exactly to
// float64 from its period 0 on and summed: entry m is period m of each loan.
// A scenario's weights (below) depend on the age alone, so the flows of a
// group's loans are its weights times these sums, applied once per group and
// scenario instead of once per loan and scenario. A loan adds nothing past
// its last period, and bal_prev[m] sums Bal[t-1] of the loans that reach
// period m only, since only they can default in it. A group of one loan is
// that loan's own schedule, to the bit.
//
// accrued[m]: the interest a balance that leaves in period m owes for the
// months since its last interest date, Int[next interest date] x (months
// elapsed / int_freq); zero on interest dates, where the leaving balance
// pays the date's interest with the rest, and for loans paid every period.
// fee_interest and fee_accrued: the same two times fee / rate, the
// servicing they carry.
struct Group {
    std::vector<double> cap, interest, bal, bal_prev, accrued, fee_interest, fee_accrued;
    std::int64_t remaining = -1;  // the longest remaining term R of its loans; -1 when empty
    bool accrual = false;         // a loan paid less often than every period
    bool fee = false;             // a loan with a fee

    void clear() noexcept {
        if (remaining >= 0) {
            const std::size_t n = static_cast<std::size_t>(remaining) + 1;
            for (std::vector<double>* v : {&cap, &interest, &bal, &bal_prev, &accrued, &fee_interest, &fee_accrued})
                std::fill_n(v->begin(), n, 0.0);
        }
        remaining = -1;
        accrual = fee = false;
    }

    // Adds a loan whose engine columns of `len` entries each are in s, its
    // period 0 at entry `start`, paying interest every `int_freq` entries.
    void add(const float* s, std::size_t len, std::int64_t start, std::int32_t int_freq, double fee_ratio) {
        const std::int64_t R = static_cast<std::int64_t>(len) - 1 - start;
        const std::size_t n = static_cast<std::size_t>(R) + 1;
        if (cap.size() < n)
            for (std::vector<double>* v : {&cap, &interest, &bal, &bal_prev, &accrued, &fee_interest, &fee_accrued})
                v->resize(n, 0.0);
        const float* __restrict__ c = s + len + start;
        const float* __restrict__ i = s + 2 * len + start;
        const float* __restrict__ b = s + 4 * len + start;
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
        if (fee_ratio != 0.0) {
            fee = true;
            double* __restrict__ fi = fee_interest.data();
            for (std::size_t j = 0; j < n; ++j) fi[j] += fee_ratio * static_cast<double>(i[j]);
        }
        if (int_freq > 1) {
            accrual = true;
            const float* interest_col = s + 2 * len;
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
                if (fee_ratio != 0.0) fee_accrued[static_cast<std::size_t>(j)] += fee_ratio * a;
            }
        }
        remaining = std::max(remaining, R);
    }
};

// rate(m) of a curve for a loan aged `age`.
double curve_rate(const RateCurve& c, std::int64_t age, std::int64_t m) noexcept {
    if (c.rates.empty()) return 0.0;
    const std::int64_t last = static_cast<std::int64_t>(c.rates.size()) - 1;
    // The index of period m: m - 1, or the age at that period, a + m.
    return c.rates[static_cast<std::size_t>(std::min(c.by_age ? age + m : m - 1, last))];
}

// What a scenario does to every loan of one age, whatever its schedule: the
// survival S after each period m, live = S*(1-mdr), and the products the
// model forms before it multiplies by a balance, smm*live and mdr*S. The
// model's recurrence runs here once per scenario and age instead of once per
// loan, with the same operations in the same order, so the flows keep their
// bits; what is left per loan has no dependence between periods and is
// vectorised.
struct Weights {
    std::vector<double> surv{1.0};  // surv[m]: S after period m (surv[0] = 1)
    std::vector<double> live{0.0};  // live[m]
    std::vector<double> prepay{0.0};  // smm(m)*live[m]
    std::vector<double> dflt{0.0};    // mdr(m)*surv[m-1]

    std::int64_t periods() const noexcept { return static_cast<std::int64_t>(surv.size()) - 1; }
    // Runs the recurrence on to period R.
    void extend(const Scenario& sc, std::int64_t age, std::int64_t R) {
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
};

// The weights of loans at least this old are those of a loan of exactly this
// age: past the end of every curve read by age, the rates no longer depend
// on it. 0 when no curve is read by age.
std::int64_t age_cap(const Scenario& sc) noexcept {
    std::int64_t cap = 0;
    for (const RateCurve* c : {&sc.prepay, &sc.dflt})
        if (c->by_age && !c->rates.empty()) cap = std::max(cap, static_cast<std::int64_t>(c->rates.size()) - 1);
    return cap;
}

// The weights of the ages met so far, for one worker thread of one call,
// dropped when they would hold more than kCacheDoubles (the rows of a block
// come by age, so what is dropped is mostly not needed again).
class WeightCache {
public:
    const Weights& get(std::size_t scenario, const Scenario& sc, std::int64_t age, std::int64_t R) {
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

    static constexpr std::size_t kCacheDoubles = std::size_t{4} << 20;  // 32 MiB

private:
    struct KeyHash {
        std::size_t operator()(const std::pair<std::size_t, std::int64_t>& k) const noexcept {
            return std::hash<std::int64_t>()(k.second) * 31 + k.first;
        }
    };
    std::unordered_map<std::pair<std::size_t, std::int64_t>, Weights, KeyHash> sets_;
    std::size_t held_ = 0;
};


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

// Adds the flows of a group's loans under one scenario into acc[k][p],
// p = 0..R. The model, per loan and period m = 1..R with S = 1 before the
// first:
//   d = mdr*S*Bal[t-1]; live = S*(1-mdr); sched = live*Cap[t];
//   int = live*Int[t] + (smm*live)*Accrued[t]; prepaid = smm*live*Bal[t];
//   S = live*(1-smm); balance = S*Bal[t];
//   servicing = live*(phi*Int[t]) + (smm*live)*(phi*Accrued[t]), phi = fee/rate.
// A scenario without prepayment or without default adds only zeros there,
// so those sums are left alone.
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

// Loss, recovery and cash flow of periods [0, len) of one span of rows from
// its other measures: the defaults of period p - lag are liquidated in p.
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

// One loan's schedule as the value kernel reads it: its engine columns of
// `len` entries, period 0 at entry `start`.
struct LoanSchedule {
    const float* s;
    std::size_t len;
    std::int64_t start;
    std::int32_t int_freq;
    double fee_ratio;
    std::int64_t remaining() const noexcept { return static_cast<std::int64_t>(len) - 1 - start; }
};

// Scratch of the value kernel: four arrays of one loan's periods.
struct LoanScratch {
    std::vector<double> head, interest, servicing, defaulted;
    void fit(std::size_t n) {
        if (head.size() >= n) return;
        for (std::vector<double>* v : {&head, &interest, &servicing, &defaulted}) v->resize(n);
    }
};

// Periods 1..R of one loan's flows, every array its own: a separate
// function so that the compiler sees the arrays apart and vectorises.
template <bool kPrepay, bool kDefault, bool kFee>
[[gnu::noinline]] void net_flow_rows(std::int64_t R, const float* __restrict__ C, const float* __restrict__ I,
                                     const float* __restrict__ B, const double* __restrict__ live,
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

// The net cash flow and principal of periods 0..span - 1 of one loan under
// one scenario, straight from its schedule: the values project_group gives
// a group of this loan alone and derive_flows then forms, by the same
// operations in the same order (a test holds the two to the bit), without
// the other measures. head is scheduled + prepaid principal.
template <bool kPrepay, bool kDefault, bool kAccrual, bool kFee>
void loan_net_flows(const LoanSchedule& l, const Weights& wt, const Scenario& sc, std::size_t span, LoanScratch& x,
                    double* __restrict__ net, double* __restrict__ prin) {
    const std::int64_t R = l.remaining();
    double* head = x.head.data();
    double* interest = x.interest.data();
    double* servicing = x.servicing.data();
    double* defaulted = x.defaulted.data();
    head[0] = interest[0] = servicing[0] = defaulted[0] = 0.0;
    net_flow_rows<kPrepay, kDefault, kFee>(R, l.s + l.len + l.start, l.s + 2 * l.len + l.start,
                                           l.s + 4 * l.len + l.start, wt.live.data(), wt.prepay.data(),
                                           wt.dflt.data(), l.fee_ratio, head, interest, servicing, defaulted);
    if constexpr (kAccrual) {
        // The interest the prepaid balance accrued, added to each period's
        // as project_as adds it.
        const float* interest_col = l.s + 2 * l.len;
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
            if constexpr (kFee) servicing[m] = servicing[m] + prepay[m] * (l.fee_ratio * a);
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

template <bool kPrepay, bool kDefault, bool kAccrual>
void loan_net_flows_fee(const LoanSchedule& l, const Weights& wt, const Scenario& sc, std::size_t span,
                        LoanScratch& x, double* net, double* prin) {
    if (l.fee_ratio != 0.0)
        loan_net_flows<kPrepay, kDefault, kAccrual, true>(l, wt, sc, span, x, net, prin);
    else
        loan_net_flows<kPrepay, kDefault, kAccrual, false>(l, wt, sc, span, x, net, prin);
}

template <bool kPrepay, bool kDefault>
void loan_net_flows_accrual(const LoanSchedule& l, const Weights& wt, const Scenario& sc, std::size_t span,
                            LoanScratch& x, double* net, double* prin) {
    if (kPrepay && l.int_freq > 1)
        loan_net_flows_fee<kPrepay, kDefault, kPrepay>(l, wt, sc, span, x, net, prin);
    else
        loan_net_flows_fee<kPrepay, kDefault, false>(l, wt, sc, span, x, net, prin);
}

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

// The engine on one loan of the row r of `batch` into `schedule` (its five
// columns of `len` entries), failures as data: the code and field by the
// loan's shape, the value quoted as read. Sets `oom` when memory ran out.
bool run_engine(const InputBatch& batch, std::int64_t r, const Terms& terms, std::vector<float>& schedule,
                std::size_t& len, RowFailure& failure, std::atomic<bool>& oom) {
    const std::int64_t row_len = row_length(terms.pers);
    if (row_len < 0) {
        failure.code = FailureCode::TooLarge;
        failure.field = Field::Pers;
        failure.reason = messages::kUnevenColumns;
        failure.value = std::to_string(terms.pers);
        failure.has_value = true;
        return false;
    }
    len = static_cast<std::size_t>(row_len);
    try {
        if (schedule.size() < len * kColumns) schedule.resize(len * kColumns);
    } catch (...) {
        oom.store(true);
        failure.has_terms = true;
        failure.terms = terms;
        return false;
    }
    float* s = schedule.data();
    return fill_row(batch, r, terms, ScheduleOut{s, s + len, s + 2 * len, s + 3 * len, s + 4 * len, len, len},
                    failure, oom);
}

// A row's place in a block's order, and what it brings besides its terms.
struct Key {
    std::int64_t age;
    std::int32_t segment;
    std::int64_t row;
    Standing standing;
    bool operator<(const Key& o) const noexcept {
        return age != o.age ? age < o.age : segment != o.segment ? segment < o.segment : row < o.row;
    }
};

// The shortest text that reads back as v.
std::string number_text(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

bool refuse_row(RowFailure& failure, FailureCode code, Field field, const char* reason, double value,
                const Terms& terms) {
    failure.code = code;
    failure.field = field;
    failure.reason = reason;
    failure.has_value = true;
    failure.value = number_text(value);
    failure.has_terms = true;
    failure.terms = terms;
    return false;
}

// The current balance and the fee of row g, checked; a row with a balance
// gets the terms of its remaining schedule.
bool read_standing(const ProjectionInput& in, std::int64_t g, std::int64_t age, Terms& terms, Standing& st,
                   RowFailure& failure) {
    if (in.balances != nullptr) {
        const double b = in.balances[g];
        const float bf = num::narrow_to_float(b);
        if (!(bf > 0.0f && std::isfinite(bf)))
            return refuse_row(failure, FailureCode::BadBalance, Field::Balance, messages::kBadBalance, b, terms);
    }
    if (in.fees != nullptr) {
        const double fee = in.fees[g];
        const float ff = num::narrow_to_float(fee);
        // Compared with the rate as the engine reads it; a rate that is not a
        // rate at all is left for the engine to refuse.
        if (!(ff >= 0.0f) || ff > terms.rate)
            return refuse_row(failure, FailureCode::BadFee, Field::Fee, messages::kBadFee, fee, terms);
        st.fee_ratio = ff == 0.0f ? 0.0 : static_cast<double>(ff) / static_cast<double>(terms.rate);
    }
    if (in.balances != nullptr) {
        terms.amt = num::narrow_to_float(in.balances[g]);
        terms.pers = static_cast<std::int32_t>(terms.pers - age);
        terms.age = static_cast<std::int32_t>(age);
        st.rebased = true;
    }
    return true;
}

// Decodes row r (row g of the book) and checks its age, balance and fee; on
// false `failure` says why. ages[g] == kNotAnAge: a value that is not an
// integer at all, which the caller quotes.
bool decode_with_age(const InputBatch& batch, std::int64_t r, std::int64_t g, const ProjectionInput& in, Terms& terms,
                     std::int64_t& age, Standing& st, RowFailure& failure) {
    DecodeFailure why;
    if (!decode_row(batch, r, terms, why)) {
        failure.code = why.code;
        failure.field = why.field;
        failure.reason = why.reason;
        failure.has_value = why.has_value;
        failure.value = std::move(why.value);
        return false;
    }
    age = in.ages != nullptr ? in.ages[g] : 0;
    if (age < 0 || age >= terms.pers) {
        failure.code = FailureCode::BadAge;
        failure.field = Field::Age;
        failure.reason = kBadAgeReason;
        failure.has_value = age != kNotAnAge;
        if (failure.has_value) failure.value = std::to_string(age);
        failure.has_terms = true;
        failure.terms = terms;
        return false;
    }
    return read_standing(in, g, age, terms, st, failure);
}

// The entry of a row's schedule that is its period 0.
std::int64_t start_of(std::int64_t age, const Standing& st) noexcept { return st.rebased ? 0 : age; }

// A rebased loan's amount is its balance: the engine's refusal of that
// amount blames the balance.
void blame_rebased(RowFailure& failure, const Standing& st, const ProjectionInput& in, std::int64_t g) {
    if (!st.rebased || failure.field != Field::Amt) return;
    failure.field = Field::Balance;
    failure.value = number_text(in.balances[g]);
    failure.has_value = true;
}

// One block's sums: for each segment it touches, in order of first touch,
// and each scenario, kSums arrays of `len[s]` periods.
struct BlockSums {
    std::vector<std::int32_t> segments;
    std::vector<std::int64_t> len;  // per scenario: periods (0..R + lag) of the block's longest loan
    std::vector<double> data;
    std::int64_t longest = -1;      // the longest remaining term R of a loan that ran
    std::vector<RowFailure> failures;

    std::vector<std::size_t> before;  // per scenario: its offset within a slot
    std::size_t per_slot = 0;

    std::size_t span(std::size_t s) const { return static_cast<std::size_t>(len[s]); }
    void lay_out(std::size_t scenarios) {
        before.resize(scenarios);
        per_slot = 0;
        for (std::size_t s = 0; s < scenarios; ++s) {
            before[s] = per_slot;
            per_slot += kSums * span(s);
        }
    }
    // Offset of (slot, scenario) within data; its measures follow each other.
    std::size_t offset(std::size_t slot, std::size_t s) const { return slot * per_slot + before[s]; }
};

// What a worker thread reuses from block to block of one call (PerThread),
// looked up once a block.
struct BlockScratch {
    std::vector<float> schedule;
    Group group;
    std::vector<std::int32_t> slot_of;  // per segment: its slot in the block, or -1
    std::vector<Key> order;
    std::vector<Terms> terms;
    WeightCache weights;
};

// ---------------------------------------------------------------- memory

std::size_t sat_add(std::size_t a, std::size_t b) noexcept { return b > SIZE_MAX - a ? SIZE_MAX : a + b; }
std::size_t sat_mul(std::size_t a, std::size_t b) noexcept {
    return a != 0 && b > SIZE_MAX / a ? SIZE_MAX : a * b;
}

// Threads that can run the `count` chunks of one run at once.
// The processors, read when the library is loaded: a function-local static
// half-built by another thread at a fork would leave the child waiting on
// its guard for ever.
const std::size_t g_cores = std::max(1u, std::thread::hardware_concurrency());

std::size_t busy_threads(std::size_t count) noexcept { return std::max<std::size_t>(1, std::min(count, g_cores)); }

// Per schedule entry of the longest loan a worker met: the engine's five
// binary32 columns, a group's four float64 sums and the weights of one age
// (four float64 a period).
constexpr std::size_t kScratchPerEntry = kColumns * sizeof(float) + 2 * 4 * sizeof(double);

// One worker's BlockScratch at its largest, for schedules of at most `len`
// entries among `segments` segments: kScratchPerEntry, the rest of the
// weight cache, and the block's rows.
std::size_t scratch_bytes(std::size_t len, std::size_t segments) noexcept {
    const std::size_t rows = static_cast<std::size_t>(kBlockRows) * (sizeof(Key) + sizeof(Terms));
    return sat_add(sat_add(sat_mul(len, kScratchPerEntry), WeightCache::kCacheDoubles * sizeof(double)),
                   sat_add(rows, sat_mul(segments, sizeof(std::int32_t))));
}

// A peak and a 32nd of it for the allocator's rounding and the interpreter's
// objects of the result.
std::size_t with_slack(std::size_t bytes) noexcept { return sat_add(bytes, bytes / 32); }

// Per loan of the book: what the caller derived from it for the call (its
// age and segment code, and their temporaries) and the call's own state.
constexpr std::size_t kPerLoanBytes = 64;

// The output rows of a horizon of R periods: periods 0..R + lag of each
// scenario, for every segment.
std::size_t output_rows(const std::vector<Scenario>& scenarios, std::size_t segments, std::int64_t R) noexcept {
    std::size_t rows = 0;
    for (const Scenario& sc : scenarios) rows = sat_add(rows, static_cast<std::size_t>(R + sc.lag + 1));
    return sat_mul(rows, segments);
}

// The most compute_projection holds at once, in bytes, once its longest
// remaining term is R (the final horizon is at least that, so a call found
// too large here never fits): while blocks run, the totals (periods 0..R of
// the summed measures only: past R they are zero, and loss and recovery are
// derived from them), the block sums in flight and each busy thread's
// scratch; while the table is formed, the totals and its columns; once
// handed over, the columns and the caller's `per_row` bytes of each row.
// The most of the three with_slack, and kPerLoanBytes for each of the
// book's `loans`.
std::size_t totals_peak(const std::vector<Scenario>& scenarios, std::size_t segments, std::int64_t R,
                        std::size_t in_flight, std::size_t threads, std::size_t scratch, std::size_t per_row,
                        std::size_t loans) noexcept {
    const std::size_t rows = output_rows(scenarios, segments, R);
    const std::size_t summed =
        sat_mul(sat_mul(scenarios.size(), segments), sat_mul(static_cast<std::size_t>(R + 1), kSums * sizeof(double)));
    const std::size_t columns = sat_mul(rows, kMeasureCount * sizeof(double));
    const std::size_t running = sat_add(sat_add(summed, in_flight), sat_mul(threads, scratch));
    const std::size_t most = std::max({running, sat_add(summed, columns), sat_add(columns, sat_mul(rows, per_row))});
    return sat_add(with_slack(most), sat_mul(loans, kPerLoanBytes));
}

// The refusal of a call whose peak passes the memory this process may use.
TooLarge projection_too_large(std::size_t bytes, std::size_t limit) {
    return TooLarge(bytes, limit,
                    bytes == SIZE_MAX ? std::string(messages::kProjectionPastAddressSpace)
                                      : messages::text(messages::kProjectionPastMemory, bytes, limit));
}

void check_peak(std::size_t bytes) {
    const std::size_t bound = memory_bound();
    if (bytes > bound) throw projection_too_large(bytes, bound);
}

// The failures of a call's blocks, in row order: each block's sorted, the
// blocks in order (a block holds a contiguous run of rows).
void append_by_row(std::vector<std::vector<RowFailure>>& per_block, std::vector<RowFailure>& out) {
    for (std::vector<RowFailure>& block : per_block) {
        std::sort(block.begin(), block.end(),
                  [](const RowFailure& x, const RowFailure& y) { return x.index < y.index; });
        for (RowFailure& f : block) out.push_back(std::move(f));
    }
}

}  // namespace

ProjectionTotals compute_projection(const std::vector<InputBatch>& batches, const ProjectionInput& in,
                                    const std::vector<Scenario>& scenarios, OnError on_error, const ChunkRunner& run,
                                    const std::atomic<bool>& stop) {
    ProjectionTotals tot;
    std::int64_t rows = 0;
    const std::vector<Block> blocks = make_chunks(batches, rows, kBlockRows);
    tot.rows = rows;
    const std::size_t S = scenarios.size();
    const std::int32_t G = in.segments != nullptr ? in.segment_count : 1;
    tot.scenarios = static_cast<std::int32_t>(S);
    tot.segments = G;
    const bool raise = on_error == OnError::Raise;
    std::atomic<bool> oom{false};
    // The peak a block found past the memory bound (0: none), refused after its wave.
    std::atomic<std::size_t> refused{0};
    auto scratch = std::make_unique<PerThread<BlockScratch>>();

    // Totals per (scenario, segment) and summed measure, grown as longer
    // loans appear.
    std::vector<std::array<std::vector<double>, kSums>> sums(S * static_cast<std::size_t>(G));
    std::int64_t longest = -1;
    std::vector<BlockSums> wave(kWave);
    // Blocks in the next wave: two to start with, then as many (up to kWave)
    // as keep the sums in flight within kWaveBytes, judged by the largest
    // block so far; a block's sums grow with the segments it touches.
    std::size_t wave_size = 2;
    std::size_t largest = 1;
    std::size_t passed = 0;  // bytes of every block's sums

    for (std::size_t start = 0, n = 0; start < blocks.size(); start += n) {
        n = std::min(wave_size, blocks.size() - start);
        for (std::size_t j = 0; j < n; ++j) wave[j] = BlockSums();
        run(n, [&](std::size_t j) {
            if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed) ||
                refused.load(std::memory_order_relaxed) != 0)
                return;
            const Block& bl = blocks[start + j];
            const InputBatch& batch = batches[bl.batch];
            BlockSums& out = wave[j];
            QuietAborts quiet;
            BlockScratch* mine = nullptr;
            try {
                mine = &scratch->mine();
                std::vector<float>& schedule = mine->schedule;
                Group& group = mine->group;
                std::vector<std::int32_t>& slot_of = mine->slot_of;
                WeightCache& weights = mine->weights;
                // Every row read once: its terms, and its failure if it
                // cannot be read or its age is out of range; the block's
                // segments and its longest remaining term.
                if (slot_of.size() < static_cast<std::size_t>(G)) slot_of.assign(static_cast<std::size_t>(G), -1);
                std::int64_t longest_here = 0;
                std::size_t widest_here = 0;  // the longest schedule, in entries
                // Rows by age and segment, then row: each run of one age and
                // segment is one group. The order is fixed by the input alone.
                std::vector<Key>& order = mine->order;
                std::vector<Terms>& terms = mine->terms;
                order.clear();
                terms.resize(static_cast<std::size_t>(bl.end - bl.begin));
                for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                    const std::int64_t g = bl.global + (r - bl.begin);
                    std::int64_t age = 0;
                    Standing st;
                    RowFailure failure;
                    failure.index = g;
                    if (!decode_with_age(batch, r, g, in, terms[static_cast<std::size_t>(r - bl.begin)], age, st,
                                         failure)) {
                        out.failures.push_back(std::move(failure));
                        continue;
                    }
                    const std::int32_t seg = in.segments != nullptr ? in.segments[g] : 0;
                    order.push_back(Key{age, seg, r, st});
                    const Terms& t = terms[static_cast<std::size_t>(r - bl.begin)];
                    longest_here = std::max<std::int64_t>(longest_here, t.pers - start_of(age, st));
                    widest_here = std::max<std::size_t>(widest_here, static_cast<std::size_t>(t.pers) + 1);
                    if (slot_of[static_cast<std::size_t>(seg)] < 0) {
                        slot_of[static_cast<std::size_t>(seg)] = static_cast<std::int32_t>(out.segments.size());
                        out.segments.push_back(seg);
                    }
                }
                std::sort(order.begin(), order.end());
                out.len.resize(S);
                // Periods 0..R only: a loan adds nothing past its last
                // period, and the lag shifts only the derived measures.
                for (std::size_t s = 0; s < S; ++s) out.len[s] = longest_here + 1;
                out.lay_out(S);
                const std::size_t here = sat_mul(sat_mul(out.per_slot, out.segments.size()), sizeof(double));
                const std::size_t peak =
                    totals_peak(scenarios, static_cast<std::size_t>(G), std::max(longest, longest_here),
                                sat_mul(here, n), busy_threads(n),
                                scratch_bytes(widest_here, static_cast<std::size_t>(G)), in.caller_bytes_per_row,
                                static_cast<std::size_t>(rows));
                if (peak > memory_bound()) {
                    // The call ends with the refusal, and this scratch with it.
                    refused.store(peak);
                    return;
                }
                out.data.assign(out.per_slot * out.segments.size(), 0.0);

                group.clear();
                std::int64_t group_age = -1;
                std::int32_t group_seg = -1;
                const auto flush = [&] {
                    if (group.remaining < 0) return;
                    const std::size_t slot = static_cast<std::size_t>(slot_of[static_cast<std::size_t>(group_seg)]);
                    for (std::size_t s = 0; s < S; ++s) {
                        double* base = out.data.data() + out.offset(slot, s);
                        double* acc[kMeasureCount] = {};
                        for (std::size_t i = 0; i < kSums; ++i) acc[kSummed[i]] = base + i * out.span(s);
                        project_group(group, weights.get(s, scenarios[s], group_age, group.remaining),
                                      scenarios[s], acc);
                    }
                    out.longest = std::max(out.longest, group.remaining);
                    group.clear();
                };
                for (const Key& key : order) {
                    const std::int64_t r = key.row;
                    RowFailure failure;
                    failure.index = bl.global + (r - bl.begin);
                    std::size_t len = 0;
                    const Terms& t = terms[static_cast<std::size_t>(r - bl.begin)];
                    const bool ok = run_engine(batch, r, t, schedule, len, failure, oom);
                    if (oom.load(std::memory_order_relaxed)) break;
                    if (!ok) {
                        blame_rebased(failure, key.standing, in, failure.index);
                        out.failures.push_back(std::move(failure));
                        continue;
                    }
                    if (key.age != group_age || key.segment != group_seg) {
                        flush();
                        group_age = key.age;
                        group_seg = key.segment;
                    }
                    group.add(schedule.data(), len, start_of(key.age, key.standing), t.int_freq,
                              key.standing.fee_ratio);
                }
                flush();
                std::sort(out.failures.begin(), out.failures.end(),
                          [](const RowFailure& x, const RowFailure& y) { return x.index < y.index; });
            } catch (const std::bad_alloc&) {
                oom.store(true);
            } catch (const std::length_error&) {
                oom.store(true);
            }
            if (mine != nullptr)
                for (const std::int32_t seg : out.segments) mine->slot_of[static_cast<std::size_t>(seg)] = -1;
        });
        if (stop.load()) throw Cancelled{};
        if (refused.load() != 0) throw projection_too_large(refused.load(), memory_bound());
        if (oom.load()) throw std::bad_alloc();
        // Blocks in order: the same additions in the same order for any
        // number of threads.
        for (std::size_t j = 0; j < n; ++j) {
            BlockSums& b = wave[j];
            for (RowFailure& f : b.failures) tot.failures.push_back(std::move(f));
            if (raise && !tot.failures.empty()) {
                tot.failures.resize(1);
                return tot;
            }
            longest = std::max(longest, b.longest);
            largest = std::max(largest, b.data.size() * sizeof(double));
            passed = sat_add(passed, b.data.size() * sizeof(double));
            for (std::size_t slot = 0; slot < b.segments.size(); ++slot) {
                for (std::size_t s = 0; s < S; ++s) {
                    auto& target = sums[s * static_cast<std::size_t>(G) + static_cast<std::size_t>(b.segments[slot])];
                    const std::size_t len = b.span(s);
                    const double* base = b.data.data() + b.offset(slot, s);
                    for (std::size_t i = 0; i < kSums; ++i) {
                        std::vector<double>& t = target[i];
                        if (t.size() < len) t.resize(len, 0.0);
                        const double* src = base + i * len;
                        for (std::size_t p = 0; p < len; ++p) t[p] += src[p];
                    }
                }
            }
            b = BlockSums();
        }
        wave_size = std::clamp<std::size_t>(kWaveBytes / largest, 1, kWave);
    }

    scratch.reset();  // the workers' scratch goes before the table comes
    const std::size_t grown = sat_mul(busy_threads(blocks.size()),
                                      sat_mul(static_cast<std::size_t>(longest + 1), kScratchPerEntry));
    give_back_free_pages(sat_add(passed, grown));

    // Rows: every segment gets periods 0..horizon of its scenario. A book
    // with no loan that ran has no rows.
    std::size_t out_rows = 0;
    tot.horizon.resize(S);
    for (std::size_t s = 0; s < S; ++s) {
        tot.horizon[s] = longest < 0 ? -1 : longest + scenarios[s].lag;
        out_rows += static_cast<std::size_t>(tot.horizon[s] + 1) * static_cast<std::size_t>(G);
    }
    if (longest >= 0)
        check_peak(totals_peak(scenarios, static_cast<std::size_t>(G), longest, 0, 0, 0, in.caller_bytes_per_row,
                               static_cast<std::size_t>(rows)));
    for (auto& c : tot.columns) c.assign(out_rows, 0.0);
    std::size_t row = 0;
    for (std::size_t s = 0; s < S; ++s) {
        const std::size_t len = static_cast<std::size_t>(tot.horizon[s] + 1);
        for (std::size_t g = 0; g < static_cast<std::size_t>(G); ++g) {
            auto& src = sums[s * static_cast<std::size_t>(G) + g];
            for (std::size_t i = 0; i < kSums; ++i) {
                const std::size_t have = std::min(len, src[i].size());
                std::copy(src[i].begin(), src[i].begin() + static_cast<std::ptrdiff_t>(have),
                          tot.columns[kSummed[i]].begin() + static_cast<std::ptrdiff_t>(row));
                std::vector<double>().swap(src[i]);
            }
            derive_flows(tot.columns, row, len, scenarios[s]);
            row += len;
        }
    }
    give_back_free_pages(passed);  // the totals, now in the columns
    return tot;
}

LoanProjection compute_loan_projection(const std::vector<InputBatch>& batches, const ProjectionInput& in,
                                       const std::vector<Scenario>& scenarios, OnError on_error, std::int64_t row_base,
                                       const ChunkRunner& run, const std::atomic<bool>& stop) {
    LoanProjection res;
    std::int64_t rows = 0;
    const std::vector<Block> blocks = make_chunks(batches, rows, kBlockRows);
    res.rows = rows;
    const std::size_t S = scenarios.size();
    const bool raise = on_error == OnError::Raise;
    std::int64_t lags = 0;
    for (const Scenario& sc : scenarios) lags += sc.lag + 1;
    auto scratch = std::make_unique<PerThread<BlockScratch>>();

    // Pass 1: every row read once, its terms kept; each row's output rows.
    // A row the engine refuses later keeps its span until the gaps are closed.
    std::vector<Terms> terms(static_cast<std::size_t>(rows));
    std::vector<std::int64_t> ages(static_cast<std::size_t>(rows), -1);  // -1: the row failed
    std::vector<Standing> standing(in.balances != nullptr || in.fees != nullptr ? static_cast<std::size_t>(rows) : 0);
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(rows) + 1, 0);
    std::vector<std::vector<RowFailure>> failures(blocks.size());
    std::atomic<bool> oom{false};
    run(blocks.size(), [&](std::size_t b) {
        const Block& bl = blocks[b];
        try {
            for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                const std::int64_t g = bl.global + (r - bl.begin);
                const std::size_t gi = static_cast<std::size_t>(g);
                RowFailure failure;
                failure.index = row_base + g;
                std::int64_t age = 0;
                Standing st;
                if (!decode_with_age(batches[bl.batch], r, g, in, terms[gi], age, st, failure)) {
                    failures[b].push_back(std::move(failure));
                    continue;
                }
                ages[gi] = age;
                if (!standing.empty()) standing[gi] = st;
                offsets[gi + 1] = static_cast<std::int64_t>(S) * (terms[gi].pers - start_of(age, st)) + lags;
            }
        } catch (const std::bad_alloc&) {
            oom.store(true);
        }
    });
    if (oom.load()) throw std::bad_alloc();
    std::size_t widest = 0;  // the longest schedule, in entries
    for (std::size_t i = 0; i < static_cast<std::size_t>(rows); ++i) {
        offsets[i + 1] += offsets[i];
        if (ages[i] >= 0) widest = std::max<std::size_t>(widest, static_cast<std::size_t>(terms[i].pers) + 1);
    }
    const std::size_t values = static_cast<std::size_t>(offsets.back());
    // The peak: the rows' terms, ages and offsets, every worker's scratch,
    // and the output rows (eight measures, the loan, scenario and period)
    // with what the caller adds to each.
    const std::size_t per_value = kMeasureCount * sizeof(double) + 16 + in.caller_bytes_per_row;
    const std::size_t bookkeeping =
        sat_mul(static_cast<std::size_t>(rows), sizeof(Terms) + 2 * sizeof(std::int64_t) + kPerLoanBytes);
    check_peak(with_slack(sat_add(sat_add(sat_mul(values, per_value), bookkeeping),
                                  sat_mul(busy_threads(blocks.size()), scratch_bytes(widest, 1)))));
    for (auto& c : res.columns) c.assign(values, 0.0);
    res.loan.resize(values);
    res.scenario.resize(values);
    res.period.resize(values);

    std::atomic<std::int64_t> first_failure{std::numeric_limits<std::int64_t>::max()};
    for (const auto& f : failures)
        if (!f.empty()) first_failure = std::min(first_failure.load(), f.front().index - row_base);
    run(blocks.size(), [&](std::size_t b) {
        if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
        const Block& bl = blocks[b];
        if (raise && bl.global > first_failure.load(std::memory_order_relaxed)) return;
        QuietAborts quiet;
        try {
            BlockScratch& mine = scratch->mine();
            std::vector<float>& schedule = mine.schedule;
            Group& w = mine.group;
            WeightCache& weights = mine.weights;
            for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                const std::int64_t g = bl.global + (r - bl.begin);
                const std::size_t gi = static_cast<std::size_t>(g);
                const std::int64_t age = ages[gi];
                if (age < 0) continue;  // failed in pass 1
                RowFailure failure;
                failure.index = row_base + g;
                std::size_t len = 0;
                const Standing st = standing.empty() ? Standing{} : standing[gi];
                const bool ok = run_engine(batches[bl.batch], r, terms[gi], schedule, len, failure, oom);
                if (oom.load(std::memory_order_relaxed)) return;
                if (!ok) {
                    blame_rebased(failure, st, in, g);
                    failures[b].push_back(std::move(failure));
                    std::int64_t cur = first_failure.load(std::memory_order_relaxed);
                    while (g < cur && !first_failure.compare_exchange_weak(cur, g, std::memory_order_relaxed)) {
                    }
                    if (raise) return;
                    continue;
                }
                // A group of this loan alone: its own schedule.
                w.clear();
                w.add(schedule.data(), len, start_of(age, st), terms[gi].int_freq, st.fee_ratio);
                std::size_t o = static_cast<std::size_t>(offsets[gi]);
                for (std::size_t s = 0; s < S; ++s) {
                    const std::size_t span = static_cast<std::size_t>(w.remaining + scenarios[s].lag + 1);
                    double* acc[kMeasureCount];
                    for (std::size_t k = 0; k < kMeasureCount; ++k) acc[k] = res.columns[k].data() + o;
                    project_group(w, weights.get(s, scenarios[s], age, w.remaining), scenarios[s], acc);
                    derive_flows(res.columns, o, span, scenarios[s]);
                    for (std::size_t p = 0; p < span; ++p) {
                        res.loan[o + p] = row_base + g;
                        res.scenario[o + p] = static_cast<std::int32_t>(s);
                        res.period[o + p] = static_cast<std::int32_t>(p);
                    }
                    o += span;
                }
            }
        } catch (const std::bad_alloc&) {
            oom.store(true);
        } catch (const std::length_error&) {
            oom.store(true);
        }
    });
    scratch.reset();
    give_back_free_pages(sat_mul(busy_threads(blocks.size()), sat_mul(widest, kScratchPerEntry)));
    if (stop.load()) throw Cancelled{};
    if (oom.load()) throw std::bad_alloc();
    append_by_row(failures, res.failures);
    if (raise && !res.failures.empty()) {
        res.failures.resize(1);
        for (auto& c : res.columns) std::vector<double>().swap(c);
        res.loan.clear();
        res.scenario.clear();
        res.period.clear();
        return res;
    }
    // Close the spans of rows that failed after pass 1 sized them.
    if (!res.failures.empty()) {
        std::size_t w = 0;
        std::size_t next = 0;  // the next failure, by row
        for (std::size_t i = 0; i < static_cast<std::size_t>(rows); ++i) {
            const std::size_t start = static_cast<std::size_t>(offsets[i]);
            const std::size_t len = static_cast<std::size_t>(offsets[i + 1]) - start;
            const bool failed = next < res.failures.size() &&
                                res.failures[next].index == row_base + static_cast<std::int64_t>(i);
            if (failed) {
                ++next;
                continue;
            }
            if (start != w) {
                for (std::size_t k = 0; k < kMeasureCount; ++k)
                    std::copy(res.columns[k].begin() + static_cast<std::ptrdiff_t>(start),
                              res.columns[k].begin() + static_cast<std::ptrdiff_t>(start + len),
                              res.columns[k].begin() + static_cast<std::ptrdiff_t>(w));
                std::copy(res.loan.begin() + static_cast<std::ptrdiff_t>(start),
                          res.loan.begin() + static_cast<std::ptrdiff_t>(start + len),
                          res.loan.begin() + static_cast<std::ptrdiff_t>(w));
                std::copy(res.scenario.begin() + static_cast<std::ptrdiff_t>(start),
                          res.scenario.begin() + static_cast<std::ptrdiff_t>(start + len),
                          res.scenario.begin() + static_cast<std::ptrdiff_t>(w));
                std::copy(res.period.begin() + static_cast<std::ptrdiff_t>(start),
                          res.period.begin() + static_cast<std::ptrdiff_t>(start + len),
                          res.period.begin() + static_cast<std::ptrdiff_t>(w));
            }
            w += len;
        }
        for (auto& c : res.columns) c.resize(w);
        res.loan.resize(w);
        res.scenario.resize(w);
        res.period.resize(w);
    }
    return res;
}

LoanValues compute_loan_values(const std::vector<InputBatch>& batches, const ProjectionInput& in,
                               const std::vector<Scenario>& scenarios, Valuer& valuer,
                               const std::vector<double>& prices, const double* loan_prices, OnError on_error,
                               const ChunkRunner& run, const std::atomic<bool>& stop) {
    LoanValues res;
    std::int64_t rows = 0;
    const std::vector<Block> blocks = make_chunks(batches, rows, kBlockRows);
    res.rows = rows;
    const std::size_t S = scenarios.size();
    const DiscountMode mode = valuer.spec().mode;
    const bool priced = mode == DiscountMode::Price || mode == DiscountMode::CurvePrice;
    if (priced && loan_prices == nullptr && prices.empty())
        throw ColumnarError(CallFailure::BadInput, messages::kValueNoPrice);
    const std::size_t P = priced && loan_prices == nullptr ? prices.size() : 1;
    const bool raise = on_error == OnError::Raise;
    std::int64_t max_lag = 0;
    for (const Scenario& sc : scenarios) max_lag = std::max<std::int64_t>(max_lag, sc.lag);
    const double N = valuer.spec().periods_per_year;
    PerThread<WeightCache> caches;  // the call's, gone with it

    // Pass 1: every row read once, its terms kept, and the longest run of
    // flows, which sizes the discount tables before any thread reads them.
    const std::size_t n_rows = static_cast<std::size_t>(rows);
    std::vector<Terms> terms(n_rows);
    std::vector<std::int64_t> ages(n_rows, -1);  // -1: the row failed
    std::vector<Standing> standing(n_rows);
    std::vector<std::vector<RowFailure>> failures(blocks.size());
    std::vector<std::int64_t> longest(blocks.size(), 0);
    std::atomic<bool> oom{false};
    run(blocks.size(), [&](std::size_t b) {
        const Block& bl = blocks[b];
        try {
            for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                const std::int64_t g = bl.global + (r - bl.begin);
                const std::size_t gi = static_cast<std::size_t>(g);
                RowFailure failure;
                failure.index = g;
                std::int64_t age = 0;
                if (!decode_with_age(batches[bl.batch], r, g, in, terms[gi], age, standing[gi], failure)) {
                    failures[b].push_back(std::move(failure));
                    continue;
                }
                ages[gi] = age;
                longest[b] = std::max<std::int64_t>(longest[b], terms[gi].pers - start_of(age, standing[gi]));
            }
        } catch (const std::bad_alloc&) {
            oom.store(true);
        }
    });
    if (oom.load()) throw std::bad_alloc();
    std::int64_t horizon = 0;
    for (const std::int64_t l : longest) horizon = std::max(horizon, l);
    valuer.reserve(static_cast<std::size_t>(horizon + max_lag));

    // Output row o = (row * S + scenario) * P + price; a failed row's rows
    // are closed up at the end.
    const std::size_t out_rows = n_rows * S * P;
    check_memory_bound(out_rows * (kValueColumnCount * sizeof(double) + 16));
    for (auto& c : res.columns) c.assign(out_rows, 0.0);
    res.loan.resize(out_rows);
    res.scenario.resize(out_rows);
    res.price.resize(out_rows);
    std::vector<std::uint8_t> ran(n_rows, 0);

    std::atomic<std::int64_t> first_failure{std::numeric_limits<std::int64_t>::max()};
    for (const auto& f : failures)
        if (!f.empty()) first_failure = std::min(first_failure.load(), f.front().index);
    run(blocks.size(), [&](std::size_t b) {
        if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
        const Block& bl = blocks[b];
        if (raise && bl.global > first_failure.load(std::memory_order_relaxed)) return;
        QuietAborts quiet;
        thread_local std::vector<float> schedule;
        thread_local LoanScratch scratch;
        thread_local std::vector<double> net, principal;
        const auto failed = [&](std::int64_t g) {
            std::int64_t cur = first_failure.load(std::memory_order_relaxed);
            while (g < cur && !first_failure.compare_exchange_weak(cur, g, std::memory_order_relaxed)) {
            }
        };
        try {
            WeightCache& weights = caches.mine();
            for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                if (stop.load(std::memory_order_relaxed)) return;
                const std::int64_t g = bl.global + (r - bl.begin);
                const std::size_t gi = static_cast<std::size_t>(g);
                const std::int64_t age = ages[gi];
                if (age < 0) continue;  // failed in pass 1
                const Standing& st = standing[gi];
                RowFailure failure;
                failure.index = g;
                std::size_t len = 0;
                const bool ok = run_engine(batches[bl.batch], r, terms[gi], schedule, len, failure, oom);
                if (oom.load(std::memory_order_relaxed)) return;
                if (!ok) {
                    blame_rebased(failure, st, in, g);
                    failures[b].push_back(std::move(failure));
                    failed(g);
                    if (raise) return;
                    continue;
                }
                const LoanSchedule loan{schedule.data(), len, start_of(age, st), terms[gi].int_freq, st.fee_ratio};
                const std::int64_t R = loan.remaining();
                const double start_balance = static_cast<double>(schedule[4 * len + static_cast<std::size_t>(loan.start)]);
                // The loan's coupon as a yield: where a solve for it starts.
                const double guess = static_cast<double>(terms[gi].rate) * N;
                bool no_yield = false;
                double unsolved_price = 0.0;
                for (std::size_t s = 0; s < S; ++s) {
                    const std::size_t span = static_cast<std::size_t>(R + scenarios[s].lag + 1);
                    if (net.size() < span) {
                        net.resize(span);
                        principal.resize(span);
                    }
                    loan_net_flows_of(loan, weights.get(s, scenarios[s], age, R), scenarios[s], span, scratch,
                                      net.data(), principal.data());
                    for (std::size_t j = 0; j < P; ++j) {
                        const double price = !priced ? 0.0 : loan_prices != nullptr ? loan_prices[g] : prices[j];
                        const std::size_t o = (gi * S + s) * P + j;
                        ValueRow v;
                        if (!valuer.value(net.data(), principal.data(), span, start_balance, price, guess, v) &&
                            !no_yield) {
                            no_yield = true;
                            unsolved_price = price;
                        }
                        for (std::size_t c = 0; c < kValueColumnCount; ++c) res.columns[c][o] = v[c];
                        res.loan[o] = g;
                        res.scenario[o] = static_cast<std::int32_t>(s);
                        res.price[o] = static_cast<std::int32_t>(j);
                    }
                }
                ran[gi] = 1;
                if (no_yield) {
                    refuse_row(failure, FailureCode::NoYield, Field::None, messages::kNoYield, unsolved_price,
                               terms[gi]);
                    failure.has_value = priced;
                    if (!priced) failure.value.clear();
                    failures[b].push_back(std::move(failure));
                    failed(g);
                    if (raise) return;
                }
            }
        } catch (const std::bad_alloc&) {
            oom.store(true);
        } catch (const std::length_error&) {
            oom.store(true);
        }
    });
    if (stop.load()) throw Cancelled{};
    if (oom.load()) throw std::bad_alloc();
    append_by_row(failures, res.failures);
    if (raise && !res.failures.empty()) {
        res.failures.resize(1);
        for (auto& c : res.columns) std::vector<double>().swap(c);
        res.loan.clear();
        res.scenario.clear();
        res.price.clear();
        return res;
    }
    // Close the rows of loans that did not run.
    std::size_t w = 0;
    const std::size_t per_row = S * P;
    for (std::size_t i = 0; i < n_rows; ++i) {
        if (!ran[i]) continue;
        const std::size_t from = i * per_row;
        if (from != w) {
            for (auto& c : res.columns)
                std::copy_n(c.begin() + static_cast<std::ptrdiff_t>(from), per_row, c.begin() + static_cast<std::ptrdiff_t>(w));
            std::copy_n(res.loan.begin() + static_cast<std::ptrdiff_t>(from), per_row,
                        res.loan.begin() + static_cast<std::ptrdiff_t>(w));
            std::copy_n(res.scenario.begin() + static_cast<std::ptrdiff_t>(from), per_row,
                        res.scenario.begin() + static_cast<std::ptrdiff_t>(w));
            std::copy_n(res.price.begin() + static_cast<std::ptrdiff_t>(from), per_row,
                        res.price.begin() + static_cast<std::ptrdiff_t>(w));
        }
        w += per_row;
    }
    for (auto& c : res.columns) c.resize(w);
    res.loan.resize(w);
    res.scenario.resize(w);
    res.price.resize(w);
    return res;
}

}  // namespace paywheel::columnar
