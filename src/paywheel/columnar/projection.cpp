#include "paywheel/columnar/projection.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/memory_bound.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::columnar {

const char* const kBadAgeReason = messages::kBadAge;

namespace {

// Rows per block of the sums. It depends on the input's batches only, never
// on the thread count, so the order of every float64 addition is fixed.
constexpr std::int64_t kBlockRows = 512;
// Blocks computed at once: bounds the memory of block sums in flight; the
// result does not depend on it.
constexpr std::size_t kWave = 8;
// The measures summed per loan; the cash flow is derived from the totals.
constexpr std::size_t kSummed = kCashflow;

struct Block {
    std::size_t batch;
    std::int64_t begin, end;  // rows within the batch
    std::int64_t global;      // row number in the book of `begin`
};

std::vector<Block> make_blocks(const std::vector<InputBatch>& batches, std::int64_t& rows) {
    std::vector<Block> blocks;
    rows = 0;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        for (std::int64_t r = 0; r < batches[b].rows; r += kBlockRows)
            blocks.push_back(Block{b, r, std::min(batches[b].rows, r + kBlockRows), rows + r});
        rows += batches[b].rows;
    }
    return blocks;
}

// One loan's schedule from its age on, widened exactly to float64 (every
// binary32 value is a float64 value): entry j is period a + j.
struct Widened {
    std::vector<double> cap, interest, bal;
    std::vector<float> schedule;  // the engine's five columns
    std::int64_t remaining = 0;   // R = pers - a
};

// Per-thread scratch of one scenario's run over one loan.
struct Scratch {
    std::vector<double> smm, mdr, live, surv;
    void size(std::size_t n) {
        if (smm.size() < n) {
            smm.resize(n);
            mdr.resize(n);
            live.resize(n);
            surv.resize(n);
        }
    }
};

// rates[m] for m = 1..R of a curve, for a loan aged `age`.
void curve_rates(const RateCurve& c, std::int64_t age, std::int64_t R, double* rates) {
    if (c.rates.empty()) {
        std::fill(rates + 1, rates + R + 1, 0.0);
        return;
    }
    const std::int64_t last = static_cast<std::int64_t>(c.rates.size()) - 1;
    const double* t = c.rates.data();
    // The index of period m: m - 1, or the age at that period, a + m.
    const std::int64_t shift = c.by_age ? age : -1;
    for (std::int64_t m = 1; m <= R; ++m) rates[m] = t[std::min(m + shift, last)];
}

// Adds one loan's flows under one scenario into acc[k][p], p = 0..R + lag.
// The model, per period m = 1..R with S = 1 before the first:
//   d = mdr*S*Bal[t-1]; live = S*(1-mdr); sched = live*Cap[t];
//   int = live*Int[t]; prepaid = smm*live*Bal[t]; S = live*(1-smm);
//   balance = S*Bal[t]; d is liquidated at m + lag.
// The survival recurrence runs first, alone, so that the additions after it
// have no dependence between periods and can be vectorised.
void project_loan(const Widened& w, std::int64_t age, const Scenario& sc, Scratch& s, double* const acc[kSummed]) {
    const std::int64_t R = w.remaining;
    s.size(static_cast<std::size_t>(R) + 1);
    double* smm = s.smm.data();
    double* mdr = s.mdr.data();
    double* live = s.live.data();
    double* surv = s.surv.data();
    curve_rates(sc.prepay, age, R, smm);
    const bool defaults = !sc.dflt.rates.empty();
    curve_rates(sc.dflt, age, R, mdr);

    double S = 1.0;
    surv[0] = 1.0;
    for (std::int64_t m = 1; m <= R; ++m) {
        const double l = S * (1.0 - mdr[m]);
        live[m] = l;
        S = l * (1.0 - smm[m]);
        surv[m] = S;
    }

    const double* C = w.cap.data();
    const double* I = w.interest.data();
    const double* B = w.bal.data();
    double* bal = acc[kBalance];
    double* sched = acc[kScheduled];
    double* prepaid = acc[kPrepaid];
    double* interest = acc[kInterest];
    bal[0] += B[0];
    for (std::int64_t m = 1; m <= R; ++m) {
        bal[m] += surv[m] * B[m];
        sched[m] += live[m] * C[m];
        interest[m] += live[m] * I[m];
        prepaid[m] += smm[m] * live[m] * B[m];
    }
    if (!defaults) return;
    double* defaulted = acc[kDefaulted];
    double* loss = acc[kLoss] + sc.lag;
    double* recovery = acc[kRecovery] + sc.lag;
    const double severity = sc.severity;
    const double recovered = 1.0 - sc.severity;
    for (std::int64_t m = 1; m <= R; ++m) {
        const double d = mdr[m] * surv[m - 1] * B[m - 1];
        defaulted[m] += d;
        loss[m] += severity * d;
        recovery[m] += recovered * d;
    }
}

