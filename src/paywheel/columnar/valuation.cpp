#include "paywheel/columnar/valuation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "paywheel/columnar/failure.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::columnar {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Steps and bisections of one solve; a bracket from 0 to 2^64 is
// bisected to the last bit in under 120, and Halley needs a handful.
constexpr int kMaxSteps = 200;

[[noreturn]] void refuse(const char* what) { throw ColumnarError(CallFailure::BadInput, what); }

// The sums a solve and the durations read at x: P = sum_{k=1}^{n-1} c(k) x^k,
// P1 = sum k c(k) x^k and P2 = sum k^2 c(k) x^k, so that p = P,
// p' = P1 / x and p'' = (P2 - P1) / x^2. Four interleaved lanes (k mod 4),
// each with its own powers x^k = x^(k-4) x^4 and its own partial sums,
// combined (lane 0 + lane 1) + (lane 2 + lane 3): four independent chains
// where one would wait on each multiplication.
struct Sums {
    double P = 0.0, P1 = 0.0, P2 = 0.0;
};

template <typename Coef>
Sums power_sums(const Coef& c, std::size_t n, double x) noexcept {
    double w[4] = {x, x * x, 0.0, 0.0};  // x^k of the lane's next k, from k = 1
    w[2] = w[1] * x;
    w[3] = w[1] * w[1];
    const double x4 = w[3];
    double a[4] = {0.0, 0.0, 0.0, 0.0}, b[4] = {0.0, 0.0, 0.0, 0.0}, d[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t k = 1;
    for (; k + 3 < n; k += 4) {
        for (std::size_t j = 0; j < 4; ++j) {
            const double kk = static_cast<double>(k + j);
            const double t = c(k + j) * w[j];
            a[j] += t;
            b[j] += kk * t;
            d[j] += kk * (kk * t);
            w[j] *= x4;
        }
    }
    for (std::size_t j = 0; k + j < n; ++j) {
        const double kk = static_cast<double>(k + j);
        const double t = c(k + j) * w[j];
        a[j] += t;
        b[j] += kk * t;
        d[j] += kk * (kk * t);
    }
    return Sums{(a[0] + a[1]) + (a[2] + a[3]), (b[0] + b[1]) + (b[2] + b[3]), (d[0] + d[1]) + (d[2] + d[3])};
}

// sum_{k=1}^{n-1} of each of the M terms f(k) gives, in the four lanes of
// power_sums: lane j adds k = 1 + j, 5 + j, ..., and the lanes are combined
// (0 + 1) + (2 + 3). Independent chains of additions, in a fixed order.
template <std::size_t M, typename F>
std::array<double, M> lane_sums(std::size_t n, const F& f) noexcept {
    double acc[M][4] = {};
    std::size_t k = 1;
    for (; k + 3 < n; k += 4) {
        for (std::size_t j = 0; j < 4; ++j) {
            const std::array<double, M> t = f(k + j);
            for (std::size_t m = 0; m < M; ++m) acc[m][j] += t[m];
        }
    }
    for (std::size_t j = 0; k + j < n; ++j) {
        const std::array<double, M> t = f(k + j);
        for (std::size_t m = 0; m < M; ++m) acc[m][j] += t[m];
    }
    std::array<double, M> out;
    for (std::size_t m = 0; m < M; ++m) out[m] = (acc[m][0] + acc[m][1]) + (acc[m][2] + acc[m][3]);
    return out;
}

// The sums over exponents k + d instead of k, for flows d periods later:
// sum c x^(k+d) = x^d P, sum (k+d) c x^(k+d) = x^d (P1 + d P) and
// sum (k+d)^2 c x^(k+d) = x^d (P2 + 2d P1 + d^2 P). With d = 0, the sums as
// they are, to the bit.
Sums offset(const Sums& s, double x, double d) noexcept {
    if (d == 0.0) return s;
    const double f = std::pow(x, d);
    return Sums{f * s.P, f * (s.P1 + d * s.P), f * (s.P2 + (2.0 * d) * s.P1 + (d * d) * s.P)};
}

// The middle of a bracket: geometric while it spans more than a factor of
// four, so that a root orders of magnitude away is reached in a few steps.
double middle(double lo, double hi) noexcept {
    if (lo == 0.0) return hi / 4;
    if (hi > 4 * lo) return std::sqrt(lo) * std::sqrt(hi);
    return lo + (hi - lo) / 2;
}

// Halley's method near the root (cubic convergence: about four sums from a
// guess a few percent off) and Newton's further out, kept inside a bracket:
// Newton where Halley's step leaves it, bisection where Newton's does or
// shrinks too slowly. The exponents are k + d (d > -1). `at` gets the sums
// of the last evaluation, within one step of 1e-15 x of the root.
template <typename Coef>
bool solve(const Coef& c, std::size_t n, double d, double target, double x0, double& x, Sums& at) noexcept {
    if (!(target > 0.0) || !std::isfinite(target) || n < 2) return false;
    // p(0) = 0 < target: lo always has p below the target, hi at or above.
    double lo = 0.0, hi = std::numeric_limits<double>::infinity();
    x = x0 > 0.0 && std::isfinite(x0) ? x0 : 1.0;
    // The last two steps: one that does not at least halve every other
    // time is slower than bisecting.
    double step_before = std::numeric_limits<double>::infinity(), last_step = step_before;
    for (int step = 0; step < kMaxSteps; ++step) {
        at = offset(power_sums(c, n, x), x, d);
        double next;
        if (!std::isfinite(at.P) || !std::isfinite(at.P2)) {
            // Past the range of doubles: the root is below.
            hi = x;
            next = middle(lo, hi);
        } else {
            const double g = at.P - target;
            if (g == 0.0) return true;
            (g < 0.0 ? lo : hi) = x;
            const double d1 = at.P1 / x, d2 = (at.P2 - at.P1) / (x * x);
            const double newton = g / d1;
            const double denominator = 2.0 * d1 * d1 - g * d2;
            // Far from the target, Halley's step crawls where Newton's leaps.
            const double halley =
                denominator > 0.0 && std::fabs(g) < 0.1 * target ? 2.0 * g * d1 / denominator : newton;
            if (std::fabs(halley) <= 1e-15 * x) {
                // A step this small is a root only where p meets the target.
                x -= halley;
                return std::fabs(g) <= 1e-9 * target;
            }
            next = x - halley;
            if (!(next > lo && next < hi)) next = x - newton;
            const bool slow = lo > 0.0 && !std::isinf(hi) && std::fabs(next - x) > 0.5 * step_before;
            // While no point above the root is known, x grows sixteenfold.
            if (!(next > lo && next < hi) || slow) next = std::isinf(hi) ? 16.0 * x : middle(lo, hi);
            step_before = last_step;
            last_step = std::fabs(next - x);
        }
        if (!std::isinf(hi) && hi - lo <= 4e-16 * hi) {
            // The bracket is closed: a root if p meets the target there (a
            // sum that overflows to NaN, say 0 times infinity, closes it too).
            x = middle(lo, hi);
            at = offset(power_sums(c, n, x), x, d);
            return std::fabs(at.P - target) <= 1e-9 * target;
        }
        if (!(next > 0.0) || !std::isfinite(next)) return false;
        x = next;
    }
    return false;
}

}  // namespace

