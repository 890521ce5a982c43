// The flows of a group of loans of one age under one scenario: their
// schedules summed once, then weighted by the survival model, and the
// measures derived from the sums (loss, recovery, cash flows).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "paywheel/columnar/projection.hpp"
#include "paywheel/columnar/row_intake.hpp"
#include "paywheel/columnar/schedule_scratch.hpp"
#include "paywheel/columnar/survival.hpp"

namespace paywheel::columnar::proj {

// The measures summed over loans. Loss and recovery are severity and
// 1 - severity times the defaulted principal `lag` periods earlier, and the
// cash flow is the sum of four others: all three are derived from the sums
// (derive_flows), which leaves two fewer arrays to add into for every loan
// and scenario.
inline constexpr std::size_t kSummed[] = {kBalance, kScheduled, kPrepaid, kDefaulted, kInterest, kServicing};
inline constexpr std::size_t kSums = std::size(kSummed);

// The schedules of loans of one age (and segment), each widened exactly to
// float64 from its period 0 on and summed: entry m is period m of each loan.
// A scenario's weights (survival.hpp) depend on the age alone, so the flows of a
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
// fee_interest and fee_accrued: the same two times fee / the rate in force
// (FeeRatio), the servicing they carry.
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
    // The columns are binary32, or float64 in cent mode.
    void add(const ScheduleView& s, std::size_t len, std::int64_t start, std::int32_t int_freq, const FeeRatio& fee_ratio);

private:
    template <typename T>
    void add_columns(const T* s, std::size_t len, std::int64_t start, std::int32_t int_freq, const FeeRatio& fee_ratio);
};

// Adds the flows of a group's loans under one scenario into acc[k][p],
// p = 0..R. The model, per loan and period m = 1..R with S = 1 before the
// first:
//   d = mdr*S*Bal[t-1]; live = S*(1-mdr); sched = live*Cap[t];
//   int = live*Int[t] + (smm*live)*Accrued[t]; prepaid = smm*live*Bal[t];
//   S = live*(1-smm); balance = S*Bal[t];
//   servicing = live*(phi*Int[t]) + (smm*live)*(phi*Accrued[t]), phi = fee / the rate in force.
// A scenario without prepayment or without default adds only zeros there,
// so those sums are left alone.
void project_group(const Group& w, const Weights& wt, const Scenario& sc, double* const acc[kMeasureCount]);

// Loss, recovery and cash flow of periods [0, len) of one span of rows from
// its other measures: the defaults of period p - lag are liquidated in p.
void derive_flows(std::vector<double> (&col)[kMeasureCount], std::size_t row, std::size_t len, const Scenario& sc);

}  // namespace paywheel::columnar::proj
