// Running one job per record over a batch, earliest failure wins.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>

#include "paywheel/batch/failure.hpp"
#include "paywheel/batch/pool.hpp"

namespace paywheel::batch {

// The failure of the earliest failing record seen so far, offered from any
// worker. Which records fail is fixed by the input; which worker meets its
// failure first is not, so only the index decides.
class FirstFailure {
public:
    void offer(std::size_t index, Failure failure) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);  // taken only on failure
        if (!failure_ || index < failure_->index) failure_.emplace(IndexedFailure{index, std::move(failure)});
    }
    // The earliest failure; call once every worker has finished.
    std::optional<IndexedFailure> take() noexcept { return std::move(failure_); }

private:
    std::mutex mutex_;
    std::optional<IndexedFailure> failure_;
};

// Runs fn(i) for i in [begin, end) in order; the first record that throws
// is classified and offered, and the rest of the piece is skipped (a later
// record of the same piece cannot be the earliest failure).
template <class Fn>
void run_piece(std::size_t begin, std::size_t end, Fn& fn, FirstFailure& failure) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        try {
            fn(i);
        } catch (...) {
            failure.offer(i, classify_current_exception());
            return;
        }
    }
}

// Runs fn(i) for every i in [0, count) on at most max_threads workers of the
// pool (0: all of them) and returns the failure of the smallest index that
// failed, or nullopt. Every record before that index has run to completion;
// records after it may or may not have run. A batch of fewer than two
// records runs on the calling thread, which then never touches the pool.
// fn may throw anything; it runs concurrently with itself on distinct i.
template <class Fn>
std::optional<IndexedFailure> run_batch(std::size_t count, std::size_t max_threads, Fn&& fn) {
    FirstFailure failure;
    if (count < 2) {
        run_piece(0, count, fn, failure);
    } else {
        run_on_pool(count, max_threads,
                    [&](std::size_t begin, std::size_t end) { run_piece(begin, end, fn, failure); });
    }
    return failure.take();
}

}  // namespace paywheel::batch
