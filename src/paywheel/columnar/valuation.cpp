#include "paywheel/columnar/valuation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "paywheel/columnar/failure.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::columnar {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Newton steps and bisections of one solve; a bracket from 0 to 2^64 is
// bisected to the last bit in under 120, and Newton needs a handful.
constexpr int kMaxSteps = 200;

[[noreturn]] void refuse(const char* what) { throw ColumnarError(CallFailure::BadInput, what); }

// sum_{k=1}^{n-1} c(k) x^k and its derivative, by Horner's rule from the
// last period down: one multiplication and one addition a period each.
template <typename Coef>
void power_sum(const Coef& c, std::size_t n, double x, double& p, double& dp) noexcept {
    double f = 0.0, d = 0.0;
    for (std::size_t k = n; k-- > 1;) {
        d = d * x + f;
        f = f * x + c(k);
    }
    // f = sum c(k) x^(k-1): one more factor of x.
    p = f * x;
    dp = d * x + f;
}

template <typename Coef>
bool solve(const Coef& c, std::size_t n, double target, double x0, double& x) noexcept {
    if (!(target > 0.0) || !std::isfinite(target) || n < 2) return false;
    // p(0) = 0 < target: lo always has p below the target, hi at or above.
    double lo = 0.0, hi = std::numeric_limits<double>::infinity();
    x = x0 > 0.0 && std::isfinite(x0) ? x0 : 1.0;
    for (int step = 0; step < kMaxSteps; ++step) {
        double p = 0.0, dp = 0.0;
        power_sum(c, n, x, p, dp);
        double next;
        if (!std::isfinite(p)) {
            // Past the range of doubles: the root is below.
            hi = x;
            next = lo + (hi - lo) / 2;
        } else {
            const double g = p - target;
            if (g == 0.0) return true;
            (g < 0.0 ? lo : hi) = x;
            next = x - g / dp;
            // A step that would leave the bracket bisects it instead, or,
            // while no point above the root is known, doubles x.
            if (!(next > lo && next < hi)) next = std::isinf(hi) ? 2.0 * x : lo + (hi - lo) / 2;
            if (std::fabs(next - x) <= 1e-15 * x) {
                x = next;
                // A step this small is a root only where p meets the target.
                return std::fabs(g) <= 1e-9 * target;
            }
        }
        if (!std::isinf(hi) && hi - lo <= 4e-16 * hi) {
            x = lo + (hi - lo) / 2;
            return true;
        }
        if (!(next > 0.0) || !std::isfinite(next)) return false;
        x = next;
    }
    return false;
}

}  // namespace

bool solve_power_sum(const double* c, std::size_t n, double target, double x0, double& x) noexcept {
    return solve([c](std::size_t k) { return c[k]; }, n, target, x0, x);
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
    df_.resize(periods + 1);
    if (spec_.mode == DiscountMode::Rate) {
        t_df_.resize(periods + 1);
        c_df_.resize(periods + 1);
    }
    const double base = 1.0 + spec_.rate / N;
    for (std::size_t k = from; k <= periods; ++k) {
        const double t = static_cast<double>(k) / N;
        switch (spec_.mode) {
            case DiscountMode::Rate:
                df_[k] = std::pow(base, -static_cast<double>(k));
                t_df_[k] = t * df_[k];
                c_df_[k] = t * (N * t + 1.0) * df_[k];
                break;
            case DiscountMode::Curve: df_[k] = std::exp(-(zero_rate(t) + spec_.spread) * t); break;
            case DiscountMode::CurvePrice: df_[k] = std::exp(-zero_rate(t) * t); break;
            case DiscountMode::Price: break;
        }
    }
}

bool Valuer::value(const double* cf, const double* prin, std::size_t n, double start_balance, double price,
                   double guess, ValueRow& out) const {
    const double N = spec_.periods_per_year;
    double w0 = 0.0, w1 = 0.0;
    for (std::size_t k = 1; k < n; ++k) {
        w0 += prin[k];
        w1 += static_cast<double>(k) * prin[k];
    }
    out[kStartBalance] = start_balance;
    out[kWal] = w1 / w0 / N;
    out[kSpread] = kNaN;
    double y = kNaN;
    // The sums at the yield: P = sum cf B, s1 = sum t cf B, s2 = sum t (N t + 1) cf B.
    double P = 0.0, s1 = 0.0, s2 = 0.0;
    bool ok = true;
    const auto at_solved_yield = [&](double target) {
        double v = 0.0;
        if (!solve([cf](std::size_t k) { return cf[k]; }, n, target, 1.0 / (1.0 + guess / N), v)) return false;
        y = N * (1.0 / v - 1.0);
        double B = 1.0;
        for (std::size_t k = 1; k < n; ++k) {
            B *= v;
            const double t = static_cast<double>(k) / N;
            const double c = cf[k] * B;
            P += c;
            s1 += t * c;
            s2 += t * (N * t + 1.0) * c;
        }
        return true;
    };
    switch (spec_.mode) {
        case DiscountMode::Rate: {
            for (std::size_t k = 1; k < n; ++k) {
                P += cf[k] * df_[k];
                s1 += cf[k] * t_df_[k];
                s2 += cf[k] * c_df_[k];
            }
            y = spec_.rate;
            out[kPv] = P;
            break;
        }
        case DiscountMode::Curve: {
            double pv = 0.0;
            for (std::size_t k = 1; k < n; ++k) pv += cf[k] * df_[k];
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
            // The spread s with sum cf D u^k = target, u = exp(-s / N).
            double u = 0.0;
            const double* D = df_.data();
            ok = solve([cf, D](std::size_t k) { return cf[k] * D[k]; }, n, target, 1.0, u);
            if (ok) {
                out[kSpread] = -N * std::log(u);
                ok = at_solved_yield(target);
            }
            break;
        }
    }
    out[kPrice] = 100.0 * out[kPv] / start_balance;
    if (!ok) {
        out[kYield] = out[kMacaulay] = out[kModified] = out[kConvexity] = kNaN;
        return false;
    }
    const double b = 1.0 + y / N;
    out[kYield] = y;
    out[kMacaulay] = s1 / P;
    out[kModified] = s1 / P / b;
    out[kConvexity] = s2 / (N * b * b) / P;
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
