#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
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

// The model loan by loan: per-loan projections and per-loan values, both run
// by one driver (read_rows, run_loans, close_gaps) that differs between them
// only in what it does with each loan's schedule.
namespace paywheel::columnar {

using namespace proj;

namespace {

// What the first pass keeps of every row for the second.
struct LoanRows {
    std::vector<Block> blocks;
    std::int64_t rows = 0;
    std::int64_t row_base = 0;  // added to every failure's index
    std::vector<Terms> terms;
    // Per row: its age; -1 once the row failed (in either pass). A row that
    // ran and then failed (no_yield) keeps its age and its output rows.
    std::vector<std::int64_t> ages;
    std::vector<Standing> standing;  // empty when no row has a balance or a fee
    std::vector<std::vector<RowFailure>> failures;  // per block

    Standing none;  // a row of a book without balances or fees

    const Standing& standing_of(std::size_t gi) const noexcept { return standing.empty() ? none : standing[gi]; }
    // The remaining term R of a row that was read, in periods of the call's
    // calendar.
    std::int64_t remaining(std::size_t gi) const noexcept {
        return terms[gi].calendar_pers() - start_of(ages[gi], standing_of(gi));
    }
    // The longest schedule of a row that was read, in entries.
    std::size_t widest() const noexcept {
        std::size_t w = 0;
        for (std::size_t i = 0; i < ages.size(); ++i)
            if (ages[i] >= 0) w = std::max<std::size_t>(w, static_cast<std::size_t>(terms[i].calendar_pers()) + 1);
        return w;
    }
};

// Pass 1: every row read once and checked, its terms kept. Throws
// std::bad_alloc.
LoanRows read_rows(const std::vector<InputBatch>& batches, const ProjectionInput& in, std::int64_t row_base,
                   const ChunkRunner& run) {
    LoanRows lr;
    lr.row_base = row_base;
    lr.blocks = make_chunks(batches, lr.rows, kBlockRows);
    const std::size_t n = static_cast<std::size_t>(lr.rows);
    lr.terms.resize(n);
    lr.ages.assign(n, -1);
    if (in.balances != nullptr || in.fees != nullptr) lr.standing.resize(n);
    lr.failures.resize(lr.blocks.size());
    std::atomic<bool> oom{false};
    run(lr.blocks.size(), [&](std::size_t b) {
        const Block& bl = lr.blocks[b];
        try {
            for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                const std::int64_t g = bl.global + (r - bl.begin);
                const std::size_t gi = static_cast<std::size_t>(g);
                RowFailure failure;
                failure.index = row_base + g;
                std::int64_t age = 0;
                Standing st;
                if (!decode_with_age(batches[bl.batch], r, g, in, lr.terms[gi], age, st, failure)) {
                    lr.failures[b].push_back(std::move(failure));
                    continue;
                }
                lr.ages[gi] = age;
                if (!lr.standing.empty()) lr.standing[gi] = std::move(st);
            }
        } catch (const std::bad_alloc&) {
            oom.store(true);
        }
    });
    if (oom.load()) throw std::bad_alloc();
    return lr;
}

// Pass 2: the engine on every row pass 1 kept, then `loan(scratch, g, age,
// standing, len, failure)` on its schedule (scratch.schedule, `len` entries
// a column), which returns false with `failure` filled when the loan ran but
// failed. Each worker's Scratch is the call's and goes with it: the pool's
// threads outlive every call. `scratch_per_entry`: the bytes a Scratch holds
// per schedule entry, handed back once it is gone. With `raise`, blocks past
// the earliest failure are not run. Throws Cancelled or std::bad_alloc.
template <typename Scratch, typename Loan>
void run_loans(const std::vector<InputBatch>& batches, const ProjectionInput& in, LoanRows& lr, bool raise,
               std::size_t scratch_per_entry, const ChunkRunner& run, const std::atomic<bool>& stop, Loan&& loan) {
    const std::size_t widest = lr.widest();
    std::atomic<bool> oom{false};
    std::atomic<std::int64_t> first_failure{std::numeric_limits<std::int64_t>::max()};
    for (const auto& f : lr.failures)
        if (!f.empty()) first_failure = std::min(first_failure.load(), f.front().index - lr.row_base);
    {
        PerThread<Scratch> scratch;
        run(lr.blocks.size(), [&](std::size_t b) {
            if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
            const Block& bl = lr.blocks[b];
            if (raise && bl.global > first_failure.load(std::memory_order_relaxed)) return;
            QuietAborts quiet;
            const auto failed = [&](std::int64_t g, RowFailure&& failure) {
                lr.failures[b].push_back(std::move(failure));
                std::int64_t cur = first_failure.load(std::memory_order_relaxed);
                while (g < cur && !first_failure.compare_exchange_weak(cur, g, std::memory_order_relaxed)) {
                }
            };
            try {
                Scratch& mine = scratch.mine();
                for (std::int64_t r = bl.begin; r < bl.end; ++r) {
                    if (stop.load(std::memory_order_relaxed)) return;
                    const std::int64_t g = bl.global + (r - bl.begin);
                    const std::size_t gi = static_cast<std::size_t>(g);
                    const std::int64_t age = lr.ages[gi];
                    if (age < 0) continue;  // failed in pass 1
                    const Standing& st = lr.standing_of(gi);
                    RowFailure failure;
                    failure.index = lr.row_base + g;
                    std::size_t len = 0;
                    const bool ok = run_engine(batches[bl.batch], r, lr.terms[gi], mine.schedule, len, failure, oom,
                                               mine.shapes);
                    if (oom.load(std::memory_order_relaxed)) return;
                    if (!ok) {
                        blame_rebased(failure, st, in, g);
                        lr.ages[gi] = -1;
                        failed(g, std::move(failure));
                        if (raise) return;
                        continue;
                    }
                    if (!loan(mine, g, age, st, len, failure)) {
                        failed(g, std::move(failure));
                        if (raise) return;
                    }
                }
            } catch (const std::bad_alloc&) {
                oom.store(true);
            } catch (const std::length_error&) {
                oom.store(true);
            }
        });
    }
    give_back_free_pages(sat_mul(busy_threads(lr.blocks.size()), sat_mul(widest, scratch_per_entry)));
    if (stop.load()) throw Cancelled{};
    if (oom.load()) throw std::bad_alloc();
}

// Every output vector of a result, the columns first.
template <typename F>
void each_output(LoanProjection& res, F f) {
    for (auto& c : res.columns) f(c);
    f(res.loan);
    f(res.scenario);
    f(res.period);
}
template <typename F>
void each_output(LoanValues& res, F f) {
    for (auto& c : res.columns) f(c);
    f(res.loan);
    f(res.scenario);
    f(res.price);
}

// The failures in row order into res; with `raise`, the earliest alone and
// no output rows. Else the output rows of rows that failed are closed up:
// row i's are `span(i)` = {first, count}.
template <typename Result, typename Span>
void close_gaps(Result& res, LoanRows& lr, bool raise, Span span) {
    append_by_row(lr.failures, res.failures);
    if (raise && !res.failures.empty()) {
        res.failures.resize(1);
        each_output(res, [](auto& v) { std::remove_reference_t<decltype(v)>().swap(v); });
        return;
    }
    std::size_t w = 0;
    for (std::size_t i = 0; i < lr.ages.size(); ++i) {
        if (lr.ages[i] < 0) continue;
        const auto [from, count] = span(i);
        if (from != w)
            each_output(res, [&, from = from, count = count](auto& v) {
                std::copy_n(v.begin() + static_cast<std::ptrdiff_t>(from), count,
                            v.begin() + static_cast<std::ptrdiff_t>(w));
            });
        w += count;
    }
    each_output(res, [w](auto& v) { v.resize(w); });
}

// What a worker reuses from loan to loan of one call.
struct ProjectScratch {
    ScheduleScratch schedule;
    ShapeScratch shapes;
    Group group;
    WeightCache weights;
};

struct ValueScratch {
    ScheduleScratch schedule;
    ShapeScratch shapes;
    LoanScratch flows;
    std::vector<double> net, principal;
    WeightCache weights;
};

// Per schedule entry: the engine's five binary32 columns, the loan
// kernel's four float64 arrays and its net flow and principal.
constexpr std::size_t kValueScratchPerEntry = kColumns * sizeof(float) + 6 * sizeof(double);

}  // namespace

