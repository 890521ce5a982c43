#include "paywheel/columnar/row_intake.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <utility>

#include "paywheel/core/message_text.hpp"
#include "paywheel/core/messages.hpp"
#include "paywheel/core/numeric.hpp"

namespace paywheel::columnar {

const char* const kBadAgeReason = messages::kBadAge;

namespace proj {

namespace {

// The shortest text that reads back as v.
std::string number_text(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}


// A loan paid in its own periods: its schedule (`len` entries a column) on
// the call's calendar, in place.
template <typename T>
bool on_calendar(std::vector<T>& schedule, const Terms& terms, std::size_t& len, std::int64_t calendar_len,
                 RowFailure& failure, std::atomic<bool>& oom) {
    try {
        const std::vector<T> own(schedule.begin(), schedule.begin() + static_cast<std::ptrdiff_t>(len * kColumns));
        const auto cal = static_cast<std::size_t>(calendar_len);
        if (schedule.size() < cal * kColumns) schedule.resize(cal * kColumns);
        to_calendar(own.data(), len, 0, terms.step, schedule.data(), cal);
        len = cal;
    } catch (...) {
        oom.store(true);
        failure.has_terms = true;
        failure.terms = terms;
        return false;
    }
    return true;
}

}  // namespace

bool run_engine(const InputBatch& batch, std::int64_t r, const Terms& terms, ScheduleScratch& schedule,
                std::size_t& len, RowFailure& failure, std::atomic<bool>& oom, ShapeScratch& shapes) {
    const std::int64_t row_len = row_length(terms.pers);
    const std::int64_t calendar_len = terms.calendar_pers() > INT32_MAX ? -1 : row_length(static_cast<std::int32_t>(terms.calendar_pers()));
    if (row_len < 0 || calendar_len < 0) {
        failure.code = FailureCode::TooLarge;
        failure.field = Field::Pers;
        failure.reason = messages::kUnevenColumns;
        failure.value = std::to_string(terms.pers);
        failure.has_value = true;
        return false;
    }
    len = static_cast<std::size_t>(row_len);
    schedule.cents = batch.cents;
    try {
        if (batch.cents && schedule.f64.size() < len * kColumns) schedule.f64.resize(len * kColumns);
        if (!batch.cents && schedule.f32.size() < len * kColumns) schedule.f32.resize(len * kColumns);
    } catch (...) {
        oom.store(true);
        failure.has_terms = true;
        failure.terms = terms;
        return false;
    }
    if (batch.cents) {
        double* s = schedule.f64.data();
        if (!fill_row(batch, r, terms, cents::CentOut{s, s + len, s + 2 * len, s + 3 * len, s + 4 * len, len},
                      failure, oom))
            return false;
        return terms.step == 1 || on_calendar(schedule.f64, terms, len, calendar_len, failure, oom);
    }
    float* s = schedule.f32.data();
    if (!fill_row(batch, r, terms, ScheduleOut{s, s + len, s + 2 * len, s + 3 * len, s + 4 * len, len, len}, failure,
                  oom, shapes))
        return false;
    return terms.step == 1 || on_calendar(schedule.f32, terms, len, calendar_len, failure, oom);
}

bool refuse_row(RowFailure& failure, FailureCode code, Field field, const char* reason, double value,
                const Terms& terms) {
    failure.code = code;
    failure.field = field;
    failure.reason = reason;
    failure.has_value = true;
    failure.value = number_text(value);
    failure.has_terms = true;
    failure.terms = terms;
    return false;
}

namespace {

// The fee strip of row r (FeeRatio): fee / the rate in force, from its
// contract's rate and steps, each step's from its entry of the schedule (its
// period less `shift`, the age of a row scheduled from its balance). False,
// with `failure` naming the period, when the fee is above the rate in force
// at a period after `age` (from the first, age + 1, when the contract's own
// rate is below it). A step that does not read or breaks a rule of
// shapes is left to the shape's own refusal. The fee and the rates are
// compared as binary32, or in cent mode (`cents`) as the float64 fee against
// the float64 rate: a binary32 widened to float64 compares and divides as it
// did before, so one path serves both.
bool fee_strip(const InputBatch& batch, std::int64_t r, double fee, std::int64_t age, std::int64_t shift,
               const Terms& terms, FeeRatio& out, RowFailure& failure, bool cents) {
    const double ff = cents ? fee : static_cast<double>(num::narrow_to_float(fee));
    const double rate0 = cents ? terms.rate64 : static_cast<double>(terms.rate);
    if (!(ff >= 0.0)) return refuse_row(failure, FailureCode::BadFee, Field::Fee, messages::kBadFee, fee, terms);
    std::vector<std::pair<std::int32_t, float>> steps;
    if (terms.has_steps) {
        std::vector<std::int32_t> per;
        std::vector<float> rate;
        DecodeFailure why;
        if (read_steps(batch, r, per, rate, why))
            for (std::size_t i = 0; i < per.size(); ++i)
                if (per[i] >= 2 && per[i] <= terms.pers) steps.emplace_back(per[i], rate[i]);
        std::sort(steps.begin(), steps.end());
    }
    // The rate read at origination is in force after the age unless a step
    // already replaced it. A rate that is not a rate at all is left for the
    // engine to refuse.
    if ((steps.empty() || steps[0].first > age + 1) && ff > rate0) {
        refuse_row(failure, FailureCode::BadFee, Field::Fee, messages::kBadFee, fee, terms);
        failure.reason = messages::text(messages::kBadFeeAbove, static_cast<long long>(age + 1));
        return false;
    }
    if (ff == 0.0) return true;
    out.first = ff / rate0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto [per, rate] = steps[i];
        const std::int64_t next = i + 1 < steps.size() ? steps[i + 1].first : std::int64_t{terms.pers} + 1;
        if (ff > static_cast<double>(rate) && next > age + 1) {
            refuse_row(failure, FailureCode::BadFee, Field::Fee, messages::kBadFee, fee, terms);
            failure.reason = messages::text(messages::kBadFeeFrom, static_cast<long long>(std::max<std::int64_t>(per, age + 1)));
            return false;
        }
        out.steps.emplace_back((per - shift) * terms.step, ff / static_cast<double>(rate));
    }
    return true;
}

// Cent mode's standing: the balance to its nearest cent, the fee against the
// float64 rate.
bool read_cent_standing(const InputBatch& batch, std::int64_t r, const ProjectionInput& in, std::int64_t g,
                        std::int64_t age, Terms& terms, Standing& st, RowFailure& failure) {
    std::int64_t balance = 0;
    if (in.balances != nullptr) {
        const double b = in.balances[g];
        if (!(b > 0.0) || !cents::cents_of(b, balance) || balance <= 0)
            return refuse_row(failure, FailureCode::BadBalance, Field::Balance, messages::kBadBalance, b, terms);
    }
    if (in.fees != nullptr &&
        !fee_strip(batch, r, in.fees[g], age, in.balances != nullptr ? age : 0, terms, st.fee, failure, true))
        return false;
    if (in.balances != nullptr) {
        terms.cents = balance;
        terms.amt = num::narrow_to_float(in.balances[g]);
        terms.pers = static_cast<std::int32_t>(terms.pers - age);
        terms.age = static_cast<std::int32_t>(age);
        st.rebased = true;
    }
    return true;
}

}  // namespace

bool read_standing(const InputBatch& batch, std::int64_t r, const ProjectionInput& in, std::int64_t g,
                   std::int64_t age, Terms& terms, Standing& st, RowFailure& failure) {
    if (batch.cents) return read_cent_standing(batch, r, in, g, age, terms, st, failure);
    if (in.balances != nullptr) {
        const double b = in.balances[g];
        const float bf = num::narrow_to_float(b);
        if (!(bf > 0.0f && std::isfinite(bf)))
            return refuse_row(failure, FailureCode::BadBalance, Field::Balance, messages::kBadBalance, b, terms);
    }
    if (in.fees != nullptr &&
        !fee_strip(batch, r, in.fees[g], age, in.balances != nullptr ? age : 0, terms, st.fee, failure, false))
        return false;
    if (in.balances != nullptr) {
        terms.amt = num::narrow_to_float(in.balances[g]);
        terms.pers = static_cast<std::int32_t>(terms.pers - age);
        terms.age = static_cast<std::int32_t>(age);
        st.rebased = true;
    }
    return true;
}

bool decode_with_age(const InputBatch& batch, std::int64_t r, std::int64_t g, const ProjectionInput& in, Terms& terms,
                     std::int64_t& age, Standing& st, RowFailure& failure) {
    DecodeFailure why;
    if (!decode_row(batch, r, terms, why)) {
        const std::int64_t index = failure.index;
        failure = failure_of(index, why);
        return false;
    }
    age = in.ages != nullptr ? in.ages[g] : 0;
    if (age < 0 || age >= terms.pers) {
        failure.code = FailureCode::BadAge;
        failure.field = Field::Age;
        failure.reason = kBadAgeReason;
        failure.has_value = age != kNotAnAge;
        if (failure.has_value) failure.value = std::to_string(age);
        failure.has_terms = true;
        failure.terms = terms;
        return false;
    }
    if (!read_standing(batch, r, in, g, age, terms, st, failure)) return false;
    // The age counts the loan's own periods; its schedule and the curves read
    // by age run on the call's calendar.
    age *= terms.step;
    return true;
}

void blame_rebased(RowFailure& failure, const Standing& st, const ProjectionInput& in, std::int64_t g) {
    if (!st.rebased || failure.field != Field::Amt) return;
    failure.field = Field::Balance;
    failure.value = number_text(in.balances[g]);
    failure.has_value = true;
}

}  // namespace proj

}  // namespace paywheel::columnar
