// A text batch evaluated on the pool into storage that the batch owns.
//
// Workers write every loan's five columns into one block mapped for the
// whole batch, at offsets fixed before they start. They allocate nothing per
// loan, so they neither contend on the allocator nor leave freed columns
// behind that the allocator hands back to the kernel and the next call must
// fault in again. The block lives until the consumer has read the results,
// and the consumer can give back the part it has read as it goes.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "paywheel/batch/failure.hpp"
#include "paywheel/batch/text_record.hpp"
#include "paywheel/core/engine.hpp"

namespace paywheel::batch {

// One loan's columns in Schedule::kNames order ("Per", "Cap", "Int", "Pmt",
// "Bal"), borrowed from the storage of a BatchSchedules.
using ScheduleView = std::array<std::span<const float>, 5>;

class BatchSchedules {
public:
    BatchSchedules() = default;
    BatchSchedules(BatchSchedules&&) noexcept;
    BatchSchedules& operator=(BatchSchedules&&) noexcept;
    ~BatchSchedules();

    std::size_t size() const noexcept { return loans_.size(); }
    ScheduleView view(std::size_t i) const noexcept;
    // Loans [0, end) will not be read again: their storage may go back to the
    // system now rather than when the whole batch is destroyed.
    void release_before(std::size_t end) noexcept;

private:
    friend struct BatchBuilder;
    struct Loan {
        float* base;  // per entries of "Per", then rest entries of each other column
        ScheduleShape shape;
    };
    std::vector<Loan> loans_;
    float* block_ = nullptr;  // the batch's mapping, or null when each loan has its own
    std::size_t block_bytes_ = 0;
    std::size_t released_bytes_ = 0;
    std::vector<std::unique_ptr<float[]>> own_;  // per-loan storage when the block could not be mapped
};

// Floats one loan's storage takes, or nullopt if the count overflows.
std::optional<std::size_t> schedule_floats(const ScheduleShape& shape) noexcept;

struct BatchOutcome {
    BatchSchedules schedules;  // complete only when failure is empty
    std::optional<IndexedFailure> failure;
};

// Decodes and evaluates every record of `batch` on at most max_threads
// workers (0: the whole pool). The result is that of evaluating record after
// record and stopping at the first failure: a decode abort, an engine abort
// or running out of memory for that record's storage, whichever record comes
// first. Records are decoded first and storage is reserved only for those
// before the first decode failure; if one block for all of them cannot be
// mapped, each loan gets its own allocation, so a record that cannot get
// memory fails as itself. Fewer than two records run on the calling thread.
BatchOutcome evaluate_batch(const TextBatch& batch, std::size_t max_threads);

}  // namespace paywheel::batch
