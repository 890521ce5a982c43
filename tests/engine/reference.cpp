// Literal reference engine; see reference.hpp. Each function is the literal
// step-by-step procedure, its steps numbered in order. Nothing here is meant
// to be fast: it is meant to be obviously correct.
#include "reference.hpp"

#include <math.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/messages.hpp"
#include "paywheel/core/numeric.hpp"

namespace paywheel::reference {

PowerFunction reference_powf = ::powf;

namespace {

constexpr std::int32_t kI32Max = std::numeric_limits<std::int32_t>::max();

using messages::kIndexOutOfBounds;
using messages::kRemainderByZero;
using messages::kRemovalIndex;
using messages::kSliceStart;
using messages::kUnwrapNone;

// The capital schedule's fold "smallest": start from +infinity, an entry
// replaces the running value when it is less than it.
float fold_smallest(const std::vector<float>& values) {
    float running = std::numeric_limits<float>::infinity();
    for (float x : values)
        if (x < running) running = x;
    return running;
}

// The capital schedule's fold "largest": start from NaN, an entry replaces
// the running value when the running value is NaN or the entry is greater
// than it.
float fold_largest(const std::vector<float>& values) {
    float running = std::numeric_limits<float>::quiet_NaN();
    for (float x : values)
        if (running != running || x > running) running = x;
    return running;
}

// The due test shared by both schedules: period l is due when l >= 1 and
// the saturating conversion of its mark equals l.
bool is_due(const Series& marks, std::int64_t l) {
    return l >= 1 && static_cast<std::int64_t>(num::saturating_i32(marks[static_cast<std::size_t>(l)])) == l;
}

}  // namespace

// ------------------------------------ period axis, payment marks, block sums

Series period_axis(std::int32_t pers) {
    // 1. pers to binary32, and back with the saturating conversion.
    const float as_float = static_cast<float>(pers);
    const std::int32_t n = num::saturating_i32(as_float);
    Series out;
    // 2. Negative or the largest value: empty.
    if (n < 0 || n == kI32Max) return out;
    // 3. Entries 0..n, each i converted to binary32.
    for (std::int32_t i = 0; i <= n; ++i) out.push_back(static_cast<float>(i));
    return out;
}

Series payment_marks(std::int32_t pers, std::int32_t freq) {
    // 1. end = pers + 1 with wrap-around.
    const std::int32_t end = num::wrapping_add(pers, 1);
    Series out;
    // 2. i = 0, 1, ... while i < end; a zero freq fails at the first i.
    for (std::int32_t i = 0; i < end; ++i) {
        if (freq == 0) raise_abort(kRemainderByZero);
        // i >= 0, so i % freq never overflows (even for INT32_MIN) and is 0
        // exactly for the multiples of |freq|, the periods that get marked.
        out.push_back(i % freq == 0 ? static_cast<float>(i) : 0.0f);
    }
    return out;
}

std::vector<float> block_sums(const Series& column, std::int32_t freq) {
    // 1. An empty column fails.
    if (column.empty()) raise_abort(kSliceStart);
    // 2. Entries 1 .. len-1, L of them.
    const std::uint64_t count = column.size() - 1;
    // 3. B: freq sign-extended to 64 bits, read as unsigned.
    const std::uint64_t block = static_cast<std::uint64_t>(static_cast<std::int64_t>(freq));
    // Not reachable from the engine (the marks step fails first); a zero
    // block length would abort with this message.
    if (block == 0) raise_abort("chunk size must be non-zero");
    // 4.-6. Consecutive blocks of B entries, the last one possibly shorter;
    // each summed left to right from +0.0.
    std::vector<float> out;
    std::uint64_t taken = 0;
    while (taken < count) {
        const std::uint64_t left = count - taken;
        const std::uint64_t len = left < block ? left : block;
        float sum = +0.0f;
        for (std::uint64_t k = 0; k < len; ++k) sum = sum + column[static_cast<std::size_t>(1 + taken + k)];
        out.push_back(sum);
        taken += len;
    }
    return out;
}

// ------------------------------------------------------- principal profile

Series principal_profile(const LoanTerms& terms) {
    // 1. count.
    const std::size_t count =
        (terms.pers >= 0 && terms.pers <= kI32Max - 1) ? static_cast<std::size_t>(terms.pers) + 1 : 0;
    // 2. base.
    const float base = 1.0f + terms.rate;
    // 3. Raw column: raw 0 = 0.0, raw i = powf(base, float(i) - 1.0).
    Series raw;
    if (count > 0) raw.push_back(0.0f);
    for (std::size_t i = 1; i < count; ++i) {
        const float e = static_cast<float>(static_cast<std::int32_t>(i)) - 1.0f;
        raw.push_back(reference_powf(base, e));
    }
    // 4. g = powf(base, float(pers)).
    const float g = reference_powf(base, static_cast<float>(terms.pers));
    // 5. Empty column.
    if (count == 0) return raw;
    // 6. factor = (1.0 / rate) * (g - 1.0), each rounded.
    const float reciprocal = 1.0f / terms.rate;
    const float growth = g - 1.0f;
    const float factor = reciprocal * growth;
    // 7. Divide every entry, entry 0 included, by factor.
    for (float& x : raw) x = x / factor;
    // 8. Multiply every entry by amt (a second pass).
    for (float& x : raw) x = x * terms.amt;
    // 9.
    return raw;
}

// -------------------------------------------------------- capital schedule

Series capital_schedule(const LoanTerms& terms) {
    // 1. Column: the marks.
    Series column = reference::payment_marks(terms.pers, terms.cap_freq);
    // 2. Profile.
    const Series profile = reference::principal_profile(terms);
    // 3. Block sums of the profile.
    const std::vector<float> sums = reference::block_sums(profile, terms.cap_freq);
    // 4. No block sums.
    if (sums.empty()) raise_abort(kUnwrapNone);
    // 5. Pool; drop its last entry when the smallest sum equals the last sum.
    std::vector<float> pool = sums;
    if (fold_smallest(sums) == sums.back()) pool.pop_back();
    // 6. Due periods, l = 1 .. pers.
    const std::int64_t pers = terms.pers;
    for (std::int64_t l = 1; l <= pers; ++l) {
        if (is_due(column, l)) {
            if (pool.empty()) raise_abort(kRemovalIndex);
            column[static_cast<std::size_t>(l)] = fold_smallest(pool);
            pool.erase(pool.begin());
        } else {
            column[static_cast<std::size_t>(l)] = 0.0f;
        }
    }
    // 7. Residue, total and top taken afresh over the whole column for every m.
    for (std::int64_t m = 0; m <= pers; ++m) {
        float total = +0.0f;
        for (float x : column) total = total + x;
        const float top = fold_largest(column);
        float& entry = column[static_cast<std::size_t>(m)];
        if (entry == top) {
            const float difference = terms.amt - total;
            entry = difference + top;
        }
    }
    // 8.
    return column;
}

// ------------------------------------------------------- interest schedule

Series interest_schedule(const LoanTerms& terms) {
    // 1. Payment marks.
    Series marks = reference::payment_marks(terms.pers, terms.int_freq);
    // 2. Principal profile.
    const Series profile = reference::principal_profile(terms);
    // 3. Level payment.
    const float a = terms.amt * terms.rate;
    const float b = terms.rate + 1.0f;
    const float e = static_cast<float>(num::wrapping_neg(terms.pers));
    const float p = reference_powf(b, e);
    const float d = 1.0f - p;
    const float pmt = a / d;
    // 4. Accrued interest; entry 0 is then set to 0.0 (fails on an empty profile).
    Series accrued = profile;
    for (std::size_t k = 0; k < accrued.size(); ++k) accrued[k] = pmt - profile[k];
    if (accrued.empty()) raise_abort(kIndexOutOfBounds);
    accrued[0] = 0.0f;
    // 5. Block sums.
    const std::vector<float> sums = reference::block_sums(accrued, terms.int_freq);
    // 6. No block.
    if (sums.empty()) raise_abort(kUnwrapNone);
    // 7. Pending.
    std::vector<float> pending = sums;
    // 8. Payment periods.
    const Series snapshot = marks;
    const std::int64_t pers = terms.pers;
    for (std::int64_t j = 1; j <= pers; ++j) {
        const std::size_t at = static_cast<std::size_t>(j);
        // 8.1 Not a payment period.
        if (!is_due(snapshot, j)) {
            marks[at] = 0.0f;
            continue;
        }
        // 8.2 Pending empty: DECIDED CHANGE, writes 0.0 instead of keeping the mark.
        if (pending.empty()) {
            marks[at] = 0.0f;
            continue;
        }
        // 8.3 Largest magnitude; a later element wins a tie; NaN magnitudes abort.
        float best = pending[0];
        for (std::size_t i = 1; i < pending.size(); ++i) {
            const float x = pending[i];
            if (::fabsf(x) >= ::fabsf(best)) {
                best = x;
            } else if (::fabsf(best) >= ::fabsf(x)) {
                // best is kept
            } else {
                raise_abort(kUnwrapNone);
            }
        }
        marks[at] = best;
        // 8.4 Remove the first element (not the selected one).
        pending.erase(pending.begin());
    }
    // 9.
    return marks;
}

// ----------------------------------------------------------- full schedule

Schedule assemble_schedule(const LoanTerms& terms, Series per, Series cap, Series interest) {
    // 4. Pmt[k] = Cap[k] + Int[k].
    Series pmt;
    for (std::size_t k = 0; k < cap.size() && k < interest.size(); ++k) pmt.push_back(cap[k] + interest[k]);
    // 5. Running balance from amt; zeros of either sign are skipped.
    Series bal;
    float running = terms.amt;
    for (std::size_t k = 0; k < cap.size(); ++k) {
        const float c = cap[k];
        if (!(c == 0.0f)) running = running - c;
        bal.push_back(running);
    }
    // 6.
    Schedule schedule;
    schedule[Schedule::kPer] = std::move(per);
    schedule[Schedule::kCap] = std::move(cap);
    schedule[Schedule::kInt] = std::move(interest);
    schedule[Schedule::kPmt] = std::move(pmt);
    schedule[Schedule::kBal] = std::move(bal);
    return schedule;
}

Schedule build_schedule(const LoanTerms& terms) {
    // 1.-3. in this order, so that the first abort is the one reported.
    Series per = reference::period_axis(terms.pers);
    Series cap = reference::capital_schedule(terms);
    Series interest = reference::interest_schedule(terms);
    return reference::assemble_schedule(terms, std::move(per), std::move(cap), std::move(interest));
}

}  // namespace paywheel::reference
