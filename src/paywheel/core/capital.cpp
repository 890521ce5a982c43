#include <algorithm>
#include <cstdint>
#include <limits>

#include "paywheel/core/detail.hpp"

namespace paywheel {

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Leftmost-largest of "a's elements, then b's": NaN never wins, and an equal
// later value (including +0 after -0) does not displace an earlier one.
inline float largest_of(float a, float b) noexcept {
    if (a != a) return b;
    if (b != b) return a;
    return b > a ? b : a;
}

// The pool only ever loses its front, so "smallest of what is left" is a
// suffix minimum. Overwrites pool[0, len) with those minima. An equal value
// further right never displaces the leftmost one, and NaN never counts; an
// all-NaN suffix has no smallest, which reads as +infinity.
void suffix_smallest(float* pool, std::size_t len) noexcept {
    float run = kInf;
    for (std::size_t k = len; k-- > 0;) {
        if (pool[k] <= run) run = pool[k];
        pool[k] = run;
    }
}

// Moves the residue (amt minus the column's total) onto largest entries.
// Total and largest must be exactly those of the whole column as it stands
// at each m, which taken literally is quadratic. Nothing can match before
// the leftmost largest entry, so the walk starts there. From then on the
// largest splits into a prefix part (final values) and a suffix part
// (untouched values, precomputed). The total is the left-to-right fold; it
// only moves after a change, and then only from the changed entry on. Its
// running sums are kept, and once a recomputed running sum has the same bits
// as before, every later one does too, because the column to its right is
// unchanged.
struct Largest {
    float top;       // leftmost largest entry of the column
    float head_top;  // largest entry before it (NaN: none)
    std::size_t first;
};

// One pass for the leftmost largest entry and what precedes it.
Largest find_largest(const float* col, std::size_t n) noexcept {
    Largest l{kNaN, kNaN, n};
    for (std::size_t k = 0; k < n; ++k) {
        const float c = col[k];
        if (c == c && (l.top != l.top || c > l.top)) {
            l.head_top = l.top;
            l.top = c;
            l.first = k;
        }
    }
    return l;
}

// total is the column's left-to-right sum and largest its leftmost largest
// entry, both as the column stands on entry. Returns the lowest index it
// changed (the column's length if none).
std::size_t settle_residue(float* col, std::size_t n, float amt, float total, Largest largest) {
    const float top = largest.top;
    float head_top = largest.head_top;
    const std::size_t first = largest.first;
    if (first == n) return n;  // all NaN: nothing ever equals the largest

    if (first == n - 1) {
        // The usual case: the largest is the last entry, which alone moves.
        const float v = (amt - total) + top;
        if (num::same_bits(v, col[first])) return n;
        col[first] = v;
        return first;
    }

    // tail[k - first] is the largest of col(k, n); the last slot is "none".
    std::vector<float> tail(n - first);
    tail[n - first - 1] = kNaN;
    for (std::size_t k = n - 1; k > first; --k) tail[k - first - 1] = largest_of(col[k], tail[k - first]);

    std::vector<float> run;
    std::size_t lowest = n;
    bool stale = false;
    std::size_t stale_from = 0;
    for (std::size_t m = first; m < n; ++m) {
        const float c = col[m];
        const float after = tail[m - first];
        const float t = largest_of(largest_of(head_top, c), after);
        if (c == t) {
            if (stale) {
                if (run.empty()) {
                    run.resize(n);
                    float s = 0.0f;
                    for (std::size_t k = 0; k < n; ++k) run[k] = s = s + col[k];
                } else {
                    float s = stale_from == 0 ? 0.0f : run[stale_from - 1];
                    for (std::size_t k = stale_from; k < n; ++k) {
                        s = s + col[k];
                        if (num::same_bits(s, run[k])) break;
                        run[k] = s;
                    }
                }
                total = run[n - 1];
                stale = false;
            }
            const float v = (amt - total) + t;
            if (!num::same_bits(v, c)) {
                col[m] = v;
                stale = true;
                stale_from = m;
                if (lowest == n) lowest = m;
            }
        }
        head_top = largest_of(head_top, col[m]);
        // Once the settled prefix holds something strictly larger than all
        // that is left, no later entry can equal the largest again.
        if (head_top == head_top && (after != after || head_top > after)) break;
    }
    return lowest;
}

using detail::Running;

// The capital of every period, in order, with the total folded in and, when
// bal is given, the balance chain alongside: two independent dependency
// chains in one loop overlap where two loops would run one after the other.
// The running values travel by value, and the loop is kept out of line, so
// that they stay in registers instead of being spilled around the loop.
[[gnu::noinline]] Running fill_each_period(const float* pool, float* col, float* bal, std::size_t n, Running r) noexcept {
    float total = r.total;
    float b = r.balance;
    if (bal == nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            const float v = pool[i];
            col[i] = v;
            total = total + v;
        }
        return Running{total, b};
    }
    for (std::size_t i = 0; i < n; ++i) {
        const float v = pool[i];
        col[i] = v;
        total = total + v;
        b = detail::balance_after(b, v);
        bal[i] = b;
    }
    return Running{total, b};
}

