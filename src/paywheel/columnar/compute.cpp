#include "paywheel/columnar/compute.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "paywheel/columnar/cent_rows.hpp"
#include "paywheel/columnar/shapes.hpp"
#include "paywheel/columnar/per_thread.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/memory_bound.hpp"
#include "paywheel/core/message_text.hpp"
#include "paywheel/core/messages.hpp"
#include "paywheel/core/numeric.hpp"

namespace paywheel::columnar {

std::int64_t row_length(std::int32_t pers) noexcept {
    const ScheduleShape shape = schedule_shape(pers);
    if (shape.per != shape.rest) return -1;
    return static_cast<std::int64_t>(shape.rest);
}

std::vector<Chunk> make_chunks(const std::vector<InputBatch>& batches, std::int64_t& rows, std::int64_t chunk_rows) {
    std::vector<Chunk> chunks;
    rows = 0;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        for (std::int64_t r = 0; r < batches[b].rows; r += chunk_rows)
            chunks.push_back(Chunk{b, r, std::min(batches[b].rows, r + chunk_rows), rows + r});
        rows += batches[b].rows;
    }
    return chunks;
}

TooLarge too_large_for_memory(std::size_t bytes, std::size_t limit) {
    return TooLarge(bytes, limit,
                    bytes == SIZE_MAX ? std::string(messages::kPastAddressSpace)
                                      : messages::text(messages::kPastMemory, bytes, limit));
}

bool fill_row(const InputBatch& batch, std::int64_t r, const Terms& terms, const ScheduleOut& out,
              RowFailure& failure, std::atomic<bool>& oom, ShapeScratch& shapes) noexcept {
    const LoanTerms loan = terms.loan();
    try {
        if (terms.shaped()) {
            if (fill_shaped(batch, r, terms, out, failure, shapes)) return true;
        } else {
            Blame blame{FailureCode::Null, Field::None};
            const char* reason = nullptr;
            if (terms.age > 0 && loan.pers < loan.cap_freq) {
                // A standing loan with less than a capital period left owes
                // its balance at maturity (the engine would repay it at once).
                blame = Blame{FailureCode::SingleCapitalBlock, Field::CapFreq};
                reason = messages::kShapeSingleBlock;
            } else {
                try {
                    fill_schedule(loan, out);
                    // A zero rate the engine runs to NaN (an interest period
                    // as long as the loan) is a zero-rate loan all the same.
                    if (!batch.strict && loan.rate == 0.0f && holds_nan(out, schedule_shape(loan.pers).rest)) {
                        blame = Blame{FailureCode::ZeroRate, Field::Rate};
                        reason = messages::kNanSchedule;
                    }
                } catch (const Abort& a) {
                    // The engine's aborts all name a code and a field.
                    if (!a.blame()) throw;
                    blame = *a.blame();
                    reason = a.message();
                }
            }
            if (reason != nullptr) {
                // All a standing loan has left is one capital date: it pays
                // its balance then, with the interest due, in strict mode too.
                const bool final_block = terms.age > 0 && blame.code == FailureCode::SingleCapitalBlock;
                const bool covered = (!batch.strict || final_block) && lender_covers(loan, blame);
                // The lender's schedules repay what was lent; a negative
                // amount is refused as the engine refuses it.
                if (covered && loan.amt < 0.0f) {
                    blame = Blame{FailureCode::DecreasingBlocks, Field::Amt};
                    reason = messages::kRemovalIndex;
                }
                if (covered && !(loan.amt < 0.0f)) {
                    fill_lender(loan, blame, out, terms.age);
                } else {
                    failure.code = blame.code;
                    failure.field = blame.field;
                    failure.reason = reason;
                    failure.value = quote_field(batch, r, blame.field, terms);
                    failure.has_value = blame.field != Field::None;
                    failure.has_terms = true;
                    failure.terms = terms;
                    return false;
                }
            }
            // Handing out NaN as a schedule would be a wrong result reported
            // as success.
            if (!holds_nan(out, schedule_shape(loan.pers).rest)) return true;
            failure.code = FailureCode::NanSchedule;
            failure.field = blame_nan(loan);
            failure.reason = messages::kNanSchedule;
        }
        failure.value = quote_field(batch, r, failure.field, terms);
        failure.has_value = failure.field != Field::None;
    } catch (...) {
        // Memory ran out (nothing else leaves the engine; an abort naming
        // no code would be a fault of this layer, never the row's): the
        // whole call fails with MemoryError.
        oom.store(true);
    }
    failure.has_terms = true;
    failure.terms = terms;
    return false;
}

