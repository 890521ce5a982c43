#include "paywheel/columnar/cent_rows.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "paywheel/core/messages.hpp"

namespace paywheel::columnar {

namespace {

namespace m = paywheel::messages;

// The longest term a schedule is run for, as in binary32 mode.
constexpr std::int64_t kLongestTerm = 16777216;

bool refuse(RowFailure& f, FailureCode code, Field field, const char* reason) {
    f.code = code;
    f.field = field;
    f.reason = reason;
    return false;
}

bool usable_rate(double r) noexcept { return std::isfinite(r) && r > -1.0; }

}  // namespace

bool fill_cent_row(const InputBatch& batch, std::int64_t r, const Terms& t, const cents::CentOut& out,
                   RowFailure& failure) {
    // The rules in the order a row is blamed by.
    if (t.cap_freq == 0) return refuse(failure, FailureCode::ZeroFrequency, Field::CapFreq, m::kRemainderByZero);
    if (t.int_freq == 0) return refuse(failure, FailureCode::ZeroFrequency, Field::IntFreq, m::kRemainderByZero);
    if (t.pers < 1) return refuse(failure, FailureCode::NoPeriods, Field::Pers, m::kShapeNoPeriods);
    if (t.cap_freq < 0) return refuse(failure, FailureCode::BadShape, Field::CapFreq, m::kCentFrequency);
    if (t.int_freq < 0) return refuse(failure, FailureCode::BadShape, Field::IntFreq, m::kCentFrequency);
    if (t.int_freq != t.cap_freq)
        return refuse(failure, FailureCode::UnequalFrequencies, Field::CapFreq, m::kCentUnequalFrequencies);
    const std::int64_t k = t.int_freq;
    // A standing loan (t.age > 0) is checked against the contract it was
    // written on: its shape counts from origination.
    const std::int64_t full = static_cast<std::int64_t>(t.pers) + t.age;
    if (full % k != 0) return refuse(failure, FailureCode::BadShape, Field::Pers, m::kCentWholePayments);
    if (t.age % k != 0) return refuse(failure, FailureCode::BadAge, Field::Age, m::kCentAgeAligned);
    if (!std::isfinite(t.rate64)) return refuse(failure, FailureCode::NonFinite, Field::Rate, m::kShapeNonFinite);
    if (!usable_rate(t.rate64)) return refuse(failure, FailureCode::BadRate, Field::Rate, m::kCentRate);
    // A loan of nothing, or of less than nothing, has no schedule: refused
    // with the code the binary32 engine gives it.
    if (t.cents <= 0) return refuse(failure, FailureCode::DecreasingBlocks, Field::Amt, m::kCentPositiveAmount);

    std::vector<std::int32_t> per;
    std::vector<double> rate;
    if (t.has_steps) {
        DecodeFailure why;
        if (!read_steps(batch, r, per, rate, why)) return refuse(failure, why.code, Field::RateSteps, why.reason);
    }
    for (const std::int32_t p : per)
        if (p < 2 || p > full) return refuse(failure, FailureCode::BadShape, Field::RateSteps, m::kShapeStepRange);
    for (const double x : rate)
        if (!usable_rate(x)) return refuse(failure, FailureCode::BadRate, Field::RateSteps, m::kCentRate);
    if (t.io_pers < 0 || t.io_pers > full) return refuse(failure, FailureCode::BadShape, Field::IoPers, m::kShapeIoRange);
    const std::int64_t amortizing = full - t.io_pers;
    if (t.amort_pers < amortizing) return refuse(failure, FailureCode::BadShape, Field::AmortPers, m::kShapeAmortShort);
    if (t.io_pers % k != 0) return refuse(failure, FailureCode::BadShape, Field::IoPers, m::kShapeIoAligned);
    for (const std::int32_t p : per)
        if ((p - 1) % k != 0) return refuse(failure, FailureCode::BadShape, Field::RateSteps, m::kShapeStepAligned);
    if (t.amort_pers % k != 0) return refuse(failure, FailureCode::BadShape, Field::AmortPers, m::kShapeBalloonAligned);
    if (amortizing > 0 && t.amort_pers > kLongestTerm)
        return refuse(failure, FailureCode::TooLarge, Field::AmortPers, m::kShapeTermTooLong);

    // Steps in payment order, each from the payment that opens its period.
    std::vector<cents::RateStep> steps(per.size());
    for (std::size_t i = 0; i < per.size(); ++i)
        steps[i] = cents::RateStep{(per[i] - 1) / k + 1, static_cast<double>(k) * rate[i]};
    std::stable_sort(steps.begin(), steps.end(),
                     [](const cents::RateStep& a, const cents::RateStep& b) { return a.at < b.at; });
    for (std::size_t i = 1; i < steps.size(); ++i)
        if (steps[i].at == steps[i - 1].at)
            return refuse(failure, FailureCode::BadShape, Field::RateSteps, m::kShapeStepTwice);

    // A standing loan, `made` payments into its contract, is scheduled from
    // there on its balance as a servicer carries it on: the rate in force
    // then, the interest-only payments left, and at its first amortizing
    // payment the level payment on that balance over the amortizing
    // payments its contract has left.
    const std::int64_t made = t.age / k;
    const std::int64_t io = t.io_pers / k;
    double rate_now = static_cast<double>(k) * t.rate64;
    std::size_t first_step = 0;
    while (first_step < steps.size() && steps[first_step].at <= made + 1) rate_now = steps[first_step++].rate;
    for (std::size_t i = first_step; i < steps.size(); ++i) steps[i].at -= made;

    cents::CentTerms ct;
    ct.cents = t.cents;
    ct.rate = rate_now;
    ct.payments = full / k - made;
    ct.io = std::max<std::int64_t>(io - made, 0);
    ct.amort = t.amort_pers / k - std::max<std::int64_t>(made - io, 0);
    ct.steps = steps.data() + first_step;
    ct.step_count = steps.size() - first_step;
    ct.spacing = k;
    switch (cents::fill_cents(ct, out)) {
        case cents::CentResult::Ok: return true;
        case cents::CentResult::TooShort:
            return refuse(failure, FailureCode::TooLarge, Field::Pers, m::kStorageTooShort);
        case cents::CentResult::PastLargest:
            return refuse(failure, FailureCode::GrowthOverflow, Field::Rate, m::kCentPastLargest);
    }
    return false;
}

}  // namespace paywheel::columnar
