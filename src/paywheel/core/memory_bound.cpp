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

}  // namespace

std::size_t memory_bound() noexcept {
    // Physical memory does not change while the process runs; the address
    // space limit can (setrlimit), and getrlimit is a cheap system call.
    static const std::size_t physical = read_physical_memory();
    std::size_t bound = physical;
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < static_cast<rlim_t>(bound))
        bound = static_cast<std::size_t>(limit.rlim_cur);
    return bound;
}

void check_memory_bound(std::size_t bytes) {
    if (bytes > memory_bound()) throw std::bad_alloc();
}

}  // namespace paywheel