// Settles the residue and completes the balance. placed[0, taken) are the
// totals written, the last at index last_due; the balance is already right
// below index balanced.
void finish_capital(float* col, std::size_t n, float* bal, float amt, bool rising, const float* placed, std::size_t taken,
                      std::size_t last_due, Running running, std::size_t balanced) {
    // With rising totals the entries placed are rising too, so the largest
    // is the last one placed unless nothing positive was placed, in which
    // case it is entry 0's +0.0 (the leftmost of the zeros).
    Largest largest;
    if (rising && taken > 0) {
        const float hi = placed[taken - 1];
        const float below = taken >= 2 && placed[taken - 2] > 0.0f ? placed[taken - 2] : 0.0f;
        if (hi > 0.0f)
            largest = Largest{hi, below, last_due};
        else
            largest = Largest{0.0f, kNaN, 0};
    } else {
        largest = find_largest(col, n);
    }

    const std::size_t changed = settle_residue(col, n, amt, running.total, largest);
    if (bal != nullptr) {
        if (changed < balanced) balanced = changed;
        float b = balanced == 0 ? amt : bal[balanced - 1];
        for (std::size_t k = balanced; k < n; ++k) {
            const float c = col[k];
            // balance_after, spelt as a branch: most entries here are zeros
            // between due periods, and a predicted branch keeps them off the
            // subtraction chain, where a select would not.
            if (c == 0.0f) [[likely]] {
                bal[k] = b;
                continue;
            }
            b = b - c;
            bal[k] = b;
        }
    }
}

// Capital due every period: each block is one profile entry, and with rising
// entries (the ordinary loan) the column is the profile itself, so it is
// built in place with no pool. Returns false, having done nothing the
// caller relies on, when the general path must decide.
bool capital_every_period(const LoanTerms& terms, const float* profile, std::size_t len, float* col, float* bal,
                          const Running* folded) {
    if (terms.cap_freq != 1 || len < 3 || !detail::DuePeriods::all_exact(len)) return false;
    col[0] = 0.0f;
    for (std::size_t k = 1; k < len; ++k) col[k] = 0.0f + profile[k];
    return detail::settle_every_period(terms, len, col, bal, folded);
}

}  // namespace

namespace detail {

bool settle_every_period(const LoanTerms& terms, std::size_t len, float* col, float* bal, const Running* folded) {
    if (!strictly_rising(col + 1, len - 1)) return false;
    if (bal != nullptr) bal[0] = terms.amt;
    // The profile may have folded the running sums of exactly this column.
    const Running r = folded != nullptr ? *folded
                                        : fill_each_period(col + 1, col + 1, bal == nullptr ? nullptr : bal + 1,
                                                           len - 1, Running{0.0f + col[0], terms.amt});
    finish_capital(col, len, bal, terms.amt, true, col + 1, len - 1, len - 1, r, len);
    return true;
}

}  // namespace detail

namespace {
}  // namespace

