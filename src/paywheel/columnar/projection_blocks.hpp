// How a projection cuts a book into blocks of rows, and what a worker thread
// reuses from block to block of one call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "paywheel/columnar/group_flows.hpp"
#include "paywheel/columnar/row_intake.hpp"
#include "paywheel/columnar/survival.hpp"

namespace paywheel::columnar::proj {

// Rows per block of the sums. It depends on the input's batches only, never
// on the thread count, so the order of every float64 addition is fixed.
// Larger blocks hold more loans of each age (see the order in
// compute_projection) at no cost in memory: a block's sums grow with its
// segments, scenarios and periods only.
inline constexpr std::int64_t kBlockRows = 1024;

using Block = Chunk;

// A row's place in a block's order, and what it brings besides its terms.
struct Key {
    std::int64_t age;
    std::int32_t segment;
    std::int64_t row;
    Standing standing;
    bool operator<(const Key& o) const noexcept {
        return age != o.age ? age < o.age : segment != o.segment ? segment < o.segment : row < o.row;
    }
};

// What a worker thread reuses from block to block of one call (PerThread),
// looked up once a block.
struct BlockScratch {
    ScheduleScratch schedule;
    ShapeScratch shapes;
    Group group;
    std::vector<std::int32_t> slot_of;  // per segment: its slot in the block, or -1
    std::vector<Key> order;
    std::vector<Terms> terms;
    WeightCache weights;
};

// The failures of a call's blocks, in row order: each block's sorted, the
// blocks in order (a block holds a contiguous run of rows).
inline void append_by_row(std::vector<std::vector<RowFailure>>& per_block, std::vector<RowFailure>& out) {
    for (std::vector<RowFailure>& block : per_block) {
        std::sort(block.begin(), block.end(),
                  [](const RowFailure& x, const RowFailure& y) { return x.index < y.index; });
        for (RowFailure& f : block) out.push_back(std::move(f));
    }
}

}  // namespace paywheel::columnar::proj
