// Worked values and abort messages of the schedule engine, stage by stage,
// from the period axis to the full schedule. Every case runs against the
// fast engine (paywheel::*) and, as a check of the reference itself, against
// the literal reference engine (paywheel::reference::*); a few cases with
// columns of 2^24 entries run against the fast engine only.
//
// Values known exactly are compared bit for bit (a NaN matches any NaN);
// values shown to some digits only are compared with a tolerance of half a
// unit in the last shown digit, and a shown 0.0 means +0.0 exactly.
//
// One decided change from the literal procedure: in the interest schedule a
// payment period that finds pending empty writes 0.0 (instead of its mark),
// so amt 15, rate 1, pers 4 gives Int [0, 49, 0, 0, 0] for int_freq -1 and
// [0, 0, 49, 0, 0] for int_freq -2.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/engine.hpp"
#include "paywheel/core/messages.hpp"
#include "paywheel/core/numeric.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace {

using paywheel::LoanTerms;
using paywheel::Schedule;
using paywheel::Series;

using paywheel::testing::kInf;
using paywheel::testing::kMax;
using paywheel::testing::kMin;
using paywheel::testing::kNaN;
using paywheel::testing::terms;

using paywheel::messages::kIndexOutOfBounds;
using paywheel::messages::kRemainderByZero;
using paywheel::messages::kRemovalIndex;
using paywheel::messages::kSliceStart;
using paywheel::messages::kUnwrapNone;

// ------------------------------------------------------------------ engines

struct Engine {
    const char* name;
    Series (*period_axis)(std::int32_t);
    Series (*payment_marks)(std::int32_t, std::int32_t);
    std::vector<float> (*block_sums)(const Series&, std::int32_t);
    Series (*principal_profile)(const LoanTerms&);
    Series (*capital_schedule)(const LoanTerms&);
    Series (*interest_schedule)(const LoanTerms&);
    Schedule (*build_schedule)(const LoanTerms&);
};

const Engine kFast{"Fast",
                   &paywheel::period_axis,
                   &paywheel::payment_marks,
                   &paywheel::block_sums,
                   &paywheel::principal_profile,
                   &paywheel::capital_schedule,
                   &paywheel::interest_schedule,
                   &paywheel::build_schedule};

const Engine kReference{"Reference",
                        &paywheel::reference::period_axis,
                        &paywheel::reference::payment_marks,
                        &paywheel::reference::block_sums,
                        &paywheel::reference::principal_profile,
                        &paywheel::reference::capital_schedule,
                        &paywheel::reference::interest_schedule,
                        &paywheel::reference::build_schedule};

std::string describe(const LoanTerms& t) {
    char buf[200];
    std::snprintf(buf, sizeof buf, "amt %.9g rate %.9g pers %d int_freq %d cap_freq %d", double(t.amt),
                  double(t.rate), t.pers, t.int_freq, t.cap_freq);
    return buf;
}

std::string hex(float x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g (0x%08x)", double(x), unsigned(paywheel::num::bits(x)));
    return buf;
}

// ---------------------------------------------------------------- matchers

bool same_value(float got, float want) {
    if (std::isnan(want)) return std::isnan(got);
    return paywheel::num::same_bits(got, want);
}

// Bit equality, entry by entry; a NaN matches any NaN.
void expect_exact(const std::vector<float>& got, const std::vector<float>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(same_value(got[i], want[i])) << what << ", entry " << i << ": got " << hex(got[i])
                                                 << ", want " << hex(want[i]);
}

// One value in its printed form: "nan", "inf", "-inf", "0.0" and
// "-0.0" are exact; any other number matches within half a unit of its last
// shown digit.
void expect_shown_value(float got, const char* shown, const std::string& what) {
    const std::string s = shown;
    if (s == "nan") {
        EXPECT_TRUE(std::isnan(got)) << what << ": got " << hex(got) << ", want NaN";
    } else if (s == "inf" || s == "-inf") {
        EXPECT_TRUE(paywheel::num::same_bits(got, s == "inf" ? kInf : -kInf))
            << what << ": got " << hex(got) << ", want " << s;
    } else if (s == "0.0" || s == "-0.0") {
        EXPECT_TRUE(paywheel::num::same_bits(got, s == "0.0" ? 0.0f : -0.0f))
            << what << ": got " << hex(got) << ", want " << s;
    } else {
        const double want = std::strtod(shown, nullptr);
        const char* dot = std::strchr(shown, '.');
        const int decimals = dot == nullptr ? 0 : int(std::strlen(dot + 1));
        const double tolerance = 0.5 * std::pow(10.0, -decimals);
        EXPECT_LE(std::fabs(double(got) - want), tolerance)
            << what << ": got " << hex(got) << ", want " << s << " to the shown digits";
    }
}