bool fill_row(const InputBatch& batch, std::int64_t r, const Terms& terms, const cents::CentOut& out,
              RowFailure& failure, std::atomic<bool>& oom) noexcept {
    try {
        if (fill_cent_row(batch, r, terms, out, failure)) return true;
        failure.value = quote_field(batch, r, failure.field, terms);
        failure.has_value = failure.field != Field::None;
    } catch (...) {
        oom.store(true);
    }
    failure.has_terms = true;
    failure.terms = terms;
    return false;
}

namespace {

// Rows per chunk of the cash-flow sums: their blocks. It depends on the
// input's batches only, never on the thread count.
constexpr std::int64_t kChunkRows = 512;

// Rows per chunk of a schedule fill, where the chunking does not change the
// result: small batches (a stream's) still spread over the workers.
std::int64_t fill_chunk_rows(std::int64_t rows) noexcept { return std::clamp<std::int64_t>(rows / 16, 8, kChunkRows); }

// Failures from any worker; rare, so one lock is enough.
class FailureLog {
public:
    void add(RowFailure f) {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_.push_back(std::move(f));
    }
    std::vector<RowFailure> take_sorted() {
        std::sort(failures_.begin(), failures_.end(),
                  [](const RowFailure& a, const RowFailure& b) { return a.index < b.index; });
        return std::move(failures_);
    }

private:
    std::mutex mutex_;
    std::vector<RowFailure> failures_;
};

void lower_to(std::atomic<std::int64_t>& target, std::int64_t value) noexcept {
    std::int64_t cur = target.load(std::memory_order_relaxed);
    while (value < cur && !target.compare_exchange_weak(cur, value, std::memory_order_relaxed)) {
    }
}

enum : std::uint8_t { kPending = 0, kFailed = 1 };


// Row g as it stands (StandingColumns): its age and balance checked; with a
// balance its terms become the standing loan's, without one `skip` is the
// number of leading periods of its schedule left out.
bool stand_row(const StandingColumns& in, const InputBatch& batch, std::int64_t r, std::int64_t g, Terms& terms,
               std::int32_t& skip, DecodeFailure& why) noexcept {
    skip = 0;
    std::int64_t age = in.ages != nullptr ? in.ages[g] : 0;
    bool has_age = in.ages != nullptr, has_balance = in.balances != nullptr;
    float balance = has_balance ? num::narrow_to_float(in.balances[g]) : 0.0f;
    std::int64_t balance_cents = 0;
    bool exact_cents = false;  // the balance's cents already read from the batch
    if (in.from_batches) {
        bool from_column = false;
        if (!read_standing_columns(batch, r, age, has_age, balance, balance_cents, from_column, why)) return false;
        exact_cents = from_column && terms.in_cents;
        has_balance = has_balance || from_column;
    }
    if (!has_age && !has_balance) return true;
    if (age < 0 || age >= terms.pers) {
        why.code = FailureCode::BadAge;
        why.field = Field::Age;
        why.reason = messages::kBadAge;
        // The lowest age is one that is not an integer, which the caller quotes.
        why.has_value = false;
        if (age != std::numeric_limits<std::int64_t>::min()) {
            try {
                why.value = std::to_string(age);
                why.has_value = true;
            } catch (...) {
            }
        }
        return false;
    }
    if (!has_balance) {
        skip = static_cast<std::int32_t>(age);
        return true;
    }
    if (terms.in_cents && !exact_cents && !cents::cents_of(in.balances[g], balance_cents)) balance_cents = 0;
    if (terms.in_cents ? balance_cents <= 0 : !(balance > 0.0f && std::isfinite(balance))) {
        why.code = FailureCode::BadBalance;
        why.field = Field::Balance;
        why.reason = messages::kBadBalance;
        why.has_value = false;  // the caller quotes the value as read
        return false;
    }
    terms.amt = balance;
    terms.cents = balance_cents;
    terms.pers = static_cast<std::int32_t>(terms.pers - age);
    terms.age = static_cast<std::int32_t>(age);
    return true;
}

// Reads a row's terms and its length: false with `why` filled when the row
// fails before the engine sees it.
bool read_row(const InputBatch& batch, std::int64_t r, std::int64_t g, const StandingColumns& standing, Terms& terms,
              std::int32_t& skip, std::int64_t& len, DecodeFailure& why) noexcept {
    if (!decode_row(batch, r, terms, why) || !stand_row(standing, batch, r, g, terms, skip, why)) return false;
    len = row_length(terms.pers);
    if (len >= 0) {
        len -= skip;
        return true;
    }
    why.code = FailureCode::TooLarge;
    why.field = Field::Pers;
    why.reason = messages::kUnevenColumns;
    why.has_value = false;
    try {
        why.value = std::to_string(terms.pers);
        why.has_value = true;
    } catch (...) {
    }
    return false;
}

// Periods skip.. of a whole schedule `s` (`len` entries a column) into
// `cols`, numbered from 0.
template <typename T>
void keep_from(const T* s, std::size_t len, std::int32_t skip, T* const cols[kColumns]) noexcept {
    const auto from = static_cast<std::size_t>(skip);
    for (std::size_t c = 1; c < kColumns; ++c) std::copy(s + c * len + from, s + (c + 1) * len, cols[c]);
    for (std::size_t k = 0; k + from < len; ++k) cols[0][k] = static_cast<T>(static_cast<std::int32_t>(k));
    // Period 0 is the age, its payment made: what stands then is the balance.
    cols[1][0] = cols[2][0] = cols[3][0] = T(0);
}

template <typename T>
T* whole_schedule(std::vector<T>& scratch, std::size_t len) {
    if (scratch.size() < len * kColumns) {
        check_memory_bound(len * kColumns * sizeof(T));
        scratch.resize(len * kColumns);
    }
    return scratch.data();
}

// fill_row for a row whose schedule leaves out its first `skip` periods:
// the whole schedule into `scratch`, then periods skip.. into `out`,
// numbered from 0. May throw std::bad_alloc.
bool fill_row_from(const InputBatch& batch, std::int64_t r, const Terms& terms, std::int32_t skip,
                   const ScheduleOut& out, std::vector<float>& scratch, RowFailure& failure, std::atomic<bool>& oom,
                   ShapeScratch& shapes) {
    if (skip == 0) return fill_row(batch, r, terms, out, failure, oom, shapes);
    const auto len = static_cast<std::size_t>(row_length(terms.pers));
    float* s = whole_schedule(scratch, len);
    if (!fill_row(batch, r, terms, ScheduleOut{s, s + len, s + 2 * len, s + 3 * len, s + 4 * len, len, len}, failure,
                  oom, shapes))
        return false;
    float* const cols[kColumns] = {out.per, out.cap, out.interest, out.pmt, out.bal};
    keep_from(s, len, skip, cols);
    return true;
}

// The same in cent mode.
bool fill_row_from(const InputBatch& batch, std::int64_t r, const Terms& terms, std::int32_t skip,
                   const cents::CentOut& out, std::vector<double>& scratch, RowFailure& failure,
                   std::atomic<bool>& oom) {
    if (skip == 0) return fill_row(batch, r, terms, out, failure, oom);
    const auto len = static_cast<std::size_t>(row_length(terms.pers));
    double* s = whole_schedule(scratch, len);
    if (!fill_row(batch, r, terms, cents::CentOut{s, s + len, s + 2 * len, s + 3 * len, s + 4 * len, len}, failure,
                  oom))
        return false;
    double* const cols[kColumns] = {out.per, out.cap, out.interest, out.pmt, out.bal};
    keep_from(s, len, skip, cols);
    return true;
}

std::size_t checked_mul(std::size_t a, std::size_t b) {
    if (a != 0 && b > SIZE_MAX / a) return SIZE_MAX;
    return a * b;
}
std::size_t checked_add(std::size_t a, std::size_t b) { return b > SIZE_MAX - a ? SIZE_MAX : a + b; }

}  // namespace

