// The first rows of a schedule without the rest. Rows 0..L of a loan of
// R > L periods depend on R through the annuity factor and the level payment
// (both computed here as the engine computes them) and through the choices
// its capital and interest placements make over the whole term: a capital
// date takes the smallest block total left, the residue lands on the largest
// entry, an interest date pays the largest pending sum, a NaN anywhere
// aborts. Those choices fall on the head's own blocks whenever every block
// of the tail is larger (capital) or no larger (interest) than the head's
// last one, and that is what is proved here, from bounds on the tail's
// profile entries, before anything is trusted.
#include <cmath>
#include <cstdint>
#include <limits>

#include "paywheel/core/detail.hpp"

namespace paywheel {

namespace {

// The power function's error, bounded generously: glibc's powf is within one
// unit in the last place (2^-23 relative) and the reproducible one within
// half of it; 2^-18 leaves a factor of 32 to spare.
constexpr double kPowerError = 0x1p-18;
// One binary32 rounding, relative.
constexpr double kRounding = 0x1p-24;
// What the float64 arithmetic of the bounds themselves may lose.
constexpr double kSlack = 0x1p-40;

// The largest binary32 at or below d (d finite, positive).
float float_below(double d) noexcept {
    float f = static_cast<float>(d);
    if (static_cast<double>(f) > d) f = std::nextafter(f, 0.0f);
    return f;
}

// The largest binary32 at or above d (d finite, positive).
float float_above(double d) noexcept {
    float f = static_cast<float>(d);
    if (static_cast<double>(f) < d) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// The binary32 sum, from +0.0 left to right, of m copies of x: a block of m
// entries each at least (or at most) x sums to at least (at most) this,
// because rounding is monotone.
float sum_of_copies(float x, std::size_t m) noexcept {
    float s = 0.0f;
    for (std::size_t i = 0; i < m; ++i) s = s + x;
    return s;
}

}  // namespace

bool fill_schedule_head(const LoanTerms& t, std::size_t rows, const ScheduleOut& out) {
    const std::size_t L = rows;
    const std::int32_t R = t.pers;
    // The ordinary loan only: positive finite terms, both frequencies
    // positive, every period exact in binary32, the head ending just after a
    // date of both schedules, and a capital date left in the tail.
    if (!(t.amt > 0.0f) || !(t.rate > 0.0f) || !std::isfinite(t.amt) || !std::isfinite(t.rate)) return false;
    if (t.cap_freq < 1 || t.int_freq < 1 || R < 2 || R > detail::kExactPeriods) return false;
    const auto cf = static_cast<std::size_t>(t.cap_freq);
    const auto f = static_cast<std::size_t>(t.int_freq);
    const auto term = static_cast<std::size_t>(R);
    if (L < 1 || L >= term || L % cf != 0 || L % f != 0 || term - L < cf) return false;
    const std::size_t n = L + 1;
    if (out.room < n || out.per_room < n) return false;

    const detail::PowFn pow = detail::power_function();
    const float factor = detail::profile_factor(t, pow);
    const float pmt = detail::level_payment(t, pow);
    if (!(factor > 0.0f) || !std::isfinite(factor) || !(pmt > 0.0f) || !std::isfinite(pmt)) return false;

    // The head's profile, as the engine computes it, in the Pmt column until
    // the payments are summed over it.
    detail::period_axis_into(out.per, n);
    float* const prof = out.pmt;
    const float base = 1.0f + t.rate;
    const float amt = t.amt;
    prof[0] = (0.0f / factor) * amt;
    const bool ahead = detail::powers_ahead(pow, base, n, prof);
    for (std::size_t from = 1; from < n; from += detail::kPowerRun) {
        const std::size_t to = n - from > detail::kPowerRun ? from + detail::kPowerRun : n;
        if (!ahead) detail::powers_into(pow, base, from, to, prof, out.per);
        for (std::size_t i = from; i < to; ++i) prof[i] = (prof[i] / factor) * amt;
    }

    // Bounds on every tail entry L+1..R: its power has an exponent from L to
    // R - 1, and base^e rises with e (base > 1), so it lies between base^L
    // (which pow(base, L) approximates) and base^(R-1) (= base^R / base, from
    // the g of the factor), each within the power's error, then two
    // roundings (the division and the product).
    const double next = static_cast<double>(pow(base, static_cast<float>(L)));
    const double g = static_cast<double>(pow(base, static_cast<float>(R)));
    const double shrink =
        (1.0 - kPowerError) / (1.0 + kPowerError) * (1.0 - kRounding) * (1.0 - kRounding) * (1.0 - kSlack);
    const double grow =
        (1.0 + kPowerError) / (1.0 - kPowerError) * (1.0 + kRounding) * (1.0 + kRounding) * (1.0 + kSlack);
    const double lo_d = next / static_cast<double>(factor) * static_cast<double>(amt) * shrink;
    const double hi_d = g / static_cast<double>(base) / static_cast<double>(factor) * static_cast<double>(amt) * grow;
    // Normal quotients and products only (the relative rounding bound fails
    // for subnormals), and nothing near overflow.
    constexpr double kTiny = 0x1p-100;
    constexpr double kHuge = 0x1p+120;
    if (!(lo_d / static_cast<double>(amt) > kTiny) || !(lo_d > kTiny) || !(hi_d < kHuge) ||
        !(hi_d / static_cast<double>(amt) < kHuge))
        return false;
    const float lo = float_below(lo_d);
    const float hi = float_above(hi_d);
    // Every tail payment entry pmt - prof[k] must be non-negative, so that
    // the largest magnitude is the largest value.
    if (!(hi <= pmt)) return false;

    const std::size_t cap_blocks = L / cf;
    const std::size_t int_blocks = L / f;
    detail::Scratch scratch(cap_blocks + int_blocks);
    float* const pool = scratch.data();
    float* const sums = pool + cap_blocks;
    detail::sum_blocks_into(n, t.cap_freq, [prof](std::size_t k) { return prof[k]; }, pool);
    detail::sum_blocks_into(n, t.int_freq, [prof, pmt](std::size_t k) { return pmt - prof[k]; }, sums);

    // Capital: the head's totals must not fall, and every tail block, the
    // shortest (a partial last one, or a full one) included, must exceed the
    // head's last total. Then the smallest left at each head date is its own
    // block, the last block is not the smallest (so it stays in the pool),
    // and the largest entry, where the residue lands, lies in the tail.
    for (std::size_t k = 0; k < cap_blocks; ++k)
        if (!(pool[k] > 0.0f) || !std::isfinite(pool[k]) || (k > 0 && !(pool[k - 1] <= pool[k]))) return false;
    const std::size_t shortest = term % cf == 0 ? cf : term % cf;
    if (!(sum_of_copies(lo, shortest) > pool[cap_blocks - 1])) return false;

    // Interest: the head's sums must not rise, and no tail sum may exceed
    // the head's last. All are non-negative and finite, so no NaN aborts a
    // choice, and the largest magnitude left at each head date is its own
    // sum, or a later one of the same bits.
    for (std::size_t k = 0; k < int_blocks; ++k)
        if (!(sums[k] >= 0.0f) || !std::isfinite(sums[k]) || (k > 0 && !(sums[k - 1] >= sums[k]))) return false;
    const float most = pmt - lo;  // the largest a tail entry can be
    if (!std::isfinite(sum_of_copies(most, f)) || !(sum_of_copies(most, f) <= sums[int_blocks - 1])) return false;

    // Proved: the rows are the head's own blocks at their dates.
    float* const cap = out.cap;
    float* const interest = out.interest;
    float* const bal = out.bal;
    for (std::size_t k = 0; k < n; ++k) cap[k] = interest[k] = 0.0f;
    for (std::size_t j = 0; j < cap_blocks; ++j) cap[(j + 1) * cf] = pool[j];
    for (std::size_t j = 0; j < int_blocks; ++j) interest[(j + 1) * f] = sums[j];
    float b = amt;
    for (std::size_t k = 0; k < n; ++k) {
        b = detail::balance_after(b, cap[k]);
        bal[k] = b;
    }
    detail::add_columns(out.pmt, cap, interest, n);
    return true;
}

}  // namespace paywheel
