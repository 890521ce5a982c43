#include "paywheel/batch/pool.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::batch {

namespace {

// A plain unsigned decimal, as the variables have always been read: an
// optional '+', digits only, no overflow.
std::optional<std::size_t> read_count(EnvLookup lookup, const char* name) noexcept {
    const char* text = lookup(name);
    if (text == nullptr) return std::nullopt;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        const std::size_t digit = static_cast<std::size_t>(*p - '0');
        if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t logical_processors() noexcept {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

struct Pool {
    std::size_t threads;
    pid_t owner;  // the process whose threads these are
    // Lets the pool hold more workers than there are processors when the
    // environment asks for it; the caller's own slot counts against the
    // limit, hence the + 1.
    tbb::global_control limit;
    // No slot is reserved for an outside thread, so work enqueued here runs
    // on the pool's workers only.
    tbb::task_arena arena;

    explicit Pool(std::size_t n)
        : threads(n),
          owner(::getpid()),
          limit(tbb::global_control::max_allowed_parallelism, n + 1),
          arena(static_cast<int>(n), 0) {
        arena.initialize();
    }
};

std::once_flag g_pool_once;
Pool* g_pool = nullptr;  // lives until the process ends, like its threads

Pool& pool() {
    std::call_once(g_pool_once, [] {
        try {
            std::size_t n = configured_pool_size();
            if (n > 4096) n = 4096;  // the arena's slot count is an int; far past any useful size anyway
            g_pool = new Pool(n);
        } catch (const std::exception& e) {
            raise_abort(std::string(messages::kPoolBuildPrefix) + e.what() + messages::kPoolBuildSuffix);
        }
    });
    return *g_pool;
}

}  // namespace

std::size_t pool_size_from(EnvLookup lookup, std::size_t processors) noexcept {
    if (std::optional<std::size_t> n = read_count(lookup, "RAYON_NUM_THREADS")) return *n > 0 ? *n : processors;
    if (std::optional<std::size_t> n = read_count(lookup, "RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
    return processors;
}

std::size_t configured_pool_size() noexcept {
    return pool_size_from([](const char* name) -> const char* { return std::getenv(name); }, logical_processors());
}

std::size_t ensure_pool() { return pool().threads; }

void run_on_pool(std::size_t count, std::size_t max_threads,
                 const std::function<void(std::size_t, std::size_t)>& job) {
    Pool& p = pool();
    if (p.owner != ::getpid()) {
        // A child forked after the pool started (multiprocessing's default)
        // inherits the pool's bookkeeping but none of its threads: waiting
        // for them would hang for ever, so the child works alone.
        job(0, count);
        return;
    }
    // Shared with the enqueued task, which may still be returning after it
    // counts down and this frame is gone.
    struct Handoff {
        std::latch done{1};
        std::exception_ptr failure;
    };
    auto handoff = std::make_shared<Handoff>();
    const std::size_t lanes = std::min(max_threads, count);
    p.arena.enqueue([handoff, count, lanes, limited = lanes != 0 && lanes < p.threads, &job] {
        try {
            if (!limited) {
                tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count),
                                  [&job](const tbb::blocked_range<std::size_t>& r) { job(r.begin(), r.end()); });
            } else {
                // At most `lanes` pieces run at once: one task per lane, each
                // taking small pieces from a shared cursor until none is left,
                // so a slow record does not leave the other lanes idle.
                const std::size_t piece = std::max<std::size_t>(1, count / (lanes * 16));
                std::atomic<std::size_t> cursor{0};
                tbb::parallel_for(
                    tbb::blocked_range<std::size_t>(0, lanes, 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                        for (std::size_t lane = r.begin(); lane < r.end(); ++lane) {
                            for (;;) {
                                const std::size_t begin = cursor.fetch_add(piece, std::memory_order_relaxed);
                                if (begin >= count) break;
                                job(begin, std::min(count, begin + piece));
                            }
                        }
                    },
                    tbb::simple_partitioner());
            }
        } catch (...) {
            // Only the pool's own machinery can throw here (job does not);
            // the waiting caller must hear of it rather than wait forever.
            handoff->failure = std::current_exception();
        }
        handoff->done.count_down();
    });
    handoff->done.wait();
    if (handoff->failure) std::rethrow_exception(handoff->failure);
}

}  // namespace paywheel::batch
