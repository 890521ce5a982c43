// The memory budget of a projection: the most a call holds at once, worked
// out before anything large is allocated, and its refusal when that passes
// the memory this process may use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "paywheel/columnar/failure.hpp"
#include "paywheel/columnar/projection.hpp"

namespace paywheel::columnar::proj {

inline std::size_t sat_add(std::size_t a, std::size_t b) noexcept { return b > SIZE_MAX - a ? SIZE_MAX : a + b; }
inline std::size_t sat_mul(std::size_t a, std::size_t b) noexcept {
    return a != 0 && b > SIZE_MAX / a ? SIZE_MAX : a * b;
}

// Threads that can run the `count` chunks of one run at once.
std::size_t busy_threads(std::size_t count) noexcept;

// Per schedule entry of the longest loan a worker met: the engine's five
// binary32 columns, a group's four float64 sums and the weights of one age
// (four float64 a period).
inline constexpr std::size_t kScratchPerEntry = kColumns * sizeof(float) + 2 * 4 * sizeof(double);

// One worker's BlockScratch at its largest, for schedules of at most `len`
// entries among `segments` segments: kScratchPerEntry, the rest of the
// weight cache, and the block's rows.
std::size_t scratch_bytes(std::size_t len, std::size_t segments) noexcept;

// A peak and a 32nd of it for the allocator's rounding and the interpreter's
// objects of the result.
inline std::size_t with_slack(std::size_t bytes) noexcept { return sat_add(bytes, bytes / 32); }

// Per loan of the book: what the caller derived from it for the call (its
// age and segment code, and their temporaries) and the call's own state.
inline constexpr std::size_t kPerLoanBytes = 64;

// The most compute_projection holds at once, in bytes, once its longest
// remaining term is R (the final horizon is at least that, so a call found
// too large here never fits): while blocks run, the totals (periods 0..R of
// the summed measures only: past R they are zero, and loss and recovery are
// derived from them), the block sums in flight and each busy thread's
// scratch; while the table is formed, the totals and its columns; once
// handed over, the columns and the caller's `per_row` bytes of each row.
// The most of the three with_slack, and kPerLoanBytes for each of the
// book's `loans`.
std::size_t totals_peak(const std::vector<Scenario>& scenarios, std::size_t segments, std::int64_t R,
                        std::size_t in_flight, std::size_t threads, std::size_t scratch, std::size_t per_row,
                        std::size_t loans) noexcept;

// The refusal of a call whose peak passes the memory this process may use.
TooLarge projection_too_large(std::size_t bytes, std::size_t limit);

// Throws the refusal when `bytes` passes memory_bound().
void check_peak(std::size_t bytes);

}  // namespace paywheel::columnar::proj
