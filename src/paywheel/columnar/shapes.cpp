#include "paywheel/columnar/shapes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/memory_bound.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::columnar {

namespace {

namespace m = paywheel::messages;

// Terms past this many periods lose their period numbers in binary32; a
// remaining term beyond it is refused rather than run.
constexpr std::int64_t kLongestTerm = 16777216;

using Piece = ShapePiece;
using Storage = ShapeScratch;

// Beyond this many floats the engine's storage goes back after the loan.
constexpr std::size_t kKeptEngine = std::size_t{1} << 20;

bool refuse(RowFailure& f, FailureCode code, Field field, const char* reason) {
    f.code = code;
    f.field = field;
    f.reason = reason;
    return false;
}

// A cut falls just after a period that is a date of both schedules.
bool aligned(std::int64_t cut, std::int32_t int_freq, std::int32_t cap_freq) noexcept {
    return cut % int_freq == 0 && cut % cap_freq == 0;
}

// Column views of rows [at, ...) of out.
ScheduleOut rows_from(const ScheduleOut& out, std::size_t at) noexcept {
    return ScheduleOut{out.per + at, out.cap + at, out.interest + at, out.pmt + at, out.bal + at,
                       out.per_room - at, out.room - at};
}

struct Row {
    float per, cap, interest, pmt, bal;
};
Row row_at(const ScheduleOut& out, std::size_t k) noexcept {
    return Row{out.per[k], out.cap[k], out.interest[k], out.pmt[k], out.bal[k]};
}
void put_row(const ScheduleOut& out, std::size_t k, const Row& r) noexcept {
    out.per[k] = r.per;
    out.cap[k] = r.cap;
    out.interest[k] = r.interest;
    out.pmt[k] = r.pmt;
    out.bal[k] = r.bal;
}

// Periods begin+1 .. end (rows k - origin) paying interest only on balance
// B at rate r: at each interest date the sum from +0.0 of int_freq copies of
// B * r. Ending at pers, the last row also repays B.
void interest_only(const ScheduleOut& out, std::int32_t origin, std::int32_t begin, std::int32_t end, float B,
                   float r, std::int32_t int_freq, bool bullet) noexcept {
    const float accrual = B * r;
    float due = 0.0f;
    for (std::int32_t i = 0; i < int_freq; ++i) due = due + accrual;
    for (std::int32_t k = begin + 1; k <= end; ++k) {
        const auto at = static_cast<std::size_t>(k - origin);
        const float interest = k % int_freq == 0 ? due : 0.0f;
        out.cap[at] = 0.0f;
        out.interest[at] = interest;
        out.pmt[at] = 0.0f + interest;
        out.bal[at] = B;
    }
    if (bullet) {
        const auto last = static_cast<std::size_t>(end - origin);
        out.cap[last] = B;
        out.pmt[last] = B + out.interest[last];
        out.bal[last] = 0.0f;
    }
}

// Periods begin+1 .. end (rows k - origin) of a zero-rate piece with R
// periods to run: equal capital f32(B / dates) at each capital date of R,
// the last of them taking what is left.
void equal_capital(const ScheduleOut& out, std::int32_t origin, std::int32_t begin, std::int32_t end, float B,
                   std::int64_t R, std::int32_t cap_freq) noexcept {
    const std::int64_t dates = R / cap_freq;
    const std::int64_t last_date = dates * cap_freq;
    const float each = B / static_cast<float>(dates);
    float bal = B;
    for (std::int32_t k = begin + 1; k <= end; ++k) {
        const std::int64_t into = k - begin;
        float c = 0.0f;
        if (into % cap_freq == 0 && into <= last_date) {
            c = into == last_date ? bal : each;
            bal = bal - c;
        }
        const auto at = static_cast<std::size_t>(k - origin);
        out.cap[at] = c;
        out.interest[at] = 0.0f;
        out.pmt[at] = c;
        out.bal[at] = bal;
    }
}

// The lender's rows of a refused piece (lender_covers said yes).
void lender_piece(const ScheduleOut& out, FailureCode why, std::int32_t origin, std::int32_t begin, std::int32_t end,
                  float B, float r, std::int64_t R, std::int32_t int_freq, std::int32_t cap_freq,
                  bool ends_loan) noexcept {
    if (why == FailureCode::ZeroRate)
        equal_capital(out, origin, begin, end, B, R, cap_freq);
    else
        interest_only(out, origin, begin, end, B, r, int_freq, ends_loan);
}

// The balloon: the last row repays everything still owed.
void balloon(const ScheduleOut& out, std::size_t last, float owed) noexcept {
    out.cap[last] = owed;
    out.pmt[last] = owed + out.interest[last];
    out.bal[last] = 0.0f;
}

// The field to blame for an engine refusal of a piece: its rate may come
// from a step, and its term from amort_pers or io_pers.
Field piece_field(Field f, const Piece& p, const Terms& t) noexcept {
    if (f == Field::Rate && p.from_step) return Field::RateSteps;
    if (f == Field::Pers && t.amort_given) return Field::AmortPers;
    if (f == Field::Pers && t.io_pers > 0) return Field::IoPers;
    return f;
}

// The engine's rows 0..L of (B, r, R) at rows begin.. of out: the head on
// its own when it can be proved, else the whole schedule (in place when it
// is the head, through storage otherwise). Aborts as the engine does.
void engine_rows(const LoanTerms& sub, std::size_t L, const ScheduleOut& at, Storage& st) {
    const auto R = static_cast<std::size_t>(sub.pers);
    if (L == R) {
        fill_schedule(sub, at);
        return;
    }
    if (fill_schedule_head(sub, L, at)) return;
    const std::size_t n = R + 1;
    check_memory_bound(n * 5 * sizeof(float));
    if (st.engine.size() < 5 * n) st.engine.resize(5 * n);
    float* s = st.engine.data();
    fill_schedule(sub, ScheduleOut{s, s + n, s + 2 * n, s + 3 * n, s + 4 * n, n, n});
    for (std::size_t k = 0; k <= L; ++k) {
        at.per[k] = s[k];
        at.cap[k] = s[n + k];
        at.interest[k] = s[2 * n + k];
        at.pmt[k] = s[3 * n + k];
        at.bal[k] = s[4 * n + k];
    }
}

// The row's steps read, checked and put in period order (st.order).
bool read_shape_steps(const InputBatch& batch, std::int64_t r, const Terms& t, Storage& st, RowFailure& failure) {
    st.per.clear();
    st.rate.clear();
    st.order.clear();
    if (!t.has_steps) return true;
    DecodeFailure why;
    if (!read_steps(batch, r, st.per, st.rate, why)) return refuse(failure, why.code, Field::RateSteps, why.reason);
    for (const std::int32_t p : st.per)
        if (p < 2 || p > t.pers) return refuse(failure, FailureCode::BadShape, Field::RateSteps, m::kShapeStepRange);
    st.order.resize(st.per.size());
    std::iota(st.order.begin(), st.order.end(), std::size_t{0});
    std::sort(st.order.begin(), st.order.end(), [&](std::size_t a, std::size_t b) { return st.per[a] < st.per[b]; });
    for (std::size_t i = 1; i < st.order.size(); ++i)
        if (st.per[st.order[i]] == st.per[st.order[i - 1]])
            return refuse(failure, FailureCode::BadShape, Field::RateSteps, m::kShapeStepTwice);
    return true;
}

// The rules of a shape, in the order a row is blamed by.
bool check_shape(const Terms& t, Storage& st, RowFailure& failure) {
    if (t.cap_freq == 0) return refuse(failure, FailureCode::ZeroFrequency, Field::CapFreq, m::kRemainderByZero);
    if (t.int_freq == 0) return refuse(failure, FailureCode::ZeroFrequency, Field::IntFreq, m::kRemainderByZero);
    if (t.pers < 1) return refuse(failure, FailureCode::NoPeriods, Field::Pers, m::kShapeNoPeriods);
    if (t.cap_freq < 0) return refuse(failure, FailureCode::BadShape, Field::CapFreq, m::kShapeFrequency);
    if (t.int_freq < 0) return refuse(failure, FailureCode::BadShape, Field::IntFreq, m::kShapeFrequency);
    if (t.io_pers < 0 || t.io_pers > t.pers) return refuse(failure, FailureCode::BadShape, Field::IoPers, m::kShapeIoRange);
    const std::int64_t amortizing = static_cast<std::int64_t>(t.pers) - t.io_pers;
    if (t.amort_pers < amortizing)
        return refuse(failure, FailureCode::BadShape, Field::AmortPers, m::kShapeAmortShort);
    if (!std::isfinite(t.amt)) return refuse(failure, FailureCode::NonFinite, Field::Amt, m::kShapeNonFinite);
    if (!std::isfinite(t.rate)) return refuse(failure, FailureCode::NonFinite, Field::Rate, m::kShapeNonFinite);
    for (const float r : st.rate)
        if (!std::isfinite(r)) return refuse(failure, FailureCode::NonFinite, Field::RateSteps, m::kShapeNonFinite);
    // Every piece repays what was lent; a negative amount is refused as the
    // engine refuses it.
    if (t.amt < 0.0f) return refuse(failure, FailureCode::DecreasingBlocks, Field::Amt, m::kRemovalIndex);
    if (t.io_pers > 0 && !aligned(t.io_pers, t.int_freq, t.cap_freq))
        return refuse(failure, FailureCode::BadShape, Field::IoPers, m::kShapeIoAligned);
    for (const std::int32_t p : st.per)
        if (!aligned(p - 1, t.int_freq, t.cap_freq))
            return refuse(failure, FailureCode::BadShape, Field::RateSteps, m::kShapeStepAligned);
    if (t.amort_pers > amortizing && !aligned(t.pers, t.int_freq, t.cap_freq))
        return refuse(failure, FailureCode::BadShape, Field::AmortPers, m::kShapeBalloonAligned);
    if (amortizing > 0 && t.amort_pers > kLongestTerm)
        return refuse(failure, FailureCode::TooLarge, Field::AmortPers, m::kShapeTermTooLong);
    return true;
}

// The pieces between the cuts, in period order.
void cut_pieces(const Terms& t, Storage& st) {
    st.pieces.clear();
    std::int32_t begin = 0;
    float rate = t.rate;
    bool from_step = false;
    std::size_t next_step = 0;
    const auto close = [&](std::int32_t end) {
        if (end <= begin) return;
        st.pieces.push_back(Piece{begin, end, rate, from_step, end <= t.io_pers});
        begin = end;
    };
    for (std::size_t i = 0; i <= st.order.size(); ++i) {
        const std::int32_t cut = i < st.order.size() ? st.per[st.order[i]] - 1 : t.pers;
        if (t.io_pers > begin && t.io_pers < cut) close(t.io_pers);
        close(cut);
        for (; next_step < st.order.size() && st.per[st.order[next_step]] - 1 <= begin; ++next_step) {
            rate = st.rate[st.order[next_step]];
            from_step = true;
        }
    }
}

}  // namespace