// The engine on one loan into w, failures as data. Sets `oom` when memory
// ran out.
bool fill_widened(const LoanTerms& terms, std::int64_t age, Widened& w, RowFailure& failure, std::atomic<bool>& oom) {
    const ScheduleShape shape = schedule_shape(terms.pers);
    if (shape.per != shape.rest) {
        failure.reason = kUnevenColumnsReason;
        return false;
    }
    const std::size_t len = shape.rest;
    if (w.schedule.size() < len * kColumns) w.schedule.resize(len * kColumns);
    float* s = w.schedule.data();
    try {
        fill_schedule(terms, ScheduleOut{s, s + len, s + 2 * len, s + 3 * len, s + 4 * len});
    } catch (const Abort& a) {
        failure.reason = a.message();
        failure.has_terms = true;
        failure.terms = terms;
        return false;
    } catch (const std::bad_alloc&) {
        oom.store(true);
        return false;
    } catch (const std::length_error&) {
        oom.store(true);
        return false;
    } catch (const std::exception& e) {
        failure.reason = std::string("unexpected native failure: ") + e.what();
        failure.has_terms = true;
        failure.terms = terms;
        return false;
    }
    const std::int64_t R = terms.pers - age;
    const std::size_t n = static_cast<std::size_t>(R) + 1;
    if (w.cap.size() < n) {
        w.cap.resize(n);
        w.interest.resize(n);
        w.bal.resize(n);
    }
    const float* cap = s + len + age;
    const float* interest = s + 2 * len + age;
    const float* bal = s + 4 * len + age;
    for (std::size_t j = 0; j < n; ++j) {
        w.cap[j] = static_cast<double>(cap[j]);
        w.interest[j] = static_cast<double>(interest[j]);
        w.bal[j] = static_cast<double>(bal[j]);
    }
    w.remaining = R;
    return true;
}

// Decodes row r and checks its age; on false `failure` says why (and
// `age_failed` whether the age was to blame).
bool decode_with_age(const InputBatch& batch, std::int64_t r, std::int64_t g, const ProjectionInput& in,
                     LoanTerms& terms, std::int64_t& age, RowFailure& failure, bool& age_failed) {
    DecodeFailure why{nullptr};
    age_failed = false;
    if (!decode_row(batch, r, terms, why)) {
        failure.reason = why.reason;
        return false;
    }
    age = in.ages != nullptr ? in.ages[g] : 0;
    if (age < 0 || age >= terms.pers) {
        failure.reason = kBadAgeReason;
        failure.has_terms = true;
        failure.terms = terms;
        age_failed = true;
        return false;
    }
    return true;
}

// One block's sums: for each segment it touches, in order of first touch,
// and each scenario, kSummed arrays of `len[s]` periods.
struct BlockSums {
    std::vector<std::int32_t> segments;
    std::vector<std::int64_t> len;  // per scenario: periods (0..R + lag) of the block's longest loan
    std::vector<double> data;
    std::int64_t longest = -1;      // the longest remaining term R of a loan that ran
    std::vector<RowFailure> failures;
    std::vector<bool> age_failures;

    std::vector<std::size_t> before;  // per scenario: its offset within a slot
    std::size_t per_slot = 0;