void expect_shown(const std::vector<float>& got, const std::vector<const char*>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i)
        expect_shown_value(got[i], want[i], what + ", entry " + std::to_string(i));
}

float left_to_right_sum(const std::vector<float>& v) {
    float total = +0.0f;
    for (float x : v) total = total + x;
    return total;
}

// Runs fn; returns the abort message, or nullopt when it returned normally.
template <class Fn>
std::optional<std::string> abort_of(Fn&& fn) {
    try {
        fn();
    } catch (const paywheel::Abort& a) {
        return std::string(a.message());
    }
    return std::nullopt;
}

const Series& column(const Schedule& s, const char* name) {
    const Series* c = s.find(name);
    if (c == nullptr) {
        ADD_FAILURE() << "schedule has no column " << name;
        static const Series empty;
        return empty;
    }
    return *c;
}

class KnownAnswers : public ::testing::TestWithParam<const Engine*> {
protected:
    const Engine& e() const { return *GetParam(); }
};

// ================================================= axis, marks, block sums

TEST_P(KnownAnswers, PeriodAxis) {
    struct Case {
        std::int32_t pers;
        std::vector<float> want;
    };
    const std::vector<Case> cases = {
        {4, {0, 1, 2, 3, 4}},
        {0, {0}},
        {1, {0, 1}},
        {-1, {}},
        {kMin, {}},
        {2147483584, {}},  // rounds to 2^31, saturates to 2147483647
        {kMax, {}},
    };
    for (const Case& c : cases) expect_exact(e().period_axis(c.pers), c.want, "period_axis " + std::to_string(c.pers));
}

TEST_P(KnownAnswers, PaymentMarks) {
    struct Case {
        std::int32_t pers, freq;
        std::vector<float> want;
    };
    const std::vector<Case> cases = {
        {6, 3, {0, 0, 0, 3, 0, 0, 6}},
        {7, -3, {0, 0, 0, 3, 0, 0, 6, 0}},
        {4, 5, {0, 0, 0, 0, 0}},
        {3, 1, {0, 1, 2, 3}},
        {3, -1, {0, 1, 2, 3}},
        {4, kMin, {0, 0, 0, 0, 0}},
        {4, kMax, {0, 0, 0, 0, 0}},
        {0, 7, {0}},
        {-1, 0, {}},  // zero freq with an empty result does not fail
        {kMin, 0, {}},
        {kMax, 0, {}},
        {kMax, 3, {}},
        {-5, 2, {}},
    };
    for (const Case& c : cases)
        expect_exact(e().payment_marks(c.pers, c.freq), c.want,
                     "payment_marks " + std::to_string(c.pers) + ", " + std::to_string(c.freq));
}

TEST_P(KnownAnswers, BlockSums) {
    struct Case {
        const char* what;
        Series column;
        std::int32_t freq;
        std::vector<float> want;
    };
    const Series eight = {100, 1, 2, 3, 4, 5, 6, 7};
    const std::vector<Case> cases = {
        {"length 1", {42}, 3, {}},
        {"length 8, freq 3: entries 1-3, 4-6, 7", eight, 3, {6, 15, 7}},
        {"length 8, freq -2: one block of entries 1-7", eight, -2, {28}},
        {"length 8, freq INT32_MIN", eight, kMin, {28}},
        {"length 8, freq 1", eight, 1, {1, 2, 3, 4, 5, 6, 7}},
        {"length 8, freq 7", eight, 7, {28}},
        {"length 8, freq 8", eight, 8, {28}},
        // Each sum starts from +0.0: a block of one -0.0 sums to +0.0.
        {"sum starts at +0.0", {5, -0.0f}, 1, {0.0f}},
        // Left to right: ((16777216 + 1) + 1) - 16777216 is 0 in binary32.
        {"left to right", {9, 16777216.0f, 1, 1, -16777216.0f}, 4, {0.0f}},
        {"NaN and infinities pass through", {0, kInf, 1, kNaN, 2}, 2, {kInf, kNaN}},
    };
    for (const Case& c : cases) expect_exact(e().block_sums(c.column, c.freq), c.want, std::string("block_sums ") + c.what);
}

// ======================================================== principal profile