bool lender_covers(const LoanTerms& loan, const Blame& blame) noexcept {
    return (blame.code == FailureCode::ZeroRate || blame.code == FailureCode::SingleCapitalBlock) &&
           loan.int_freq >= 1 && loan.cap_freq >= 1 && loan.pers >= 1;
}

void fill_lender(const LoanTerms& loan, const Blame& blame, const ScheduleOut& out, std::int32_t age) noexcept {
    const std::size_t n = static_cast<std::size_t>(loan.pers) + 1;
    for (std::size_t k = 0; k < n; ++k) out.per[k] = static_cast<float>(static_cast<std::int32_t>(k));
    put_row(out, 0, Row{0.0f, 0.0f, 0.0f, 0.0f, loan.amt});
    lender_piece(out, blame.code, age, age, age + loan.pers, loan.amt, loan.rate, loan.pers, loan.int_freq,
                 loan.cap_freq, true);
}

bool holds_nan(const ScheduleOut& out, std::size_t n) noexcept {
    if (n == 0) return false;
    unsigned bad = 0;
    for (std::size_t k = 0; k < n; ++k) bad |= out.pmt[k] != out.pmt[k];
    return bad != 0 || out.bal[n - 1] != out.bal[n - 1];
}

bool fill_shaped(const InputBatch& batch, std::int64_t r, const Terms& t, const ScheduleOut& out,
                 RowFailure& failure, ShapeScratch& st) {
    // The contract the loan was written on: a standing loan's pieces are
    // cut where its contract cuts them, and it is scheduled from its age on.
    Terms c = t;
    c.pers = static_cast<std::int32_t>(static_cast<std::int64_t>(t.pers) + t.age);
    const std::int32_t a = t.age;
    if (!read_shape_steps(batch, r, c, st, failure)) return false;
    if (!check_shape(c, st, failure)) return false;
    cut_pieces(c, st);

    const auto n = static_cast<std::size_t>(t.pers) + 1;
    if (out.room < n || out.per_room < n) return refuse(failure, FailureCode::TooLarge, Field::Pers, m::kStorageTooShort);
    put_row(out, 0, Row{0.0f, 0.0f, 0.0f, 0.0f, t.amt});
    float B = t.amt;
    QuietAborts quiet;
    for (const Piece& p : st.pieces) {
        if (p.end <= a) continue;
        // The piece a standing loan is in runs from its age on the balance it
        // owes; the payment after the age is what the contract gives on it.
        const std::int32_t begin = std::max(p.begin, a);
        const bool standing = a > 0 && begin == a;
        const bool last = p.end == c.pers;
        const auto L = static_cast<std::size_t>(p.end - begin);
        if (p.interest_only) {
            interest_only(out, a, begin, p.end, B, p.rate, c.int_freq, last);
            B = out.bal[static_cast<std::size_t>(p.end - a)];
            continue;
        }
        const std::int64_t R = static_cast<std::int64_t>(c.amort_pers) - (begin - c.io_pers);
        const LoanTerms sub{std::string(), B, p.rate, static_cast<std::int32_t>(R), c.int_freq, c.cap_freq};
        const bool is_balloon = last && R > static_cast<std::int64_t>(L);
        Blame refused{FailureCode::Null, Field::None};
        const char* reason = nullptr;
        float owed_before = 0.0f;  // the engine's Bal of the row before the last
        const auto at = static_cast<std::size_t>(begin - a);
        if (R < c.cap_freq) {
            // The rest is shorter than one capital period: the engine's row 0
            // would repay B, and rows 1.. could not.
            refused = Blame{FailureCode::SingleCapitalBlock, Field::CapFreq};
            reason = m::kShapeSingleBlock;
        } else {
            const Row kept = row_at(out, at);
            try {
                engine_rows(sub, L, rows_from(out, at), st);
                owed_before = out.bal[at + L - 1];
                // A zero rate the engine runs to NaN (an interest period as
                // long as the piece) is a zero-rate piece all the same.
                if (!batch.strict && p.rate == 0.0f && holds_nan(rows_from(out, at), L + 1)) {
                    refused = Blame{FailureCode::ZeroRate, Field::Rate};
                    reason = m::kNanSchedule;
                }
            } catch (const Abort& e) {
                if (!e.blame()) throw;  // not the piece's refusal (see fill_row)
                refused = *e.blame();
                reason = e.message();
            }
            // Row `at` is the previous piece's last (or, refused, row 0 as it was).
            if (at > 0 || reason != nullptr) put_row(out, at, kept);
        }
        if (reason != nullptr) {
            // All a standing loan has left is one capital date: it pays its
            // balance then, with the interest due, in strict mode too.
            const bool final_block = standing && refused.code == FailureCode::SingleCapitalBlock;
            if ((batch.strict && !final_block) || !lender_covers(sub, refused))
                return refuse(failure, refused.code, piece_field(refused.field, p, c), reason);
            lender_piece(out, refused.code, a, begin, p.end, B, p.rate, R, c.int_freq, c.cap_freq, last);
            owed_before = out.bal[static_cast<std::size_t>(p.end - a) - 1];
        }
        if (is_balloon) balloon(out, static_cast<std::size_t>(p.end - a), owed_before);
        B = out.bal[static_cast<std::size_t>(p.end - a)];
    }
    if (st.engine.size() > kKeptEngine) std::vector<float>().swap(st.engine);
    for (std::size_t k = 0; k < n; ++k) out.per[k] = static_cast<float>(static_cast<std::int32_t>(k));

    // A NaN anywhere is refused; the piece it first appears in takes the blame.
    for (std::size_t k = 0; k < n; ++k) {
        if (out.pmt[k] == out.pmt[k] && out.bal[k] == out.bal[k]) continue;
        Field field = blame_nan(c.loan());
        for (const Piece& p : st.pieces)
            if (static_cast<std::size_t>(p.end) >= k + static_cast<std::size_t>(a)) {
                if (field == Field::Rate && p.from_step) field = Field::RateSteps;
                break;
            }
        return refuse(failure, FailureCode::NanSchedule, field, m::kNanSchedule);
    }
    return true;
}

}  // namespace paywheel::columnar
