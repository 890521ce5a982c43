#include "paywheel/columnar/memory_budget.hpp"

#include <algorithm>
#include <string>
#include <thread>

#include "paywheel/columnar/group_flows.hpp"
#include "paywheel/columnar/projection_blocks.hpp"
#include "paywheel/core/memory_bound.hpp"
#include "paywheel/core/message_text.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::columnar::proj {

namespace {

// The processors, read when the library is loaded: a function-local static
// half-built by another thread at a fork would leave the child waiting on
// its guard for ever.
const std::size_t g_cores = std::max(1u, std::thread::hardware_concurrency());

// The output rows of a horizon of R periods: periods 0..R + lag of each
// scenario, for every segment.
std::size_t output_rows(const std::vector<Scenario>& scenarios, std::size_t segments, std::int64_t R) noexcept {
    std::size_t rows = 0;
    for (const Scenario& sc : scenarios) rows = sat_add(rows, static_cast<std::size_t>(R + sc.lag + 1));
    return sat_mul(rows, segments);
}

}  // namespace

std::size_t busy_threads(std::size_t count) noexcept { return std::max<std::size_t>(1, std::min(count, g_cores)); }

std::size_t scratch_bytes(std::size_t len, std::size_t segments) noexcept {
    const std::size_t rows = static_cast<std::size_t>(kBlockRows) * (sizeof(Key) + sizeof(Terms));
    return sat_add(sat_add(sat_mul(len, kScratchPerEntry), WeightCache::kCacheDoubles * sizeof(double)),
                   sat_add(rows, sat_mul(segments, sizeof(std::int32_t))));
}

std::size_t totals_peak(const std::vector<Scenario>& scenarios, std::size_t segments, std::int64_t R,
                        std::size_t in_flight, std::size_t threads, std::size_t scratch, std::size_t per_row,
                        std::size_t loans) noexcept {
    const std::size_t rows = output_rows(scenarios, segments, R);
    const std::size_t summed =
        sat_mul(sat_mul(scenarios.size(), segments), sat_mul(static_cast<std::size_t>(R + 1), kSums * sizeof(double)));
    const std::size_t columns = sat_mul(rows, kMeasureCount * sizeof(double));
    const std::size_t running = sat_add(sat_add(summed, in_flight), sat_mul(threads, scratch));
    const std::size_t most = std::max({running, sat_add(summed, columns), sat_add(columns, sat_mul(rows, per_row))});
    return sat_add(with_slack(most), sat_mul(loans, kPerLoanBytes));
}

TooLarge projection_too_large(std::size_t bytes, std::size_t limit) {
    return TooLarge(bytes, limit,
                    bytes == SIZE_MAX ? std::string(messages::kProjectionPastAddressSpace)
                                      : messages::text(messages::kProjectionPastMemory, bytes, limit));
}

void check_peak(std::size_t bytes) {
    const std::size_t bound = memory_bound();
    if (bytes > bound) throw projection_too_large(bytes, bound);
}

}  // namespace paywheel::columnar::proj