TEST_P(KnownAnswers, PrincipalProfileWorkedValues) {
    const Series p = e().principal_profile(terms(1000, 0.05f, 4, 1, 1));
    expect_shown(p, {"0.0", "232.012", "243.6126", "255.7932", "268.5829"}, "profile 1000/0.05/4");
    expect_shown_value(left_to_right_sum(p), "1000.0007", "left-to-right sum of profile 1000/0.05/4");

    // pers 1: 0.0 and 1000.001, not 1000.
    expect_shown(e().principal_profile(terms(1000, 0.05f, 1, 1, 1)), {"0.0", "1000.001"}, "profile 1000/0.05/1");

    // amt 15, rate 1, pers 4 is exact.
    expect_exact(e().principal_profile(terms(15, 1.0f, 4, 1, 1)), {0, 1, 2, 4, 8}, "profile 15/1/4");

    // rate 0.00000006: base 1.00000012, entries from 1 on about 125.83, sum about 503.
    const Series distorted = e().principal_profile(terms(1000, 0.00000006f, 4, 1, 1));
    expect_shown(distorted, {"0.0", "125.83", "125.83", "125.83", "125.83"}, "profile 1000/6e-8/4");
    expect_shown_value(left_to_right_sum(distorted), "503", "sum of profile 1000/6e-8/4");
}

TEST_P(KnownAnswers, PrincipalProfileDegenerateRates) {
    // rate 0: factor NaN, every entry (entry 0 included) NaN.
    expect_exact(e().principal_profile(terms(1000, 0.0f, 4, 1, 1)), {kNaN, kNaN, kNaN, kNaN, kNaN}, "profile rate 0");
    // 1 + rate rounds to 1.0: NaN, then infinities.
    expect_exact(e().principal_profile(terms(1000, 0.00000001f, 4, 1, 1)), {kNaN, kInf, kInf, kInf, kInf},
                 "profile rate 1e-8");
    expect_exact(e().principal_profile(terms(1000, std::ldexp(1.0f, -24), 3, 1, 1)), {kNaN, kInf, kInf, kInf},
                 "profile rate 2^-24");
    const Series negative_tiny = e().principal_profile(terms(1000, -std::ldexp(1.0f, -25), 3, 1, 1));
    ASSERT_EQ(negative_tiny.size(), 4u);
    EXPECT_TRUE(std::isnan(negative_tiny[0])) << hex(negative_tiny[0]);
    for (std::size_t i = 1; i < 4; ++i) EXPECT_TRUE(std::isinf(negative_tiny[i])) << "entry " << i << " " << hex(negative_tiny[i]);
}

TEST_P(KnownAnswers, PrincipalProfileLengths) {
    // pers 0: one entry, 0.0 / 0.0 = NaN.
    expect_exact(e().principal_profile(terms(1000, 0.05f, 0, 1, 1)), {kNaN}, "profile pers 0");
    for (std::int32_t pers : {-1, -2, kMin, kMax})
        EXPECT_TRUE(e().principal_profile(terms(1000, 0.05f, pers, 1, 1)).empty()) << "pers " << pers;
}

TEST_P(KnownAnswers, PrincipalProfileNegativeAmountIsMirrorImage) {
    for (std::int32_t pers : {1, 4, 9}) {
        const Series pos = e().principal_profile(terms(1000, 0.05f, pers, 1, 1));
        const Series neg = e().principal_profile(terms(-1000, 0.05f, pers, 1, 1));
        ASSERT_EQ(pos.size(), neg.size());
        for (std::size_t i = 0; i < pos.size(); ++i)
            EXPECT_TRUE(paywheel::num::same_bits(neg[i], -pos[i]))
                << "pers " << pers << " entry " << i << ": " << hex(neg[i]) << " vs " << hex(pos[i]);
        EXPECT_TRUE(paywheel::num::same_bits(neg[0], -0.0f)) << hex(neg[0]);
    }
}

// ========================================================= capital schedule

