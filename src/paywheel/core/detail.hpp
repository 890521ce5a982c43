// Engine internals shared between translation units. The capital and
// interest schedules take the principal profile from the caller, so that
// build_schedule computes it once per loan.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/engine.hpp"
#include "paywheel/core/messages.hpp"
#include "paywheel/core/numeric.hpp"
#include "paywheel/core/power.hpp"

namespace paywheel::detail {

// The one failure of the period marks: a zero frequency on a non-empty
// period range. Checked on its own so that callers keep the same abort order
// without building the marks; `field` is the frequency's (cap_freq or
// int_freq), blamed by the abort.
inline void check_frequency(std::int32_t pers, std::int32_t freq, Field field) {
    if (num::column_length(pers) != 0 && freq == 0)
        raise_abort(Blame{FailureCode::ZeroFrequency, field}, messages::kRemainderByZero);
}

// A loan with no periods to schedule (pers < 1, or past the axis): every
// column is too short for the capital and interest schedules.
inline constexpr Blame kNoPeriods{FailureCode::NoPeriods, Field::Pers};

// The blame of an abort raised because a loan's profile degenerated: its
// capital blocks cannot be taken in rising order, or a NaN makes its
// interest payments undecidable. A degenerate profile has a cause in the
// terms; the first of them in the order below takes the blame (a
// non-finite term, then a single capital block, a zero rate, a negative
// amount, rate or frequency, a growth factor past binary32, a vanishing
// rate), else `otherwise`, the site's own. For a loan with periods and
// non-zero frequencies, as both sites have.
Blame blame_degenerate(const LoanTerms& terms, Blame otherwise) noexcept;

// Periods up to 2^24 survive the round trip through binary32, so every
// multiple of the step up to there is due without testing its mark.
inline constexpr std::int64_t kExactPeriods = 16777216;

// The due periods of a column of len >= 1 entries under a non-zero freq: the
// multiples of |freq| from 1 to len - 1. Up to 2^24 every multiple is due;
// past that only those whose binary32 form is exact (due_past_exact).
struct DuePeriods {
    std::int64_t step;        // |freq|, widened so that INT32_MIN cannot overflow
    std::int64_t last;        // the last period, len - 1
    std::int64_t exact_last;  // the last period that needs no test

    DuePeriods(std::size_t len, std::int32_t freq) noexcept
        : step(freq < 0 ? -static_cast<std::int64_t>(freq) : static_cast<std::int64_t>(freq)),
          last(static_cast<std::int64_t>(len) - 1),
          exact_last(last < kExactPeriods ? last : kExactPeriods) {}

