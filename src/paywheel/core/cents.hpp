// Cent-exact schedules: a loan booked as a servicer books it. Amounts are
// whole cents (int64), rates per payment period are float64, and every
// amount of a schedule is rounded half-up (half away from zero) to the cent,
// decided on the exact value: a product balance x rate on the double's exact
// binary value, in 128-bit integers; the level payment on an annuity factor
// accurate far past the cent, and in binary128 when a double cannot decide.
// Nothing here shares a number with the binary32 engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace paywheel::cents {

// Every amount a schedule carries stays below 2^53 cents, so that the
// double of the columns holds it as the value nearest a whole number of
// cents (cents / 100.0, one correctly rounded division).
inline constexpr std::int64_t kLargestCents = std::int64_t{1} << 53;

// The nearest whole cent of a binary amount (in currency units), half-up on
// its exact value. False for NaN, infinities and magnitudes past
// kLargestCents.
bool cents_of(double amount, std::int64_t& out) noexcept;

// What a decimal text reads as.
enum class TextCents : std::uint8_t { Ok, NotANumber, NonFinite, TooLarge };

// A decimal text (sign, digits, a point, digits, an exponent; or inf,
// infinity, nan) read exactly and rounded half-up to the cent: "12345678.91"
// is 1234567891 cents whatever binary floats would make of it. The whole
// part may group its thousands with commas ("12,345,678.91"), three digits
// to a group after the first.
TextCents parse_cents(std::string_view text, std::int64_t& out) noexcept;

// cents x rate rounded half-up to the cent, on the exact product. False
// when the result passes kLargestCents (or the rate is not finite).
bool round_product(std::int64_t cents, double rate, std::int64_t& out) noexcept;

// The level payment of `cents` over `periods` at `rate` a period (finite,
// above -1), rounded half-up to the cent: the annuity payment
// cents x rate / (1 - (1 + rate)^-periods), or cents / periods at a zero
// rate. False when it passes kLargestCents or periods < 1.
bool level_payment(std::int64_t cents, double rate, std::int64_t periods, std::int64_t& out) noexcept;

// From payment `at` on (2 <= at <= payments) the rate is `rate`.
struct RateStep {
    std::int64_t at;
    double rate;
};

// A loan in its own payment period: `payments` payments at `rate` a
// payment, the first `io` interest-only, the level payment figured over
// `amort` payments from the first amortizing one (amort > payments - io is a
// balloon), and the steps in increasing `at`. Each payment is a row every
// `spacing` periods of the calendar; the rows between carry no flow.
struct CentTerms {
    std::int64_t cents = 0;
    double rate = 0.0;
    std::int64_t payments = 0;
    std::int64_t io = 0;
    std::int64_t amort = 0;
    const RateStep* steps = nullptr;
    std::size_t step_count = 0;
    std::int64_t spacing = 1;
};

// Five float64 columns of payments x spacing + 1 rows each, which the
// caller owns.
struct CentOut {
    double* per;
    double* cap;
    double* interest;
    double* pmt;
    double* bal;
    std::size_t room;
};

enum class CentResult : std::uint8_t { Ok, TooShort, PastLargest };

// The schedule into out: every rate finite and above -1, payments >= 1,
// 0 <= io <= payments, amort >= payments - io (the caller checks these).
// Per period: interest = balance x rate to the cent; interest-only periods
// pay it alone; otherwise principal = payment - interest, held to [0,
// balance]; the level payment is figured afresh at the first amortizing
// period and at each step; the last period repays what is left with its
// interest, so the balance ends at exactly zero. A negative amount is the
// mirror image of its magnitude (a book's rows refuse one before this).
CentResult fill_cents(const CentTerms& terms, const CentOut& out) noexcept;

}  // namespace paywheel::cents