TEST_P(KnownAnswers, CapitalScheduleTable) {
    struct Case {
        float amt, rate;
        std::int32_t pers, cap_freq;
        std::vector<const char*> want;
        bool total_is_amt;  // the left-to-right total is known to be exactly amt
    };
    const std::vector<Case> cases = {
        {1000, 0.05f, 4, 1, {"0.0", "232.012", "243.6126", "255.7932", "268.5822"}, true},
        {1000, 0.05f, 4, 2, {"0.0", "0.0", "475.6246", "0.0", "524.3754"}, true},
        {1000, 0.05f, 7, 3, {"0.0", "0.0", "0.0", "387.1899", "0.0", "0.0", "612.8101", "0.0"}, true},
        {1000, 0.05f, 4, 3, {"0.0", "0.0", "0.0", "1000.0", "0.0"}, true},
        {1000, 0.05f, 4, 8, {"1000.0", "0.0", "0.0", "0.0", "0.0"}, true},
        // The partial block is not the smallest: the two equal largest entries
        // tie and the residue pass raises the earlier one.
        {1000, 0.2f, 10, 3,
         {"0.0", "0.0", "0.0", "140.2228", "0.0", "0.0", "661.0083", "0.0", "0.0", "198.7689", "0.0"}, false},
        // Negative amount: the residue lands on entry 0 (top 0.0).
        {-1000, 0.05f, 5, 2, {"-181.9", "0.0", "-409.0", "0.0", "-409.0", "0.0"}, true},
        // No period due: the amount lands on entry 0.
        {1000, 0.05f, 1, 2, {"1000.0", "0.0"}, true},
        {1000, 0.05f, 3, -5, {"1000.0", "0.0", "0.0", "0.0"}, true},
    };
    for (const Case& c : cases) {
        const LoanTerms t = terms(c.amt, c.rate, c.pers, 1, c.cap_freq);
        const Series cap = e().capital_schedule(t);
        expect_shown(cap, c.want, "capital " + describe(t));
        if (c.total_is_amt) {
            EXPECT_TRUE(paywheel::num::same_bits(left_to_right_sum(cap), c.amt))
                << describe(t) << ": total " << hex(left_to_right_sum(cap));
        }
    }
}

TEST_P(KnownAnswers, CapitalScheduleNonFinite) {
    // rate 0: NaN block sums, due periods receive +inf, the residue pass
    // turns them (and, once no infinity is left, the trailing zeros) into NaN.
    expect_exact(e().capital_schedule(terms(1000, 0.0f, 4, 1, 2)), {0, 0, kNaN, 0, kNaN}, "capital rate 0 pers 4 cap 2");
    expect_exact(e().capital_schedule(terms(1000, 0.0f, 5, 1, 2)), {0, 0, kNaN, 0, kNaN, kNaN},
                 "capital rate 0 pers 5 cap 2");
    expect_exact(e().capital_schedule(terms(1000, 0.0f, 4, 1, 4)), {0, 0, 0, 0, kNaN}, "capital rate 0 pers 4 cap 4");
}

TEST_P(KnownAnswers, CapitalScheduleExact) {
    // amt 15, rate 1, pers 4: every value exact (as in the full-schedule tables).
    expect_exact(e().capital_schedule(terms(15, 1.0f, 4, 1, 1)), {0, 1, 2, 4, 8}, "capital 15/1/4 cap 1");
    expect_exact(e().capital_schedule(terms(15, 1.0f, 4, 1, 2)), {0, 0, 3, 0, 12}, "capital 15/1/4 cap 2");
}

// ======================================================== interest schedule

