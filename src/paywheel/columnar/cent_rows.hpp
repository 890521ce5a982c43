// A row of a book in cent mode: its terms checked against the rules of a
// schedule in whole cents, cut into its own payment period and handed to the
// cent engine (core/cents.hpp).
#pragma once

#include <cstdint>

#include "paywheel/columnar/decode.hpp"
#include "paywheel/columnar/failure.hpp"
#include "paywheel/core/cents.hpp"

namespace paywheel::columnar {

// Row r (its terms read with InputBatch::cents) into out, whose columns
// hold pers + 1 entries: true, or false with failure's code, field and
// reason set (the caller quotes the value). Never aborts; may throw
// std::bad_alloc (a row's rate steps).
//
// A loan pays every k = int_freq = cap_freq periods (differing frequencies
// are refused): it is scheduled as pers / k payments at k x rate a payment
// (the double nearest it; the rate column is per period), each row placed
// on period j x k, the periods between carrying the balance and no flow.
// io_pers, amort_pers and each step's per - 1 count periods and must fall on
// payment dates. A loan in its own periods (Terms::step > 1) is all of this
// in its own periods; the caller places it on the calendar. A standing loan
// (Terms::age > 0, its balance in cents) keeps its contract from
// origination: its age must fall on a payment date, and its rows are the
// periods from its age on, numbered from 0.
bool fill_cent_row(const InputBatch& batch, std::int64_t r, const Terms& terms, const cents::CentOut& out,
                   RowFailure& failure);

}  // namespace paywheel::columnar