ScheduleResult compute_schedules(const std::vector<InputBatch>& batches, const ComputeOptions& opt,
                                 const ChunkRunner& run, const std::atomic<bool>& stop) {
    ScheduleResult res;
    std::int64_t total_rows = 0;
    for (const InputBatch& b : batches) total_rows += b.rows;
    std::int64_t rows = 0;
    const std::vector<Chunk> chunks = make_chunks(batches, rows, fill_chunk_rows(total_rows));
    res.rows = rows;
    const bool raise = opt.on_error == OnError::Raise;
    const auto n_rows = static_cast<std::size_t>(rows);

    // The call's own copy of every row's terms: 20 bytes a loan, against the
    // hundreds its schedule takes.
    const std::size_t bookkeeping = checked_add(checked_mul(n_rows, sizeof(Terms) + 1), (n_rows + 1) * sizeof(std::int64_t));
    const std::size_t bound = memory_bound();
    if (bookkeeping > bound) throw too_large_for_memory(bookkeeping, bound);
    res.offsets = Region::allocate((n_rows + 1) * sizeof(std::int64_t));
    std::int64_t* offsets = res.offsets.as<std::int64_t>();
    offsets[0] = 0;
    std::vector<Terms> terms(n_rows);
    // Periods left out of the front of each row's schedule (an age without a balance).
    std::vector<std::int32_t> skips(opt.standing.ages != nullptr || opt.standing.from_batches ? n_rows : 0);
    std::vector<std::uint8_t> status(n_rows, kPending);
    FailureLog log;
    std::atomic<std::int64_t> first_failure{std::numeric_limits<std::int64_t>::max()};
    std::atomic<bool> oom{false};

    // Pass 1: every row's terms, read once, and from them its length.
    run(chunks.size(), [&](std::size_t c) {
        if (stop.load(std::memory_order_relaxed)) return;
        const Chunk& ch = chunks[c];
        const InputBatch& batch = batches[ch.batch];
        for (std::int64_t r = ch.begin; r < ch.end; ++r) {
            const std::int64_t g = ch.global + (r - ch.begin);
            DecodeFailure why;
            std::int64_t len = 0;
            std::int32_t skip = 0;
            const bool ok = read_row(batch, r, g, opt.standing, terms[static_cast<std::size_t>(g)], skip, len, why);
            if (!skips.empty()) skips[static_cast<std::size_t>(g)] = skip;
            if (!ok) {
                len = 0;
                status[static_cast<std::size_t>(g)] = kFailed;
                try {
                    log.add(failure_of(opt.row_base + g, why));
                } catch (...) {
                    oom.store(true);
                }
                lower_to(first_failure, g);
            }
            offsets[g + 1] = len;
        }
    });
    if (stop.load()) throw Cancelled();
    if (oom.load()) throw std::bad_alloc();
    for (std::int64_t i = 0; i < rows; ++i) offsets[i + 1] += offsets[i];

    const std::size_t values = static_cast<std::size_t>(offsets[rows]);
    const std::size_t width = value_bytes(batches);
    res.cents = width == sizeof(double);
    const std::size_t per_value = kColumns * width + (opt.layout == Layout::Long ? sizeof(std::int32_t) : 0) +
                                  (opt.calendar ? sizeof(std::int32_t) : 0);
    const std::size_t need = checked_add(checked_mul(values, per_value), bookkeeping);
    if (need > bound) throw too_large_for_memory(need, bound);
    // Every value of a kept row is written below, and a failed row's span
    // is closed up or the result dropped, so these need no zero fill.
    for (std::size_t k = 0; k < kColumns; ++k) res.columns[k] = Region::allocate_for_overwrite(values * width);
    if (opt.layout == Layout::Long) res.loan = Region::allocate_for_overwrite(values * sizeof(std::int32_t));
    if (opt.calendar) res.calendar = Region::allocate_for_overwrite(values * sizeof(std::int32_t));

    // Pass 2: the engine on each row's own copy of its terms, each worker
    // writing (and so faulting in) the pages of its own rows.
    PerThread<ShapeScratch> shape_scratch;  // the call's, gone with it
    run(chunks.size(), [&](std::size_t c) {
        if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
        const Chunk& ch = chunks[c];
        if (raise && ch.global > first_failure.load(std::memory_order_relaxed)) return;
        const InputBatch& batch = batches[ch.batch];
        QuietAborts quiet;
        ShapeScratch* shapes = nullptr;
        try {
            shapes = &shape_scratch.mine();
        } catch (...) {
            oom.store(true);
            return;
        }
        float* cols[kColumns];
        double* cols64[kColumns];
        for (std::size_t k = 0; k < kColumns; ++k) {
            cols[k] = res.columns[k].as<float>();
            cols64[k] = res.columns[k].as<double>();
        }
        std::int32_t* loan = res.loan.as<std::int32_t>();
        std::vector<float> scratch;  // a whole schedule, for rows with an age and no balance
        std::vector<double> scratch64;
        for (std::int64_t r = ch.begin; r < ch.end; ++r) {
            const std::int64_t g = ch.global + (r - ch.begin);
            if (raise && g > first_failure.load(std::memory_order_relaxed)) return;
            if (status[static_cast<std::size_t>(g)] == kFailed) {
                if (raise) return;
                continue;
            }
            const std::int64_t off = offsets[g];
            const auto room = static_cast<std::size_t>(offsets[g + 1] - off);
            RowFailure failure;
            failure.index = opt.row_base + g;
            const Terms& row_terms = terms[static_cast<std::size_t>(g)];
            const std::int32_t skip = skips.empty() ? 0 : skips[static_cast<std::size_t>(g)];
            bool filled = false;
            if (res.cents) {
                try {
                    filled = fill_row_from(batch, r, row_terms, skip,
                                           cents::CentOut{cols64[0] + off, cols64[1] + off, cols64[2] + off,
                                                          cols64[3] + off, cols64[4] + off, room},
                                           scratch64, failure, oom);
                } catch (...) {
                    oom.store(true);
                }
            } else {
                try {
                    filled = fill_row_from(batch, r, row_terms, skip,
                                           ScheduleOut{cols[0] + off, cols[1] + off, cols[2] + off, cols[3] + off,
                                                       cols[4] + off, room, room},
                                           scratch, failure, oom, *shapes);
                } catch (...) {
                    oom.store(true);
                }
            }
            if (filled) {
                if (std::int32_t* cal = res.calendar.as<std::int32_t>(); cal != nullptr) {
                    const std::int32_t step = row_terms.step;
                    for (std::int64_t k = off; k < offsets[g + 1]; ++k)
                        cal[k] = static_cast<std::int32_t>((k - off) * step);
                }
                if (loan != nullptr) {
                    const std::int32_t v = static_cast<std::int32_t>(opt.loan_is_global_row ? opt.row_base + g : r);
                    std::fill(loan + off, loan + offsets[g + 1], v);
                }
                continue;
            }
            if (oom.load(std::memory_order_relaxed)) return;
            status[static_cast<std::size_t>(g)] = kFailed;
            try {
                log.add(std::move(failure));
            } catch (...) {
                oom.store(true);
                return;
            }
            lower_to(first_failure, g);
            if (raise) return;
        }
    });
    if (stop.load()) throw Cancelled();
    if (oom.load()) throw std::bad_alloc();

    res.failures = log.take_sorted();
    if (raise) {
        if (!res.failures.empty()) {
            res.failures.resize(1);
            for (Region& r : res.columns) r = Region();
            res.loan = Region();
            res.calendar = Region();
        }
        res.values = static_cast<std::int64_t>(values);
        return res;
    }
    if (res.failures.empty()) {
        res.values = static_cast<std::int64_t>(values);
        return res;
    }

    // Skip: close the gaps the failed rows leave, so that every column holds
    // the kept rows only and a failed row's span is empty.
    std::int64_t w = 0;
    for (std::int64_t i = 0; i < rows; ++i) {
        const std::int64_t start = offsets[i];
        const std::int64_t len = offsets[i + 1] - start;
        offsets[i] = w;
        if (status[static_cast<std::size_t>(i)] == kFailed) continue;
        if (start != w && len > 0) {
            for (Region& col : res.columns)
                std::memmove(col.as<char>() + static_cast<std::size_t>(w) * width,
                             col.as<char>() + static_cast<std::size_t>(start) * width, static_cast<std::size_t>(len) * width);
            for (Region* r : {&res.loan, &res.calendar})
                if (r->data() != nullptr)
                    std::memmove(r->as<std::int32_t>() + w, r->as<std::int32_t>() + start,
                                 static_cast<std::size_t>(len) * sizeof(std::int32_t));
        }
        w += len;
    }
    offsets[rows] = w;
    res.values = w;
    // The room the failed rows were given goes back to the system: a result
    // whose loans mostly failed holds only what it keeps.
    for (Region& col : res.columns) col.shrink_to(static_cast<std::size_t>(w) * width);
    res.loan.shrink_to(static_cast<std::size_t>(w) * sizeof(std::int32_t));
    res.calendar.shrink_to(static_cast<std::size_t>(w) * sizeof(std::int32_t));
    if (opt.layout == Layout::List) {
        res.validity = Region::allocate(static_cast<std::size_t>((rows + 7) / 8));
        std::uint8_t* bits = res.validity.as<std::uint8_t>();
        for (std::int64_t i = 0; i < rows; ++i)
            if (status[static_cast<std::size_t>(i)] != kFailed) bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        res.null_count = static_cast<std::int64_t>(res.failures.size());
    }
    return res;
}