bool solve_power_sum(const double* c, std::size_t n, double target, double x0, double& x) noexcept {
    Sums at;
    return solve([c](std::size_t k) { return c[k]; }, n, 0.0, target, x0, x, at);
}

Valuer::Valuer(DiscountSpec spec) : spec_(std::move(spec)) {
    const double N = spec_.periods_per_year;
    if (!(spec_.periods_per_year >= 1)) refuse(messages::kValuePeriodsPerYear);
    switch (spec_.mode) {
        case DiscountMode::Rate:
            if (!std::isfinite(spec_.rate) || !(spec_.rate > -N)) refuse(messages::kValueRate);
            break;
        case DiscountMode::Curve:
        case DiscountMode::CurvePrice: {
            const std::size_t m = spec_.years.size();
            if (m == 0 || spec_.zero_rates.size() != m) refuse(messages::kValueCurveShape);
            for (std::size_t i = 0; i < m; ++i) {
                if (!std::isfinite(spec_.years[i]) || !std::isfinite(spec_.zero_rates[i]))
                    refuse(messages::kValueCurveShape);
                if (i > 0 && !(spec_.years[i] > spec_.years[i - 1])) refuse(messages::kValueCurveOrder);
            }
            if (!std::isfinite(spec_.spread)) refuse(messages::kValueSpread);
            break;
        }
        case DiscountMode::Price: break;
    }
    if (spec_.basis != YieldBasis::Mortgage && spec_.basis != YieldBasis::BondEquivalent) refuse(messages::kValueBasis);
    if (!std::isfinite(spec_.delay_days) || !(spec_.delay_days >= 0.0)) refuse(messages::kValueDelay);
    if (!std::isfinite(spec_.settle_days) || !(spec_.settle_days >= 0.0) || !(spec_.settle_days <= 360.0 / N))
        refuse(messages::kValueSettle);
    if (!std::isfinite(spec_.shift) || !(spec_.shift >= 0.0)) refuse(messages::kValueShift);
    if (spec_.delay_days != spec_.settle_days) offset_ = (spec_.delay_days - spec_.settle_days) * N / 360.0;
}