LoanProjection compute_loan_projection(const std::vector<InputBatch>& batches, const ProjectionInput& in,
                                       const std::vector<Scenario>& scenarios, OnError on_error, std::int64_t row_base,
                                       const ChunkRunner& run, const std::atomic<bool>& stop) {
    LoanProjection res;
    const std::size_t S = scenarios.size();
    const bool raise = on_error == OnError::Raise;
    std::int64_t lags = 0;
    for (const Scenario& sc : scenarios) lags += sc.lag + 1;

    LoanRows lr = read_rows(batches, in, row_base, run);
    res.rows = lr.rows;
    const std::size_t rows = static_cast<std::size_t>(lr.rows);
    // Each row's output rows, periods 0..R + lag of every scenario. A row
    // the engine refuses later keeps its span until the gaps are closed.
    std::vector<std::int64_t> offsets(rows + 1, 0);
    for (std::size_t i = 0; i < rows; ++i)
        offsets[i + 1] = offsets[i] + (lr.ages[i] >= 0 ? static_cast<std::int64_t>(S) * lr.remaining(i) + lags : 0);
    const std::size_t widest = lr.widest();
    const std::size_t values = static_cast<std::size_t>(offsets.back());
    // The peak: the rows' terms, ages and offsets, every worker's scratch,
    // and the output rows (eight measures, the loan, scenario and period)
    // with what the caller adds to each.
    const std::size_t per_value = kMeasureCount * sizeof(double) + 16 + in.caller_bytes_per_row;
    const std::size_t bookkeeping = sat_mul(rows, sizeof(Terms) + 2 * sizeof(std::int64_t) + kPerLoanBytes);
    check_peak(with_slack(sat_add(sat_add(sat_mul(values, per_value), bookkeeping),
                                  sat_mul(busy_threads(lr.blocks.size()), scratch_bytes(widest, 1)))));
    for (auto& c : res.columns) c.assign(values, 0.0);
    res.loan.resize(values);
    res.scenario.resize(values);
    res.period.resize(values);

    run_loans<ProjectScratch>(
        batches, in, lr, raise, kScratchPerEntry, run, stop,
        [&](ProjectScratch& mine, std::int64_t g, std::int64_t age, const Standing& st, std::size_t len,
            RowFailure&) {
            const std::size_t gi = static_cast<std::size_t>(g);
            // A group of this loan alone: its own schedule.
            Group& w = mine.group;
            w.clear();
            w.add(mine.schedule.data(), len, start_of(age, st), lr.terms[gi].int_freq * lr.terms[gi].step, st.fee);
            std::size_t o = static_cast<std::size_t>(offsets[gi]);
            for (std::size_t s = 0; s < S; ++s) {
                const std::size_t span = static_cast<std::size_t>(w.remaining + scenarios[s].lag + 1);
                double* acc[kMeasureCount];
                for (std::size_t k = 0; k < kMeasureCount; ++k) acc[k] = res.columns[k].data() + o;
                project_group(w, mine.weights.get(s, scenarios[s], age, w.remaining), scenarios[s], acc);
                derive_flows(res.columns, o, span, scenarios[s]);
                for (std::size_t p = 0; p < span; ++p) {
                    res.loan[o + p] = row_base + g;
                    res.scenario[o + p] = static_cast<std::int32_t>(s);
                    res.period[o + p] = static_cast<std::int32_t>(p);
                }
                o += span;
            }
            return true;
        });
    close_gaps(res, lr, raise, [&](std::size_t i) {
        const std::size_t from = static_cast<std::size_t>(offsets[i]);
        return std::pair<std::size_t, std::size_t>{from, static_cast<std::size_t>(offsets[i + 1]) - from};
    });
    return res;
}

