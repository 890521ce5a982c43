// The columnar layer's one door to the worker pool: everything it runs in
// parallel goes through run_chunks.
#pragma once

#include <cstddef>
#include <functional>

namespace paywheel::columnar {

// Workers a call gets when it names no count: the pool's size, sized as for
// the parallel dict operations.
std::size_t default_threads();

// Runs work(c) for every c in [0, count) on at most `threads` of the pool's
// workers (never more than the pool has) and returns when all have run.
// The caller must not hold the interpreter lock. work must not throw.
void run_chunks(std::size_t threads, std::size_t count, const std::function<void(std::size_t)>& work);

// A ChunkRunner (compute.hpp) over run_chunks with at most `threads` workers.
std::function<void(std::size_t, const std::function<void(std::size_t)>&)> runner_for(std::size_t threads);

}  // namespace paywheel::columnar
