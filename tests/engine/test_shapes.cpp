// Loan shapes in the columnar layer: the engine's head taken on its own
// against the whole schedule, and shaped rows against pieces composed here
// from build_schedule by the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <bit>
#include <cmath>
#include <numeric>
#include <vector>

#include "paywheel/columnar/compute.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/power.hpp"
#include "test_support.hpp"

namespace paywheel::columnar {
namespace {

using paywheel::testing::terms;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

struct Columns {
    std::vector<float> per, cap, interest, pmt, bal;
    explicit Columns(std::size_t n) : per(n), cap(n), interest(n), pmt(n), bal(n) {}
    ScheduleOut out() { return {per.data(), cap.data(), interest.data(), pmt.data(), bal.data(), per.size(), per.size()}; }
};

// Every head the engine takes on its own is the whole schedule's, and the
// ordinary loans take it: random terms in both power modes, with rates down
// to where the bounds give up, terms not a multiple of the capital period
// and heads ending one capital period short of the end.
TEST(ScheduleHead, EqualsTheWholeSchedulesRows) {
    QuietAborts quiet;
    paywheel::testing::Rng rng{21};
    const std::int32_t freqs[] = {1, 1, 2, 3, 4, 6, 12};
    for (const PowerMode mode : {PowerMode::Platform, PowerMode::CorrectlyRounded}) {
        set_power_mode(mode);
        std::size_t taken = 0, tried = 0;
        const int loans = static_cast<int>(1500 * std::min(1.0, paywheel::testing::sample_scale() * 4));
        for (int i = 0; i < loans; ++i) {
            const float amt = static_cast<float>(std::exp(rng.unit() * 30.0 - 8.0));
            const float rate = static_cast<float>(std::exp(-rng.unit() * 14.0));  // 1 down to 8e-7
            const std::int32_t f = freqs[rng.in(0, 6)], cf = freqs[rng.in(0, 6)];
            const auto R = static_cast<std::int32_t>(rng.in(2, 420));
            const LoanTerms t = terms(amt, rate, R, f, cf);
            Columns whole(static_cast<std::size_t>(R) + 1);
            bool refused = false;
            try {
                fill_schedule(t, whole.out());
            } catch (const Abort&) {
                refused = true;
            }
            const std::int32_t step = std::lcm(f, cf);
            for (std::int32_t L = step; L < R; L += step) {
                Columns head(static_cast<std::size_t>(L) + 1);
                ++tried;
                if (!fill_schedule_head(t, static_cast<std::size_t>(L), head.out())) continue;
                ASSERT_FALSE(refused) << amt << " " << rate << " " << R << " " << L;
                ++taken;
                for (std::size_t k = 0; k <= static_cast<std::size_t>(L); ++k) {
                    ASSERT_EQ(bits(head.cap[k]), bits(whole.cap[k])) << rate << " R=" << R << " L=" << L << " k=" << k;
                    ASSERT_EQ(bits(head.interest[k]), bits(whole.interest[k])) << rate << " " << R << " " << k;
                    ASSERT_EQ(bits(head.pmt[k]), bits(whole.pmt[k]));
                    ASSERT_EQ(bits(head.bal[k]), bits(whole.bal[k]));
                    ASSERT_EQ(bits(head.per[k]), bits(whole.per[k]));
                }
            }
        }
        EXPECT_GT(taken, tried / 2) << "the ordinary loans must take the head";
        std::printf("power mode %d: %zu of %zu heads taken on their own\n", static_cast<int>(mode), taken, tried);
    }
    set_power_mode(PowerMode::Platform);
    // The commercial loan's amortizing piece takes it; a head a capital
    // period from the end, or a loan that is not ordinary, does not.
    Columns c(97);
    EXPECT_TRUE(fill_schedule_head(terms(1e6f, 0.005f, 360, 1, 1), 96, c.out()));
    EXPECT_FALSE(fill_schedule_head(terms(1e6f, 0.005f, 98, 1, 3), 96, c.out()));
    EXPECT_FALSE(fill_schedule_head(terms(1e6f, 0.0f, 360, 1, 1), 96, c.out()));
    EXPECT_FALSE(fill_schedule_head(terms(-1e6f, 0.005f, 360, 1, 1), 96, c.out()));
    EXPECT_FALSE(fill_schedule_head(terms(1e6f, 0.005f, 360, 1, 1), 95 + 2, c.out()));  // no room
}

// A book of shaped loans in plain vectors.
struct ShapedBook {
    std::vector<double> amt, rate;
    std::vector<std::int64_t> pers, int_freq, cap_freq, io, amort;
    std::vector<std::int64_t> offsets{0}, step_per;
    std::vector<double> step_rate;
    std::vector<std::uint8_t> amort_valid;

