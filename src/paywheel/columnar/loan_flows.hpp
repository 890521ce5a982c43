// The flows of one loan under one scenario, straight from its schedule, as
// valuation reads them: its net cash flow and principal by period, nothing
// else of it kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "paywheel/columnar/projection.hpp"
#include "paywheel/columnar/row_intake.hpp"
#include "paywheel/columnar/schedule_scratch.hpp"
#include "paywheel/columnar/survival.hpp"

namespace paywheel::columnar::proj {

// One loan's schedule as the value kernel reads it: its engine columns of
// `len` entries, period 0 at entry `start`.
struct LoanSchedule {
    ScheduleView s;  // binary32, or float64 in cent mode
    std::size_t len;
    std::int64_t start;
    std::int32_t int_freq;
    const FeeRatio* fee;
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

// The net cash flow and principal of periods 0..span - 1 of one loan under
// one scenario, straight from its schedule: the values project_group gives
// a group of this loan alone and derive_flows then forms, by the same
// operations in the same order (a test holds the two to the bit), without
// the other measures. head is scheduled + prepaid principal.
// `x` is fitted to `span` here; net and prin hold `span` entries.
void loan_net_flows_of(const LoanSchedule& l, const Weights& wt, const Scenario& sc, std::size_t span,
                       LoanScratch& x, double* net, double* prin);

}  // namespace paywheel::columnar::proj
