// The native tables a call hands out: schedules in either layout, cash-flow
// totals and the table of failed rows, built from computed results without
// the interpreter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "paywheel/columnar/arrow_export.hpp"
#include "paywheel/columnar/compute.hpp"

namespace paywheel::columnar {

// A failed row with its id, as callers see it.
struct FailureRow {
    std::string id;
    bool has_id = false;
    RowFailure failure;
};

// The failures of rows of `batches`, with the id of each (rows numbered
// from row_base).
std::vector<FailureRow> with_ids(std::vector<RowFailure>& failures, const std::vector<InputBatch>& batches,
                                 bool has_id, std::int64_t row_base);

// The ids of every row of `batches`, in order (empty without ids).
std::vector<std::string_view> ids_of(const std::vector<InputBatch>& batches, bool has_id);

// The columns of a schedule table, without data: what a stream announces as
// its schema before any batch exists. Streams use large lists and utf8 ids;
// the values are float64 in cent mode, else float32. `calendar`: a book
// with a payments_per_year column, whose rows carry their calendar period.
std::vector<ArrowColumn> schedule_columns_shape(bool list, bool has_id, bool large_lists, bool cents = false,
                                                bool calendar = false);

struct TableShape {
    bool list = false;
    bool has_id = false;
    bool stream = false;  // large lists always, ids always utf8
};

// The schedule table of a computed result; takes its regions. In the long
// layout with ids, the loan column is dictionary-encoded over the distinct
// ids (ids may repeat; a dictionary's values may not), while the flat
// "loan" buffer keeps each value's row.
TablePtr schedule_table(ScheduleResult& res, const std::vector<std::string_view>& ids, const TableShape& shape);

TablePtr cashflow_table(const CashflowTotals& tot);

// Columns index (int64), id (utf8, nullable), code (utf8), field (utf8,
// nullable) and reason (utf8).
TablePtr errors_table(const std::vector<FailureRow>& rows);

}  // namespace paywheel::columnar
