#include "paywheel/core/cents.hpp"

#include <cmath>
#include <limits>

namespace paywheel::cents {

namespace {

using u128 = unsigned __int128;

std::int64_t magnitude(std::int64_t v) noexcept { return v < 0 ? -v : v; }

// n / d rounded half-up, for n >= 0 and d >= 1.
std::int64_t divide_half_up(std::int64_t n, std::int64_t d) noexcept {
    const std::int64_t q = n / d;
    const std::int64_t rem = n % d;
    return rem >= d - rem ? q + 1 : q;
}

// x >= 0 rounded half-up to a whole number, x below 2^62.
template <typename F>
std::int64_t round_half_up(F x) noexcept {
    const F whole = static_cast<F>(static_cast<std::int64_t>(x));
    const auto q = static_cast<std::int64_t>(whole);
    return x - whole >= static_cast<F>(0.5) ? q + 1 : q;
}

// The annuity payment in binary128, for a payment a double cannot round
// with certainty: (1 + rate)^periods by squaring, about 2 log2(periods)
// roundings of 2^-113 each, far below any cent a double decides.
std::int64_t precise_payment(std::int64_t cents, double rate, std::int64_t periods) noexcept {
    const __float128 base = static_cast<__float128>(1.0) + static_cast<__float128>(rate);
    __float128 g = 1.0;
    __float128 square = base;
    for (std::int64_t e = periods; e > 0; e >>= 1) {
        if ((e & 1) != 0) g = g * square;
        square = square * square;
    }
    // As cents x rate (exact here) plus what the annuity adds to it, so that
    // a product on a half cent stays on the side the exact payment is.
    const __float128 interest = static_cast<__float128>(cents) * static_cast<__float128>(rate);
    return round_half_up(interest + interest / (g - 1.0));
}

}  // namespace

bool cents_of(double amount, std::int64_t& out) noexcept {
    if (!std::isfinite(amount)) return false;
    // A double's 53-bit significand times 100 (7 bits) is exact in the
    // 64-bit significand of long double, so this rounding is on the exact
    // value.
    const long double hundred = static_cast<long double>(std::fabs(amount)) * 100.0L;
    if (hundred >= static_cast<long double>(kLargestCents)) return false;
    const std::int64_t c = round_half_up(hundred);
    if (c > kLargestCents) return false;
    out = amount < 0 ? -c : c;
    return true;
}

TextCents parse_cents(std::string_view s, std::int64_t& out) noexcept {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const std::string_view rest = s.substr(i);
    const auto word = [&](std::string_view w) {
        if (rest.size() != w.size()) return false;
        for (std::size_t k = 0; k < w.size(); ++k)
            if ((rest[k] | 0x20) != w[k]) return false;
        return true;
    };
    if (word("inf") || word("infinity") || word("nan")) return TextCents::NonFinite;

    // The digits, without leading zeros, and the power of ten of the last.
    constexpr std::size_t kKept = 40;  // past this many digits, only whether any is non-zero
    char digits[kKept];
    std::size_t count = 0;
    std::int64_t exponent = 0;
    bool any = false;
    const auto take = [&](char c, bool fraction) {
        any = true;
        if (count == 0 && c == '0') {
            if (fraction) --exponent;
            return;
        }
        if (count < kKept) {
            digits[count++] = c;
            if (fraction) --exponent;
        } else if (!fraction) {
            ++exponent;  // digits past those kept only decide the size
        }
    };
    // The whole part, its thousands grouped by commas as lenders write
    // them ("12,345,678.91"): groups of three after the first, or none.
    std::size_t group = 0;  // digits since the start or the last comma
    bool grouped = false;
    for (; i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == ','); ++i) {
        if (s[i] == ',') {
            if (group == 0 || group > 3 || (grouped && group != 3)) return TextCents::NotANumber;
            grouped = true;
            group = 0;
            continue;
        }
        ++group;
        take(s[i], false);
    }
    if (grouped && group != 3) return TextCents::NotANumber;
    if (i < s.size() && s[i] == '.') {
        ++i;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) take(s[i], true);
    }
    if (!any) return TextCents::NotANumber;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool down = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) down = s[i++] == '-';
        if (i == s.size()) return TextCents::NotANumber;
        std::int64_t e = 0;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) e = e < 100000 ? e * 10 + (s[i] - '0') : e;
        exponent += down ? -e : e;
    }
    if (i != s.size()) return TextCents::NotANumber;

    // value = digits x 10^exponent; in cents, x 10^(exponent + 2).
    const std::int64_t shift = exponent + 2;
    const std::int64_t whole_digits = static_cast<std::int64_t>(count) + shift;
    if (count != 0 && whole_digits > 16) return TextCents::TooLarge;
    std::int64_t c = 0;
    for (std::int64_t k = 0; k < whole_digits; ++k)
        c = c * 10 + (k < static_cast<std::int64_t>(count) ? digits[k] - '0' : 0);
    // Half-up on the exact decimal: the first dropped digit decides.
    if (whole_digits >= 0 && whole_digits < static_cast<std::int64_t>(count) && digits[whole_digits] >= '5') ++c;
    if (c > kLargestCents) return TextCents::TooLarge;
    out = negative ? -c : c;
    return TextCents::Ok;
}

