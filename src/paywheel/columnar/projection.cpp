#include "paywheel/columnar/projection.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "paywheel/columnar/group_flows.hpp"
#include "paywheel/columnar/memory_budget.hpp"
#include "paywheel/columnar/per_thread.hpp"
#include "paywheel/columnar/projection_blocks.hpp"
#include "paywheel/columnar/row_intake.hpp"
#include "paywheel/columnar/survival.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/memory_bound.hpp"

// The book's projection: its loans' flows summed per scenario, segment and
// period. The model and its parts are in survival, group_flows, row_intake,
// memory_budget and projection_blocks; the per-loan drivers in per_loan.cpp.
namespace paywheel::columnar {

using namespace proj;

namespace {

// Blocks computed at once: bounds the memory of block sums in flight; the
// result does not depend on it.
constexpr std::size_t kWave = 8;
constexpr std::size_t kWaveBytes = std::size_t{256} << 20;

// One block's sums: for each segment it touches, in order of first touch,
// and each scenario, kSums arrays of `len[s]` periods.
struct BlockSums {
    std::vector<std::int32_t> segments;
    std::vector<std::int64_t> len;  // per scenario: periods (0..R + lag) of the block's longest loan
    std::vector<double> data;
    std::int64_t longest = -1;      // the longest remaining term R of a loan that ran
    std::vector<RowFailure> failures;

    std::vector<std::size_t> before;  // per scenario: its offset within a slot
    std::size_t per_slot = 0;

