#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "paywheel/columnar/group_flows.hpp"
#include "paywheel/columnar/loan_flows.hpp"
#include "paywheel/columnar/memory_budget.hpp"
#include "paywheel/columnar/per_thread.hpp"
#include "paywheel/columnar/projection.hpp"
#include "paywheel/columnar/projection_blocks.hpp"
#include "paywheel/columnar/row_intake.hpp"
#include "paywheel/columnar/survival.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/failure_code.hpp"
#include "paywheel/core/memory_bound.hpp"
#include "paywheel/core/messages.hpp"

// The model loan by loan: per-loan projections and per-loan values.
namespace paywheel::columnar {

using namespace proj;

LoanProjection compute_loan_projection(const std::vector<InputBatch>& batches, const ProjectionInput& in,
                                       const std::vector<Scenario>& scenarios, OnError on_error, std::int64_t row_base,
                                       const ChunkRunner& run, const std::atomic<bool>& stop) {
    LoanProjection res;
    std::int64_t rows = 0;
    const std::vector<Block> blocks = make_chunks(batches, rows, kBlockRows);
    res.rows = rows;
    const std::size_t S = scenarios.size();
    const bool raise = on_error == OnError::Raise;
    std::int64_t lags = 0;
    for (const Scenario& sc : scenarios) lags += sc.lag + 1;
    auto scratch = std::make_unique<PerThread<BlockScratch>>();

    // Pass 1: every row read once, its terms kept; each row's output rows.
    // A row the engine refuses later keeps its span until the gaps are closed.
    std::vector<Terms> terms(static_cast<std::size_t>(rows));
    std::vector<std::int64_t> ages(static_cast<std::size_t>(rows), -1);  // -1: the row failed
    std::vector<Standing> standing(in.balances != nullptr || in.fees != nullptr ? static_cast<std::size_t>(rows) : 0);
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(rows) + 1, 0);
    std::vector<std::vector<RowFailure>> failures(blocks.size());
    std::atomic<bool> oom{false};
    run(blocks.size(), [&](std::size_t b) {
        const Block& bl = blocks[b];
        try {
            for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                const std::int64_t g = bl.global + (r - bl.begin);
                const std::size_t gi = static_cast<std::size_t>(g);
                RowFailure failure;
                failure.index = row_base + g;
                std::int64_t age = 0;
                Standing st;
                if (!decode_with_age(batches[bl.batch], r, g, in, terms[gi], age, st, failure)) {
                    failures[b].push_back(std::move(failure));
                    continue;
                }
                ages[gi] = age;
                if (!standing.empty()) standing[gi] = std::move(st);
                offsets[gi + 1] = static_cast<std::int64_t>(S) * (terms[gi].calendar_pers() - start_of(age, st)) + lags;
            }
        } catch (const std::bad_alloc&) {
            oom.store(true);
        }
    });
    if (oom.load()) throw std::bad_alloc();
    std::size_t widest = 0;  // the longest schedule, in entries
    for (std::size_t i = 0; i < static_cast<std::size_t>(rows); ++i) {
        offsets[i + 1] += offsets[i];
        if (ages[i] >= 0) widest = std::max<std::size_t>(widest, static_cast<std::size_t>(terms[i].calendar_pers()) + 1);
    }
    const std::size_t values = static_cast<std::size_t>(offsets.back());
    // The peak: the rows' terms, ages and offsets, every worker's scratch,
    // and the output rows (eight measures, the loan, scenario and period)
    // with what the caller adds to each.
    const std::size_t per_value = kMeasureCount * sizeof(double) + 16 + in.caller_bytes_per_row;
    const std::size_t bookkeeping =
        sat_mul(static_cast<std::size_t>(rows), sizeof(Terms) + 2 * sizeof(std::int64_t) + kPerLoanBytes);
    check_peak(with_slack(sat_add(sat_add(sat_mul(values, per_value), bookkeeping),
                                  sat_mul(busy_threads(blocks.size()), scratch_bytes(widest, 1)))));
    for (auto& c : res.columns) c.assign(values, 0.0);
    res.loan.resize(values);
    res.scenario.resize(values);
    res.period.resize(values);

    std::atomic<std::int64_t> first_failure{std::numeric_limits<std::int64_t>::max()};
    for (const auto& f : failures)
        if (!f.empty()) first_failure = std::min(first_failure.load(), f.front().index - row_base);
    run(blocks.size(), [&](std::size_t b) {
        if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
        const Block& bl = blocks[b];
        if (raise && bl.global > first_failure.load(std::memory_order_relaxed)) return;
        QuietAborts quiet;
        try {
            BlockScratch& mine = scratch->mine();
            std::vector<float>& schedule = mine.schedule;
            Group& w = mine.group;
            WeightCache& weights = mine.weights;
            const Standing none;  // a row of a book without balances or fees
            for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                const std::int64_t g = bl.global + (r - bl.begin);
                const std::size_t gi = static_cast<std::size_t>(g);
                const std::int64_t age = ages[gi];
                if (age < 0) continue;  // failed in pass 1
                RowFailure failure;
                failure.index = row_base + g;
                std::size_t len = 0;
                const Standing& st = standing.empty() ? none : standing[gi];
                const bool ok = run_engine(batches[bl.batch], r, terms[gi], schedule, len, failure, oom);
                if (oom.load(std::memory_order_relaxed)) return;
                if (!ok) {
                    blame_rebased(failure, st, in, g);
                    failures[b].push_back(std::move(failure));
                    std::int64_t cur = first_failure.load(std::memory_order_relaxed);
                    while (g < cur && !first_failure.compare_exchange_weak(cur, g, std::memory_order_relaxed)) {
                    }
                    if (raise) return;
                    continue;
                }
                // A group of this loan alone: its own schedule.
                w.clear();
                w.add(schedule.data(), len, start_of(age, st), terms[gi].int_freq * terms[gi].step, st.fee);
                std::size_t o = static_cast<std::size_t>(offsets[gi]);
                for (std::size_t s = 0; s < S; ++s) {
                    const std::size_t span = static_cast<std::size_t>(w.remaining + scenarios[s].lag + 1);
                    double* acc[kMeasureCount];
                    for (std::size_t k = 0; k < kMeasureCount; ++k) acc[k] = res.columns[k].data() + o;
                    project_group(w, weights.get(s, scenarios[s], age, w.remaining), scenarios[s], acc);
                    derive_flows(res.columns, o, span, scenarios[s]);
                    for (std::size_t p = 0; p < span; ++p) {
                        res.loan[o + p] = row_base + g;
                        res.scenario[o + p] = static_cast<std::int32_t>(s);
                        res.period[o + p] = static_cast<std::int32_t>(p);
                    }
                    o += span;
                }
            }
        } catch (const std::bad_alloc&) {
            oom.store(true);
        } catch (const std::length_error&) {
            oom.store(true);
        }
    });
    scratch.reset();
    give_back_free_pages(sat_mul(busy_threads(blocks.size()), sat_mul(widest, kScratchPerEntry)));
    if (stop.load()) throw Cancelled{};
    if (oom.load()) throw std::bad_alloc();
    append_by_row(failures, res.failures);
    if (raise && !res.failures.empty()) {
        res.failures.resize(1);
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
                for (std::size_t k = 0; k < kMeasureCount; ++k)
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
    return res;
}

