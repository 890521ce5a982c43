#include "paywheel/core/memory_bound.hpp"

#include <cstdint>
#include <new>
#include <sys/resource.h>
#include <unistd.h>

namespace paywheel {

namespace {

std::size_t read_physical_memory() noexcept {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return SIZE_MAX;
    const auto p = static_cast<std::size_t>(pages);
    const auto s = static_cast<std::size_t>(page_size);
    return p > SIZE_MAX / s ? SIZE_MAX : p * s;
}

// Read when the library is loaded, before any thread can call in. A
// function-local static is built by its first caller; a fork while that
// caller is still building it leaves the child a guard marked "in progress"
// by a thread it does not have, and the child's first call waits for ever.
// Neither changes while the process runs. Other files of the engine read
// their own load-time values for the same reason (the region cache, the
// core count).
const std::size_t g_physical = read_physical_memory();
const std::size_t g_page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

}  // namespace

std::size_t memory_bound() noexcept {
    // The address space limit can change (setrlimit), and getrlimit is a
    // cheap system call.
    std::size_t bound = g_physical;
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < static_cast<rlim_t>(bound))
        bound = static_cast<std::size_t>(limit.rlim_cur);
    return bound;
}

std::size_t page_size() noexcept { return g_page; }

void check_memory_bound(std::size_t bytes) {
    if (bytes > memory_bound()) throw std::bad_alloc();
}

}  // namespace paywheel
