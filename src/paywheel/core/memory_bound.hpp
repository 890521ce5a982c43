// The up-front bound on one call's memory: a request that can never be met
// on this machine raises std::bad_alloc (and so MemoryError) before anything
// is allocated, instead of succeeding on paper under overcommit and getting
// the process killed by the kernel once the pages are touched.
#pragma once

#include <cstddef>

namespace paywheel {

// The smaller of the machine's physical memory and the current soft
// RLIMIT_AS (when there is one); SIZE_MAX when neither can be read.
std::size_t memory_bound() noexcept;

// Throws std::bad_alloc when `bytes` exceeds memory_bound(). Call it with
// the total a call is about to allocate, before allocating.
void check_memory_bound(std::size_t bytes);

// The system's page size, read once when the library is loaded.
std::size_t page_size() noexcept;

}  // namespace paywheel
