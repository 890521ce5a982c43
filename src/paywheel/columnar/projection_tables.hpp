// The native tables of a projection: its float64 measures (and, per loan,
// the loan's row, the scenario and the period) as flat columns, built from
// computed results without the interpreter. Each table takes its result's
// columns over instead of copying them, so a projection never holds its
// result twice.
#pragma once

#include "paywheel/columnar/arrow_export.hpp"
#include "paywheel/columnar/projection.hpp"

namespace paywheel::columnar {

// The eight measures, one float64 column each, rows ordered by scenario,
// segment and period.
TablePtr projection_table(ProjectionTotals&& tot);

// loan (int64), scenario (int32) and period (int32), then the measures.
TablePtr loan_projection_table(LoanProjection&& res);

// loan (int64), scenario (int32) and price (int32, the index of the price),
// then the value columns.
TablePtr loan_values_table(const LoanValues& res);

// run (int32), price (int32) and solved (uint8), then the value columns.
TablePtr run_values_table(const RunValues& res);

}  // namespace paywheel::columnar
