// The process-wide worker pool shared by every batch.
#pragma once

#include <cstddef>
#include <functional>

namespace paywheel::batch {

// Reads an environment variable: the text, or nullptr when it is not set.
using EnvLookup = const char* (*)(const char* name);

// Pool size an environment asks for: "RAYON_NUM_THREADS", then
// "RAYON_RS_NUM_CPUS", then `processors`. Each is a plain unsigned decimal
// (optional '+', digits only, no overflow); anything else is ignored. A
// RAYON_NUM_THREADS of 0 means `processors`; a RAYON_RS_NUM_CPUS of 0 is
// ignored. Pure: the lookup is the only input besides `processors`.
std::size_t pool_size_from(EnvLookup lookup, std::size_t processors) noexcept;

// pool_size_from(std::getenv, logical processor count).
std::size_t configured_pool_size() noexcept;

// Creates the pool on first use and returns the number of its threads that
// started: every thread is started then, and a thread that cannot start
// (pthread_create failing under a pids or process limit) leaves the pool
// smaller, possibly empty. A child forked after its parent built a pool has
// none of those threads: its first use builds the child's own pool, once.
// Failure to build it at all aborts (messages::kPoolBuildPrefix).
std::size_t ensure_pool();

// Runs job(begin, end) over pieces covering [0, count) on at most
// max_threads of the pool's workers (0: all of them) and blocks until every
// piece has finished and no worker refers to the call any more. The calling
// thread only waits: it never runs a piece itself, except where this
// process's pool has no threads (none could start), and then it runs the
// whole range itself. job must not throw.
void run_on_pool(std::size_t count, std::size_t max_threads,
                 const std::function<void(std::size_t, std::size_t)>& job);

}  // namespace paywheel::batch
