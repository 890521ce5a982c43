#include "paywheel/columnar/runner.hpp"

#include <algorithm>
#include <atomic>

#include "paywheel/batch/pool.hpp"

namespace paywheel::columnar {

// A pool whose threads could not start computes on the calling thread: one.
std::size_t default_threads() { return std::max<std::size_t>(1, paywheel::batch::ensure_pool()); }

void run_chunks(std::size_t threads, std::size_t count, const std::function<void(std::size_t)>& work) {
    if (count == 0) return;
    const std::size_t workers = std::min({threads == 0 ? std::size_t{1} : threads, default_threads(), count});
    if (workers <= 1 && count == 1) {
        work(0);
        return;
    }
    // Each worker slot pulls chunks from a shared counter, so `workers`
    // bounds the parallelism while fast workers take more chunks.
    std::atomic<std::size_t> next{0};
    paywheel::batch::run_on_pool(workers, workers, [&](std::size_t begin, std::size_t end) {
        for (std::size_t slot = begin; slot < end; ++slot) {
            for (std::size_t c = next.fetch_add(1, std::memory_order_relaxed); c < count;
                 c = next.fetch_add(1, std::memory_order_relaxed))
                work(c);
        }
    });
}

std::function<void(std::size_t, const std::function<void(std::size_t)>&)> runner_for(std::size_t threads) {
    return [threads](std::size_t count, const std::function<void(std::size_t)>& work) { run_chunks(threads, count, work); };
}

}  // namespace paywheel::columnar
