#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <sys/resource.h>
#include <unistd.h>

#include "paywheel/core/memory_bound.hpp"

namespace {

std::size_t physical_memory() {
    return static_cast<std::size_t>(::sysconf(_SC_PHYS_PAGES)) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

TEST(MemoryBound, PhysicalMemoryBoundsEveryRequest) {
    const std::size_t physical = physical_memory();
    ASSERT_GT(physical, 0u);
    EXPECT_LE(paywheel::memory_bound(), physical);
    EXPECT_NO_THROW(paywheel::check_memory_bound(0));
    EXPECT_NO_THROW(paywheel::check_memory_bound(1 << 20));
    EXPECT_NO_THROW(paywheel::check_memory_bound(paywheel::memory_bound()));
    EXPECT_THROW(paywheel::check_memory_bound(paywheel::memory_bound() + 1), std::bad_alloc);
    EXPECT_THROW(paywheel::check_memory_bound(physical + 1), std::bad_alloc);
    EXPECT_THROW(paywheel::check_memory_bound(SIZE_MAX), std::bad_alloc);
}

// The address-space limit is read on every call, so lowering it takes effect
// at once; a limit above physical memory leaves physical memory the bound.
TEST(MemoryBound, FollowsTheSoftAddressSpaceLimit) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &saved), 0);
    const std::size_t before = paywheel::memory_bound();
    const std::size_t physical = physical_memory();
    const rlim_t lowered = static_cast<rlim_t>(physical / 2);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < lowered) GTEST_SKIP() << "hard limit below half of memory";

    // Nothing is allocated while the limit is low: under a sanitizer the
    // process already maps far more than physical memory.
    rlimit low = saved;
    low.rlim_cur = lowered;
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &low), 0);
    const std::size_t under_low = paywheel::memory_bound();
    rlimit high = saved;
    high.rlim_cur = saved.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(physical) * 4 : saved.rlim_max;
    const int high_set = ::setrlimit(RLIMIT_AS, &high);
    const std::size_t under_high = paywheel::memory_bound();
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &saved), 0);

    EXPECT_EQ(under_low, static_cast<std::size_t>(lowered));
    ASSERT_EQ(high_set, 0);
    EXPECT_EQ(under_high, std::min(physical, static_cast<std::size_t>(high.rlim_cur)));
    EXPECT_EQ(paywheel::memory_bound(), before);
}

}  // namespace