double Valuer::zero_rate(double t) const noexcept {
    const std::vector<double>& x = spec_.years;
    const std::vector<double>& z = spec_.zero_rates;
    if (t <= x.front()) return z.front();
    if (t >= x.back()) return z.back();
    std::size_t i = 1;
    while (x[i] < t) ++i;
    // x[i - 1] < t <= x[i]
    return z[i - 1] + (z[i] - z[i - 1]) * ((t - x[i - 1]) / (x[i] - x[i - 1]));
}

void Valuer::reserve(std::size_t periods) {
    if (spec_.mode == DiscountMode::Price) return;
    const std::size_t from = df_.size();
    if (from > periods) return;
    const double N = spec_.periods_per_year;
    const double m = spec_.basis == YieldBasis::Mortgage ? N : 2.0;
    // A shift moves a curve by a factor on each period's discount; a yield's
    // shift is a power sum at another rate, with no table.
    const bool shifted =
        spec_.shift > 0.0 && (spec_.mode == DiscountMode::Curve || spec_.mode == DiscountMode::CurvePrice);
    df_.resize(periods + 1);
    if (spec_.mode == DiscountMode::Rate) {
        t_df_.resize(periods + 1);
        c_df_.resize(periods + 1);
    }
    if (shifted) {
        up_.resize(periods + 1);
        down_.resize(periods + 1);
    }
    const double base = 1.0 + spec_.rate / N;
    for (std::size_t k = from; k <= periods; ++k) {
        const double tau = static_cast<double>(k) + offset_;
        const double t = tau / N;
        if (shifted) {
            up_[k] = std::exp(-spec_.shift * t);
            down_[k] = std::exp(spec_.shift * t);
        }
        switch (spec_.mode) {
            case DiscountMode::Rate:
                df_[k] = std::pow(base, -tau);
                t_df_[k] = t * df_[k];
                c_df_[k] = t * (m * t + 1.0) * df_[k];
                break;
            case DiscountMode::Curve: df_[k] = std::exp(-(zero_rate(t) + spec_.spread) * t); break;
            case DiscountMode::CurvePrice: df_[k] = std::exp(-zero_rate(t) * t); break;
            case DiscountMode::Price: break;
        }
        // A factor past the largest double (a rate near -N over a long
        // run, say) makes every value of the flows infinite or NaN.
        if (k > 0 && !std::isfinite(df_[k])) refuse(messages::kValueOverflow);
    }
}

