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

}  // namespace paywheel::columnar
