// Whole books of loans into flat binary32 columns, and portfolio cash-flow
// totals, in plain C++. The caller supplies the parallelism (a ChunkRunner),
// so this layer needs neither the interpreter nor a particular pool.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "paywheel/columnar/decode.hpp"
#include "paywheel/columnar/failure.hpp"
#include "paywheel/columnar/region.hpp"
#include "paywheel/columnar/shapes.hpp"
#include "paywheel/core/cents.hpp"
#include "paywheel/core/engine.hpp"

namespace paywheel::columnar {

// Runs work(chunk) for every chunk in [0, count), in any order and on any
// threads, and returns when all have run. work does not throw.
using ChunkRunner = std::function<void(std::size_t count, const std::function<void(std::size_t)>& work)>;

enum class Layout { Long, List };
enum class OnError { Raise, Skip };

inline constexpr std::size_t kColumns = 5;  // Per, Cap, Int, Pmt, Bal
inline constexpr const char* kColumnNames[kColumns] = {"Per", "Cap", "Int", "Pmt", "Bal"};

// The entries of every column of a loan of `pers` periods in the columnar
// layouts, or -1 where the engine's Per column would be shorter than the
// other four (pers past 2^24 that is not a binary32 value): the layouts
// give every column of a loan one length. Both passes of a fill, the cash
// flows and the stream slicing size rows with this one function.
std::int64_t row_length(std::int32_t pers) noexcept;

// A run of rows of one input batch: the unit of work of a parallel pass and,
// for the sums, the fixed block whose partial totals are combined in order.
struct Chunk {
    std::size_t batch;
    std::int64_t begin, end;  // rows within the batch
    std::int64_t global;      // row number (from 0) of `begin` in the book
};

// The book's rows cut into chunks of `chunk_rows` (the last of each batch
// shorter), in row order; `rows` gets the book's row count. The cut depends on
// the input alone, never on the thread count.
std::vector<Chunk> make_chunks(const std::vector<InputBatch>& batches, std::int64_t& rows, std::int64_t chunk_rows);

// The engine on row r of `batch` (its terms already read) into `out`,
// failures as data: false with `failure` filled (code and field by the
// loan's shape, the value quoted as read) when the engine refuses the loan;
// `oom` set when memory ran out. The schedules, the cash flows and the
// projection all run a loan through here; `shapes` is the calling worker's
// scratch of this call for shaped loans.
bool fill_row(const InputBatch& batch, std::int64_t r, const Terms& terms, const ScheduleOut& out,
              RowFailure& failure, std::atomic<bool>& oom, ShapeScratch& shapes) noexcept;

// The same for a batch in cent mode (InputBatch::cents), into float64
// columns: the cent engine instead of the binary32 one.
bool fill_row(const InputBatch& batch, std::int64_t r, const Terms& terms, const cents::CentOut& out,
              RowFailure& failure, std::atomic<bool>& oom) noexcept;

// A schedule in a loan's own periods on the call's calendar: columns of s
// (`len` entries each, own period 0 at entry `from`) into out (`out_len` =
// (len - 1 - from) * step + 1 entries each). Own period j falls on calendar
// period j * step; between, nothing is paid and the balance stands.
// Binary32 columns, or float64 ones in cent mode.
template <typename T>
void to_calendar(const T* s, std::size_t len, std::size_t from, std::int32_t step, T* out,
                 std::size_t out_len) noexcept {
    const auto k = static_cast<std::size_t>(step);
    for (std::size_t c = 0; c < kColumns; ++c) {
        const T* own = s + c * len + from;
        T* cal = out + c * out_len;
        for (std::size_t p = 0; p < out_len; ++p) {
            const std::size_t j = p / k;
            if (c == 0)
                cal[p] = static_cast<T>(static_cast<std::int32_t>(p));
            else if (c == kColumns - 1)
                cal[p] = own[j];  // the balance stands between payment dates
            else
                cal[p] = p % k == 0 ? own[j] : T(0);
        }
    }
}
// Bytes of one value of a schedule column: 8 (float64) in cent mode, else 4.
inline std::size_t value_bytes(const std::vector<InputBatch>& batches) noexcept {
    return !batches.empty() && batches.front().cents ? sizeof(double) : sizeof(float);
}

struct ScheduleResult {
    std::int64_t rows = 0;    // input rows
    std::int64_t values = 0;  // entries of each of the five columns
    // float32 columns, or float64 ones (cent mode).
    bool cents = false;
    Region columns[kColumns];
    // Long layout: per value, the row (within the batch) it belongs to.
    Region loan;
    // With ComputeOptions::calendar: per value (int32), the period of the
    // call's calendar its row falls in (Per times the loan's step).
    Region calendar;
    // rows + 1 int64 offsets of each row's span; a failed row's span is empty.
    Region offsets;
    // List layout with failed rows: Arrow validity bits (1 = row present).
    Region validity;
    std::int64_t null_count = 0;
    // Skip: every failed row, by index. Raise: at most the earliest one, and
    // then no columns.
    std::vector<RowFailure> failures;
};

// A book as it stands, per row of the book (the rows of all batches in
// order): the periods each loan has run (nullptr: none) and the balance it
// owes at that age (nullptr: none given). With a balance a row is its
// standing loan (Terms::age), scheduled from that balance over what remains
// of its contract; with an age alone, its schedule from origination less the
// periods run. Either way its periods are numbered from 0 at the age. An age
// outside [0, pers) fails as bad_age, a balance that is not positive and
// finite in binary32 as bad_balance.
// from_batches: read them from each batch's own columns (InputBatch::age,
// balance) instead, as a stream does.
struct StandingColumns {
    const std::int64_t* ages = nullptr;
    const double* balances = nullptr;
    bool from_batches = false;
};

struct ComputeOptions {
    Layout layout = Layout::Long;
    OnError on_error = OnError::Raise;
    // Added to row numbers in failures (a stream's earlier batches).
    std::int64_t row_base = 0;
    // Long layout: the loan column holds row_base + row when true, the row
    // within the batch (an index into the batch's ids) when false.
    bool loan_is_global_row = true;
    // List layout with 32-bit offsets: a result past 2^31 - 1 values is
    // refused (TooLarge) rather than given offsets that wrap.
    bool int32_offsets = false;
    StandingColumns standing;
    // Fill ScheduleResult::calendar (a book with a payments_per_year column).
    bool calendar = false;
};

// Rows of `batches` in order form the book. Every row's terms are read once,
// into the call's own storage, before anything is sized; the engine then
// fills from that copy only, so input that changes meanwhile cannot make a
// row longer than the room it was given. Throws Cancelled, TooLarge or
// std::bad_alloc.
ScheduleResult compute_schedules(const std::vector<InputBatch>& batches, const ComputeOptions& options,
                                 const ChunkRunner& run, const std::atomic<bool>& stop);

struct CashflowTotals {
    // Per period index k: sums over loans that have an entry k.
    std::vector<double> cap, interest, pmt, bal;
    std::vector<std::int64_t> loans;  // how many loans have an entry k
    std::int64_t rows = 0;
    std::vector<RowFailure> failures;
};

// Sums in float64 of the exact binary32 values (in cent mode, of the
// columns' float64 values), in fixed blocks of rows
// combined in row order: the same bits for any thread count. Memory grows
// with the longest loan and the block count of one wave, not with the book.
CashflowTotals compute_cashflows(const std::vector<InputBatch>& batches, OnError on_error, const ChunkRunner& run,
                                 const std::atomic<bool>& stop, const StandingColumns& standing = {});

}  // namespace paywheel::columnar
