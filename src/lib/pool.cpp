#include "lib/pool.hpp"

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

namespace quill {

namespace {

// A plain unsigned decimal, as the variables have always been read: an
// optional '+', digits only, no overflow.
std::optional<std::size_t> read_count(const char* name) {
    const char* text = std::getenv(name);
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

std::size_t logical_processors() {
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
            paywheel::raise_abort(std::string("The global thread pool has not been initialized.: ThreadPoolBuildError { ") +
                                  e.what() + " }");
        }
    });
    return *g_pool;
}

}  // namespace

std::size_t configured_pool_size() {
    if (std::optional<std::size_t> n = read_count("RAYON_NUM_THREADS")) return *n > 0 ? *n : logical_processors();
    if (std::optional<std::size_t> n = read_count("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
    return logical_processors();
}

std::size_t pool_threads() { return pool().threads; }

void run_on_pool(std::size_t count, const std::function<void(std::size_t, std::size_t)>& job) {
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
    p.arena.enqueue([handoff, count, &job] {
        try {
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count),
                              [&job](const tbb::blocked_range<std::size_t>& r) { job(r.begin(), r.end()); });
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

}  // namespace quill
