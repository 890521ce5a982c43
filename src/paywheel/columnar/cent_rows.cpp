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
    if (t.pers % k != 0) return refuse(failure, FailureCode::BadShape, Field::Pers, m::kCentWholePayments);
    if (!std::isfinite(t.rate64)) return refuse(failure, FailureCode::NonFinite, Field::Rate, m::kShapeNonFinite);
    if (!usable_rate(t.rate64)) return refuse(failure, FailureCode::BadRate, Field::Rate, m::kCentRate);

    std::vector<std::int32_t> per;
    std::vector<double> rate;
    if (t.has_steps) {
        DecodeFailure why;
        if (!read_steps(batch, r, per, rate, why)) return refuse(failure, why.code, Field::RateSteps, why.reason);
    }
    for (const std::int32_t p : per)
        if (p < 2 || p > t.pers) return refuse(failure, FailureCode::BadShape, Field::RateSteps, m::kShapeStepRange);
    for (const double x : rate)
        if (!usable_rate(x)) return refuse(failure, FailureCode::BadRate, Field::RateSteps, m::kCentRate);
    if (t.io_pers < 0 || t.io_pers > t.pers) return refuse(failure, FailureCode::BadShape, Field::IoPers, m::kShapeIoRange);
    const std::int64_t amortizing = static_cast<std::int64_t>(t.pers) - t.io_pers;
    if (t.amort_pers < amortizing) return refuse(failure, FailureCode::BadShape, Field::AmortPers, m::kShapeAmortShort);
    if (t.io_pers % k != 0) return refuse(failure, FailureCode::BadShape, Field::IoPers, m::kShapeIoAligned);
    for (const std::int32_t p : per)
        if ((p - 1) % k != 0) return refuse(failure, FailureCode::BadShape, Field::RateSteps, m::kShapeStepAligned);
    if (t.amort_pers % k != 0) return refuse(failure, FailureCode::BadShape, Field::AmortPers, m::kShapeBalloonAligned);
    if (amortizing > 0 && t.amort_pers > kLongestTerm)
        return refuse(failure, FailureCode::TooLarge, Field::AmortPers, m::kShapeTermTooLong);

    // Steps in period order, each from the payment that opens its period.
    std::vector<cents::RateStep> steps(per.size());
    for (std::size_t i = 0; i < per.size(); ++i)
        steps[i] = cents::RateStep{(per[i] - 1) / k + 1, static_cast<double>(k) * rate[i]};
    std::stable_sort(steps.begin(), steps.end(),
                     [](const cents::RateStep& a, const cents::RateStep& b) { return a.at < b.at; });
    for (std::size_t i = 1; i < steps.size(); ++i)
        if (steps[i].at == steps[i - 1].at)
            return refuse(failure, FailureCode::BadShape, Field::RateSteps, m::kShapeStepTwice);

    cents::CentTerms ct;
    ct.cents = t.cents;
    ct.rate = static_cast<double>(k) * t.rate64;
    ct.payments = t.pers / k;
    ct.io = t.io_pers / k;
    ct.amort = t.amort_pers / k;
    ct.steps = steps.data();
    ct.step_count = steps.size();
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