// ---------------------------------------------------------------- cash flows

namespace {

struct BlockSums {
    std::vector<double> cap, interest, pmt, bal;
    std::vector<std::int64_t> loans;
    std::vector<RowFailure> failures;

    void grow(std::size_t n) {
        if (cap.size() >= n) return;
        cap.resize(n, 0.0);
        interest.resize(n, 0.0);
        pmt.resize(n, 0.0);
        bal.resize(n, 0.0);
        loans.resize(n, 0);
    }
};

// One block's rows scheduled into the worker's scratch (float32, or float64
// in cent mode) and added to its sums in row order.
template <typename T>
void sum_block(const InputBatch& batch, const Chunk& ch, const StandingColumns& standing, bool raise,
               const std::atomic<bool>& stop, std::atomic<bool>& oom, BlockSums& sums, std::vector<T>& scratch,
               ShapeScratch& shapes) {
    std::vector<T> calendar;  // a loan paid in its own periods, on the calendar
    for (std::int64_t r = ch.begin; r < ch.end; ++r) {
        if (stop.load(std::memory_order_relaxed)) return;
        const std::int64_t g = ch.global + (r - ch.begin);
        Terms terms;
        DecodeFailure why;
        std::int64_t row_len = 0;
        RowFailure failure;
        failure.index = g;
        std::int32_t skip = 0;
        bool ok = read_row(batch, r, g, standing, terms, skip, row_len, why);
        std::size_t len = 0;
        std::size_t from = 0;  // the entry of the row's period 0
        if (!ok) {
            failure = failure_of(g, why);
        } else {
            from = static_cast<std::size_t>(skip);
            len = static_cast<std::size_t>(row_len) + from;
            if (scratch.size() < len * kColumns) {
                // Held to the memory bound when it grows only: the
                // bound reads the address-space limit, a system call.
                check_memory_bound(checked_mul(len, kColumns * sizeof(T)));
                scratch.resize(len * kColumns);
            }
            T* s = scratch.data();
            if constexpr (sizeof(T) == sizeof(double))
                ok = fill_row(batch, r, terms, cents::CentOut{s, s + len, s + 2 * len, s + 3 * len, s + 4 * len, len},
                              failure, oom);
            else
                ok = fill_row(batch, r, terms, ScheduleOut{s, s + len, s + 2 * len, s + 3 * len, s + 4 * len, len, len},
                              failure, oom, shapes);
            if (oom.load(std::memory_order_relaxed)) return;
        }
        if (!ok) {
            sums.failures.push_back(std::move(failure));
            if (raise) return;
            continue;
        }
        const T* s = scratch.data();
        // Period 0 is the age, its payment made (as in fill_row_from).
        if (from > 0) scratch[len + from] = scratch[2 * len + from] = scratch[3 * len + from] = T(0);
        if (terms.step > 1) {
            // A loan paid in its own periods: summed on the calendar.
            const std::size_t cal = (len - 1 - from) * static_cast<std::size_t>(terms.step) + 1;
            check_memory_bound(checked_mul(cal, kColumns * sizeof(T)));
            calendar.resize(cal * kColumns);
            to_calendar(s, len, from, terms.step, calendar.data(), cal);
            s = calendar.data();
            len = cal;
            from = 0;
        }
        sums.grow(len - from);
        for (std::size_t k = 0; k + from < len; ++k) {
            sums.cap[k] += static_cast<double>(s[len + from + k]);
            sums.interest[k] += static_cast<double>(s[2 * len + from + k]);
            sums.pmt[k] += static_cast<double>(s[3 * len + from + k]);
            sums.bal[k] += static_cast<double>(s[4 * len + from + k]);
            sums.loans[k] += 1;
        }
    }
}

}  // namespace

