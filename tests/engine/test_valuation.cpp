// Values without an interpreter: the loan-by-loan value kernel, which forms
// each loan's net flows straight from its schedule, against the per-loan
// projection valued afterwards (to the bit, in every discount mode), and the
// root finder on sums whose roots are known.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "paywheel/columnar/projection.hpp"
#include "paywheel/columnar/valuation.hpp"

namespace paywheel::columnar {
namespace {

ColumnView typed(Kind k, const void* data) {
    ColumnView v;
    v.kind = k;
    v.data = data;
    v.stride = 8;
    return v;
}

void serial(std::size_t count, const std::function<void(std::size_t)>& work) {
    for (std::size_t c = 0; c < count; ++c) work(c);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(Valuation, TheValueKernelIsTheProjectionValuedToTheBit) {
    // Loans of 6..120 periods, monthly or quarterly, seasoned, with current
    // balances and fees; one zero rate and one bad fee among them.
    std::mt19937 rng(17);
    const std::size_t n = 300;
    std::vector<double> amt, rate, balance, fee;
    std::vector<std::int64_t> pers, freq, age;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t f = rng() % 3 == 0 ? 3 : 1;
        const std::int64_t p = f * static_cast<std::int64_t>(4 + rng() % 37);
        amt.push_back(1e3 + rng() % 500000);
        rate.push_back(0.001 + (rng() % 1000) * 1e-5);
        pers.push_back(p);
        freq.push_back(f);
        age.push_back(static_cast<std::int64_t>(rng() % static_cast<unsigned>(p - 2 * f)));
        balance.push_back(amt.back() * (0.2 + (rng() % 100) * 0.005));
        fee.push_back(rate.back() * (rng() % 4) * 0.1);
    }
    rate[40] = fee[40] = 0.0;
    fee[41] = rate[41] * 2;
    InputBatch batch;
    batch.rows = static_cast<std::int64_t>(n);
    batch.columns[int(Field::Amt)] = typed(Kind::F64, amt.data());
    batch.columns[int(Field::Rate)] = typed(Kind::F64, rate.data());
    batch.columns[int(Field::Pers)] = typed(Kind::I64, pers.data());
    batch.columns[int(Field::IntFreq)] = typed(Kind::I64, freq.data());
    batch.columns[int(Field::CapFreq)] = typed(Kind::I64, freq.data());
    std::vector<Scenario> sc(3);
    sc[0].prepay.rates = {0.02, 0.05, 0.01};
    sc[0].dflt.rates = {0.004};
    sc[0].severity = 0.3;
    sc[0].lag = 4;
    for (int a = 0; a <= 30; ++a) sc[1].prepay.rates.push_back(0.0004 * a);
    sc[1].prepay.by_age = true;
    sc[2].dflt.rates = {0.01, 0.0};
    sc[2].severity = 1.0;
    const std::atomic<bool> stop{false};

    DiscountSpec rate_spec{DiscountMode::Rate, 12, 0.047, {}, {}, 0.0};
    DiscountSpec curve_spec{DiscountMode::Curve, 12, 0.0, {0.25, 3.0, 9.0}, {0.02, 0.035, 0.03}, 0.011};
    DiscountSpec price_spec{DiscountMode::Price, 12, 0.0, {}, {}, 0.0};
    DiscountSpec spread_spec{DiscountMode::CurvePrice, 12, 0.0, {0.25, 3.0, 9.0}, {0.02, 0.035, 0.03}, 0.0};
    // The market's conventions: a delay, a value date inside the period, the bond-equivalent basis, a shift.
    DiscountSpec bey_rate_spec{DiscountMode::Rate, 12, 0.047, {}, {}, 0.0, YieldBasis::BondEquivalent, 24.0, 0.0, 1e-4};
    DiscountSpec market_spec{DiscountMode::CurvePrice, 12, 0.0, {0.25, 3.0, 9.0}, {0.02, 0.035, 0.03}, 0.0,
                             YieldBasis::BondEquivalent, 14.0, 9.0, 0.0025};
    for (bool standing : {false, true}) {
        ProjectionInput in{age.data(), nullptr, 1, standing ? balance.data() : nullptr, standing ? fee.data() : nullptr};
        const LoanProjection flows = compute_loan_projection({batch}, in, sc, OnError::Skip, 0, serial, stop);
        for (const DiscountSpec& spec : {rate_spec, curve_spec, price_spec, spread_spec, bey_rate_spec, market_spec}) {
            const bool priced = spec.mode == DiscountMode::Price || spec.mode == DiscountMode::CurvePrice;
            const std::vector<double> prices = priced ? std::vector<double>{96.5, 103.0} : std::vector<double>{};
            Valuer valuer(spec);
            const LoanValues got = compute_loan_values({batch}, in, sc, valuer, prices, nullptr, OnError::Skip, serial, stop);
            ASSERT_EQ(got.failures.size(), standing ? 2u : 1u);
            EXPECT_EQ(got.failures[0].code, FailureCode::ZeroRate);
            if (standing) {
                EXPECT_EQ(got.failures[1].code, FailureCode::BadFee);
            }
            // Walk the projection's rows: each (loan, scenario) run valued afresh.
            std::size_t row = 0, out = 0;
            const std::size_t P = priced ? prices.size() : 1;
            while (row < flows.loan.size()) {
                std::size_t end = row;
                while (end < flows.loan.size() && flows.loan[end] == flows.loan[row] &&
                       flows.scenario[end] == flows.scenario[row])
                    ++end;
                std::vector<double> prin(end - row);
                for (std::size_t p = row; p < end; ++p)
                    prin[p - row] = flows.columns[kScheduled][p] + flows.columns[kPrepaid][p] + flows.columns[kRecovery][p];
                const double guess = static_cast<double>(static_cast<float>(rate[flows.loan[row]])) * 12;
                for (std::size_t j = 0; j < P; ++j, ++out) {
                    ValueRow want;
                    valuer.value(flows.columns[kNetCashflow].data() + row, prin.data(), end - row,
                                 flows.columns[kBalance][row], priced ? prices[j] : 0.0, guess, want);
                    ASSERT_LT(out, got.loan.size());
                    EXPECT_EQ(got.loan[out], flows.loan[row]);
                    EXPECT_EQ(got.scenario[out], flows.scenario[row]);
                    for (std::size_t c = 0; c < kValueColumnCount; ++c)
                        ASSERT_TRUE(same_bits(got.columns[c][out], want[c]))
                            << kValueColumnNames[c] << " loan " << flows.loan[row] << " scenario " << flows.scenario[row]
                            << ": " << got.columns[c][out] << " against " << want[c];
                }
                row = end;
            }
            EXPECT_EQ(out, got.loan.size());
        }
    }
}

TEST(Valuation, TheRootFinderFindsKnownRootsAndRefusesImpossibleOnes) {
    struct Case {
        std::vector<double> c;  // c[0] is period 0, never read
        double target, root;    // root 0: no root
    };
    const double big = std::pow(2.0, 1000);
    const std::vector<Case> cases = {
        {{0, 0, 0, 8}, 1.0, 0.5},                        // 8 x^3 = 1
        {{0, 2, 1}, 3.0, 1.0},                           // 2x + x^2 = 3
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1e-300}, 1.0, 1e30},  // far above 1
        {{0, 1, 1, 1, 1}, 1e-12, 1e-12 / (1 + 1e-12)},  // near 0 (x + x^2 + ... ~ x)
        {{99, 0, 0}, 1.0, 0.0},                          // no flow after period 0
        {{0, 1}, std::nan(""), 0.0},
        {{0, 1}, -1.0, 0.0},
        {{0, 1, 1}, big * big, 0.0},                     // an infinite target
    };
    for (const Case& k : cases) {
        for (double x0 : {1.0, 0.9, 7.0, 1e-9}) {
            double x = -1.0;
            const bool ok = solve_power_sum(k.c.data(), k.c.size(), k.target, x0, x);
            ASSERT_EQ(ok, k.root > 0) << "target " << k.target << " from " << x0;
            if (ok) {
                EXPECT_NEAR(x, k.root, 4e-15 * k.root) << "target " << k.target << " from " << x0;
            }
        }
    }
}

}  // namespace
}  // namespace paywheel::columnar
