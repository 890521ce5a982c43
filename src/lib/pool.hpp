// The process-wide worker pool shared by every parallel call.
#pragma once

#include <cstddef>
#include <functional>

namespace quill {

// Thread count of the pool, creating the pool on first use. Creation failure
// aborts the call.
std::size_t pool_threads();

// Runs job(begin, end) over pieces covering [0, count) on the pool's workers
// and blocks until every piece has finished. The calling thread only waits:
// it never runs a piece itself. job must not throw.
void run_on_pool(std::size_t count, const std::function<void(std::size_t, std::size_t)>& job);

// Pool size the environment asks for: "RAYON_NUM_THREADS", then
// "RAYON_RS_NUM_CPUS", then the number of logical processors.
std::size_t configured_pool_size();

}  // namespace quill