    std::size_t span(std::size_t s) const { return static_cast<std::size_t>(len[s]); }
    void lay_out(std::size_t scenarios) {
        before.resize(scenarios);
        per_slot = 0;
        for (std::size_t s = 0; s < scenarios; ++s) {
            before[s] = per_slot;
            per_slot += kSummed * span(s);
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
    const std::vector<Block> blocks = make_blocks(batches, rows);
    tot.rows = rows;
    const std::size_t S = scenarios.size();
    const std::int32_t G = in.segments != nullptr ? in.segment_count : 1;
    tot.scenarios = static_cast<std::int32_t>(S);
    tot.segments = G;
    const bool raise = on_error == OnError::Raise;
    std::atomic<bool> oom{false};

    // Totals per (scenario, segment) and summed measure, grown as longer
    // loans appear.
    std::vector<std::array<std::vector<double>, kSummed>> sums(S * static_cast<std::size_t>(G));
    std::int64_t longest = -1;
    std::vector<BlockSums> wave(kWave);

    for (std::size_t start = 0; start < blocks.size(); start += kWave) {
        const std::size_t n = std::min(kWave, blocks.size() - start);
        for (std::size_t j = 0; j < n; ++j) wave[j] = BlockSums();
        run(n, [&](std::size_t j) {
            if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
            const Block& bl = blocks[start + j];
            const InputBatch& batch = batches[bl.batch];
            BlockSums& out = wave[j];
            QuietAborts quiet;
            thread_local Widened w;
            thread_local Scratch scratch;
            thread_local std::vector<std::int32_t> slot_of;
            try {
                // Sizing: the block's segments and its longest remaining
                // term, from the fields up to pers and the age.
                if (slot_of.size() < static_cast<std::size_t>(G)) slot_of.assign(static_cast<std::size_t>(G), -1);
                std::int64_t longest_here = 0;
                for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                    const std::int64_t g = bl.global + (r - bl.begin);
                    std::int32_t pers = 0;
                    DecodeFailure why{nullptr};
                    if (!decode_pers(batch, r, pers, why)) continue;
                    const std::int64_t age = in.ages != nullptr ? in.ages[g] : 0;
                    if (age < 0 || age >= pers) continue;
                    longest_here = std::max<std::int64_t>(longest_here, pers - age);
                    const std::int32_t seg = in.segments != nullptr ? in.segments[g] : 0;
                    if (slot_of[static_cast<std::size_t>(seg)] < 0) {
                        slot_of[static_cast<std::size_t>(seg)] = static_cast<std::int32_t>(out.segments.size());
                        out.segments.push_back(seg);
                    }
                }
                out.len.resize(S);
                for (std::size_t s = 0; s < S; ++s) out.len[s] = longest_here + scenarios[s].lag + 1;
                out.lay_out(S);
                check_memory_bound(out.per_slot * out.segments.size() * sizeof(double));
                out.data.assign(out.per_slot * out.segments.size(), 0.0);

                for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                    const std::int64_t g = bl.global + (r - bl.begin);
                    LoanTerms terms;
                    std::int64_t age = 0;
                    RowFailure failure{g, {}, false, {}};
                    bool age_failed = false;
                    bool ok = decode_with_age(batch, r, g, in, terms, age, failure, age_failed);
                    if (ok) ok = fill_widened(terms, age, w, failure, oom);
                    if (oom.load(std::memory_order_relaxed)) break;
                    if (!ok) {
                        out.failures.push_back(std::move(failure));
                        out.age_failures.push_back(age_failed);
                        if (raise) break;
                        continue;
                    }
                    out.longest = std::max(out.longest, w.remaining);
                    const std::int32_t seg = in.segments != nullptr ? in.segments[g] : 0;
                    const std::size_t slot = static_cast<std::size_t>(slot_of[static_cast<std::size_t>(seg)]);
                    for (std::size_t s = 0; s < S; ++s) {
                        double* base = out.data.data() + out.offset(slot, s);
                        double* acc[kSummed];
                        for (std::size_t k = 0; k < kSummed; ++k) acc[k] = base + k * out.span(s);
                        project_loan(w, age, scenarios[s], scratch, acc);
                    }
                }
            } catch (const std::bad_alloc&) {
                oom.store(true);
            } catch (const std::length_error&) {
                oom.store(true);
            }
            for (const std::int32_t seg : out.segments) slot_of[static_cast<std::size_t>(seg)] = -1;
        });
        if (stop.load()) throw Cancelled{};
        if (oom.load()) throw std::bad_alloc();
        // Blocks in order: the same additions in the same order for any
        // number of threads.
        for (std::size_t j = 0; j < n; ++j) {
            BlockSums& b = wave[j];
            for (std::size_t f = 0; f < b.failures.size(); ++f) {
                tot.failures.push_back(std::move(b.failures[f]));
                tot.age_failures.push_back(b.age_failures[f]);
            }
            if (raise && !tot.failures.empty()) {
                tot.failures.resize(1);
                tot.age_failures.resize(1);
                return tot;
            }
            longest = std::max(longest, b.longest);
            for (std::size_t slot = 0; slot < b.segments.size(); ++slot) {
                for (std::size_t s = 0; s < S; ++s) {
                    auto& target = sums[s * static_cast<std::size_t>(G) + static_cast<std::size_t>(b.segments[slot])];
                    const std::size_t len = b.span(s);
                    const double* base = b.data.data() + b.offset(slot, s);
                    for (std::size_t k = 0; k < kSummed; ++k) {
                        std::vector<double>& t = target[k];
                        if (t.size() < len) t.resize(len, 0.0);
                        const double* src = base + k * len;
                        for (std::size_t p = 0; p < len; ++p) t[p] += src[p];
                    }
                }
            }
            b = BlockSums();
        }
    }