    std::size_t span(std::size_t s) const { return static_cast<std::size_t>(len[s]); }
    void lay_out(std::size_t scenarios) {
        before.resize(scenarios);
        per_slot = 0;
        for (std::size_t s = 0; s < scenarios; ++s) {
            before[s] = per_slot;
            per_slot += kSums * span(s);
        }
    }
    // Offset of (slot, scenario) within data; its measures follow each other.
    std::size_t offset(std::size_t slot, std::size_t s) const { return slot * per_slot + before[s]; }
};

}  // namespace

ProjectionTotals compute_projection(const std::vector<InputBatch>& batches, const ProjectionInput& in,
                                    const std::vector<Scenario>& scenarios, OnError on_error, const ChunkRunner& run,
                                    const std::atomic<bool>& stop) {
    ProjectionTotals tot;
    std::int64_t rows = 0;
    const std::vector<Block> blocks = make_chunks(batches, rows, kBlockRows);
    tot.rows = rows;
    const std::size_t S = scenarios.size();
    const std::int32_t G = in.segments != nullptr ? in.segment_count : 1;
    tot.scenarios = static_cast<std::int32_t>(S);
    tot.segments = G;
    const bool raise = on_error == OnError::Raise;
    std::atomic<bool> oom{false};
    // The peak a block found past the memory bound (0: none), refused after its wave.
    std::atomic<std::size_t> refused{0};
    auto scratch = std::make_unique<PerThread<BlockScratch>>();

    // Totals per (scenario, segment) and summed measure, grown as longer
    // loans appear.
    std::vector<std::array<std::vector<double>, kSums>> sums(S * static_cast<std::size_t>(G));
    std::int64_t longest = -1;
    std::vector<BlockSums> wave(kWave);
    // Blocks in the next wave: two to start with, then as many (up to kWave)
    // as keep the sums in flight within kWaveBytes, judged by the largest
    // block so far; a block's sums grow with the segments it touches.
    std::size_t wave_size = 2;
    std::size_t largest = 1;
    std::size_t passed = 0;  // bytes of every block's sums

    for (std::size_t start = 0, n = 0; start < blocks.size(); start += n) {
        n = std::min(wave_size, blocks.size() - start);
        for (std::size_t j = 0; j < n; ++j) wave[j] = BlockSums();
        run(n, [&](std::size_t j) {
            if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed) ||
                refused.load(std::memory_order_relaxed) != 0)
                return;
            const Block& bl = blocks[start + j];
            const InputBatch& batch = batches[bl.batch];
            BlockSums& out = wave[j];
            QuietAborts quiet;
            BlockScratch* mine = nullptr;
            try {
                mine = &scratch->mine();
                ScheduleScratch& schedule = mine->schedule;
                Group& group = mine->group;
                std::vector<std::int32_t>& slot_of = mine->slot_of;
                WeightCache& weights = mine->weights;
                // Every row read once: its terms, and its failure if it
                // cannot be read or its age is out of range; the block's
                // segments and its longest remaining term.
                if (slot_of.size() < static_cast<std::size_t>(G)) slot_of.assign(static_cast<std::size_t>(G), -1);
                std::int64_t longest_here = 0;
                std::size_t widest_here = 0;  // the longest schedule, in entries
                // Rows by age and segment, then row: each run of one age and
                // segment is one group. The order is fixed by the input alone.
                std::vector<Key>& order = mine->order;
                std::vector<Terms>& terms = mine->terms;
                order.clear();
                terms.resize(static_cast<std::size_t>(bl.end - bl.begin));
                for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                    const std::int64_t g = bl.global + (r - bl.begin);
                    std::int64_t age = 0;
                    Standing st;
                    RowFailure failure;
                    failure.index = g;
                    if (!decode_with_age(batch, r, g, in, terms[static_cast<std::size_t>(r - bl.begin)], age, st,
                                         failure)) {
                        out.failures.push_back(std::move(failure));
                        continue;
                    }
                    const std::int32_t seg = in.segments != nullptr ? in.segments[g] : 0;
                    const Terms& t = terms[static_cast<std::size_t>(r - bl.begin)];
                    longest_here = std::max<std::int64_t>(longest_here, t.calendar_pers() - start_of(age, st));
                    order.push_back(Key{age, seg, r, std::move(st)});
                    widest_here = std::max<std::size_t>(widest_here, static_cast<std::size_t>(t.calendar_pers()) + 1);
                    if (slot_of[static_cast<std::size_t>(seg)] < 0) {
                        slot_of[static_cast<std::size_t>(seg)] = static_cast<std::int32_t>(out.segments.size());
                        out.segments.push_back(seg);
                    }
                }
                std::sort(order.begin(), order.end());
                out.len.resize(S);
                // Periods 0..R only: a loan adds nothing past its last
                // period, and the lag shifts only the derived measures.
                for (std::size_t s = 0; s < S; ++s) out.len[s] = longest_here + 1;
                out.lay_out(S);
                const std::size_t here = sat_mul(sat_mul(out.per_slot, out.segments.size()), sizeof(double));
                const std::size_t peak =
                    totals_peak(scenarios, static_cast<std::size_t>(G), std::max(longest, longest_here),
                                sat_mul(here, n), busy_threads(n),
                                scratch_bytes(widest_here, static_cast<std::size_t>(G)), in.caller_bytes_per_row,
                                static_cast<std::size_t>(rows));
                if (peak > memory_bound()) {
                    // The call ends with the refusal, and this scratch with it.
                    refused.store(peak);
                    return;
                }
                out.data.assign(out.per_slot * out.segments.size(), 0.0);

                group.clear();
                std::int64_t group_age = -1;
                std::int32_t group_seg = -1;
                const auto flush = [&] {
                    if (group.remaining < 0) return;
                    const std::size_t slot = static_cast<std::size_t>(slot_of[static_cast<std::size_t>(group_seg)]);
                    for (std::size_t s = 0; s < S; ++s) {
                        double* base = out.data.data() + out.offset(slot, s);
                        double* acc[kMeasureCount] = {};
                        for (std::size_t i = 0; i < kSums; ++i) acc[kSummed[i]] = base + i * out.span(s);
                        project_group(group, weights.get(s, scenarios[s], group_age, group.remaining),
                                      scenarios[s], acc);
                    }
                    out.longest = std::max(out.longest, group.remaining);
                    group.clear();
                };
                for (const Key& key : order) {
                    const std::int64_t r = key.row;
                    RowFailure failure;
                    failure.index = bl.global + (r - bl.begin);
                    std::size_t len = 0;
                    const Terms& t = terms[static_cast<std::size_t>(r - bl.begin)];
                    const bool ok = run_engine(batch, r, t, schedule, len, failure, oom, mine->shapes);
                    if (oom.load(std::memory_order_relaxed)) break;
                    if (!ok) {
                        blame_rebased(failure, key.standing, in, failure.index);
                        out.failures.push_back(std::move(failure));
                        continue;
                    }
                    if (key.age != group_age || key.segment != group_seg) {
                        flush();
                        group_age = key.age;
                        group_seg = key.segment;
                    }
                    group.add(schedule.data(), len, start_of(key.age, key.standing), t.int_freq * t.step,
                              key.standing.fee);
                }
                flush();
                std::sort(out.failures.begin(), out.failures.end(),
                          [](const RowFailure& x, const RowFailure& y) { return x.index < y.index; });
            } catch (const std::bad_alloc&) {
                oom.store(true);
            } catch (const std::length_error&) {
                oom.store(true);
            }
            if (mine != nullptr)
                for (const std::int32_t seg : out.segments) mine->slot_of[static_cast<std::size_t>(seg)] = -1;
        });
        if (stop.load()) throw Cancelled{};
        if (refused.load() != 0) throw projection_too_large(refused.load(), memory_bound());
        if (oom.load()) throw std::bad_alloc();
        // Blocks in order: the same additions in the same order for any
        // number of threads.
        for (std::size_t j = 0; j < n; ++j) {
            BlockSums& b = wave[j];
            for (RowFailure& f : b.failures) tot.failures.push_back(std::move(f));
            if (raise && !tot.failures.empty()) {
                tot.failures.resize(1);
                return tot;
            }
            longest = std::max(longest, b.longest);
            largest = std::max(largest, b.data.size() * sizeof(double));
            passed = sat_add(passed, b.data.size() * sizeof(double));
            for (std::size_t slot = 0; slot < b.segments.size(); ++slot) {
                for (std::size_t s = 0; s < S; ++s) {
                    auto& target = sums[s * static_cast<std::size_t>(G) + static_cast<std::size_t>(b.segments[slot])];
                    const std::size_t len = b.span(s);
                    const double* base = b.data.data() + b.offset(slot, s);
                    for (std::size_t i = 0; i < kSums; ++i) {
                        std::vector<double>& t = target[i];
                        if (t.size() < len) t.resize(len, 0.0);
                        const double* src = base + i * len;
                        for (std::size_t p = 0; p < len; ++p) t[p] += src[p];
                    }
                }
            }
            b = BlockSums();
        }
        wave_size = std::clamp<std::size_t>(kWaveBytes / largest, 1, kWave);
    }

    scratch.reset();  // the workers' scratch goes before the table comes
    const std::size_t grown = sat_mul(busy_threads(blocks.size()),
                                      sat_mul(static_cast<std::size_t>(longest + 1), kScratchPerEntry));
    give_back_free_pages(sat_add(passed, grown));

    // Rows: every segment gets periods 0..horizon of its scenario. A book
    // with no loan that ran has no rows.
    std::size_t out_rows = 0;
    tot.horizon.resize(S);
    for (std::size_t s = 0; s < S; ++s) {
        tot.horizon[s] = longest < 0 ? -1 : longest + scenarios[s].lag;
        out_rows += static_cast<std::size_t>(tot.horizon[s] + 1) * static_cast<std::size_t>(G);
    }
    if (longest >= 0)
        check_peak(totals_peak(scenarios, static_cast<std::size_t>(G), longest, 0, 0, 0, in.caller_bytes_per_row,
                               static_cast<std::size_t>(rows)));
    for (auto& c : tot.columns) c.assign(out_rows, 0.0);
    std::size_t row = 0;
    for (std::size_t s = 0; s < S; ++s) {
        const std::size_t len = static_cast<std::size_t>(tot.horizon[s] + 1);
        for (std::size_t g = 0; g < static_cast<std::size_t>(G); ++g) {
            auto& src = sums[s * static_cast<std::size_t>(G) + g];
            for (std::size_t i = 0; i < kSums; ++i) {
                const std::size_t have = std::min(len, src[i].size());
                std::copy(src[i].begin(), src[i].begin() + static_cast<std::ptrdiff_t>(have),
                          tot.columns[kSummed[i]].begin() + static_cast<std::ptrdiff_t>(row));
                std::vector<double>().swap(src[i]);
            }
            derive_flows(tot.columns, row, len, scenarios[s]);
            row += len;
        }
    }
    give_back_free_pages(passed);  // the totals, now in the columns
    return tot;
}

}  // namespace paywheel::columnar