    void add(double a, double r, std::int64_t p, std::int64_t f, std::int64_t cf, std::int64_t io_pers,
             std::int64_t amort_pers, std::vector<std::pair<std::int64_t, double>> steps = {}) {
        const std::size_t i = amt.size();
        amt.push_back(a), rate.push_back(r), pers.push_back(p), int_freq.push_back(f), cap_freq.push_back(cf);
        io.push_back(io_pers), amort.push_back(amort_pers < 0 ? 0 : amort_pers);
        if (i % 8 == 0) amort_valid.push_back(0);
        if (amort_pers >= 0) amort_valid[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
        for (auto [sp, sr] : steps) step_per.push_back(sp), step_rate.push_back(sr);
        offsets.push_back(static_cast<std::int64_t>(step_per.size()));
    }
    InputBatch batch(bool strict) const {
        const auto view = [](Kind k, const void* d) {
            ColumnView v;
            v.kind = k, v.data = d, v.stride = 8;
            return v;
        };
        InputBatch b;
        b.rows = static_cast<std::int64_t>(amt.size());
        b.columns[int(Field::Amt)] = view(Kind::F64, amt.data());
        b.columns[int(Field::Rate)] = view(Kind::F64, rate.data());
        b.columns[int(Field::Pers)] = view(Kind::I64, pers.data());
        b.columns[int(Field::IntFreq)] = view(Kind::I64, int_freq.data());
        b.columns[int(Field::CapFreq)] = view(Kind::I64, cap_freq.data());
        b.shape.io_pers = view(Kind::I64, io.data());
        b.shape.amort_pers = view(Kind::I64, amort.data());
        b.shape.amort_pers.validity = amort_valid.data();
        b.shape.rate_steps.kind = StepsView::Offsets::I64;
        b.shape.rate_steps.offsets = offsets.data();
        b.shape.rate_steps.per = view(Kind::I64, step_per.data());
        b.shape.rate_steps.rate = view(Kind::F64, step_rate.data());
        b.strict = strict;
        return b;
    }
};

void run_inline(std::size_t count, const std::function<void(std::size_t)>& work) {
    for (std::size_t c = 0; c < count; ++c) work(c);
}

ScheduleResult compute(const ShapedBook& book, bool strict) {
    ComputeOptions opt;
    opt.on_error = OnError::Skip;
    std::atomic<bool> stop{false};
    return compute_schedules({book.batch(strict)}, opt, run_inline, stop);
}

// Row i's column k, as computed.
std::vector<float> column(const ScheduleResult& r, std::int64_t i, std::size_t k) {
    const std::int64_t* off = r.offsets.as<std::int64_t>();
    const float* c = r.columns[k].as<float>();
    return std::vector<float>(c + off[i], c + off[i + 1]);
}

// The commercial loan (interest only for 36 months, 360 months of
// amortization, a balloon at 120), from build_schedule as the rules say,
// and two resets of an adjustable loan.
TEST(Shapes, CommercialLoanAndResetsAreTheEnginesPieces) {
    ShapedBook book;
    book.add(2e6, 0.0055, 120, 1, 1, 36, 360);
    book.add(3e5, 0.004, 360, 1, 1, 0, -1, {{121, 0.0055}, {61, 0.005}});
    const ScheduleResult r = compute(book, true);
    ASSERT_TRUE(r.failures.empty());

    const std::vector<float> bal0 = column(r, 0, 4), cap0 = column(r, 0, 1), int0 = column(r, 0, 2);
    const float accrual = 2e6f * 0.0055f;
    for (int k = 1; k <= 36; ++k) {
        EXPECT_EQ(bits(cap0[k]), bits(0.0f));
        EXPECT_EQ(bits(int0[k]), bits(0.0f + accrual));
        EXPECT_EQ(bits(bal0[k]), bits(2e6f));
    }
    const Schedule amort = build_schedule(terms(2e6f, 0.0055f, 360, 1, 1));
    for (int k = 1; k < 84; ++k) EXPECT_EQ(bits(bal0[36 + k]), bits(amort[Schedule::kBal][k])) << k;
    EXPECT_EQ(bits(int0[120]), bits(amort[Schedule::kInt][84]));
    EXPECT_EQ(bits(cap0[120]), bits(amort[Schedule::kBal][83]));
    EXPECT_EQ(bits(bal0[120]), bits(0.0f));

    // Resets at 61 and 121: each piece the engine's schedule of what is left.
    const std::vector<float> bal1 = column(r, 1, 4), int1 = column(r, 1, 2);
    const Schedule first = build_schedule(terms(3e5f, 0.004f, 360, 1, 1));
    const Schedule second = build_schedule(terms(first[Schedule::kBal][60], 0.005f, 300, 1, 1));
    const Schedule third = build_schedule(terms(second[Schedule::kBal][60], 0.0055f, 240, 1, 1));
    for (int k = 1; k <= 60; ++k) {
        EXPECT_EQ(bits(bal1[k]), bits(first[Schedule::kBal][k]));
        EXPECT_EQ(bits(bal1[60 + k]), bits(second[Schedule::kBal][k]));
        EXPECT_EQ(bits(int1[120 + k]), bits(third[Schedule::kInt][k]));
    }
    EXPECT_EQ(bits(bal1[360]), bits(third[Schedule::kBal][240]));
}

// What a shape's rules refuse, with the field to blame; what strict=false
// gives a zero rate (one the engine runs to NaN too) and a single capital
// block.
TEST(Shapes, RulesRefusalsAndLenderSchedules) {
    struct Case {
        double rate;
        std::int64_t pers, f, cf, io, amort;
        std::vector<std::pair<std::int64_t, double>> steps;
        FailureCode strict_code, lenient_code;  // Null: no failure
        Field field;
    };
    const FailureCode ok = FailureCode::Null, bad = FailureCode::BadShape;
    const std::vector<Case> cases = {
        {0.01, 12, 1, 1, 13, -1, {}, bad, bad, Field::IoPers},
        {0.01, 12, 1, 1, -1, -1, {}, bad, bad, Field::IoPers},
        {0.01, 12, 1, 1, 4, 7, {}, bad, bad, Field::AmortPers},
        {0.01, 12, 1, 1, 0, -1, {{1, 0.02}}, bad, bad, Field::RateSteps},
        {0.01, 12, 1, 1, 0, -1, {{13, 0.02}}, bad, bad, Field::RateSteps},
        {0.01, 12, 1, 1, 0, -1, {{5, 0.02}, {5, 0.03}}, bad, bad, Field::RateSteps},
        {0.01, 24, 1, 3, 4, -1, {}, bad, bad, Field::IoPers},
        {0.01, 24, 3, 1, 0, -1, {{6, 0.02}}, bad, bad, Field::RateSteps},
        {0.01, 25, 1, 3, 0, 60, {}, bad, bad, Field::AmortPers},
        {0.01, 12, 0, 1, 3, -1, {}, FailureCode::ZeroFrequency, FailureCode::ZeroFrequency, Field::IntFreq},
        {0.0, 12, 1, 1, 3, -1, {}, FailureCode::ZeroRate, ok, Field::Rate},
        {0.01, 12, 1, 1, 0, -1, {{7, 0.0}}, FailureCode::ZeroRate, ok, Field::RateSteps},
        {0.01, 12, 1, 12, 0, -1, {}, FailureCode::SingleCapitalBlock, ok, Field::CapFreq},
        {0.01, 30, 1, 12, 24, -1, {}, FailureCode::SingleCapitalBlock, ok, Field::CapFreq},
        // A zero rate the engine runs to NaN: a zero-rate piece without strict.
        {0.0, 1, 1, 1, 0, -1, {}, FailureCode::NanSchedule, ok, Field::Rate},
        {0.0, 12, 1, 1, 12, -1, {}, ok, ok, Field::None},  // a 0% bullet
    };
    for (const bool strict : {true, false}) {
        ShapedBook book;
        for (const Case& c : cases) book.add(1200.0, c.rate, c.pers, c.f, c.cf, c.io, c.amort, c.steps);
        const ScheduleResult r = compute(book, strict);
        std::size_t at = 0;
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const FailureCode want = strict ? cases[i].strict_code : cases[i].lenient_code;
            const bool failed = at < r.failures.size() && r.failures[at].index == static_cast<std::int64_t>(i);
            ASSERT_EQ(failed, want != ok) << "case " << i << " strict " << strict;
            if (!failed) continue;
            EXPECT_EQ(r.failures[at].code, want) << "case " << i;
            EXPECT_EQ(r.failures[at].field, cases[i].field) << "case " << i;
            ++at;
        }
    }
    // The lender's schedules: 1200 at 0% over 12 in equal parts after 3
    // interest-only periods (9 capital dates), and a 12-period bullet.
    ShapedBook book;
    book.add(1200.0, 0.0, 12, 1, 1, 3, -1);
    book.add(1200.0, 0.01, 12, 1, 12, 0, -1);
    const ScheduleResult r = compute(book, false);
    ASSERT_TRUE(r.failures.empty());
    const std::vector<float> cap = column(r, 0, 1), bal = column(r, 0, 4);
    const float each = 1200.0f / 9.0f;
    float left = 1200.0f;
    for (int k = 4; k < 12; ++k) {
        EXPECT_EQ(bits(cap[k]), bits(each));
        left = left - each;
    }
    EXPECT_EQ(bits(cap[12]), bits(left));
    EXPECT_EQ(bits(bal[12]), bits(0.0f));
    const std::vector<float> cap1 = column(r, 1, 1), int1 = column(r, 1, 2), bal1 = column(r, 1, 4);
    EXPECT_EQ(bits(cap1[12]), bits(1200.0f));
    EXPECT_EQ(bits(int1[5]), bits(0.0f + 1200.0f * 0.01f));
    EXPECT_EQ(bits(bal1[11]), bits(1200.0f));
    EXPECT_EQ(bits(bal1[12]), bits(0.0f));
}

}  // namespace
}  // namespace paywheel::columnar
