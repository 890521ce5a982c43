#include <algorithm>
#include <new>

#include "paywheel/core/memory_bound.hpp"

#include "paywheel/core/detail.hpp"

namespace paywheel {

ScheduleShape schedule_shape(std::int32_t pers) noexcept {
    const std::int32_t n = num::saturating_i32(static_cast<float>(pers));
    const std::size_t per = (n < 0 || n == INT32_MAX) ? 0 : static_cast<std::size_t>(n) + 1;
    return ScheduleShape{per, num::column_length(pers)};
}

namespace {

using detail::PowFn;
using detail::Running;

// The loans the single pass below serves: both frequencies positive, at
// least two periods, and every period exact in binary32.
bool single_pass_serves(const LoanTerms& t, std::size_t n) noexcept {
    return t.cap_freq >= 1 && t.int_freq >= 1 && n >= 3 && detail::DuePeriods::all_exact(n);
}

// One pass over the periods computes the profile (into the Pmt column, where
// it waits until the payments are due) and what the capital and interest
// schedules need of each entry: with capital or interest due every period,
// the column entries themselves (and the capital's running total and
// balance); otherwise the block totals, each summed from +0.0 left to right
// exactly as the blocks are defined.
//
// The periods go in short runs: the run's powers first, with nothing else
// between the calls; then the element-wise scaling, which vectorises; then
// the running sums, which are dependency chains of one addition per period
// and overlap with the next run's powers in the out-of-order core. In the
// reproducible mode the powers cost a few instructions each, so they are all
// taken first, in one run (powers_ahead).
template <bool CapitalEvery, bool InterestEvery>
Running single_pass(const LoanTerms& t, std::size_t n, PowFn pow, float pmt, const ScheduleOut& out, float* pool,
                    float* sums) {
    const float base = 1.0f + t.rate;
    const float factor = detail::profile_factor(t, pow);
    const float amt = t.amt;
    float* __restrict const prof = out.pmt;
    float* __restrict const cap = out.cap;
    float* __restrict const bal = out.bal;
    float* __restrict const interest = out.interest;
    prof[0] = (0.0f / factor) * amt;
    cap[0] = 0.0f;
    interest[0] = 0.0f;
    float total = 0.0f + 0.0f;
    float b = amt;
    if constexpr (CapitalEvery) bal[0] = b;
    constexpr std::size_t kRun = detail::kPowerRun;
    const bool ahead = detail::powers_ahead(pow, base, n, prof);
    for (std::size_t from = 1; from < n; from += kRun) {
        const std::size_t to = n - from > kRun ? from + kRun : n;
        // The period axis, already written, holds every exponent: out.per[k] = k.
        if (!ahead) detail::powers_into(pow, base, from, to, prof, out.per);
        detail::scale_profile(prof + from, CapitalEvery ? cap + from : nullptr,
                              InterestEvery ? interest + from : nullptr, to - from, factor, amt, pmt);
        if constexpr (CapitalEvery) {
#pragma GCC unroll 4
            for (std::size_t i = from; i < to; ++i) {
                const float c = cap[i];
                total = total + c;
                b = detail::balance_after_sum(b, c);  // c is cap[i] = +0.0 + v
                bal[i] = b;
            }
        }
    }
    // Block totals are independent of one another, so they are summed after
    // the powers, side by side, instead of as one long chain inside the run.
    if constexpr (!CapitalEvery && !InterestEvery) {
        if (t.cap_freq == t.int_freq) {
            // The usual shape, both due every few periods: one sweep reads
            // each entry once for both totals.
            detail::sum_both_blocks(n, t.cap_freq, prof, pmt, pool, sums);
            return Running{total, b};
        }
    }
    if constexpr (!CapitalEvery) detail::sum_blocks_into(n, t.cap_freq, [prof](std::size_t k) { return prof[k]; }, pool);
    if constexpr (!InterestEvery)
        detail::sum_blocks_into(n, t.int_freq, [prof, pmt](std::size_t k) { return pmt - prof[k]; }, sums);
    return Running{total, b};
}

// The single pass, then each schedule's placement from what it gathered. A
// column whose every-period entries turn out not to be the ordinary shape is
// handed to the general placement with the same block totals.
void fill_single_pass(const LoanTerms& t, std::size_t n, PowFn pow, const ScheduleOut& out) {
    const float pmt = detail::level_payment(t, pow);
    const bool cap_every = t.cap_freq == 1;
    const bool int_every = t.int_freq == 1;
    const std::size_t cap_blocks = detail::blocks_of(n, t.cap_freq).count;
    const std::size_t int_blocks = detail::blocks_of(n, t.int_freq).count;
    detail::Scratch scratch((cap_every ? 0 : cap_blocks) + (int_every ? 0 : int_blocks));
    float* const pool = scratch.data();
    float* const sums = pool + (cap_every ? 0 : cap_blocks);

    Running folded;
    if (cap_every)
        folded = int_every ? single_pass<true, true>(t, n, pow, pmt, out, pool, sums)
                           : single_pass<true, false>(t, n, pow, pmt, out, pool, sums);
    else
        folded = int_every ? single_pass<false, true>(t, n, pow, pmt, out, pool, sums)
                           : single_pass<false, false>(t, n, pow, pmt, out, pool, sums);

    if (!cap_every) {
        detail::capital_from_pool(t, n, pool, cap_blocks, out.cap, out.bal);
    } else if (!detail::settle_every_period(t, n, out.cap, out.bal, &folded)) {
        detail::Scratch copy(n - 1);
        std::copy(out.cap + 1, out.cap + n, copy.data());
        detail::capital_from_pool(t, n, copy.data(), n - 1, out.cap, out.bal);
    }

    if (!int_every) {
        detail::interest_from_sums(t, n, sums, int_blocks, out.interest);
    } else if (!detail::strictly_shrinking_in_magnitude(out.interest + 1, n - 1)) {
        detail::Scratch copy(n - 1);
        std::copy(out.interest + 1, out.interest + n, copy.data());
        detail::interest_from_sums(t, n, copy.data(), n - 1, out.interest);
    }
}

// Every other loan: the schedules one after the other, each with its own
// passes over the profile.
void fill_general(const LoanTerms& t, std::size_t n, PowFn pow, const ScheduleOut& out) {
    float* const prof = out.pmt;
    if (t.cap_freq == 1) {
        const Running folded = detail::profile_folded_into(t, prof, out.bal, n, pow);
        detail::capital_into(t, prof, n, out.cap, out.bal, &folded);
    } else {
        detail::profile_into(t, prof, n, pow);
        detail::capital_into(t, prof, n, out.cap, out.bal, nullptr);
    }
    detail::check_frequency(t.pers, t.int_freq, Field::IntFreq);
    detail::interest_into(t, detail::level_payment(t, pow), prof, n, out.interest);
}

}  // namespace

void fill_schedule(const LoanTerms& terms, const ScheduleOut& out) {
    // Same abort order as computing each column on its own: the axis, then
    // the capital schedule (its frequency first), then the interest schedule
    // (its frequency first). The profile, which cannot abort, is computed
    // once and shared; it lives in the Pmt column until the payments are
    // summed over it.
    const ScheduleShape shape = schedule_shape(terms.pers);
    if (shape.per > out.per_room || shape.rest > out.room)
        raise_abort(Blame{FailureCode::TooLarge, Field::Pers}, messages::kStorageTooShort);
    detail::period_axis_into(out.per, shape.per);
    detail::check_frequency(terms.pers, terms.cap_freq, Field::CapFreq);
    const std::size_t n = shape.rest;
    const PowFn pow = detail::power_function();
    if (single_pass_serves(terms, n))
        fill_single_pass(terms, n, pow, out);
    else
        fill_general(terms, n, pow, out);
    detail::add_columns(out.pmt, out.cap, out.interest, n);
}

Schedule build_schedule(const LoanTerms& terms) {
    // The axis is allocated first and a zero capital frequency aborts before
    // the other columns are, as when each column was computed on its own.
    // Each allocation is first held to the machine's memory, so a schedule
    // that can never fit raises MemoryError before anything is allocated
    // (under overcommit it would be granted and the process later killed).
    const ScheduleShape shape = schedule_shape(terms.pers);
    check_memory_bound(shape.per * sizeof(float));
    Series per(shape.per);
    detail::check_frequency(terms.pers, terms.cap_freq, Field::CapFreq);
    constexpr std::size_t kMax = static_cast<std::size_t>(-1);
    if (shape.rest > (kMax / sizeof(float) - shape.per) / 4) throw std::bad_alloc();
    check_memory_bound((shape.per + 4 * shape.rest) * sizeof(float));
    Series cap(shape.rest), interest(shape.rest), pmt(shape.rest), bal(shape.rest);
    fill_schedule(terms, ScheduleOut{per.data(), cap.data(), interest.data(), pmt.data(), bal.data(), shape.per, shape.rest});
    Schedule s;
    s[Schedule::kPer] = std::move(per);
    s[Schedule::kCap] = std::move(cap);
    s[Schedule::kInt] = std::move(interest);
    s[Schedule::kPmt] = std::move(pmt);
    s[Schedule::kBal] = std::move(bal);
    return s;
}

}  // namespace paywheel