bool Valuer::value(const double* cf, const double* prin, std::size_t n, double start_balance, double price,
                   double guess, ValueRow& out) const {
    const double N = spec_.periods_per_year;
    const double d = offset_;
    const bool bey_basis = spec_.basis == YieldBasis::BondEquivalent;
    // The compounding of the basis' yield, a year.
    const double m = bey_basis ? 2.0 : N;
    // The principal's sums, with the discounted flows' at a given rate in
    // the same pass: sum prin, sum k prin, then sum cf B, sum t cf B and
    // sum t (m t + 1) cf B from the tables.
    const bool at_rate = spec_.mode == DiscountMode::Rate;
    const double* df = df_.data();
    const double* t_df = t_df_.data();
    const double* c_df = c_df_.data();
    const std::array<double, 5> sums =
        at_rate ? lane_sums<5>(n,
                               [=](std::size_t k) {
                                   return std::array<double, 5>{prin[k], static_cast<double>(k) * prin[k],
                                                                cf[k] * df[k], cf[k] * t_df[k], cf[k] * c_df[k]};
                               })
                : [&] {
                      const std::array<double, 2> w = lane_sums<2>(n, [=](std::size_t k) {
                          return std::array<double, 2>{prin[k], static_cast<double>(k) * prin[k]};
                      });
                      return std::array<double, 5>{w[0], w[1], 0.0, 0.0, 0.0};
                  }();
    out[kStartBalance] = start_balance;
    // From the value date to each payment, the delay included.
    out[kWal] = d == 0.0 ? sums[1] / sums[0] / N : (sums[1] / sums[0] + d) / N;
    // The first period's interest net of servicing, for the part of the
    // period before the value date.
    out[kAccrued] = spec_.settle_days == 0.0 || n < 2
                        ? 0.0
                        : 100.0 * ((cf[1] - prin[1]) / start_balance) * (spec_.settle_days * N / 360.0);
    out[kSpread] = kNaN;
    out[kEffectiveDuration] = out[kEffectiveConvexity] = kNaN;
    double y = kNaN;
    // The sums at the yield: P = sum cf B, s1 = sum t cf B, s2 = sum t (m t + 1) cf B.
    double P = 0.0, s1 = 0.0, s2 = 0.0;
    double u = 0.0;  // CurvePrice: exp(-spread / N)
    bool ok = true;
    const auto at_solved_yield = [&](double target) {
        double v = 0.0;
        Sums at;
        if (!solve([cf](std::size_t k) { return cf[k]; }, n, d, target, 1.0 / (1.0 + guess / N), v, at)) return false;
        y = N * (1.0 / v - 1.0);
        // The sums of the solve's last evaluation, within 1e-15 of the root:
        // t = (k + d) / N, so sum t cf B = P1 / N and
        // sum t (m t + 1) cf B = (P2 m / N + P1) / N.
        P = at.P;
        s1 = at.P1 / N;
        s2 = (at.P2 * (m / N) + at.P1) / N;
        return true;
    };
    switch (spec_.mode) {
        case DiscountMode::Rate: {
            P = sums[2];
            s1 = sums[3];
            s2 = sums[4];
            y = spec_.rate;
            out[kPv] = P;
            break;
        }
        case DiscountMode::Curve: {
            const double pv = lane_sums<1>(n, [=](std::size_t k) { return std::array<double, 1>{cf[k] * df[k]}; })[0];
            out[kPv] = pv;
            out[kSpread] = spec_.spread;
            ok = at_solved_yield(pv);
            break;
        }
        case DiscountMode::Price: {
            const double target = price / 100.0 * start_balance;
            out[kPv] = target;
            ok = at_solved_yield(target);
            break;
        }
        case DiscountMode::CurvePrice: {
            const double target = price / 100.0 * start_balance;
            out[kPv] = target;
            // The spread s with sum cf D u^(k + d) = target, u = exp(-s / N).
            const double* D = df_.data();
            Sums at;
            ok = solve([cf, D](std::size_t k) { return cf[k] * D[k]; }, n, d, target, 1.0, u, at);
            if (ok) {
                out[kSpread] = -N * std::log(u);
                ok = at_solved_yield(target);
            }
            break;
        }
    }
    if (!std::isfinite(out[kPv])) {
        // Flows discounted past the range of doubles have no value.
        out[kPv] = kNaN;
        ok = false;
    }
    out[kPrice] = 100.0 * out[kPv] / start_balance;
    out[kCleanPrice] = out[kPrice] - out[kAccrued];
    if (!ok) {
        out[kYield] = out[kBey] = out[kMacaulay] = out[kModified] = out[kConvexity] = kNaN;
        return false;
    }
    const double b = 1.0 + y / N;
    // (1 + y/N)^(N/2) = 1 + bey/2, in logarithms so that a small yield
    // keeps its digits.
    const double bey = N == 2.0 ? y : 2.0 * std::expm1(std::log1p(y / N) * (N / 2.0));
    const double bm = bey_basis ? 1.0 + bey / 2.0 : b;  // 1 + r/m of the basis' yield r
    out[kYield] = y;
    out[kBey] = bey;
    out[kMacaulay] = s1 / P;
    out[kModified] = s1 / P / bm;
    out[kConvexity] = s2 / (m * bm * bm) / P / 100.0;
    if (spec_.shift > 0.0) {
        const double h = spec_.shift;
        double p0 = 0.0, up = 0.0, down = 0.0;
        const double* U = up_.data();
        const double* W = down_.data();
        if (spec_.mode == DiscountMode::Curve) {
            // The whole curve (and so every zero rate plus the spread) moved by -h and +h.
            const std::array<double, 3> v = lane_sums<3>(n, [=](std::size_t k) {
                return std::array<double, 3>{cf[k] * df[k], cf[k] * df[k] * U[k], cf[k] * df[k] * W[k]};
            });
            p0 = v[0], up = v[1], down = v[2];
        } else if (spec_.mode == DiscountMode::CurvePrice) {
            const double* D = df_.data();
            p0 = offset(power_sums([cf, D](std::size_t k) { return cf[k] * D[k]; }, n, u), u, d).P;
            up = offset(power_sums([cf, D, U](std::size_t k) { return cf[k] * D[k] * U[k]; }, n, u), u, d).P;
            down = offset(power_sums([cf, D, W](std::size_t k) { return cf[k] * D[k] * W[k]; }, n, u), u, d).P;
        } else {
            // The basis' yield r moved by -h and +h; the flows discounted by
            // x^(k + d), x = 1 / (1 + r/m)^(m/N).
            const double r = bey_basis ? bey : y;
            const auto at = [&](double rate) {
                if (!(1.0 + rate / m > 0.0)) return kNaN;
                const double x = bey_basis ? std::exp(-std::log1p(rate / m) * (m / N)) : 1.0 / (1.0 + rate / N);
                return offset(power_sums([cf](std::size_t k) { return cf[k]; }, n, x), x, d).P;
            };
            p0 = at(r), up = at(r + h), down = at(r - h);
        }
        out[kEffectiveDuration] = (down - up) / (2.0 * h * p0);
        out[kEffectiveConvexity] = (up + down - 2.0 * p0) / (h * h * p0) / 100.0;
    }
    return true;
}