namespace detail {

void capital_into(const LoanTerms& terms, const float* prof, std::size_t n, float* col, float* bal,
                  const Running* folded) {
    if (n == 0) raise_abort(kNoPeriods, messages::kSliceStart);
    if (capital_every_period(terms, prof, n, col, bal, folded)) return;
    const std::size_t blocks = blocks_of(n, terms.cap_freq).count;
    Scratch pool(blocks);
    sum_blocks_into(n, terms.cap_freq, [prof](std::size_t k) { return prof[k]; }, pool.data());
    capital_from_pool(terms, n, pool.data(), blocks, col, bal);
}

void capital_from_pool(const LoanTerms& terms, std::size_t len, float* pool, std::size_t blocks, float* col,
                       float* bal) {
    if (blocks == 0) raise_abort(kNoPeriods, messages::kUnwrapNone);

    // An ordinary loan's block totals rise strictly; then the smallest is
    // the first and every suffix minimum is the entry itself, so the general
    // passes can be skipped. Any NaN, or a lone total, takes them.
    const bool rising = blocks >= 2 && strictly_rising(pool, blocks);
    std::size_t pool_len = blocks;
    if (!rising) {
        float smallest = kInf;
        for (std::size_t k = 0; k < blocks; ++k) smallest = pool[k] < smallest ? pool[k] : smallest;
        if (smallest == pool[blocks - 1]) --pool_len;
        suffix_smallest(pool, pool_len);
    }

    std::fill(col, col + len, 0.0f);
    const DuePeriods due(len, terms.cap_freq);
    // Fewer totals than due periods: the blocks did not rise, and the loan's
    // terms say why (an amount so small its blocks round to equal, when
    // nothing else does).
    const Blame unordered = {FailureCode::DecreasingBlocks, Field::Amt};
    if (due.exact_count() > pool_len) raise_abort(blame_degenerate(terms, unordered), messages::kRemovalIndex);
    // The column's left-to-right total is folded in while it is filled. The
    // entries in between are +0.0 and can be left out: adding +0.0 changes
    // only a -0.0 running sum, and a sum that starts at +0.0 is never -0.0
    // (in round-to-nearest x + y is -0.0 only when both are).
    float total = 0.0f + col[0];
    // Every period's balance is needed, so with capital due every period the
    // balance chain runs alongside the total's and the two chains overlap.
    // Otherwise the balance moves only at due periods and is cheapest as one
    // pass over the finished column (finish_capital), from balanced on.
    float b = terms.amt;
    std::size_t balanced = 0;
    std::size_t taken = 0;
    std::int64_t prev = 0;
    if (due.step == 1) {
        if (bal != nullptr) bal[0] = b;
        const auto n = static_cast<std::size_t>(due.exact_last);
        const Running r = fill_each_period(pool, col + 1, bal == nullptr ? nullptr : bal + 1, n, Running{total, b});
        total = r.total;
        b = r.balance;
        taken = n;
        prev = due.exact_last;
        balanced = n + 1;
    } else if (bal == nullptr) {
        for (std::int64_t l = due.step; l <= due.exact_last; l += due.step) {
            const float v = pool[taken++];
            col[static_cast<std::size_t>(l)] = v;
            total = total + v;
            prev = l;
        }
    } else {
        // The balance moves only at due periods, so it is written here, each
        // value over the periods up to the next due one, in the same sweep
        // that places the totals. Totals are sums from +0.0 (or the smallest
        // of such), never -0.0, so balance_after_sum applies. A short step
        // is one store of four entries; what spills past the next due period
        // is written again there, and what follows the last one is left to
        // finish_capital, which also redoes whatever the residue changes.
        const auto step = static_cast<std::size_t>(due.step);
        for (std::size_t k = 0; k < step && k < len; ++k) bal[k] = b;
        std::size_t at = step;
        const auto exact_last = static_cast<std::size_t>(due.exact_last);
        if (step <= 4 && len >= 4) {
            const std::size_t wide_last = exact_last + 4 <= len ? exact_last : len - 4;
            for (; at <= wide_last; at += step) {
                const float v = pool[taken++];
                col[at] = v;
                total = total + v;
                b = detail::balance_after_sum(b, v);
                for (std::size_t j = 0; j < 4; ++j) bal[at + j] = b;
            }
        }
        for (; at <= exact_last; at += step) {
            const float v = pool[taken++];
            col[at] = v;
            total = total + v;
            b = detail::balance_after_sum(b, v);
            const std::size_t end = len - at > step ? at + step : len;
            for (std::size_t k = at; k < end; ++k) bal[k] = b;
        }
        if (taken > 0) prev = static_cast<std::int64_t>(at - step);
        balanced = static_cast<std::size_t>(prev) + 1;
    }
    // Past 2^24 only multiples whose binary32 form is exact are due.
    for (std::int64_t l = due.first_tested(); l <= due.last; l += due.step) {
        if (!due_past_exact(l)) continue;
        if (taken >= pool_len) raise_abort(blame_degenerate(terms, unordered), messages::kRemovalIndex);
        const float v = pool[taken++];
        col[static_cast<std::size_t>(l)] = v;
        total = total + v;
        prev = l;
    }

    finish_capital(col, len, bal, terms.amt, rising, pool, taken, static_cast<std::size_t>(prev), Running{total, b},
                   balanced);
}

}  // namespace detail

Series capital_schedule(const LoanTerms& terms) {
    detail::check_frequency(terms.pers, terms.cap_freq, Field::CapFreq);
    const Series profile = principal_profile(terms);
    Series col(profile.size());
    detail::capital_into(terms, profile.data(), profile.size(), col.data(), nullptr, nullptr);
    return col;
}

}  // namespace paywheel
