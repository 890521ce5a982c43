// The native tables of a projection: its float64 measures (and, per loan,
// the loan's row, the scenario and the period) as flat columns, built from
// computed results without the interpreter.
#pragma once

#include "paywheel/columnar/arrow_export.hpp"
#include "paywheel/columnar/projection.hpp"

namespace paywheel::columnar {

// The eight measures, one float64 column each, rows ordered by scenario,
// segment and period.
TablePtr projection_table(const ProjectionTotals& tot);

// loan (int64), scenario (int32) and period (int32), then the measures.
TablePtr loan_projection_table(const LoanProjection& res);

}  // namespace paywheel::columnar
