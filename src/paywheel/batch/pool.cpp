#include "paywheel/batch/pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <new>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <pthread.h>

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

// Counts the forks that led to this process: the fork handler adds one in
// every child. A pool belongs to the generation that built it; a child has
// none of its parent's threads, whatever its PID, so it builds its own pool
// at its first parallel call instead of working alone for ever after (a
// Spark or multiprocessing worker forked from a process that had computed).
std::atomic<std::uint64_t> g_generation{0};

// One call's work, living in the caller's frame. Workers find it through
// the pool's queue only, and the caller does not return before it has left
// the queue and every worker that took it has let go of it.
struct Job {
    const std::function<void(std::size_t, std::size_t)>* fn;
    std::size_t count;
    std::size_t piece;
    std::size_t lanes;  // most workers that may take part
    std::atomic<std::size_t> cursor{0};
    // Guarded by the pool's mutex.
    std::size_t active = 0;   // workers running pieces of it now
    bool exhausted = false;   // every piece has been handed out; off the queue
};

class Pool {
public:
    Pool(std::size_t wanted, std::uint64_t generation) : generation_(generation) {
        // Threads are started here, by the caller, and never later: a
        // thread that cannot start is known before any call depends on it,
        // and no worker ever starts another. Whatever number does start is
        // the pool.
        for (std::size_t i = 0; i < wanted; ++i) {
            try {
                std::thread(&Pool::work, this).detach();
            } catch (const std::exception&) {
                // pthread_create failing (a pids limit, RLIMIT_NPROC, the
                // address space) or no memory for the thread's state: no
                // more threads. The constructor must not throw, as the
                // threads already started use this object.
                break;
            }
            ++threads_;
        }
    }

    std::size_t threads() const noexcept { return threads_; }
    std::uint64_t generation() const noexcept { return generation_; }

    void run(std::size_t count, std::size_t max_threads,
             const std::function<void(std::size_t, std::size_t)>& fn) {
        if (count == 0) return;
        if (threads_ == 0) {
            // No worker could start: waiting for one would hang for ever, so
            // the caller works alone.
            fn(0, count);
            return;
        }
        std::size_t lanes = max_threads == 0 ? threads_ : std::min(max_threads, threads_);
        lanes = std::min(lanes, count);
        Job job;
        job.fn = &fn;
        job.count = count;
        job.piece = std::max<std::size_t>(1, count / (lanes * 16));
        job.lanes = lanes;
        std::unique_lock<std::mutex> lock(mutex_);
        queue_.push_back(&job);
        // As many workers as the call may use: waking every idle worker for
        // a call held to fewer threads (a Spark task's share of its
        // executor) would only send the rest back to sleep. A busy worker
        // looks for a job before it waits, so none is missed.
        for (std::size_t i = 0; i < lanes; ++i) work_ready_.notify_one();
        job_done_.wait(lock, [&] { return job.exhausted && job.active == 0; });
    }

private:
    // Front-most job with a free lane, or null. Needs the mutex.
    Job* available() const noexcept {
        for (Job* job : queue_)
            if (job->active < job->lanes) return job;
        return nullptr;
    }

    [[noreturn]] void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            Job* job = nullptr;
            work_ready_.wait(lock, [&] { return (job = available()) != nullptr; });
            ++job->active;
            lock.unlock();
            for (;;) {
                const std::size_t begin = job->cursor.fetch_add(job->piece, std::memory_order_relaxed);
                if (begin >= job->count) break;
                (*job->fn)(begin, std::min(job->count, begin + job->piece));
            }
            lock.lock();
            // Leaving the loop means every piece has been handed out: no one
            // else needs to find the job any more.
            if (!job->exhausted) {
                job->exhausted = true;
                queue_.erase(std::find(queue_.begin(), queue_.end(), job));
            }
            if (--job->active == 0) job_done_.notify_all();
        }
    }

    const std::uint64_t generation_;
    std::size_t threads_ = 0;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    std::deque<Job*> queue_;
};

// Serialises building a forked child's pool. Taken around fork, so a child
// never finds it held by a thread it does not have.
std::mutex g_build_mutex;

void before_fork() noexcept { g_build_mutex.lock(); }
void after_fork_in_parent() noexcept { g_build_mutex.unlock(); }
void after_fork_in_child() noexcept {
    g_generation.fetch_add(1, std::memory_order_relaxed);
    g_build_mutex.unlock();
}

Pool* build_pool(bool first) {
    try {
        std::size_t n = configured_pool_size();
        if (n > 4096) n = 4096;  // far past any useful size
        // Registered with the first pool; children inherit the handlers.
        if (first && ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0)
            throw std::bad_alloc();
        return new Pool(n, g_generation.load(std::memory_order_relaxed));
    } catch (const std::exception& e) {
        raise_abort(std::string(messages::kPoolBuildPrefix) + e.what() + messages::kPoolBuildSuffix);
    }
}

std::once_flag g_pool_once;
// The pool of this process's generation, or of an ancestor's. A pool left
// behind by a fork is never touched again (its lock may have been held by a
// thread that does not exist here); it lives until the process ends, like
// its threads.
std::atomic<Pool*> g_pool{nullptr};

Pool& pool() {
    std::call_once(g_pool_once, [] { g_pool.store(build_pool(true), std::memory_order_release); });
    Pool* current = g_pool.load(std::memory_order_acquire);
    if (current->generation() == g_generation.load(std::memory_order_relaxed)) return *current;
    std::lock_guard<std::mutex> lock(g_build_mutex);
    current = g_pool.load(std::memory_order_relaxed);
    if (current->generation() != g_generation.load(std::memory_order_relaxed)) {
        current = build_pool(false);
        g_pool.store(current, std::memory_order_release);
    }
    return *current;
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

std::size_t ensure_pool() { return pool().threads(); }

void run_on_pool(std::size_t count, std::size_t max_threads,
                 const std::function<void(std::size_t, std::size_t)>& job) {
    pool().run(count, max_threads, job);
}

}  // namespace paywheel::batch