    // Rows: every segment gets periods 0..horizon of its scenario. A book
    // with no loan that ran has no rows.
    std::size_t out_rows = 0;
    tot.horizon.resize(S);
    for (std::size_t s = 0; s < S; ++s) {
        tot.horizon[s] = longest < 0 ? -1 : longest + scenarios[s].lag;
        out_rows += static_cast<std::size_t>(tot.horizon[s] + 1) * static_cast<std::size_t>(G);
    }
    check_memory_bound(out_rows * kMeasureCount * sizeof(double));
    for (auto& c : tot.columns) c.assign(out_rows, 0.0);
    std::size_t row = 0;
    for (std::size_t s = 0; s < S; ++s) {
        const std::size_t len = static_cast<std::size_t>(tot.horizon[s] + 1);
        for (std::size_t g = 0; g < static_cast<std::size_t>(G); ++g) {
            auto& src = sums[s * static_cast<std::size_t>(G) + g];
            for (std::size_t k = 0; k < kSummed; ++k) {
                const std::size_t have = std::min(len, src[k].size());
                std::copy(src[k].begin(), src[k].begin() + static_cast<std::ptrdiff_t>(have),
                          tot.columns[k].begin() + static_cast<std::ptrdiff_t>(row));
                std::vector<double>().swap(src[k]);
            }
            for (std::size_t p = row; p < row + len; ++p)
                tot.columns[kCashflow][p] = tot.columns[kScheduled][p] + tot.columns[kPrepaid][p] +
                                            tot.columns[kRecovery][p] + tot.columns[kInterest][p];
            row += len;
        }
    }
    return tot;
}