RunValues value_runs(Valuer& valuer, const double* net, const double* principal, const double* balance,
                     std::size_t flow_rows, const std::int64_t* bounds, std::size_t runs,
                     const std::vector<double>& prices) {
    const DiscountMode mode = valuer.spec().mode;
    const bool priced = mode == DiscountMode::Price || mode == DiscountMode::CurvePrice;
    if (priced && prices.empty()) refuse(messages::kValueNoPrice);
    const std::size_t P = priced ? prices.size() : 1;
    std::int64_t longest = 0, previous = 0;
    for (std::size_t r = 0; r < runs; ++r) {
        const std::int64_t b = bounds[2 * r], e = bounds[2 * r + 1];
        if (b < previous || e <= b || static_cast<std::uint64_t>(e) > flow_rows) refuse(messages::kValueBounds);
        longest = std::max(longest, e - b);
        previous = e;
    }
    valuer.reserve(static_cast<std::size_t>(longest));
    RunValues out;
    for (auto& c : out.columns) c.resize(runs * P);
    out.run.resize(runs * P);
    out.price.resize(runs * P);
    out.solved.resize(runs * P);
    // Every solve starts from a yield of 0, so that a run's value depends on
    // its own flows alone.
    const double guess = 0.0;
    for (std::size_t r = 0; r < runs; ++r) {
        const std::size_t b = static_cast<std::size_t>(bounds[2 * r]);
        const std::size_t n = static_cast<std::size_t>(bounds[2 * r + 1]) - b;
        for (std::size_t j = 0; j < P; ++j) {
            const std::size_t o = r * P + j;
            ValueRow v;
            const bool ok = valuer.value(net + b, principal + b, n, balance[b], priced ? prices[j] : 0.0, guess, v);
            for (std::size_t c = 0; c < kValueColumnCount; ++c) out.columns[c][o] = v[c];
            out.run[o] = static_cast<std::int32_t>(r);
            out.price[o] = static_cast<std::int32_t>(j);
            out.solved[o] = ok ? 1 : 0;
        }
    }
    return out;
}

}  // namespace paywheel::columnar
