#include <cstdint>
#include <limits>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/detail.hpp"
#include "paywheel/core/numeric.hpp"

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
void suffix_smallest(std::vector<float>& pool, std::size_t len) noexcept {
    float run = kInf;
    for (std::size_t k = len; k-- > 0;) {
        if (pool[k] <= run) run = pool[k];
        pool[k] = run;
    }
}

// Moves the residue (amt minus the column's total) onto largest entries.
// Total and largest must be exactly those of the whole column as it stands
// at each m. The largest splits into a prefix part (final values) and a
// precomputed suffix part (untouched values). The total is the left-to-right
// fold, kept as its running sums: after a change at m only the sums from m
// on move, and once a recomputed running sum has the same bits as the old
// one, every later one does too, because the column right of m is unchanged.
void settle_residue(Series& col, float amt) {
    const std::size_t n = col.size();
    std::vector<float> tail_top(n + 1);
    tail_top[n] = kNaN;
    for (std::size_t k = n; k-- > 0;) tail_top[k] = largest_of(col[k], tail_top[k + 1]);

    std::vector<float> run(n);
    float s = 0.0f;
    for (std::size_t k = 0; k < n; ++k) run[k] = s = s + col[k];

    bool stale = false;
    std::size_t stale_from = 0;
    float head_top = kNaN;
    for (std::size_t m = 0; m < n; ++m) {
        const float c = col[m];
        const float top = largest_of(largest_of(head_top, c), tail_top[m + 1]);
        if (c == top) {
            if (stale) {
                float t = stale_from == 0 ? 0.0f : run[stale_from - 1];
                for (std::size_t k = stale_from; k < n; ++k) {
                    t = t + col[k];
                    if (num::same_bits(t, run[k])) break;
                    run[k] = t;
                }
                stale = false;
            }
            const float total = run[n - 1];
            const float v = (amt - total) + top;
            if (!num::same_bits(v, c)) {
                col[m] = v;
                stale = true;
                stale_from = m;
            }
        }
        head_top = largest_of(head_top, col[m]);
    }
}

}  // namespace

namespace detail {

Series capital_from(const LoanTerms& terms, Series col, const Series& profile) {
    std::vector<float> pool = block_sums(profile, terms.cap_freq);
    if (pool.empty()) raise_abort("called `Option::unwrap()` on a `None` value");

    float smallest = kInf;
    for (float v : pool)
        if (v < smallest) smallest = v;
    std::size_t pool_len = pool.size();
    if (smallest == pool.back()) --pool_len;
    suffix_smallest(pool, pool_len);

    std::size_t taken = 0;
    for (std::size_t l = 1; l < col.size(); ++l) {
        const bool due = num::saturating_i32(col[l]) == static_cast<std::int32_t>(l);
        if (!due) {
            col[l] = 0.0f;
            continue;
        }
        if (taken >= pool_len) raise_abort("removal index (is 0) should be < len (is 0)");
        col[l] = pool[taken++];
    }

    settle_residue(col, terms.amt);
    return col;
}

}  // namespace detail

Series capital_schedule(const LoanTerms& terms) {
    Series marks = payment_marks(terms.pers, terms.cap_freq);
    Series profile = principal_profile(terms);
    return detail::capital_from(terms, std::move(marks), profile);
}

}  // namespace paywheel
