// What a run of projected flows is worth: present value, price, yield,
// spread, weighted average life, durations and convexity, in plain C++.
// The flow of period k (k >= 1) falls at t = k / periods_per_year years;
// period 0 has none. A yield y is a nominal annual rate compounded
// periods_per_year (N) times a year: the flow of period k is discounted by
// (1 + y/N)^-k. A curve gives continuously compounded zero rates z(t),
// linear in t between its points and flat outside them, and a spread s adds
// to them: the discount is exp(-(z(t) + s) t). Durations and convexity are
// taken with respect to the yield of the basis, compounded m times a year
// (m = N for the mortgage yield, 2 for the bond-equivalent yield r, with
// (1 + y/N)^(N/2) = 1 + r/2): Macaulay sum(t cf B) / P, modified that over
// (1 + r/m), convexity sum(cf B t (t + 1/m)) / (1 + r/m)^2 / P / 100 (quoted
// in years squared over 100, as the market quotes it).
// The market's timing: a flow is paid `delay` days (30/360) after its
// period ends, and the value is taken `settle` days into the first period,
// so the flow of period k falls at t = (k + (delay - settle) N / 360) / N
// years; with both 0 the times are those above, to the bit.
// Every sum runs over the periods in order, so the bits depend on the flows
// alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace paywheel::columnar {

// How a call discounts.
enum class DiscountMode : std::uint8_t {
    Rate,        // at a given yield
    Curve,       // on a curve plus a given spread; the yield is solved
    Price,       // the yield is solved from a price
    CurvePrice,  // the spread over a curve is solved from a price, then the yield
};

// Which yield the durations and convexity are taken against.
enum class YieldBasis : std::uint8_t {
    Mortgage,        // the yield compounded with the payment frequency
    BondEquivalent,  // compounded semi-annually
};

struct DiscountSpec {
    DiscountMode mode = DiscountMode::Rate;
    std::int32_t periods_per_year = 12;
    double rate = 0.0;  // Rate
    std::vector<double> years, zero_rates;  // Curve, CurvePrice: strictly increasing years
    double spread = 0.0;                    // Curve
    YieldBasis basis = YieldBasis::Mortgage;
    double delay_days = 0.0;   // 30/360 days from a period's end to its payment, >= 0
    double settle_days = 0.0;  // 30/360 days from the first period's start to the value date, 0..360/N
    // The shift of the effective measures (a rate, 0.0025 for 25 bp): the
    // yield of the basis, or the whole zero curve, moved up and down by it
    // and the same flows revalued. 0: none (their columns are NaN).
    double shift = 0.0;
};

// The columns of a value, in output order.
enum ValueColumn : std::size_t {
    kStartBalance,
    kPv,
    kPrice,  // the full price, percent of start_balance
    kAccrued,  // interest accrued to the value date, per 100 of start_balance
    kCleanPrice,  // price - accrued
    kYield,
    kBey,
    kSpread,
    kWal,
    kMacaulay,
    kModified,
    kConvexity,
    kEffectiveDuration,
    kEffectiveConvexity,
    kValueColumnCount
};
inline constexpr const char* kValueColumnNames[kValueColumnCount] = {
    "start_balance", "pv",  "price", "accrued", "clean_price", "yield", "bey", "spread", "wal", "macaulay_duration",
    "modified_duration", "convexity", "effective_duration", "effective_convexity"};

using ValueRow = double[kValueColumnCount];

// The discount factors of one call, computed once for the longest run of
// flows it values and then read by any number of threads.
class Valuer {
public:
    // Throws ColumnarError (BadInput) for a spec no flows can be valued by:
    // a rate at or below -N, a curve that is empty, uneven or not strictly
    // increasing, non-finite numbers, a negative delay or shift, or a value
    // date outside the first period.
    explicit Valuer(DiscountSpec spec);

    const DiscountSpec& spec() const noexcept { return spec_; }
    // Readies the tables for flows of periods 0..periods; call before the
    // threads that read them start. Throws std::bad_alloc, and ColumnarError
    // (BadInput) where a discount factor of the given rate or curve exceeds
    // the largest double, so that no value of such flows would be a number.
    void reserve(std::size_t periods);

    // Values flows cf[0..n) (net of servicing) with principal prin[0..n) of a
    // run that starts at `start_balance`. `price` is the price asked for
    // (percent of start_balance) in the modes that solve one, and ignored
    // otherwise; `guess` is a yield to start a solve from. Every column of
    // `out` is written; false when a solve did not converge, and then the
    // columns that depend on it are NaN. Reads only; n <= reserved + 1.
    bool value(const double* cf, const double* prin, std::size_t n, double start_balance, double price, double guess,
               ValueRow& out) const;

    // The zero rate of the curve at t (linear between points, flat outside).
    double zero_rate(double t) const noexcept;

private:
    DiscountSpec spec_;
    double offset_ = 0.0;  // (delay - settle) N / 360: the flows' offset, in periods
    // Rate: (1 + y/N)^-(k + offset), then the same times t_k and times
    // t_k (m t_k + 1). Curve: exp(-(z(t_k) + spread) t_k). CurvePrice:
    // exp(-z(t_k) t_k). With a shift over a curve: exp(-shift t_k) and
    // exp(shift t_k).
    std::vector<double> df_, t_df_, c_df_, up_, down_;
};

// The x > 0 with sum_{k=1}^{n-1} c[k] x^k = target, by Newton's method kept
// inside a bracket (bisection where a step would leave it), from `x0`.
// False when no such x was found within the iteration limit or the sums
// overflow.
bool solve_power_sum(const double* c, std::size_t n, double target, double x0, double& x) noexcept;

// The values of runs of summed flows (a projection's rows of one scenario
// and segment), each at every price of `prices` in the modes that solve from
// one: run r spans rows [bounds[2r], bounds[2r + 1]) of the flow columns,
// its start balance the balance of its first row. Output rows by run, then
// price; solved[i] is 0 where a solve did not converge.
struct RunValues {
    std::vector<double> columns[kValueColumnCount];
    std::vector<std::int32_t> run, price;
    std::vector<std::uint8_t> solved;
};

// Throws ColumnarError (BadInput) for bounds outside the flows or out of
// order, or a mode that needs prices without any; std::bad_alloc.
RunValues value_runs(Valuer& valuer, const double* net, const double* principal, const double* balance,
                     std::size_t flow_rows, const std::int64_t* bounds, std::size_t runs,
                     const std::vector<double>& prices);

}  // namespace paywheel::columnar
