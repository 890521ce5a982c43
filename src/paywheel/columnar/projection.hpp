// Projected cash flows of a whole book under prepayment and default
// scenarios, in plain C++. Each loan's schedule is filled once, widened
// exactly to float64, and run through every scenario; the flows are summed
// per (scenario, segment, period) in fixed blocks of loans combined in block
// order, so the bits do not depend on the thread count and memory grows with
// scenarios x segments x periods, never with the number of loans.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "paywheel/columnar/compute.hpp"
#include "paywheel/columnar/valuation.hpp"

namespace paywheel::columnar {

// A per-period rate (prepayment SMM or default MDR), already per period.
// by_age false: period m (from 1) reads rates[min(m - 1, size - 1)];
// by_age true:  period m of a loan aged a reads rates[min(a + m, size - 1)].
// No rates at all is a rate of 0.
struct RateCurve {
    std::vector<double> rates;
    bool by_age = false;
};

struct Scenario {
    RateCurve prepay;
    RateCurve dflt;
    double severity = 0.0;
    std::int32_t lag = 0;  // 0..kMaxLag
};

// The longest lag, in periods, between a default and its recovery.
inline constexpr std::int32_t kMaxLag = 1 << 20;

// The measures of a projection, in output order.
enum Measure : std::size_t {
    kBalance,
    kScheduled,
    kPrepaid,
    kDefaulted,
    kLoss,
    kRecovery,
    kInterest,
    kCashflow,
    kServicing,    // interest x fee / rate, loan by loan
    kNetCashflow,  // cashflow - servicing
    kMeasureCount
};
inline constexpr const char* kMeasureNames[kMeasureCount] = {
    "balance", "scheduled_principal", "prepaid_principal", "defaulted_principal", "loss",
    "recovery", "interest",           "cashflow",          "servicing",           "net_cashflow"};

struct ProjectionInput {
    // Per row of the book (rows of all batches in order): the loan's age, or
    // nullptr for every age 0. A row whose age is not in [0, pers) fails with
    // code bad_age.
    const std::int64_t* ages = nullptr;
    // Per row: its segment in [0, segment_count), or nullptr for one segment.
    const std::int32_t* segments = nullptr;
    std::int32_t segment_count = 1;
    // Per row: the principal balance at period 0, or nullptr for Bal[age].
    // A row with one is projected from the engine's schedule of (balance,
    // rate, pers - age, int_freq, cap_freq) from its period 0, its age still
    // reading the curves by age. A balance that is not positive and finite
    // in binary32 fails with code bad_balance.
    const double* balances = nullptr;
    // Per row: the servicing fee, in the unit of the rate, or nullptr for
    // none. Read in binary32 as the rate is; below 0 or above the rate (or
    // not a number) fails with code bad_fee.
    const double* fees = nullptr;
    // Bytes the caller adds to each output row while it assembles the
    // result (its labels, periods, dates): part of the peak the call is
    // checked against before anything large is allocated.
    std::size_t caller_bytes_per_row = 0;
};

struct ProjectionTotals {
    std::int32_t scenarios = 0;
    std::int32_t segments = 0;
    // Per scenario: the last period of its rows (the longest remaining term
    // plus its lag); its rows are periods 0..horizon of every segment.
    std::vector<std::int64_t> horizon;
    // One float64 column per measure over every row, ordered by scenario,
    // then segment, then period.
    std::vector<double> columns[kMeasureCount];
    std::int64_t rows = 0;  // input rows
    std::vector<RowFailure> failures;
};

// Why a row's age is refused (code bad_age, field age).
extern const char* const kBadAgeReason;
// An age that is not an integer at all, as a caller passes it: refused
// without quoting a value (the caller has the text).
inline constexpr std::int64_t kNotAnAge = INT64_MIN;

// Throws Cancelled, TooLarge (the call's peak memory, result and scratch,
// would pass memory_bound(); found from the first block on) or
// std::bad_alloc. With OnError::Raise, `failures` holds
// at most the earliest failing row, and then there are no columns.
ProjectionTotals compute_projection(const std::vector<InputBatch>& batches, const ProjectionInput& input,
                                    const std::vector<Scenario>& scenarios, OnError on_error, const ChunkRunner& run,
                                    const std::atomic<bool>& stop);

// The same model loan by loan, nothing summed: for each row in order, each
// scenario and periods 0..R + lag, one output row.
struct LoanProjection {
    std::int64_t rows = 0;                 // input rows
    std::vector<std::int64_t> loan;        // per output row: row_base + the input row
    std::vector<std::int32_t> scenario;    // per output row
    std::vector<std::int32_t> period;      // per output row
    std::vector<double> columns[kMeasureCount];
    std::vector<RowFailure> failures;      // indices include row_base
};

// `input`'s ages and segments are indexed by row within `batches`. Failed
// rows have no output rows; with OnError::Raise, `failures` holds at most the
// earliest one and then there are no rows. Throws Cancelled, TooLarge or
// std::bad_alloc.
LoanProjection compute_loan_projection(const std::vector<InputBatch>& batches, const ProjectionInput& input,
                                       const std::vector<Scenario>& scenarios, OnError on_error, std::int64_t row_base,
                                       const ChunkRunner& run, const std::atomic<bool>& stop);

// What every loan is worth under every scenario: the model loan by loan, as
// compute_loan_projection runs it, each loan's net cash flows valued as they
// are made, nothing of them kept. Per input row that ran, scenario and
// price, one output row, ordered by row, scenario and price.
struct LoanValues {
    std::int64_t rows = 0;               // input rows
    std::vector<std::int64_t> loan;      // per output row: the input row
    std::vector<std::int32_t> scenario;  // per output row
    std::vector<std::int32_t> price;     // per output row: the index into the prices
    std::vector<double> columns[kValueColumnCount];
    // Rows that did not run (they have no output rows), and rows of which a
    // solve did not converge (code no_yield: their output rows are kept, with
    // the columns that depend on the solve NaN); by index.
    std::vector<RowFailure> failures;
};

// `prices`: the prices (percent) every loan is valued at in the modes that
// solve from one, or `loan_prices` (per row, positive) instead; in the other
// modes one output row per loan and scenario. With OnError::Raise,
// `failures` holds at most the earliest failing row and then there are no
// rows. Throws Cancelled or std::bad_alloc.
LoanValues compute_loan_values(const std::vector<InputBatch>& batches, const ProjectionInput& input,
                               const std::vector<Scenario>& scenarios, Valuer& valuer,
                               const std::vector<double>& prices, const double* loan_prices, OnError on_error,
                               const ChunkRunner& run, const std::atomic<bool>& stop);

}  // namespace paywheel::columnar
