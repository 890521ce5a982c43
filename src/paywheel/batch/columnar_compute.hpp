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

#include "paywheel/batch/columnar_input.hpp"
#include "paywheel/core/engine.hpp"

namespace paywheel::columnar {

// Page-aligned anonymous memory, untouched until first written, so that the
// worker that first writes a page is the one that faults it in.
class Region {
public:
    Region() noexcept = default;
    // Zero-filled fresh pages. Throws std::bad_alloc when the mapping fails.
    static Region allocate(std::size_t bytes);
    // Pages whose contents are unspecified, for buffers the caller writes in
    // full: preferably the already faulted-in pages of a released region
    // (see the cache in columnar_compute.cpp), else fresh ones.
    static Region allocate_for_overwrite(std::size_t bytes);
    Region(Region&& o) noexcept;
    Region& operator=(Region&& o) noexcept;
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;
    ~Region();

    void* data() const noexcept { return data_; }
    std::size_t bytes() const noexcept { return bytes_; }
    template <typename T>
    T* as() const noexcept {
        return static_cast<T*>(data_);
    }

private:
    void* data_ = nullptr;
    std::size_t bytes_ = 0;  // logical size
    std::size_t mapped_ = 0;
};

// Runs work(chunk) for every chunk in [0, count), in any order and on any
// threads, and returns when all have run. work does not throw.
using ChunkRunner = std::function<void(std::size_t count, const std::function<void(std::size_t)>& work)>;

enum class Layout { Long, List };
enum class OnError { Raise, Skip };

// A row that produced no schedule. has_terms: the row decoded and the engine
// refused it (terms says what it was given); otherwise decoding failed.
struct RowFailure {
    std::int64_t index;
    std::string reason;
    bool has_terms = false;
    LoanTerms terms;
};

// Thrown when a call is stopped through its stop flag.
struct Cancelled {};
// Thrown before allocating when the result cannot fit: `bytes` is what it
// would take (SIZE_MAX when even that overflows).
struct TooLarge {
    std::size_t bytes;
    std::size_t limit;
};

inline constexpr std::size_t kColumns = 5;  // Per, Cap, Int, Pmt, Bal
inline constexpr const char* kColumnNames[kColumns] = {"Per", "Cap", "Int", "Pmt", "Bal"};

struct ScheduleResult {
    std::int64_t rows = 0;    // input rows
    std::int64_t values = 0;  // entries of each of the five columns
    Region columns[kColumns];
    // Long layout: per value, the row (within the batch) it belongs to.
    Region loan;
    // rows + 1 int64 offsets of each row's span; a failed row's span is empty.
    Region offsets;
    // List layout with failed rows: Arrow validity bits (1 = row present).
    Region validity;
    std::int64_t null_count = 0;
    // Skip: every failed row, by index. Raise: at most the earliest one, and
    // then no columns.
    std::vector<RowFailure> failures;
};

struct ComputeOptions {
    Layout layout = Layout::Long;
    OnError on_error = OnError::Raise;
    // Added to row numbers in failures (a stream's earlier batches).
    std::int64_t row_base = 0;
    // Long layout: the loan column holds row_base + row when true, the row
    // within the batch (an index into the batch's ids) when false.
    bool loan_is_global_row = true;
    // Upper bound on the bytes a result may take; TooLarge past it.
    std::size_t memory_limit = SIZE_MAX;
};

// Rows of `batches` in order form the book. Throws Cancelled, TooLarge or
// std::bad_alloc.
ScheduleResult compute_schedules(const std::vector<InputBatch>& batches, const ComputeOptions& options,
                                 const ChunkRunner& run, const std::atomic<bool>& stop);

// Why a row is refused although the engine could compute it: the "Per"
// column would not have the length of the other four.
extern const char* const kUnevenColumnsReason;

struct CashflowTotals {
    // Per period index k: sums over loans that have an entry k.
    std::vector<double> cap, interest, pmt, bal;
    std::vector<std::int64_t> loans;  // how many loans have an entry k
    std::int64_t rows = 0;
    std::vector<RowFailure> failures;
};

// Sums in float64 of the exact binary32 values, in fixed blocks of rows
// combined in row order: the same bits for any thread count. Memory grows
// with the longest loan and the block count of one wave, not with the book.
CashflowTotals compute_cashflows(const std::vector<InputBatch>& batches, OnError on_error, const ChunkRunner& run,
                                 const std::atomic<bool>& stop);

// Bytes of physical memory, the default memory_limit of callers.
std::size_t physical_memory_bytes() noexcept;

}  // namespace paywheel::columnar