TEST_P(KnownAnswers, InterestScheduleExactTable) {
    struct Case {
        std::int32_t int_freq;
        std::vector<float> want;
    };
    const std::vector<Case> cases = {
        {1, {0, 15, 14, 12, 8}},
        {2, {0, 0, 29, 0, 20}},
        {3, {0, 0, 0, 41, 0}},
        {4, {0, 0, 0, 0, 49}},
        {5, {0, 0, 0, 0, 0}},
        {kMax, {0, 0, 0, 0, 0}},
        {kMin, {0, 0, 0, 0, 0}},
        // Decided change: periods that find pending empty write 0.0.
        {-2, {0, 0, 49, 0, 0}},
        {-1, {0, 49, 0, 0, 0}},
        {-4, {0, 0, 0, 0, 49}},
        {-5, {0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases)
        expect_exact(e().interest_schedule(terms(15, 1.0f, 4, c.int_freq, 1)), c.want,
                     "interest 15/1/4 int_freq " + std::to_string(c.int_freq));
}

TEST_P(KnownAnswers, InterestScheduleOtherCases) {
    // Period 1 pays the larger magnitude (-6) and discards -3.
    expect_exact(e().interest_schedule(terms(1, -3.0f, 2, 1, 1)), {0, -6, -6}, "interest 1/-3/2");
    expect_exact(e().interest_schedule(terms(15, 1.0f, 1, 1, 1)), {0, 15}, "interest 15/1/1");
    // rate 0: a single NaN pending is taken without comparison; none due gives zeros.
    expect_exact(e().interest_schedule(terms(1000, 0.0f, 4, 4, 1)), {0, 0, 0, 0, kNaN}, "interest rate 0 int 4");
    expect_exact(e().interest_schedule(terms(1000, 0.0f, 4, 5, 1)), {0, 0, 0, 0, 0}, "interest rate 0 int 5");
    // Entry 0 is +0.0 even when pmt is NaN (rate 0) or infinite (1 + rate rounds to 1).
    expect_exact(e().interest_schedule(terms(1000, 0.00000001f, 4, 4, 1)), {0, 0, 0, 0, kNaN},
                 "interest rate 1e-8 int 4");
    expect_exact(e().interest_schedule(terms(1000, 0.0f, 3, 3, 1)), {0, 0, 0, kNaN}, "interest rate 0 pers 3 int 3");
}

// ============================================================ full schedule

TEST_P(KnownAnswers, BuildScheduleExactTables) {
    struct Case {
        std::int32_t int_freq, cap_freq;
        std::vector<float> per, cap, interest, pmt, bal;
    };
    const std::vector<Case> cases = {
        {1, 1, {0, 1, 2, 3, 4}, {0, 1, 2, 4, 8}, {0, 15, 14, 12, 8}, {0, 16, 16, 16, 16}, {15, 14, 12, 8, 0}},
        {2, 2, {0, 1, 2, 3, 4}, {0, 0, 3, 0, 12}, {0, 0, 29, 0, 20}, {0, 0, 32, 0, 32}, {15, 15, 12, 12, 0}},
        // The frequencies are independent.
        {2, 1, {0, 1, 2, 3, 4}, {0, 1, 2, 4, 8}, {0, 0, 29, 0, 20}, {0, 1, 31, 4, 28}, {15, 14, 12, 8, 0}},
    };
    for (const Case& c : cases) {
        const LoanTerms t = terms(15, 1.0f, 4, c.int_freq, c.cap_freq);
        const Schedule s = e().build_schedule(t);
        const std::string what = describe(t);
        expect_exact(column(s, "Per"), c.per, what + " Per");
        expect_exact(column(s, "Cap"), c.cap, what + " Cap");
        expect_exact(column(s, "Int"), c.interest, what + " Int");
        expect_exact(column(s, "Pmt"), c.pmt, what + " Pmt");
        expect_exact(column(s, "Bal"), c.bal, what + " Bal");
    }
}

TEST_P(KnownAnswers, BuildScheduleNaNCapital) {
    // A NaN in "Cap" makes "Bal" NaN from that period on; "Pmt" takes it only there.
    const Schedule s = e().build_schedule(terms(1000, 0.0f, 5, 6, 2));
    expect_exact(column(s, "Cap"), {0, 0, kNaN, 0, kNaN, kNaN}, "Cap");
    expect_exact(column(s, "Int"), {0, 0, 0, 0, 0, 0}, "Int");
    expect_exact(column(s, "Pmt"), {0, 0, kNaN, 0, kNaN, kNaN}, "Pmt");
    expect_exact(column(s, "Bal"), {1000, 1000, kNaN, kNaN, kNaN, kNaN}, "Bal");
}

TEST_P(KnownAnswers, BuildScheduleZeroCapitalKeepsBalanceSign) {
    // amt -0.0: every "Cap" entry is a zero, so the balance stays -0.0.
    const Schedule s = e().build_schedule(terms(-0.0f, 0.05f, 4, 8, 8));
    const Series& bal = column(s, "Bal");
    ASSERT_EQ(bal.size(), 5u);
    for (std::size_t k = 0; k < bal.size(); ++k) {
        EXPECT_EQ(column(s, "Cap")[k], 0.0f) << "Cap entry " << k;
        EXPECT_TRUE(paywheel::num::same_bits(bal[k], -0.0f)) << "Bal entry " << k << ": " << hex(bal[k]);
    }
}

TEST_P(KnownAnswers, BuildScheduleColumnRelations) {
    // Pmt = Cap + Int, Bal = amt minus the capital one subtraction at a time;
    // all five columns have pers + 1 entries; identical terms give identical schedules.
    for (const LoanTerms& t : {terms(1000, 0.05f, 7, 2, 3), terms(1000, 0.2f, 10, 4, 3), terms(-1000, 0.05f, 5, 1, 2),
                               terms(123456.7f, 0.013f, 37, 5, 6)}) {
        const Schedule s = e().build_schedule(t);
        const Series &cap = column(s, "Cap"), &in = column(s, "Int"), &pmt = column(s, "Pmt"), &bal = column(s, "Bal");
        for (const char* name : {"Per", "Cap", "Int", "Pmt", "Bal"})
            EXPECT_EQ(column(s, name).size(), std::size_t(t.pers) + 1) << describe(t) << " " << name;
        ASSERT_EQ(cap.size(), in.size());
        ASSERT_EQ(cap.size(), pmt.size());
        ASSERT_EQ(cap.size(), bal.size());
        float b = t.amt;
        for (std::size_t k = 0; k < cap.size(); ++k) {
            EXPECT_TRUE(paywheel::num::same_bits(pmt[k], cap[k] + in[k])) << describe(t) << " Pmt " << k;
            if (cap[k] != 0.0f) b = b - cap[k];
            EXPECT_TRUE(paywheel::num::same_bits(bal[k], b)) << describe(t) << " Bal " << k;
        }
        const Schedule again = e().build_schedule(t);
        for (const char* name : {"Per", "Cap", "Int", "Pmt", "Bal"})
            expect_exact(column(again, name), column(s, name), describe(t) + " rebuilt " + name);
    }
}

// ================================================================ aborts

enum class Op { Build, Capital, Interest, Marks, BlockSumsOfEmpty };

struct AbortCase {
    const char* what;
    Op op;
    LoanTerms t;
    const char* message;
};

std::optional<std::string> run_op(const Engine& e, const AbortCase& c) {
    return abort_of([&] {
        switch (c.op) {
            case Op::Build: (void)e.build_schedule(c.t); break;
            case Op::Capital: (void)e.capital_schedule(c.t); break;
            case Op::Interest: (void)e.interest_schedule(c.t); break;
            case Op::Marks: (void)e.payment_marks(c.t.pers, c.t.cap_freq); break;
            case Op::BlockSumsOfEmpty: (void)e.block_sums(Series{}, c.t.cap_freq); break;
        }
    });
}

// terms(amt, rate, pers, int_freq, cap_freq)
const std::vector<AbortCase> kAbortCases = {
    // Payment marks and block sums
    {"marks pers 4 freq 0", Op::Marks, terms(0, 0, 4, 0, 0), kRemainderByZero},
    {"marks pers 0 freq 0", Op::Marks, terms(0, 0, 0, 0, 0), kRemainderByZero},
    {"marks pers 2147483646 freq 0 (fails before allocating)", Op::Marks, terms(0, 0, kMax - 1, 0, 0), kRemainderByZero},
    {"block_sums of an empty column", Op::BlockSumsOfEmpty, terms(0, 0, 0, 0, 3), kSliceStart},
    {"block_sums of an empty column, freq -1", Op::BlockSumsOfEmpty, terms(0, 0, 0, 0, -1), kSliceStart},
    // Capital schedule
    {"capital pers 4 cap 0", Op::Capital, terms(1000, 0.05f, 4, 1, 0), kRemainderByZero},
    {"capital pers 2147483646 cap 0", Op::Capital, terms(1000, 0.05f, kMax - 1, 1, 0), kRemainderByZero},
    {"capital pers -1 cap 0", Op::Capital, terms(1000, 0.05f, -1, 1, 0), kSliceStart},
    {"capital pers -1 cap 1", Op::Capital, terms(1000, 0.05f, -1, 1, 1), kSliceStart},
    {"capital pers 2147483647", Op::Capital, terms(1000, 0.05f, kMax, 1, 1), kSliceStart},
    {"capital pers INT32_MIN", Op::Capital, terms(1000, 0.05f, kMin, 1, 1), kSliceStart},
    {"capital pers 0", Op::Capital, terms(1000, 0.05f, 0, 1, 1), kUnwrapNone},
    {"capital pers 4 cap 4 (single block dropped)", Op::Capital, terms(1000, 0.05f, 4, 1, 4), kRemovalIndex},
    {"capital pers 1 cap 1", Op::Capital, terms(1000, 0.05f, 1, 1, 1), kRemovalIndex},
    {"capital pers 4 cap -3 (single block dropped)", Op::Capital, terms(1000, 0.05f, 4, 1, -3), kRemovalIndex},
    {"capital amt -1000 pers 4 cap 2 (decreasing sums)", Op::Capital, terms(-1000, 0.05f, 4, 1, 2), kRemovalIndex},
    {"capital rate 1e-8 pers 4 cap 2 (equal infinite sums)", Op::Capital, terms(1000, 0.00000001f, 4, 1, 2),
     kRemovalIndex},
    // Interest schedule
    {"interest pers 3 int 0", Op::Interest, terms(1000, 0.05f, 3, 0, 1), kRemainderByZero},
    {"interest pers 2147483646 int 0", Op::Interest, terms(1000, 0.05f, kMax - 1, 0, 1), kRemainderByZero},
    {"interest pers -2 int 1", Op::Interest, terms(1000, 0.05f, -2, 1, 1), kIndexOutOfBounds},
    {"interest pers -2 int 0", Op::Interest, terms(1000, 0.05f, -2, 0, 1), kIndexOutOfBounds},
    {"interest pers 2147483647", Op::Interest, terms(1000, 0.05f, kMax, 1, 1), kIndexOutOfBounds},
    {"interest pers 2147483647 int 0", Op::Interest, terms(1000, 0.05f, kMax, 0, 1), kIndexOutOfBounds},
    {"interest pers INT32_MIN", Op::Interest, terms(1000, 0.05f, kMin, 1, 1), kIndexOutOfBounds},
    {"interest pers 0", Op::Interest, terms(1000, 0.05f, 0, 1, 1), kUnwrapNone},
    {"interest pers 0 int -1", Op::Interest, terms(1000, 0.05f, 0, -1, 1), kUnwrapNone},
    {"interest rate 0 int 2 (NaN magnitudes)", Op::Interest, terms(1000, 0.0f, 4, 2, 1), kUnwrapNone},
    {"interest rate 0 int 1 (NaN magnitudes)", Op::Interest, terms(1000, 0.0f, 4, 1, 1), kUnwrapNone},
    {"interest amt NaN int 1 (NaN magnitudes)", Op::Interest, terms(kNaN, 0.05f, 4, 1, 1), kUnwrapNone},
    // Full schedule: the first abort in stage order is reported.
    {"build pers 4 cap 0", Op::Build, terms(1000, 0.05f, 4, 1, 0), kRemainderByZero},
    {"build pers 4 cap 0 int 0 (capital first)", Op::Build, terms(1000, 0.05f, 4, 0, 0), kRemainderByZero},
    {"build pers 4 int 0", Op::Build, terms(1000, 0.05f, 4, 0, 1), kRemainderByZero},
    {"build pers 4 cap 4 int 0 (capital's removal beats interest's remainder)", Op::Build,
     terms(1000, 0.05f, 4, 0, 4), kRemovalIndex},
    {"build pers 0 int 0 (capital's unwrap beats interest's remainder)", Op::Build, terms(1000, 0.05f, 0, 0, 1),
     kUnwrapNone},
    {"build pers 0", Op::Build, terms(1000, 0.05f, 0, 1, 1), kUnwrapNone},
    {"build pers -1 cap 0 (slice, not remainder)", Op::Build, terms(1000, 0.05f, -1, 1, 0), kSliceStart},
    {"build pers -1 cap 0 int 0", Op::Build, terms(1000, 0.05f, -1, 0, 0), kSliceStart},
    {"build pers -2 (capital's slice beats interest's index)", Op::Build, terms(1000, 0.05f, -2, 1, 1), kSliceStart},
    {"build pers 2147483647", Op::Build, terms(1000, 0.05f, kMax, 1, 1), kSliceStart},
    {"build pers 2147483647 cap 0 int 0", Op::Build, terms(1000, 0.05f, kMax, 0, 0), kSliceStart},
    {"build pers INT32_MIN", Op::Build, terms(1000, 0.05f, kMin, 1, 1), kSliceStart},
    {"build pers 2147483646 cap 0 (fails before allocating)", Op::Build, terms(1000, 0.05f, kMax - 1, 1, 0),
     kRemainderByZero},
    {"build pers 1 cap 1", Op::Build, terms(1000, 0.05f, 1, 1, 1), kRemovalIndex},
    {"build amt -1000 pers 4 cap 2", Op::Build, terms(-1000, 0.05f, 4, 1, 2), kRemovalIndex},
    {"build rate 0 pers 4 cap 2 int 2 (capital succeeds, interest NaN)", Op::Build, terms(1000, 0.0f, 4, 2, 2),
     kUnwrapNone},
};

TEST_P(KnownAnswers, AbortMessagesInOrder) {
    for (const AbortCase& c : kAbortCases) {
        const std::optional<std::string> got = run_op(e(), c);
        ASSERT_TRUE(got.has_value()) << c.what << ": returned normally, expected abort \"" << c.message << "\"";
        EXPECT_EQ(*got, c.message) << c.what;
    }
}

// The engine names each refusal where it raises it: the code and the field
// to blame (the reference engine has messages only).
TEST(KnownAnswersBlame, EveryAbortNamesItsCodeAndField) {
    struct Case {
        LoanTerms t;
        const char* code;
        const char* field;
    };
    const Case cases[] = {
        {terms(1000, 0.05f, 4, 1, 0), "zero_frequency", "cap_freq"},
        {terms(1000, 0.05f, 4, 0, 0), "zero_frequency", "cap_freq"},
        {terms(1000, 0.05f, 4, 0, 1), "zero_frequency", "int_freq"},
        {terms(1000, 0.05f, 4, 0, 4), "single_capital_block", "cap_freq"},
        {terms(1000, 0.05f, 1, 1, 1), "single_capital_block", "pers"},
        {terms(1000, 0.05f, 0, 0, 1), "no_periods", "pers"},
        {terms(1000, 0.05f, -1, 1, 0), "no_periods", "pers"},
        {terms(1000, 0.05f, kMax, 0, 0), "no_periods", "pers"},
        {terms(-1000, 0.05f, 4, 1, 2), "decreasing_blocks", "amt"},
        {terms(1000, 0.00000001f, 4, 1, 2), "vanishing_rate", "rate"},
        {terms(1000, 0.0f, 4, 2, 2), "zero_rate", "rate"},
        {terms(kNaN, 0.05f, 4, 1, 2), "non_finite", "amt"},
    };
    for (const Case& c : cases) {
        const std::string what = std::to_string(c.t.amt) + " " + std::to_string(c.t.rate) + " " +
                                 std::to_string(c.t.pers) + " " + std::to_string(c.t.int_freq) + " " +
                                 std::to_string(c.t.cap_freq);
        try {
            paywheel::QuietAborts quiet;
            (void)paywheel::build_schedule(c.t);
            ADD_FAILURE() << what << ": returned normally";
        } catch (const paywheel::Abort& a) {
            ASSERT_TRUE(a.blame().has_value()) << what;
            EXPECT_STREQ(paywheel::name_of(a.blame()->code), c.code) << what;
            EXPECT_STREQ(paywheel::name_of(a.blame()->field), c.field) << what;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, KnownAnswers, ::testing::Values(&kFast, &kReference),
                         [](const ::testing::TestParamInfo<const Engine*>& info) { return std::string(info.param->name); });

// ============================================ large columns (fast engine only)

TEST(KnownAnswersLarge, PeriodAxisAbove2To24) {
    // n = 16777217 rounded through binary32 = 16777216: 16777217 entries.
    const Series per = paywheel::period_axis(16777217);
    ASSERT_EQ(per.size(), 16777217u);
    EXPECT_EQ(per[16777215], 16777215.0f);
    EXPECT_EQ(per.back(), 16777216.0f);
}

TEST(KnownAnswersLarge, PeriodNotExactInBinary32IsNotDue) {
    // 16777217 is a multiple of int_freq and cap_freq, but its mark is stored as
    // 16777216, so no period is due: "Int" is all zeros, "Cap" puts amt on
    // entry 0, and "Per" is one entry shorter than the other columns.
    const LoanTerms t = terms(1000, 0.05f, 16777217, 16777217, 16777217);
    const Schedule s = paywheel::build_schedule(t);
    const Series &per = column(s, "Per"), &cap = column(s, "Cap"), &in = column(s, "Int"), &pmt = column(s, "Pmt"),
                 &bal = column(s, "Bal");
    EXPECT_EQ(per.size(), 16777217u);
    ASSERT_EQ(cap.size(), 16777218u);
    ASSERT_EQ(in.size(), 16777218u);
    ASSERT_EQ(pmt.size(), 16777218u);
    ASSERT_EQ(bal.size(), 16777218u);
    EXPECT_TRUE(paywheel::num::same_bits(cap[0], 1000.0f)) << hex(cap[0]);
    EXPECT_TRUE(paywheel::num::same_bits(bal[0], 0.0f)) << hex(bal[0]);
    EXPECT_TRUE(paywheel::num::same_bits(pmt[0], 1000.0f)) << hex(pmt[0]);
    std::size_t bad = 0;
    for (std::size_t k = 1; k < cap.size(); ++k)
        bad += !paywheel::num::same_bits(cap[k], 0.0f) || !paywheel::num::same_bits(pmt[k], 0.0f) ||
               !paywheel::num::same_bits(bal[k], 0.0f);
    for (std::size_t k = 0; k < in.size(); ++k) bad += !paywheel::num::same_bits(in[k], 0.0f);
    EXPECT_EQ(bad, 0u) << "entries that are not +0.0 (Int at 16777217: " << hex(in.back())
                       << ", Cap at 16777217: " << hex(cap.back()) << ")";
}

}  // namespace
