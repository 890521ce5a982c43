#include "paywheel/batch/evaluate.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#include "paywheel/batch/run.hpp"
#include "paywheel/core/memory_bound.hpp"

namespace paywheel::batch {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Storage for `bytes`, straight from the kernel: pages are only faulted in
// when a worker first writes them, and go back with munmap or madvise
// without passing through the allocator. Null when the mapping fails.
//
// A large block is aligned to 2 MiB and offered huge pages: a book of
// 20,000 loans of 360 periods is 144 MB, which in 4 KiB pages would cost
// the workers some 35,000 page faults per call.
float* map_block(std::size_t bytes) noexcept {
    const int prot = PROT_READ | PROT_WRITE, flags = MAP_PRIVATE | MAP_ANONYMOUS;
    if (bytes < 2 * kHugePage) {
        void* p = ::mmap(nullptr, bytes, prot, flags, -1, 0);
        return p == MAP_FAILED ? nullptr : static_cast<float*>(p);
    }
    if (bytes > static_cast<std::size_t>(-1) - kHugePage) return nullptr;
    void* raw = ::mmap(nullptr, bytes + kHugePage, prot, flags, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<std::uintptr_t>(kHugePage - 1);
    const std::size_t head = aligned - start;
    if (head > 0) ::munmap(raw, head);
    if (kHugePage - head > 0) ::munmap(reinterpret_cast<char*>(aligned) + bytes, kHugePage - head);
    ::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // only advice: failure changes nothing
    return reinterpret_cast<float*>(aligned);
}

}  // namespace

std::optional<std::size_t> schedule_floats(const ScheduleShape& shape) noexcept {
    constexpr std::size_t kMax = static_cast<std::size_t>(-1);
    if (shape.rest > (kMax - shape.per) / 4) return std::nullopt;
    return shape.per + 4 * shape.rest;
}

BatchSchedules::BatchSchedules(BatchSchedules&& other) noexcept
    : loans_(std::move(other.loans_)),
      block_(std::exchange(other.block_, nullptr)),
      block_bytes_(std::exchange(other.block_bytes_, 0)),
      released_bytes_(std::exchange(other.released_bytes_, 0)),
      own_(std::move(other.own_)) {}

BatchSchedules& BatchSchedules::operator=(BatchSchedules&& other) noexcept {
    if (this != &other) {
        BatchSchedules gone(std::move(*this));
        loans_ = std::move(other.loans_);
        block_ = std::exchange(other.block_, nullptr);
        block_bytes_ = std::exchange(other.block_bytes_, 0);
        released_bytes_ = std::exchange(other.released_bytes_, 0);
        own_ = std::move(other.own_);
    }
    return *this;
}

BatchSchedules::~BatchSchedules() {
    if (block_ != nullptr) ::munmap(block_, block_bytes_);
}

ScheduleView BatchSchedules::view(std::size_t i) const noexcept {
    const Loan& loan = loans_[i];
    const float* p = loan.base;
    const std::size_t per = loan.shape.per, rest = loan.shape.rest;
    return ScheduleView{std::span<const float>(p, per), std::span<const float>(p + per, rest),
                        std::span<const float>(p + per + rest, rest), std::span<const float>(p + per + 2 * rest, rest),
                        std::span<const float>(p + per + 3 * rest, rest)};
}

void BatchSchedules::release_before(std::size_t end) noexcept {
    if (end == 0 || end > loans_.size()) return;
    if (block_ == nullptr) {
        for (std::size_t i = 0; i < end && i < own_.size(); ++i) own_[i].reset();
        return;
    }
    // Whole pages only: the page holding the start of loan `end` still has
    // entries to be read.
    const std::size_t upto = end < loans_.size()
                                 ? static_cast<std::size_t>(reinterpret_cast<const char*>(loans_[end].base) -
                                                            reinterpret_cast<const char*>(block_))
                                 : block_bytes_;
    const std::size_t pages = (upto / page_size()) * page_size();
    if (pages > released_bytes_) {
        ::madvise(reinterpret_cast<char*>(block_) + released_bytes_, pages - released_bytes_, MADV_DONTNEED);
        released_bytes_ = pages;
    }
}

struct BatchBuilder {
    static BatchOutcome run(const TextBatch& batch, std::size_t max_threads) {
        BatchOutcome outcome;
        std::vector<LoanTerms> terms(batch.size());
        std::optional<IndexedFailure> decoded =
            run_batch(batch.size(), max_threads, [&](std::size_t i) { terms[i] = decode_text_record(batch[i]); });
        // Only records before the first decode failure are evaluated: a later
        // record's outcome cannot change which failure is the earliest.
        const std::size_t evaluated = decoded ? decoded->index : batch.size();

        BatchSchedules& s = outcome.schedules;
        s.loans_.resize(evaluated);
        // Storage is held to the machine's memory (physical memory and the
        // address-space limit) before anything is allocated: the first loan
        // whose storage, together with that of the loans before it, goes
        // past the bound fails with an allocation failure as itself, as it
        // would evaluated record after record, instead of being granted
        // under overcommit and getting the process killed later.
        const std::size_t bound = memory_bound() / sizeof(float);
        std::vector<bool> over_bound(evaluated, false);
        std::size_t total = 0;
        bool fits = true;
        for (std::size_t i = 0; i < evaluated; ++i) {
            const ScheduleShape shape = schedule_shape(terms[i].pers);
            s.loans_[i] = BatchSchedules::Loan{nullptr, shape};
            const std::optional<std::size_t> n = schedule_floats(shape);
            if (!fits || !n || *n > bound - total) {
                fits = false;
                over_bound[i] = true;
                continue;
            }
            total += *n;
        }
        if (fits && total > 0) {
            s.block_ = map_block(total * sizeof(float));
            if (s.block_ != nullptr) s.block_bytes_ = total * sizeof(float);
        }
        if (s.block_ != nullptr) {
            float* next = s.block_;
            for (BatchSchedules::Loan& loan : s.loans_) {
                loan.base = next;
                next += *schedule_floats(loan.shape);
            }
        } else {
            s.own_.resize(evaluated);
        }

        std::optional<IndexedFailure> filled = run_batch(evaluated, max_threads, [&](std::size_t i) {
            BatchSchedules::Loan& loan = s.loans_[i];
            if (s.block_ == nullptr) {
                const std::optional<std::size_t> n = schedule_floats(loan.shape);
                if (!n || over_bound[i]) throw std::bad_alloc();
                s.own_[i].reset(new float[*n]);
                loan.base = s.own_[i].get();
            }
            const std::size_t per = loan.shape.per, rest = loan.shape.rest;
            float* p = loan.base;
            fill_schedule(terms[i], ScheduleOut{p, p + per, p + per + rest, p + per + 2 * rest, p + per + 3 * rest, per, rest});
        });
        outcome.failure = filled ? std::move(filled) : std::move(decoded);
        return outcome;
    }
};

BatchOutcome evaluate_batch(const TextBatch& batch, std::size_t max_threads) {
    return BatchBuilder::run(batch, max_threads);
}

}  // namespace paywheel::batch