    std::size_t exact_count() const noexcept { return static_cast<std::size_t>(exact_last / step); }
    // The first multiple that must be tested.
    std::int64_t first_tested() const noexcept { return (exact_last / step + 1) * step; }
    static bool all_exact(std::size_t len) noexcept { return static_cast<std::int64_t>(len) - 1 <= kExactPeriods; }
};

// Whether a multiple l past 2^24 is due: its mark, l as binary32, must
// convert back to l.
inline bool due_past_exact(std::int64_t l) noexcept {
    return num::saturating_i32(static_cast<float>(static_cast<std::int32_t>(l))) == static_cast<std::int32_t>(l);
}

// The balance after capital c is repaid: zeros of either sign leave it, and
// its sign, alone; NaN is not equal to zero, so it is subtracted and sticks.
inline float balance_after(float b, float c) noexcept { return c == 0.0f ? b : b - c; }

// balance_after for a capital entry built as +0.0 + v, which is never -0.0
// (in round-to-nearest a sum is -0.0 only when both terms are): subtracting
// +0.0 leaves every b as it is, signed zeros and NaN included, so the plain
// subtraction gives the same bits with no test on the chain.
inline float balance_after_sum(float b, float c_from_sum) noexcept { return b - c_from_sum; }

// The block size and count of sums over entries 1..len-1 in blocks of freq
// entries (freq != 0). A negative frequency, sign-extended and read as a
// size, is at least 2^63: one block holding everything.
struct Blocks {
    std::size_t size;
    std::size_t count;
};
inline Blocks blocks_of(std::size_t len, std::int32_t freq) noexcept {
    const std::size_t count = len == 0 ? 0 : len - 1;
    if (count == 0) return Blocks{1, 0};
    const std::uint64_t wide = static_cast<std::uint64_t>(static_cast<std::int64_t>(freq));
    const std::size_t block = wide >= count ? count : static_cast<std::size_t>(wide);
    return Blocks{block, (count + block - 1) / block};
}

// Sums entries 1..len-1 of a column given by value(k) in blocks of freq
// entries, each block from +0.0 left to right, into sums[0, blocks_of().count).
template <class Value>
void sum_blocks_into(std::size_t len, std::int32_t freq, Value value, float* sums) {
    const auto [block, blocks] = blocks_of(len, freq);
    if (blocks == 0) return;
    if (block == 1) {
        // Still one addition per entry: +0.0 + -0.0 is +0.0.
        for (std::size_t b = 0; b < blocks; ++b) sums[b] = 0.0f + value(b + 1);
        return;
    }
    // Full blocks are summed side by side, one entry of every block per
    // sweep: each block still adds its own entries first to last, but the
    // blocks no longer wait on one another's additions.
    const std::size_t count = len - 1;
    const std::size_t full = count / block;
    for (std::size_t b = 0; b < full; ++b) sums[b] = 0.0f;
    for (std::size_t j = 0; j < block; ++j)
        for (std::size_t b = 0; b < full; ++b) sums[b] = sums[b] + value(b * block + j + 1);
    if (full < blocks) {
        float s = 0.0f;
        for (std::size_t k = full * block + 1; k < len; ++k) s = s + value(k);
        sums[full] = s;
    }
}

template <class Value>
std::vector<float> sum_blocks(std::size_t len, std::int32_t freq, Value value) {
    std::vector<float> sums(blocks_of(len, freq).count);
    sum_blocks_into(len, freq, value, sums.data());
    return sums;
}

// Element-wise kernels over whole columns (kernels.cpp). They are built
// for the widest vectors the processor has: each element's operation is the
// same single IEEE operation at any width, so the results do not depend on
// the choice.

// Whole-range checks written without an early exit, so that they vectorise;
// a NaN anywhere fails both.
bool strictly_rising(const float* x, std::size_t n) noexcept;
bool strictly_shrinking_in_magnitude(const float* x, std::size_t n) noexcept;

// out[k] = a[k] + b[k] for k < n; out may be a or b.
void add_columns(float* out, const float* a, const float* b, std::size_t n) noexcept;

// For every-period capital and interest: each profile entry scaled in place,
// prof[i] = (prof[i] / factor) * amt, then cap[i] = +0.0 + prof[i] and
// interest[i] = +0.0 + (pmt - prof[i]) where those are given.
void scale_profile(float* prof, float* cap, float* interest, std::size_t n, float factor, float amt,
                   float pmt) noexcept;

// The capital block totals of prof (into pool) and the interest block
// totals of pmt - prof (into sums) of one frequency freq >= 1 together, n >= 2:
// each as sum_blocks_into sums it, every block from +0.0 left to right.
void sum_both_blocks(std::size_t n, std::int32_t freq, const float* prof, float pmt, float* __restrict pool,
                     float* __restrict sums) noexcept;

// The running total and balance of a capital column, in period order.
struct Running {
    float total;
    float balance;
};

// The power function every engine path calls: the platform's powf, or the
// reproducible one when the process asked for it. Chosen once per loan.
using PowFn = float (*)(float, float);
PowFn power_function() noexcept;

// The profile's powers are taken in runs of this many periods (see
// profile.cpp and schedule.cpp). Longer runs pay the per-run calls less
// often; the running sums of one run (a few hundred cycles of dependent
// additions) still hide behind the next run's platform powers.
inline constexpr std::size_t kPowerRun = 64;

// out[i] = pow(base, float(int32(i)) - 1.0f) for i in [from, to), with
// 1 <= from and to - from <= kPowerRun: the profile's powers of one run of
// periods. Up to period 2^24 those exponents are the consecutive integers
// from - 1 .. to - 2, all exact in binary32, so the reproducible mode takes
// the run at once, and the platform's calls read their exponents from a
// table: axis when the caller has one (axis[k] = k, as the period axis
// holds), else one filled here. Each call is then a load, the call and a
// store, which matters when the power itself is only a few dozen
// instructions.
inline void powers_into(PowFn pow, float base, std::size_t from, std::size_t to, float* out,
                        const float* axis = nullptr) noexcept {
    if (to - 1 > static_cast<std::size_t>(kExactPeriods)) {
        for (std::size_t i = from; i < to; ++i)
            out[i] = pow(base, static_cast<float>(static_cast<std::int32_t>(i)) - 1.0f);
        return;
    }
    if (pow == &correctly_rounded_powf) {
        correctly_rounded_powf_run(base, static_cast<std::int32_t>(from) - 1, to - from, out + from);
        return;
    }
    const std::size_t len = to - from;
    float table[kPowerRun];
    const float* exponents = axis != nullptr ? axis + (from - 1) : table;
    if (axis == nullptr) {
        const auto first = static_cast<std::int32_t>(from) - 1;
        for (std::size_t j = 0; j < kPowerRun; ++j) table[j] = static_cast<float>(first + static_cast<std::int32_t>(j));
    }
    float* const at = out + from;
#pragma GCC unroll 4
    for (std::size_t j = 0; j < len; ++j) at[j] = pow(base, exponents[j]);
}

// In the reproducible mode, with every exponent exact (n - 1 <= 2^24), all
// of a loan's profile powers out[1, n) in one run before the periods are
// walked: the run's fixed cost (the first powers, the set-up of the lanes)
// is then paid once per loan, not once per kPowerRun periods. Returns
// whether it did; otherwise the walk takes them run by run (powers_into).
inline bool powers_ahead(PowFn pow, float base, std::size_t n, float* out) noexcept {
    if (pow != &correctly_rounded_powf || n < 2 || n - 1 > static_cast<std::size_t>(kExactPeriods)) return false;
    correctly_rounded_powf_run(base, 0, n - 1, out + 1);
    return true;
}

// Storage for the block totals and pending sums of one loan: kept per thread
// and reused, so that a batch of loans does not allocate them loan after
// loan. Large requests are given back when the loan is done.
class Scratch {
public:
    explicit Scratch(std::size_t floats);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    float* data() noexcept { return data_; }

private:
    float* data_;
    bool nested_;
};

// The divisor of every profile entry: the reciprocal of the rate and the
// power's excess over 1 are rounded separately and then multiplied; folding
// the rate into the numerator, or amt into the divisor, would round
// differently.
inline float profile_factor(const LoanTerms& terms, PowFn pow) noexcept {
    const float base = 1.0f + terms.rate;
    const float g = pow(base, static_cast<float>(terms.pers));
    return (1.0f / terms.rate) * (g - 1.0f);
}

// The principal profile of a loan of n = column_length(pers) >= 1 entries,
// into prof[0, n).
void profile_into(const LoanTerms& terms, float* prof, std::size_t n, PowFn pow);

// The principal profile, also folding the total and the balance ("Bal",
// into bal) of the capital column that capital due every period gives when
// each period repays its own profile entry.
Running profile_folded_into(const LoanTerms& terms, float* prof, float* bal, std::size_t n, PowFn pow);

// The capital column (and, when bal is given, the "Bal" column) from the
// profile, into col[0, n); n may be 0, which aborts. folded, when given, is
// what profile_folded_into computed alongside the profile (and into bal).
void capital_into(const LoanTerms& terms, const float* prof, std::size_t n, float* col, float* bal,
                  const Running* folded);

// Capital due every period with col[0, len) already 0.0 then the profile
// entries plus +0.0, len >= 3 and every period exact: when those rise
// strictly (the ordinary loan) settles the residue and the balance in place
// and returns true; otherwise returns false and the general path decides.
bool settle_every_period(const LoanTerms& terms, std::size_t len, float* col, float* bal, const Running* folded);

// The capital column from block totals already summed: pool[0, blocks),
// which it may overwrite. n >= 1 and the profile has n entries.
void capital_from_pool(const LoanTerms& terms, std::size_t n, float* pool, std::size_t blocks, float* col,
                       float* bal);

// The interest schedule's level payment, pmt = amt * rate / (1 - (1 + rate)^-pers).
float level_payment(const LoanTerms& terms, PowFn pow) noexcept;

// The interest column from the profile, into col[0, n).
void interest_into(const LoanTerms& terms, float pmt, const float* prof, std::size_t n, float* col);

// The interest column from pending sums already summed: sums[0, blocks),
// which it may overwrite. n >= 1.
void interest_from_sums(const LoanTerms& terms, std::size_t n, float* sums, std::size_t blocks, float* col);

// The period axis into out[0, count), count from schedule_shape.
void period_axis_into(float* out, std::size_t count) noexcept;

}  // namespace paywheel::detail
