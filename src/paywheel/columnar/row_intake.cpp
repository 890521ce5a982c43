#include "paywheel/columnar/row_intake.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <utility>

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

}  // namespace

bool run_engine(const InputBatch& batch, std::int64_t r, const Terms& terms, std::vector<float>& schedule,
                std::size_t& len, RowFailure& failure, std::atomic<bool>& oom) {
    const std::int64_t row_len = row_length(terms.pers);
    if (row_len < 0) {
        failure.code = FailureCode::TooLarge;
        failure.field = Field::Pers;
        failure.reason = messages::kUnevenColumns;
        failure.value = std::to_string(terms.pers);
        failure.has_value = true;
        return false;
    }
    len = static_cast<std::size_t>(row_len);
    try {
        if (schedule.size() < len * kColumns) schedule.resize(len * kColumns);
    } catch (...) {
        oom.store(true);
        failure.has_terms = true;
        failure.terms = terms;
        return false;
    }
    float* s = schedule.data();
    return fill_row(batch, r, terms, ScheduleOut{s, s + len, s + 2 * len, s + 3 * len, s + 4 * len, len, len},
                    failure, oom);
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

bool read_standing(const ProjectionInput& in, std::int64_t g, std::int64_t age, Terms& terms, Standing& st,
                   RowFailure& failure) {
    if (in.balances != nullptr) {
        const double b = in.balances[g];
        const float bf = num::narrow_to_float(b);
        if (!(bf > 0.0f && std::isfinite(bf)))
            return refuse_row(failure, FailureCode::BadBalance, Field::Balance, messages::kBadBalance, b, terms);
    }
    if (in.fees != nullptr) {
        const double fee = in.fees[g];
        const float ff = num::narrow_to_float(fee);
        // Compared with the rate as the engine reads it; a rate that is not a
        // rate at all is left for the engine to refuse.
        if (!(ff >= 0.0f) || ff > terms.rate)
            return refuse_row(failure, FailureCode::BadFee, Field::Fee, messages::kBadFee, fee, terms);
        st.fee_ratio = ff == 0.0f ? 0.0 : static_cast<double>(ff) / static_cast<double>(terms.rate);
    }
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
        failure.code = why.code;
        failure.field = why.field;
        failure.reason = why.reason;
        failure.has_value = why.has_value;
        failure.value = std::move(why.value);
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
    return read_standing(in, g, age, terms, st, failure);
}

void blame_rebased(RowFailure& failure, const Standing& st, const ProjectionInput& in, std::int64_t g) {
    if (!st.rebased || failure.field != Field::Amt) return;
    failure.field = Field::Balance;
    failure.value = number_text(in.balances[g]);
    failure.has_value = true;
}

}  // namespace proj

}  // namespace paywheel::columnar
