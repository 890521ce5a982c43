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
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) take(s[i], false);
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

bool round_product(std::int64_t cents, double rate, std::int64_t& out) noexcept {
    if (!std::isfinite(rate)) return false;
    if (cents == 0 || rate == 0.0) {
        out = 0;
        return true;
    }
    int e = 0;
    const double m = std::frexp(std::fabs(rate), &e);  // |rate| = m 2^e, m in [0.5, 1)
    const auto M = static_cast<std::uint64_t>(std::ldexp(m, 53));  // |rate| = M 2^(e - 53), exactly
    const u128 p = static_cast<u128>(static_cast<std::uint64_t>(magnitude(cents))) * M;  // below 2^117
    const int s = 53 - e;  // the product is p / 2^s
    std::int64_t q = 0;
    if (s <= 0) {
        if (s < -10 || (p << -s) > static_cast<u128>(kLargestCents)) return false;
        q = static_cast<std::int64_t>(p << -s);
    } else if (s < 128) {
        const u128 whole = p >> s;
        if (whole > static_cast<u128>(kLargestCents)) return false;
        const u128 rem = p - (whole << s);
        q = static_cast<std::int64_t>(whole) + (rem >= (static_cast<u128>(1) << (s - 1)) ? 1 : 0);
    }  // s >= 128: the product is below 2^117 / 2^128, under half a cent
    if (q > kLargestCents) return false;
    out = (cents < 0) != (rate < 0) ? -q : q;
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
    const auto rows = static_cast<std::size_t>(t.payments * k + 1);
    if (t.payments < 1 || k < 1 || rows > out.room) return CentResult::TooShort;
    const bool negative = t.cents < 0;
    const double sign = negative ? -1.0 : 1.0;
    // The columns hold the double nearest each whole number of cents.
    const auto put = [&](std::size_t at, std::int64_t cap, std::int64_t interest, std::int64_t bal) {
        out.cap[at] = sign * (static_cast<double>(cap) / 100.0);
        out.interest[at] = sign * (static_cast<double>(interest) / 100.0);
        out.pmt[at] = sign * (static_cast<double>(cap + interest) / 100.0);
        out.bal[at] = sign * (static_cast<double>(bal) / 100.0);
    };
    for (std::size_t i = 0; i < rows; ++i) out.per[i] = static_cast<double>(i);

    std::int64_t balance = magnitude(t.cents);
    put(0, 0, 0, balance);
    double rate = t.rate;
    std::size_t next_step = 0;
    bool refigure = false;
    std::int64_t payment = 0;
    for (std::int64_t j = 1; j <= t.payments; ++j) {
        for (; next_step < t.step_count && t.steps[next_step].at <= j; ++next_step) {
            rate = t.steps[next_step].rate;
            refigure = true;
        }
        if (j == t.io + 1) refigure = true;
        std::int64_t interest = 0;
        if (!round_product(balance, rate, interest)) return CentResult::PastLargest;
        std::int64_t principal = 0;
        if (j > t.io) {
            if (refigure) {
                if (!level_payment(balance, rate, t.amort - (j - 1 - t.io), payment)) return CentResult::PastLargest;
                refigure = false;
            }
            principal = payment - interest;
            if (principal < 0) principal = 0;
            if (principal > balance) principal = balance;
        }
        if (j == t.payments) principal = balance;
        if (principal + interest > kLargestCents) return CentResult::PastLargest;
        const std::int64_t before = balance;
        balance -= principal;
        const auto at = static_cast<std::size_t>(j * k);
        for (std::size_t q = at - static_cast<std::size_t>(k) + 1; q < at; ++q) put(q, 0, 0, before);
        put(at, principal, interest, balance);
    }
    return CentResult::Ok;
}

}  // namespace paywheel::cents