LoanProjection compute_loan_projection(const std::vector<InputBatch>& batches, const ProjectionInput& in,
                                       const std::vector<Scenario>& scenarios, OnError on_error, std::int64_t row_base,
                                       const ChunkRunner& run, const std::atomic<bool>& stop) {
    LoanProjection res;
    std::int64_t rows = 0;
    const std::vector<Block> blocks = make_blocks(batches, rows);
    res.rows = rows;
    const std::size_t S = scenarios.size();
    const bool raise = on_error == OnError::Raise;
    std::int64_t lags = 0;
    for (const Scenario& sc : scenarios) lags += sc.lag + 1;

    // Pass 1: each row's output rows, from the fields up to pers and the
    // age; a row that fails later keeps its span until the gaps are closed.
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(rows) + 1, 0);
    run(blocks.size(), [&](std::size_t b) {
        const Block& bl = blocks[b];
        for (std::int64_t r = bl.begin; r < bl.end; ++r) {
            const std::int64_t g = bl.global + (r - bl.begin);
            std::int32_t pers = 0;
            DecodeFailure why{nullptr};
            std::int64_t len = 0;
            const std::int64_t age = in.ages != nullptr ? in.ages[g] : 0;
            if (decode_pers(batches[bl.batch], r, pers, why) && age >= 0 && age < pers)
                len = static_cast<std::int64_t>(S) * (pers - age) + lags;
            offsets[static_cast<std::size_t>(g) + 1] = len;
        }
    });
    for (std::size_t i = 0; i < static_cast<std::size_t>(rows); ++i) offsets[i + 1] += offsets[i];
    const std::size_t values = static_cast<std::size_t>(offsets.back());
    check_memory_bound(values * (kMeasureCount * sizeof(double) + 16));
    for (std::size_t k = 0; k < kSummed; ++k) res.columns[k].assign(values, 0.0);
    res.loan.resize(values);
    res.scenario.resize(values);
    res.period.resize(values);

    std::vector<std::vector<RowFailure>> failures(blocks.size());
    std::vector<std::vector<bool>> age_failures(blocks.size());
    std::atomic<bool> oom{false};
    std::atomic<std::int64_t> first_failure{std::numeric_limits<std::int64_t>::max()};
    run(blocks.size(), [&](std::size_t b) {
        if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
        const Block& bl = blocks[b];
        if (raise && bl.global > first_failure.load(std::memory_order_relaxed)) return;
        QuietAborts quiet;
        thread_local Widened w;
        thread_local Scratch scratch;
        try {
            for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                const std::int64_t g = bl.global + (r - bl.begin);
                LoanTerms terms;
                std::int64_t age = 0;
                RowFailure failure{row_base + g, {}, false, {}};
                bool age_failed = false;
                bool ok = decode_with_age(batches[bl.batch], r, g, in, terms, age, failure, age_failed);
                if (ok) ok = fill_widened(terms, age, w, failure, oom);
                if (oom.load(std::memory_order_relaxed)) return;
                if (!ok) {
                    failures[b].push_back(std::move(failure));
                    age_failures[b].push_back(age_failed);
                    std::int64_t cur = first_failure.load(std::memory_order_relaxed);
                    while (g < cur && !first_failure.compare_exchange_weak(cur, g, std::memory_order_relaxed)) {
                    }
                    if (raise) return;
                    continue;
                }
                std::size_t o = static_cast<std::size_t>(offsets[static_cast<std::size_t>(g)]);
                for (std::size_t s = 0; s < S; ++s) {
                    const std::size_t len = static_cast<std::size_t>(w.remaining + scenarios[s].lag + 1);
                    double* acc[kSummed];
                    for (std::size_t k = 0; k < kSummed; ++k) acc[k] = res.columns[k].data() + o;
                    project_loan(w, age, scenarios[s], scratch, acc);
                    for (std::size_t p = 0; p < len; ++p) {
                        res.loan[o + p] = row_base + g;
                        res.scenario[o + p] = static_cast<std::int32_t>(s);
                        res.period[o + p] = static_cast<std::int32_t>(p);
                    }
                    o += len;
                }
            }
        } catch (const std::bad_alloc&) {
            oom.store(true);
        } catch (const std::length_error&) {
            oom.store(true);
        }
    });
    if (stop.load()) throw Cancelled{};
    if (oom.load()) throw std::bad_alloc();
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        for (std::size_t f = 0; f < failures[b].size(); ++f) {
            res.failures.push_back(std::move(failures[b][f]));
            res.age_failures.push_back(age_failures[b][f]);
        }
    }
    if (raise && !res.failures.empty()) {
        res.failures.resize(1);
        res.age_failures.resize(1);
        for (auto& c : res.columns) std::vector<double>().swap(c);
        res.loan.clear();
        res.scenario.clear();
        res.period.clear();
        return res;
    }
    // Close the spans of rows that failed after pass 1 sized them.
    if (!res.failures.empty()) {
        std::size_t w = 0;
        std::size_t next = 0;  // the next failure, by row
        for (std::size_t i = 0; i < static_cast<std::size_t>(rows); ++i) {
            const std::size_t start = static_cast<std::size_t>(offsets[i]);
            const std::size_t len = static_cast<std::size_t>(offsets[i + 1]) - start;
            const bool failed = next < res.failures.size() &&
                                res.failures[next].index == row_base + static_cast<std::int64_t>(i);
            if (failed) {
                ++next;
                continue;
            }
            if (start != w) {
                for (std::size_t k = 0; k < kSummed; ++k)
                    std::copy(res.columns[k].begin() + static_cast<std::ptrdiff_t>(start),
                              res.columns[k].begin() + static_cast<std::ptrdiff_t>(start + len),
                              res.columns[k].begin() + static_cast<std::ptrdiff_t>(w));
                std::copy(res.loan.begin() + static_cast<std::ptrdiff_t>(start),
                          res.loan.begin() + static_cast<std::ptrdiff_t>(start + len),
                          res.loan.begin() + static_cast<std::ptrdiff_t>(w));
                std::copy(res.scenario.begin() + static_cast<std::ptrdiff_t>(start),
                          res.scenario.begin() + static_cast<std::ptrdiff_t>(start + len),
                          res.scenario.begin() + static_cast<std::ptrdiff_t>(w));
                std::copy(res.period.begin() + static_cast<std::ptrdiff_t>(start),
                          res.period.begin() + static_cast<std::ptrdiff_t>(start + len),
                          res.period.begin() + static_cast<std::ptrdiff_t>(w));
            }
            w += len;
        }
        for (auto& c : res.columns) c.resize(w);
        res.loan.resize(w);
        res.scenario.resize(w);
        res.period.resize(w);
    }
    auto& cf = res.columns[kCashflow];
    cf.resize(res.loan.size());
    for (std::size_t p = 0; p < cf.size(); ++p)
        cf[p] = res.columns[kScheduled][p] + res.columns[kPrepaid][p] + res.columns[kRecovery][p] +
                res.columns[kInterest][p];
    return res;
}

}  // namespace paywheel::columnar