LoanValues compute_loan_values(const std::vector<InputBatch>& batches, const ProjectionInput& in,
                               const std::vector<Scenario>& scenarios, Valuer& valuer,
                               const std::vector<double>& prices, const double* loan_prices, OnError on_error,
                               const ChunkRunner& run, const std::atomic<bool>& stop) {
    LoanValues res;
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

    LoanRows lr = read_rows(batches, in, 0, run);
    res.rows = lr.rows;
    const std::size_t n_rows = static_cast<std::size_t>(lr.rows);
    // The longest run of flows sizes the discount tables before any thread
    // reads them.
    std::int64_t horizon = 0;
    for (std::size_t i = 0; i < n_rows; ++i)
        if (lr.ages[i] >= 0) horizon = std::max(horizon, lr.remaining(i));
    valuer.reserve(static_cast<std::size_t>(horizon + max_lag));

    // Output row o = (row * S + scenario) * P + price; a failed row's rows
    // are closed up at the end.
    const std::size_t out_rows = n_rows * S * P;
    check_memory_bound(out_rows * (kValueColumnCount * sizeof(double) + 16));
    for (auto& c : res.columns) c.assign(out_rows, 0.0);
    res.loan.resize(out_rows);
    res.scenario.resize(out_rows);
    res.price.resize(out_rows);

    run_loans<ValueScratch>(
        batches, in, lr, raise, kValueScratchPerEntry, run, stop,
        [&](ValueScratch& mine, std::int64_t g, std::int64_t age, const Standing& st, std::size_t len,
            RowFailure& failure) {
            const std::size_t gi = static_cast<std::size_t>(g);
            const ScheduleView schedule = mine.schedule.data();
            const LoanSchedule loan{schedule, len, start_of(age, st), lr.terms[gi].int_freq * lr.terms[gi].step,
                                    &st.fee};
            const std::int64_t R = loan.remaining();
            const double start_balance = schedule.at(4 * len + static_cast<std::size_t>(loan.start));
            // The loan's coupon as a yield: where a solve for it starts.
            const double guess = static_cast<double>(lr.terms[gi].rate) * N;
            bool no_yield = false;
            double unsolved_price = 0.0;
            for (std::size_t s = 0; s < S; ++s) {
                const std::size_t span = static_cast<std::size_t>(R + scenarios[s].lag + 1);
                if (mine.net.size() < span) {
                    mine.net.resize(span);
                    mine.principal.resize(span);
                }
                loan_net_flows_of(loan, mine.weights.get(s, scenarios[s], age, R), scenarios[s], span, mine.flows,
                                  mine.net.data(), mine.principal.data());
                for (std::size_t j = 0; j < P; ++j) {
                    const double price = !priced ? 0.0 : loan_prices != nullptr ? loan_prices[g] : prices[j];
                    const std::size_t o = (gi * S + s) * P + j;
                    ValueRow v;
                    if (!valuer.value(mine.net.data(), mine.principal.data(), span, start_balance, price, guess, v) &&
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
            if (!no_yield) return true;
            // The loan ran: its rows stay, named by the failure.
            refuse_row(failure, FailureCode::NoYield, Field::None, messages::kNoYield, unsolved_price,
                       lr.terms[gi]);
            failure.has_value = priced;
            if (!priced) failure.value.clear();
            return false;
        });
    const std::size_t per_row = S * P;
    close_gaps(res, lr, raise, [per_row](std::size_t i) {
        return std::pair<std::size_t, std::size_t>{i * per_row, per_row};
    });
    return res;
}

}  // namespace paywheel::columnar