namespace {

// A rate as an exact fraction M / 2^shift (M below 2^53), taken apart once
// for the periods it is in force, so that each period's interest is one
// 128-bit product and a shift.
struct ExactRate {
    std::uint64_t m = 0;
    int shift = 0;  // negative: a left shift (a rate of 2^53 or more)
    bool negative = false;

    explicit ExactRate(double rate) noexcept {
        if (rate == 0.0) return;
        int e = 0;
        const double f = std::frexp(std::fabs(rate), &e);  // |rate| = f 2^e, f in [0.5, 1)
        m = static_cast<std::uint64_t>(std::ldexp(f, 53));  // exactly
        shift = 53 - e;
        negative = rate < 0;
    }

    // cents x rate rounded half-up, for cents >= 0; false past kLargestCents.
    bool times(std::int64_t cents, std::int64_t& out) const noexcept {
        const u128 p = static_cast<u128>(static_cast<std::uint64_t>(cents)) * m;  // below 2^117
        std::int64_t q = 0;
        if (shift <= 0) {
            if (shift < -10 || (p << -shift) > static_cast<u128>(kLargestCents)) return false;
            q = static_cast<std::int64_t>(p << -shift);
        } else if (shift < 128) {
            const u128 whole = half_up(p);
            if (whole > static_cast<u128>(kLargestCents)) return false;
            q = static_cast<std::int64_t>(whole);
        }  // shift >= 128: the product is below 2^117 / 2^128, under half a cent
        out = negative ? -q : q;
        return true;
    }

    // p / 2^shift rounded half-up, for 0 < shift < 128: the remainder is at
    // least half exactly when bit shift - 1 of p is set.
    u128 half_up(u128 p) const noexcept { return ((p >> (shift - 1)) + 1) >> 1; }

    // Whether every product of a balance below 2^52 stays below the balance
    // in magnitude (|rate| < 1) and needs no shift past the product's width:
    // the periods' loop then skips the range checks.
    bool ordinary() const noexcept { return shift >= 53 && shift < 128; }
};

}  // namespace

bool round_product(std::int64_t cents, double rate, std::int64_t& out) noexcept {
    if (!std::isfinite(rate)) return false;
    std::int64_t q = 0;
    if (!ExactRate(rate).times(magnitude(cents), q)) return false;
    out = cents < 0 ? -q : q;
    return true;
}

bool level_payment(std::int64_t cents, double rate, std::int64_t periods, std::int64_t& out) noexcept {
    if (periods < 1 || !std::isfinite(rate) || !(rate > -1.0)) return false;
    const std::int64_t b = magnitude(cents);
    std::int64_t p = 0;
    if (rate == 0.0) {
        p = divide_half_up(b, periods);
    } else {
        // (1 + rate)^-periods through log1p and expm1, each within an ulp:
        // the payment's relative error stays below (|t| + 8) 2^-52.
        const double t = static_cast<double>(periods) * std::log1p(rate);
        const double x = static_cast<double>(b) * rate / -std::expm1(-t);
        const double slack = x * ((std::fabs(t) + 16.0) * 0x1p-52) + 1e-9;
        if (!(x >= 0.0) || !(x < 0x1p62)) return false;
        const double frac = x - std::floor(x);
        if (std::fabs(frac - 0.5) > slack)
            p = round_half_up(x);
        else
            p = precise_payment(b, rate, periods);
    }
    if (p > kLargestCents) return false;
    out = cents < 0 ? -p : p;
    return true;
}