CashflowTotals compute_cashflows(const std::vector<InputBatch>& batches, OnError on_error, const ChunkRunner& run,
                                 const std::atomic<bool>& stop, const StandingColumns& standing) {
    CashflowTotals tot;
    std::int64_t rows = 0;
    const std::vector<Chunk> chunks = make_chunks(batches, rows, kChunkRows);
    tot.rows = rows;
    const bool raise = on_error == OnError::Raise;
    std::atomic<bool> oom{false};
    // Blocks computed at once; the result does not depend on it (blocks are
    // folded in order), only the memory does.
    constexpr std::size_t kWave = 8;
    std::vector<BlockSums> wave(kWave);
    const bool cent = value_bytes(batches) == sizeof(double);
    auto schedules = std::make_unique<PerThread<std::vector<float>>>();
    auto schedules64 = std::make_unique<PerThread<std::vector<double>>>();
    auto shapes = std::make_unique<PerThread<ShapeScratch>>();
    std::size_t passed = 0;  // bytes of every block's sums

    for (std::size_t start = 0; start < chunks.size(); start += kWave) {
        const std::size_t n = std::min(kWave, chunks.size() - start);
        for (std::size_t j = 0; j < n; ++j) wave[j] = BlockSums();
        run(n, [&](std::size_t j) {
            if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
            const Chunk& ch = chunks[start + j];
            const InputBatch& batch = batches[ch.batch];
            BlockSums& sums = wave[j];
            QuietAborts quiet;
            try {
                if (cent) {
                    sum_block(batch, ch, standing, raise, stop, oom, sums, schedules64->mine(), shapes->mine());
                } else {
                    sum_block(batch, ch, standing, raise, stop, oom, sums, schedules->mine(), shapes->mine());
                }
            } catch (...) {
                // Only allocation can fail here.
                oom.store(true);
            }
        });
        if (stop.load()) throw Cancelled();
        if (oom.load()) throw std::bad_alloc();
        for (std::size_t j = 0; j < n; ++j) {
            BlockSums& b = wave[j];
            for (RowFailure& f : b.failures) tot.failures.push_back(std::move(f));
            if (raise && !tot.failures.empty()) {
                tot.failures.resize(1);
                return tot;
            }
            const std::size_t len = b.cap.size();
            passed = checked_add(passed, checked_mul(len, 4 * sizeof(double) + sizeof(std::int64_t)));
            if (tot.cap.size() < len) {
                tot.cap.resize(len, 0.0);
                tot.interest.resize(len, 0.0);
                tot.pmt.resize(len, 0.0);
                tot.bal.resize(len, 0.0);
                tot.loans.resize(len, 0);
            }
            for (std::size_t k = 0; k < len; ++k) {
                if (b.loans[k] == 0) continue;
                tot.cap[k] += b.cap[k];
                tot.interest[k] += b.interest[k];
                tot.pmt[k] += b.pmt[k];
                tot.bal[k] += b.bal[k];
                tot.loans[k] += b.loans[k];
            }
            b = BlockSums();
        }
    }
    // The workers' schedules went with the blocks' sums, which are larger.
    schedules.reset();
    schedules64.reset();
    shapes.reset();
    give_back_free_pages(passed);
    return tot;
}

}  // namespace paywheel::columnar
