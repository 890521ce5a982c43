// The cent engine against exact arithmetic (MPFR at 400 bits: every
// product exact, every payment far past the cent): random and tie-making
// inputs, and the schedule's invariants on random shaped loans.
#include <gtest/gtest.h>
#include <mpfr.h>

#include <cmath>
#include <vector>

#include "paywheel/core/cents.hpp"
#include "test_support.hpp"

namespace paywheel::cents {
namespace {

// x rounded half away from zero to a whole number (mpfr_round's ties).
std::int64_t rounded(mpfr_t x) {
    mpfr_round(x, x);
    return static_cast<std::int64_t>(mpfr_get_d(x, MPFR_RNDN));
}

std::int64_t exact_product(std::int64_t cents, double rate) {
    mpfr_t x;
    mpfr_init2(x, 400);
    mpfr_set_si(x, cents, MPFR_RNDN);
    mpfr_mul_d(x, x, rate, MPFR_RNDN);
    const std::int64_t r = rounded(x);
    mpfr_clear(x);
    return r;
}

std::int64_t exact_payment(std::int64_t cents, double rate, std::int64_t periods) {
    mpfr_t g, x;
    mpfr_inits2(400, g, x, static_cast<mpfr_ptr>(nullptr));
    mpfr_set_d(g, rate, MPFR_RNDN);
    mpfr_add_ui(g, g, 1, MPFR_RNDN);
    mpfr_pow_si(g, g, static_cast<long>(periods), MPFR_RNDN);  // (1 + rate)^periods
    // cents x rate (exact) + cents x rate / ((1 + rate)^periods - 1): a
    // product on a half cent then keeps the side the payment is on.
    mpfr_sub_ui(g, g, 1, MPFR_RNDN);
    mpfr_set_si(x, cents, MPFR_RNDN);
    mpfr_mul_d(x, x, rate, MPFR_RNDN);
    mpfr_div(g, x, g, MPFR_RNDN);
    mpfr_add(x, x, g, MPFR_RNDN);
    const std::int64_t r = rounded(x);
    mpfr_clears(g, x, static_cast<mpfr_ptr>(nullptr));
    return r;
}

TEST(Cents, RoundingDecidedOnTheExactValue) {
    paywheel::testing::Rng rng{28};
    for (int i = 0; i < 200000; ++i) {
        const std::int64_t b = rng.in(-100000000000, 100000000000);
        // Rates of every size, and ones whose product lands on a half cent.
        const double rate = i % 4 == 0 ? std::ldexp(static_cast<double>(rng.in(1, 64)), -static_cast<int>(rng.in(1, 12)))
                                       : rng.unit() * std::pow(10.0, -static_cast<double>(rng.in(0, 6)));
        std::int64_t got = 0;
        ASSERT_TRUE(round_product(b, rate, got));
        ASSERT_EQ(got, exact_product(b, rate)) << b << " x " << rate;
        if (i % 8 != 0) continue;
        const std::int64_t periods = rng.in(2, 480);
        const std::int64_t magnitude = b < 0 ? -b : b;
        if (!level_payment(magnitude, rate, periods, got)) continue;
        ASSERT_EQ(got, exact_payment(magnitude, rate, periods)) << magnitude << " " << rate << " " << periods;
    }
    // Payments exactly on a half cent: binary128 decides them.
    std::int64_t p = 0;
    ASSERT_TRUE(level_payment(5, 0.5, 2, p));
    EXPECT_EQ(p, 5);  // 4.5
    ASSERT_TRUE(level_payment(450, 0.25, 2, p));
    EXPECT_EQ(p, 313);  // 312.5
    ASSERT_TRUE(level_payment(1000, 0.0, 3, p));
    EXPECT_EQ(p, 333);
}

TEST(Cents, AmountsReadAsDecimalCents) {
    const struct {
        const char* text;
        TextCents kind;
        std::int64_t cents;
    } cases[] = {
        {"12345678.91", TextCents::Ok, 1234567891}, {"-0.005", TextCents::Ok, -1},   {"0.0049999", TextCents::Ok, 0},
        {"1e5", TextCents::Ok, 10000000},           {".5", TextCents::Ok, 50},       {"000250000.", TextCents::Ok, 25000000},
        {"1.2345e2", TextCents::Ok, 12345},         {"90071992547409.93", TextCents::TooLarge, 0},
        {"Infinity", TextCents::NonFinite, 0},      {"1,000", TextCents::Ok, 100000}, {"", TextCents::NotANumber, 0},
        {"1e", TextCents::NotANumber, 0},           {"-12,345,678.91", TextCents::Ok, -1234567891},
        {"1,5", TextCents::NotANumber, 0},          {"1,0000", TextCents::NotANumber, 0}, {",100", TextCents::NotANumber, 0},
        {"1000,000", TextCents::NotANumber, 0},     {"1,000,00", TextCents::NotANumber, 0}, {"1,000.5,0", TextCents::NotANumber, 0},
    };
    for (const auto& c : cases) {
        std::int64_t got = 0;
        ASSERT_EQ(parse_cents(c.text, got), c.kind) << c.text;
        if (c.kind == TextCents::Ok) {
            EXPECT_EQ(got, c.cents) << c.text;
        }
    }
    std::int64_t got = 0;
    ASSERT_TRUE(cents_of(0.125, got));
    EXPECT_EQ(got, 13);  // 12.5 cents, exactly
    ASSERT_TRUE(cents_of(12345678.91, got));
    EXPECT_EQ(got, 1234567891);
}

// Random loans of every shape: the balance ends at exactly zero, no
// principal is negative and every flow adds up.
TEST(Cents, SchedulesEndAtZero) {
    paywheel::testing::Rng rng{29};
    for (int i = 0; i < 3000; ++i) {
        const std::int64_t n = rng.in(1, 120);
        const std::int64_t k = rng.in(1, 3);
        CentTerms t;
        t.cents = rng.in(1, 5000000000);
        t.rate = i % 7 == 0 ? 0.0 : rng.unit() * 0.02;
        t.payments = n;
        t.io = i % 3 == 0 ? rng.in(0, n) : 0;
        t.amort = n - t.io + (i % 5 == 0 ? rng.in(0, 240) : 0);
        const RateStep steps[] = {{rng.in(2, n + 1), rng.unit() * 0.03}};
        t.steps = steps;
        t.step_count = n >= 2 && i % 2 == 0 ? 1 : 0;
        t.spacing = k;
        const auto rows = static_cast<std::size_t>(n * k + 1);
        std::vector<double> c(rows * 5);
        const CentOut out{c.data(), c.data() + rows, c.data() + 2 * rows, c.data() + 3 * rows, c.data() + 4 * rows, rows};
        ASSERT_EQ(fill_cents(t, out), CentResult::Ok);
        std::int64_t balance = t.cents;
        for (std::size_t q = 1; q < rows; ++q) {
            const auto cap = std::llround(out.cap[q] * 100), interest = std::llround(out.interest[q] * 100);
            ASSERT_GE(cap, 0);
            ASSERT_EQ(std::llround(out.pmt[q] * 100), cap + interest);
            balance -= cap;
            ASSERT_EQ(out.bal[q], static_cast<double>(balance) / 100.0);
            if (q % static_cast<std::size_t>(k) != 0) {
                ASSERT_EQ(cap + interest, 0);
            }
        }
        ASSERT_EQ(out.bal[rows - 1], 0.0);
    }
}

}  // namespace
}  // namespace paywheel::cents
