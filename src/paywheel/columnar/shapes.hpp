// Loan shapes: interest-only periods, balloons, bullets and rate steps,
// composed of the engine's own schedules so that every number is still the
// engine's binary32 arithmetic.
//
// A shape is three optional fields of a row. io_pers (default 0): leading
// periods that pay interest only, 0 <= io_pers <= pers (io_pers == pers is a
// bullet). amort_pers (default pers - io_pers): the term of the level
// payment, counted from the end of the interest-only periods; at least
// pers - io_pers, and longer for a balloon, which repays what is owed at
// period pers. rate_steps: from period per on (2 <= per <= pers, distinct)
// the rate is rate, and the rest of the loan is scheduled afresh.
//
// The periods are cut after io_pers, after each step's per - 1 and, for a
// balloon, after pers; every cut must follow a period that is both an
// interest date and a capital date. A piece opens with balance B (amt, then
// the previous piece's last Bal) and rate r (the rate in force at its first
// period). Row 0 is the engine's. An interest-only piece pays, at each
// interest date, the binary32 sum from +0.0 of int_freq copies of B * r, and
// nothing else; ending at pers (a bullet) its last row also repays B. An
// amortizing piece after period b is rows 1, 2, ... of the engine's schedule
// of (B, r, R = amort_pers - (b - io_pers), int_freq, cap_freq); ending at
// pers with R longer than itself (a balloon) its last row repays the
// engine's Bal of the row before. With strict false, a piece the engine
// refuses for a zero rate is repaid in equal parts f32(B / capital dates of
// R) with the last capital date taking what is left, and one refused as a
// single capital block is a bullet.
//
// A standing loan (Terms::age > 0: amt is the balance owed at that age) is
// cut where its contract cuts it and scheduled from its age on: the piece
// the age falls in runs from the age on the balance, as a piece that began
// there (an amortizing one with R = amort_pers - (age - io_pers), so the
// payment is the one the contract gives on that balance), and the pieces
// after it as from origination. Its rows are periods age..pers, numbered
// again from 0. When all it has left of a piece is one capital date, or less
// than a capital period, it pays its balance then with the interest due, in
// strict mode too. Negative amounts are refused as the engine refuses them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "paywheel/columnar/decode.hpp"
#include "paywheel/columnar/failure.hpp"
#include "paywheel/core/engine.hpp"
#include "paywheel/core/failure_code.hpp"

namespace paywheel::columnar {

// One piece of a loan: periods (begin, end], the rate in force at its first
// period (and whether a step set it), paying interest only or amortizing.
struct ShapePiece {
    std::int32_t begin;
    std::int32_t end;
    float rate;
    bool from_step;
    bool interest_only;
};

// What fill_shaped reuses from loan to loan: the row's steps, its pieces and
// the engine's whole schedule of a piece whose head cannot be taken on its
// own. A call owns one for each of its workers (PerThread): the pool's
// threads outlive every call.
struct ShapeScratch {
    std::vector<std::int32_t> per;
    std::vector<float> rate;
    std::vector<std::size_t> order;
    std::vector<ShapePiece> pieces;
    std::vector<float> engine;
};

// The shaped schedule of row r (terms.shaped()) into out, whose columns hold
// pers + 1 entries: true, or false with failure's code, field and reason set
// (the caller quotes the value). Never aborts; may throw std::bad_alloc.
bool fill_shaped(const InputBatch& batch, std::int64_t r, const Terms& terms, const ScheduleOut& out,
                 RowFailure& failure, ShapeScratch& scratch);

// Whether strict=false gives a loan the engine refused as `blame` a
// lender's schedule: a zero rate or a single capital block, with positive
// frequencies.
bool lender_covers(const LoanTerms& loan, const Blame& blame) noexcept;

// That schedule for a whole loan (one piece from period 0, R = pers); for a
// standing loan, `age` periods into its contract, its interest dates still
// count from origination.
void fill_lender(const LoanTerms& loan, const Blame& blame, const ScheduleOut& out, std::int32_t age = 0) noexcept;

// Whether a filled schedule of n rows holds NaN: what the engine leaves in
// Pmt (every NaN of Cap or Int reaches it) and Bal (a NaN stays there once
// it enters, so its last entry tells).
bool holds_nan(const ScheduleOut& out, std::size_t n) noexcept;

}  // namespace paywheel::columnar