CentResult fill_cents(const CentTerms& t, const CentOut& out) noexcept {
    const std::int64_t k = t.spacing;
    if (t.payments < 1 || k < 1 || static_cast<std::size_t>(t.payments * k + 1) > out.room) return CentResult::TooShort;
    const auto rows = static_cast<std::size_t>(t.payments * k + 1);
    const std::int64_t sign = t.cents < 0 ? -1 : 1;
    double* __restrict__ cap_col = out.cap;
    double* __restrict__ int_col = out.interest;
    double* __restrict__ pmt_col = out.pmt;
    double* __restrict__ bal_col = out.bal;
    // The double nearest each whole number of cents: one correctly rounded
    // division of an integer exact as a double (below 2^53), two lanes at a
    // time (the divisions are most of a period's cost).
    // Bal holds whole cents until a last pass divides it two at a time;
    // Pmt, level over most periods, divides only when it changes.
    using Pair = double __attribute__((vector_size(16)));
    const Pair hundred = {100.0, 100.0};
    std::int64_t last_pmt = 0;
    double last_pmt_value = 0.0;
    const auto put = [&](std::size_t at, std::int64_t cap, std::int64_t interest, std::int64_t bal) {
        const Pair a = Pair{static_cast<double>(sign * cap), static_cast<double>(sign * interest)} / hundred;
        cap_col[at] = a[0];
        int_col[at] = a[1];
        const std::int64_t pmt = sign * (cap + interest);
        if (pmt != last_pmt) [[unlikely]] {
            last_pmt = pmt;
            last_pmt_value = static_cast<double>(pmt) / 100.0;
        }
        pmt_col[at] = last_pmt_value;
        bal_col[at] = static_cast<double>(sign * bal);
    };
    for (std::size_t i = 0; i < rows; ++i) out.per[i] = static_cast<double>(i);

    std::int64_t balance = magnitude(t.cents);
    put(0, 0, 0, balance);
    double rate = t.rate;
    ExactRate exact(rate);
    // A balance never grows (no principal is negative), so once below 2^52
    // at an ordinary rate no amount of the loan can pass 2^53.
    constexpr std::int64_t kSmall = std::int64_t{1} << 52;
    bool checked = !(exact.ordinary() && balance < kSmall);
    std::size_t next_step = 0;
    bool refigure = false;
    std::int64_t payment = 0;
    for (std::int64_t j = 1; j <= t.payments; ++j) {
        if (next_step < t.step_count && t.steps[next_step].at <= j) [[unlikely]] {
            for (; next_step < t.step_count && t.steps[next_step].at <= j; ++next_step) rate = t.steps[next_step].rate;
            exact = ExactRate(rate);
            checked = !(exact.ordinary() && balance < kSmall);
            refigure = true;
        }
        if (j == t.io + 1) refigure = true;
        std::int64_t interest = 0;
        if (!checked) [[likely]] {
            interest = static_cast<std::int64_t>(exact.half_up(static_cast<u128>(static_cast<std::uint64_t>(balance)) * exact.m));
            if (exact.negative) interest = -interest;
        } else if (!exact.times(balance, interest)) {
            return CentResult::PastLargest;
        }
        std::int64_t principal = 0;
        if (j > t.io) {
            if (refigure) [[unlikely]] {
                if (!level_payment(balance, rate, t.amort - (j - 1 - t.io), payment)) return CentResult::PastLargest;
                refigure = false;
            }
            principal = payment - interest;
            principal = principal < 0 ? 0 : principal;
            principal = principal > balance ? balance : principal;
        }
        if (j == t.payments) principal = balance;
        if (checked && principal + interest > kLargestCents) return CentResult::PastLargest;
        const std::int64_t before = balance;
        balance -= principal;
        const auto at = static_cast<std::size_t>(j * k);
        for (std::size_t q = at - static_cast<std::size_t>(k) + 1; q < at; ++q) put(q, 0, 0, before);
        put(at, principal, interest, balance);
    }
    for (std::size_t i = 0; i < rows; ++i) bal_col[i] = bal_col[i] / 100.0;
    return CentResult::Ok;
}

}  // namespace paywheel::cents