LoanValues compute_loan_values(const std::vector<InputBatch>& batches, const ProjectionInput& in,
                               const std::vector<Scenario>& scenarios, Valuer& valuer,
                               const std::vector<double>& prices, const double* loan_prices, OnError on_error,
                               const ChunkRunner& run, const std::atomic<bool>& stop) {
    LoanValues res;
    std::int64_t rows = 0;
    const std::vector<Block> blocks = make_chunks(batches, rows, kBlockRows);
    res.rows = rows;
    const std::size_t S = scenarios.size();
    const DiscountMode mode = valuer.spec().mode;
    const bool priced = mode == DiscountMode::Price || mode == DiscountMode::CurvePrice;
    if (priced && loan_prices == nullptr && prices.empty())
        throw ColumnarError(CallFailure::BadInput, messages::kValueNoPrice);
    const std::size_t P = priced && loan_prices == nullptr ? prices.size() : 1;
    const bool raise = on_error == OnError::Raise;
    std::int64_t max_lag = 0;
    for (const Scenario& sc : scenarios) max_lag = std::max<std::int64_t>(max_lag, sc.lag);
    const double N = valuer.spec().periods_per_year;
    PerThread<WeightCache> caches;  // the call's, gone with it

    // Pass 1: every row read once, its terms kept, and the longest run of
    // flows, which sizes the discount tables before any thread reads them.
    const std::size_t n_rows = static_cast<std::size_t>(rows);
    std::vector<Terms> terms(n_rows);
    std::vector<std::int64_t> ages(n_rows, -1);  // -1: the row failed
    std::vector<Standing> standing(n_rows);
    std::vector<std::vector<RowFailure>> failures(blocks.size());
    std::vector<std::int64_t> longest(blocks.size(), 0);
    std::atomic<bool> oom{false};
    run(blocks.size(), [&](std::size_t b) {
        const Block& bl = blocks[b];
        try {
            for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                const std::int64_t g = bl.global + (r - bl.begin);
                const std::size_t gi = static_cast<std::size_t>(g);
                RowFailure failure;
                failure.index = g;
                std::int64_t age = 0;
                if (!decode_with_age(batches[bl.batch], r, g, in, terms[gi], age, standing[gi], failure)) {
                    failures[b].push_back(std::move(failure));
                    continue;
                }
                ages[gi] = age;
                longest[b] = std::max<std::int64_t>(longest[b], terms[gi].calendar_pers() - start_of(age, standing[gi]));
            }
        } catch (const std::bad_alloc&) {
            oom.store(true);
        }
    });
    if (oom.load()) throw std::bad_alloc();
    std::int64_t horizon = 0;
    for (const std::int64_t l : longest) horizon = std::max(horizon, l);
    valuer.reserve(static_cast<std::size_t>(horizon + max_lag));

    // Output row o = (row * S + scenario) * P + price; a failed row's rows
    // are closed up at the end.
    const std::size_t out_rows = n_rows * S * P;
    check_memory_bound(out_rows * (kValueColumnCount * sizeof(double) + 16));
    for (auto& c : res.columns) c.assign(out_rows, 0.0);
    res.loan.resize(out_rows);
    res.scenario.resize(out_rows);
    res.price.resize(out_rows);
    std::vector<std::uint8_t> ran(n_rows, 0);

    std::atomic<std::int64_t> first_failure{std::numeric_limits<std::int64_t>::max()};
    for (const auto& f : failures)
        if (!f.empty()) first_failure = std::min(first_failure.load(), f.front().index);
    run(blocks.size(), [&](std::size_t b) {
        if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
        const Block& bl = blocks[b];
        if (raise && bl.global > first_failure.load(std::memory_order_relaxed)) return;
        QuietAborts quiet;
        thread_local std::vector<float> schedule;
        thread_local LoanScratch scratch;
        thread_local std::vector<double> net, principal;
        const auto failed = [&](std::int64_t g) {
            std::int64_t cur = first_failure.load(std::memory_order_relaxed);
            while (g < cur && !first_failure.compare_exchange_weak(cur, g, std::memory_order_relaxed)) {
            }
        };
        try {
            WeightCache& weights = caches.mine();
            for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                if (stop.load(std::memory_order_relaxed)) return;
                const std::int64_t g = bl.global + (r - bl.begin);
                const std::size_t gi = static_cast<std::size_t>(g);
                const std::int64_t age = ages[gi];
                if (age < 0) continue;  // failed in pass 1
                const Standing& st = standing[gi];
                RowFailure failure;
                failure.index = g;
                std::size_t len = 0;
                const bool ok = run_engine(batches[bl.batch], r, terms[gi], schedule, len, failure, oom);
                if (oom.load(std::memory_order_relaxed)) return;
                if (!ok) {
                    blame_rebased(failure, st, in, g);
                    failures[b].push_back(std::move(failure));
                    failed(g);
                    if (raise) return;
                    continue;
                }
                const LoanSchedule loan{schedule.data(), len, start_of(age, st), terms[gi].int_freq * terms[gi].step,
                                        &st.fee};
                const std::int64_t R = loan.remaining();
                const double start_balance = static_cast<double>(schedule[4 * len + static_cast<std::size_t>(loan.start)]);
                // The loan's coupon as a yield: where a solve for it starts.
                const double guess = static_cast<double>(terms[gi].rate) * N;
                bool no_yield = false;
                double unsolved_price = 0.0;
                for (std::size_t s = 0; s < S; ++s) {
                    const std::size_t span = static_cast<std::size_t>(R + scenarios[s].lag + 1);
                    if (net.size() < span) {
                        net.resize(span);
                        principal.resize(span);
                    }
                    loan_net_flows_of(loan, weights.get(s, scenarios[s], age, R), scenarios[s], span, scratch,
                                      net.data(), principal.data());
                    for (std::size_t j = 0; j < P; ++j) {
                        const double price = !priced ? 0.0 : loan_prices != nullptr ? loan_prices[g] : prices[j];
                        const std::size_t o = (gi * S + s) * P + j;
                        ValueRow v;
                        if (!valuer.value(net.data(), principal.data(), span, start_balance, price, guess, v) &&
                            !no_yield) {
                            no_yield = true;
                            unsolved_price = price;
                        }
                        for (std::size_t c = 0; c < kValueColumnCount; ++c) res.columns[c][o] = v[c];
                        res.loan[o] = g;
                        res.scenario[o] = static_cast<std::int32_t>(s);
                        res.price[o] = static_cast<std::int32_t>(j);
                    }
                }
                ran[gi] = 1;
                if (no_yield) {
                    refuse_row(failure, FailureCode::NoYield, Field::None, messages::kNoYield, unsolved_price,
                               terms[gi]);
                    failure.has_value = priced;
                    if (!priced) failure.value.clear();
                    failures[b].push_back(std::move(failure));
                    failed(g);
                    if (raise) return;
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
    append_by_row(failures, res.failures);
    if (raise && !res.failures.empty()) {
        res.failures.resize(1);
        for (auto& c : res.columns) std::vector<double>().swap(c);
        res.loan.clear();
        res.scenario.clear();
        res.price.clear();
        return res;
    }
    // Close the rows of loans that did not run.
    std::size_t w = 0;
    const std::size_t per_row = S * P;
    for (std::size_t i = 0; i < n_rows; ++i) {
        if (!ran[i]) continue;
        const std::size_t from = i * per_row;
        if (from != w) {
            for (auto& c : res.columns)
                std::copy_n(c.begin() + static_cast<std::ptrdiff_t>(from), per_row, c.begin() + static_cast<std::ptrdiff_t>(w));
            std::copy_n(res.loan.begin() + static_cast<std::ptrdiff_t>(from), per_row,
                        res.loan.begin() + static_cast<std::ptrdiff_t>(w));
            std::copy_n(res.scenario.begin() + static_cast<std::ptrdiff_t>(from), per_row,
                        res.scenario.begin() + static_cast<std::ptrdiff_t>(w));
            std::copy_n(res.price.begin() + static_cast<std::ptrdiff_t>(from), per_row,
                        res.price.begin() + static_cast<std::ptrdiff_t>(w));
        }
        w += per_row;
    }
    for (auto& c : res.columns) c.resize(w);
    res.loan.resize(w);
    res.scenario.resize(w);
    res.price.resize(w);
    return res;
}

}  // namespace paywheel::columnar
