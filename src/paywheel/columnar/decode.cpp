#include "paywheel/columnar/decode.hpp"

#include <charconv>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <limits>

// The text grammars: the one place this layer names their header.
#include "paywheel/batch/text_record.hpp"
#include "paywheel/core/cents.hpp"
#include "paywheel/core/messages.hpp"
#include "paywheel/core/numeric.hpp"

namespace paywheel::columnar {

using batch::FloatErrorKind;
using batch::IntErrorKind;
using batch::parse_f32;
using batch::parse_i32;
using batch::ParsedF32;
using batch::ParsedI32;
using num::narrow_to_float;

namespace {

template <typename T>
T load(const ColumnView& c, std::int64_t row) noexcept {
    T v;
    std::memcpy(&v, static_cast<const char*>(c.data) + row * c.stride, sizeof v);
    return v;
}

bool bit(const std::uint8_t* bits, std::int64_t i) noexcept { return (bits[i >> 3] >> (i & 7)) & 1u; }

// Quoting a value allocates; a quote that cannot be made is left out rather
// than failing the row's report.
void quote(DecodeFailure& why, std::string_view text) noexcept {
    try {
        why.value.assign(text);
        why.has_value = true;
    } catch (...) {
        why.has_value = false;
    }
}

template <typename T>
std::string digits(T v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// A float as Python's repr writes it: shortest round-trip digits, with a
// ".0" on an integral value.
std::string float_text(float v) {
    std::string s = digits(v);
    if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
    return s;
}

std::string double_text(double v) {
    std::string s = digits(v);
    if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
    return s;
}

// Whole cents as a decimal amount: -1234567891 is "-12345678.91".
std::string cent_text(std::int64_t c) {
    const std::uint64_t m = c < 0 ? 0 - static_cast<std::uint64_t>(c) : static_cast<std::uint64_t>(c);
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%s%llu.%02llu", c < 0 ? "-" : "",
                                static_cast<unsigned long long>(m / 100), static_cast<unsigned long long>(m % 100));
    return std::string(buf, static_cast<std::size_t>(n));
}

bool fail(DecodeFailure& why, FailureCode code, Field f, const char* reason) noexcept {
    why.code = code;
    why.field = f;
    why.reason = reason;
    why.has_value = false;
    return false;
}

bool fail_quoting(DecodeFailure& why, FailureCode code, Field f, const char* reason, std::string_view text) noexcept {
    fail(why, code, f, reason);
    quote(why, text);
    return false;
}

template <typename T>
bool fail_quoting_number(DecodeFailure& why, FailureCode code, Field f, const char* reason, T v) noexcept {
    fail(why, code, f, reason);
    try {
        quote(why, digits(v));
    } catch (...) {
    }
    return false;
}

const char* float_reason(FloatErrorKind k) noexcept {
    return k == FloatErrorKind::Empty ? messages::kFloatEmpty : messages::kFloatInvalid;
}

const char* int_reason(IntErrorKind k) noexcept {
    switch (k) {
        case IntErrorKind::Empty: return messages::kIntEmpty;
        case IntErrorKind::InvalidDigit: return messages::kIntInvalidDigit;
        case IntErrorKind::PosOverflow: return messages::kIntPosOverflow;
        case IntErrorKind::NegOverflow: return messages::kIntNegOverflow;
    }
    return messages::kIntInvalidDigit;
}

// A float or integer column's value as a double (a binary32 widened
// exactly, an integer rounded once, as a Python int becomes a float); false
// for the other kinds.
bool number_as_double(const ColumnView& c, std::int64_t row, double& out) noexcept {
    switch (c.kind) {
        case Kind::F64: out = load<double>(c, row); return true;
        case Kind::F32: out = static_cast<double>(load<float>(c, row)); return true;
        case Kind::I8: out = static_cast<double>(load<std::int8_t>(c, row)); return true;
        case Kind::I16: out = static_cast<double>(load<std::int16_t>(c, row)); return true;
        case Kind::I32: out = static_cast<double>(load<std::int32_t>(c, row)); return true;
        case Kind::I64: out = static_cast<double>(load<std::int64_t>(c, row)); return true;
        case Kind::U8: out = static_cast<double>(load<std::uint8_t>(c, row)); return true;
        case Kind::U16: out = static_cast<double>(load<std::uint16_t>(c, row)); return true;
        case Kind::U32: out = static_cast<double>(load<std::uint32_t>(c, row)); return true;
        case Kind::U64: out = static_cast<double>(load<std::uint64_t>(c, row)); return true;
        default: return false;
    }
}

// A typed or text amount or rate. Integers go to double first (one rounding,
// as an int does on its way through a Python float) and then narrow (a
// second rounding), exactly as the dict operation reads an int.
bool read_f32(const ColumnView& c, Field f, std::int64_t row, float& out, DecodeFailure& why) noexcept {
    if (c.is_null(row)) return fail(why, FailureCode::Null, f, messages::kNullValue);
    if (c.kind == Kind::F32) {
        out = load<float>(c, row);
        return true;
    }
    if (double v = 0.0; number_as_double(c, row, v)) {
        out = narrow_to_float(v);
        return true;
    }
    switch (c.kind) {
        case Kind::BoolBytes: out = load<std::uint8_t>(c, row) != 0 ? 1.0f : 0.0f; return true;
        case Kind::BoolBits:
            out = bit(static_cast<const std::uint8_t*>(c.data), c.bit_offset + row) ? 1.0f : 0.0f;
            return true;
        case Kind::Utf8:
        case Kind::LargeUtf8:
        case Kind::Utf8View: {
            const std::string_view text = c.text(row);
            const ParsedF32 p = parse_f32(text);
            if (!p.ok) return fail_quoting(why, FailureCode::ParseFloat, f, float_reason(p.kind), text);
            out = p.value;
            return true;
        }
        default: break;  // null, absent (the numbers are read above)
    }
    return fail(why, FailureCode::Null, f, messages::kNullValue);
}

// Cent mode's rate: float64 as given (a binary32 widened exactly, an
// integer through double as a Python int goes), text by the float grammar.
bool read_f64(const ColumnView& c, Field f, std::int64_t row, double& out, DecodeFailure& why) noexcept {
    if (c.is_null(row)) return fail(why, FailureCode::Null, f, messages::kNullValue);
    if (number_as_double(c, row, out)) return true;
    switch (c.kind) {
        case Kind::BoolBytes:
        case Kind::BoolBits: {
            float v = 0.0f;
            if (!read_f32(c, f, row, v, why)) return false;
            out = v;
            return true;
        }
        case Kind::Utf8:
        case Kind::LargeUtf8:
        case Kind::Utf8View: {
            // The float grammar decides what reads; the value is then the
            // double nearest the text.
            const std::string_view text = c.text(row);
            const ParsedF32 p = parse_f32(text);
            if (!p.ok) return fail_quoting(why, FailureCode::ParseFloat, f, float_reason(p.kind), text);
            std::string_view body = text;
            if (!body.empty() && body.front() == '+') body.remove_prefix(1);
            const auto r = std::from_chars(body.data(), body.data() + body.size(), out);
            if (r.ec == std::errc::result_out_of_range)
                out = std::copysign(std::numeric_limits<double>::infinity(), body.front() == '-' ? -1.0 : 1.0);
            else if (r.ec != std::errc() || r.ptr != body.data() + body.size())
                out = static_cast<double>(p.value);
            return true;
        }
        default: break;  // null, absent (the numbers are read above)
    }
    return fail(why, FailureCode::Null, f, messages::kNullValue);
}

// Cent mode's amount, in whole cents: text and integers exactly, a binary
// float to its nearest cent. Never through binary32.
bool read_cents(const ColumnView& c, Field f, std::int64_t row, std::int64_t& out, DecodeFailure& why) noexcept {
    if (c.is_null(row)) return fail(why, FailureCode::Null, f, messages::kNullValue);
    if (is_text(c.kind)) {
        const std::string_view text = c.text(row);
        switch (cents::parse_cents(text, out)) {
            case cents::TextCents::Ok: return true;
            case cents::TextCents::NotANumber:
                return fail_quoting(why, FailureCode::ParseFloat, f, messages::kFloatInvalid, text);
            case cents::TextCents::NonFinite:
                return fail_quoting(why, FailureCode::NonFinite, f, messages::kCentNonFinite, text);
            case cents::TextCents::TooLarge:
                return fail_quoting(why, FailureCode::TooLarge, f, messages::kCentTooLarge, text);
        }
    }
    double v = 0.0;
    if (!read_f64(c, f, row, v, why)) return false;
    if (is_integral(c.kind) && c.kind != Kind::U64 && c.kind != Kind::I64) {
        out = static_cast<std::int64_t>(v) * 100;  // at most 2^32 x 100: exact
        return true;
    }
    if (c.kind == Kind::I64 || c.kind == Kind::U64) {
        const bool in_range = c.kind == Kind::I64
                                  ? std::llabs(load<std::int64_t>(c, row)) < cents::kLargestCents / 100
                                  : load<std::uint64_t>(c, row) < static_cast<std::uint64_t>(cents::kLargestCents / 100);
        if (!in_range) return fail_quoting_number(why, FailureCode::TooLarge, f, messages::kCentTooLarge, v);
        out = (c.kind == Kind::I64 ? load<std::int64_t>(c, row) : static_cast<std::int64_t>(load<std::uint64_t>(c, row))) * 100;
        return true;
    }
    if (cents::cents_of(v, out)) return true;
    if (!std::isfinite(v)) return fail_quoting_number(why, FailureCode::NonFinite, f, messages::kCentNonFinite, v);
    return fail_quoting_number(why, FailureCode::TooLarge, f, messages::kCentTooLarge, v);
}

bool fits_i32(std::int64_t v) noexcept {
    return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

bool read_i32(const ColumnView& c, Field f, std::int64_t row, std::int32_t& out, DecodeFailure& why) noexcept {
    if (c.is_null(row)) return fail(why, FailureCode::Null, f, messages::kNullValue);
    std::int64_t v = 0;
    switch (c.kind) {
        case Kind::I8: v = load<std::int8_t>(c, row); break;
        case Kind::I16: v = load<std::int16_t>(c, row); break;
        case Kind::I32: v = load<std::int32_t>(c, row); break;
        case Kind::I64: v = load<std::int64_t>(c, row); break;
        case Kind::U8: v = load<std::uint8_t>(c, row); break;
        case Kind::U16: v = load<std::uint16_t>(c, row); break;
        case Kind::U32: v = load<std::uint32_t>(c, row); break;
        case Kind::U64: {
            const std::uint64_t u = load<std::uint64_t>(c, row);
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return fail_quoting_number(why, FailureCode::IntOutOfRange, f, messages::kIntTooLargeForLong, u);
            v = static_cast<std::int64_t>(u);
            break;
        }
        case Kind::BoolBytes: v = load<std::uint8_t>(c, row) != 0 ? 1 : 0; break;
        case Kind::BoolBits: v = bit(static_cast<const std::uint8_t*>(c.data), c.bit_offset + row) ? 1 : 0; break;
        case Kind::Utf8:
        case Kind::LargeUtf8:
        case Kind::Utf8View: {
            const std::string_view text = c.text(row);
            const ParsedI32 p = parse_i32(text);
            if (!p.ok) {
                const bool overflow = p.kind == IntErrorKind::PosOverflow || p.kind == IntErrorKind::NegOverflow;
                return fail_quoting(why, overflow ? FailureCode::IntOutOfRange : FailureCode::ParseInt, f,
                                    int_reason(p.kind), text);
            }
            out = p.value;
            return true;
        }
        case Kind::F64:
        case Kind::F32:
        case Kind::Null:
        case Kind::Absent:
            // Floats are refused before decoding starts; kept as a failure
            // so that a caller that forgets cannot read garbage.
            return fail(why, FailureCode::Null, f, messages::kNullValue);
    }
    if (!fits_i32(v)) return fail_quoting_number(why, FailureCode::IntOutOfRange, f, messages::kIntOutOfRangeOverflow, v);
    out = static_cast<std::int32_t>(v);
    return true;
}

}  // namespace

bool is_text(Kind k) noexcept { return k == Kind::Utf8 || k == Kind::LargeUtf8 || k == Kind::Utf8View; }
bool is_float(Kind k) noexcept { return k == Kind::F64 || k == Kind::F32; }
bool is_integral(Kind k) noexcept {
    switch (k) {
        case Kind::I8:
        case Kind::I16:
        case Kind::I32:
        case Kind::I64:
        case Kind::U8:
        case Kind::U16:
        case Kind::U32:
        case Kind::U64:
        case Kind::BoolBytes:
        case Kind::BoolBits: return true;
        default: return false;
    }
}

bool is_number_field(Field f) noexcept {
    return f == Field::Amt || f == Field::Rate || f == Field::Balance || f == Field::Fee;
}

bool is_optional_whole(Field f) noexcept {
    return f == Field::Age || f == Field::IoPers || f == Field::AmortPers || f == Field::PaymentsPerYear;
}

bool ColumnView::is_null(std::int64_t row) const noexcept {
    if (kind == Kind::Null) return true;
    return validity != nullptr && !bit(validity, bit_offset + row);
}

bool InputBatch::row_is_null(std::int64_t row) const noexcept {
    return row_validity != nullptr && !bit(row_validity, row_bit_offset + row);
}

std::string_view ColumnView::text(std::int64_t row) const noexcept {
    switch (kind) {
        // Offsets are read byte-wise: Arrow buffers that crossed a process
        // boundary (pickled, or from IPC) need not be aligned to their type.
        case Kind::Utf8: {
            std::int32_t off[2];
            std::memcpy(off, static_cast<const char*>(data) + row * 4, sizeof off);
            return std::string_view(chars + off[0], static_cast<std::size_t>(off[1] - off[0]));
        }
        case Kind::LargeUtf8: {
            std::int64_t off[2];
            std::memcpy(off, static_cast<const char*>(data) + row * 8, sizeof off);
            return std::string_view(chars + off[0], static_cast<std::size_t>(off[1] - off[0]));
        }
        case Kind::Utf8View: {
            // 16 bytes a view: length, then either the inlined characters
            // (length <= 12) or a 4-byte prefix, buffer index and offset.
            const char* v = static_cast<const char*>(data) + row * 16;
            std::int32_t len;
            std::memcpy(&len, v, 4);
            if (len <= 12) return std::string_view(v + 4, static_cast<std::size_t>(len));
            std::int32_t buf, off;
            std::memcpy(&buf, v + 8, 4);
            std::memcpy(&off, v + 12, 4);
            return std::string_view(view_buffers[buf] + off, static_cast<std::size_t>(len));
        }
        default: return std::string_view();
    }
}

LoanTerms Terms::loan() const {
    LoanTerms t;
    t.amt = amt;
    t.rate = rate;
    t.pers = pers;
    t.int_freq = int_freq;
    t.cap_freq = cap_freq;
    return t;
}

namespace {

double float_at(const ColumnView& c, std::int64_t row) noexcept {
    return c.kind == Kind::F64 ? load<double>(c, row) : static_cast<double>(load<float>(c, row));
}

// A float of an optional whole-number column (not NaN): a fraction or an
// infinity reads as the text "4.5" or "inf" would (parse_int), a whole
// number past 32 bits as one written in digits.
bool read_whole_float(const ColumnView& c, Field f, std::int64_t row, std::int32_t& out, DecodeFailure& why) noexcept {
    const double v = float_at(c, row);
    if (!std::isfinite(v) || std::floor(v) != v) {
        std::string text;
        try {
            text = c.kind == Kind::F64 ? double_text(v) : float_text(static_cast<float>(v));
        } catch (...) {
        }
        return fail_quoting(why, FailureCode::ParseInt, f, messages::kIntInvalidDigit, text);
    }
    if (v < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
        v > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        // Quoted in digits, as the integer it is (within 64 bits).
        if (std::fabs(v) < 9.2e18) return fail_quoting_number(why, FailureCode::IntOutOfRange, f,
                                                               messages::kIntOutOfRangeOverflow, static_cast<std::int64_t>(v));
        return fail_quoting_number(why, FailureCode::IntOutOfRange, f, messages::kIntOutOfRangeOverflow, v);
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

// An optional integer of the shape: absent or null (a float NaN too) reads
// as not given.
bool read_optional_i32(const ColumnView& c, Field f, std::int64_t row, std::int32_t& out, bool& given,
                       DecodeFailure& why) noexcept {
    given = false;
    if (c.kind == Kind::Absent || c.is_null(row)) return true;
    if (is_float(c.kind)) {
        if (std::isnan(float_at(c, row))) return true;
        if (!read_whole_float(c, f, row, out, why)) return false;
        given = true;
        return true;
    }
    if (!read_i32(c, f, row, out, why)) return false;
    given = true;
    return true;
}

// The shape of a row, after its terms.
bool decode_shape(const ShapeColumns& shape, std::int32_t periods_per_year, std::int64_t row, Terms& t,
                  DecodeFailure& why) noexcept {
    t.step = 1;
    if (!shape.present()) {
        t.io_pers = 0;
        t.amort_pers = t.pers;
        t.amort_given = t.has_steps = false;
        return true;
    }
    bool io_given = false;
    if (!read_optional_i32(shape.io_pers, Field::IoPers, row, t.io_pers, io_given, why)) return false;
    if (!io_given) t.io_pers = 0;
    if (!read_optional_i32(shape.amort_pers, Field::AmortPers, row, t.amort_pers, t.amort_given, why)) return false;
    // Neutral when not given: pers - io_pers (wrapping only for terms the
    // shape rules refuse anyway).
    if (!t.amort_given) t.amort_pers = num::wrapping_add(t.pers, num::wrapping_neg(t.io_pers));
    std::int64_t begin = 0, end = 0;
    shape.rate_steps.items(row, begin, end);
    t.has_steps = end > begin;
    std::int32_t payments = 0;
    bool own = false;
    if (!read_optional_i32(shape.payments_per_year, Field::PaymentsPerYear, row, payments, own, why)) return false;
    if (own) {
        if (!(payments == 12 || payments == 4 || payments == 2 || payments == 1) || periods_per_year % payments != 0) {
            char text[16];
            const auto end = std::to_chars(text, text + sizeof text, payments).ptr;
            return fail_quoting(why, FailureCode::BadFrequency, Field::PaymentsPerYear, messages::kBadPaymentsPerYear,
                                std::string_view(text, static_cast<std::size_t>(end - text)));
        }
        t.step = periods_per_year / payments;
    }
    return true;
}

}  // namespace

bool decode_row(const InputBatch& batch, std::int64_t row, Terms& t, DecodeFailure& why) noexcept {
    if (batch.row_is_null(row)) return fail(why, FailureCode::Null, Field::None, messages::kNullRow);
    if (batch.cents) {
        if (!read_cents(batch.column(Field::Amt), Field::Amt, row, t.cents, why) ||
            !read_f64(batch.column(Field::Rate), Field::Rate, row, t.rate64, why))
            return false;
        t.in_cents = true;
        t.amt = narrow_to_float(static_cast<double>(t.cents) / 100.0);
        t.rate = narrow_to_float(t.rate64);
        return read_i32(batch.column(Field::Pers), Field::Pers, row, t.pers, why) &&
               read_i32(batch.column(Field::IntFreq), Field::IntFreq, row, t.int_freq, why) &&
               read_i32(batch.column(Field::CapFreq), Field::CapFreq, row, t.cap_freq, why) &&
               decode_shape(batch.shape, batch.periods_per_year, row, t, why);
    }
    return read_f32(batch.column(Field::Amt), Field::Amt, row, t.amt, why) &&
           read_f32(batch.column(Field::Rate), Field::Rate, row, t.rate, why) &&
           read_i32(batch.column(Field::Pers), Field::Pers, row, t.pers, why) &&
           read_i32(batch.column(Field::IntFreq), Field::IntFreq, row, t.int_freq, why) &&
           read_i32(batch.column(Field::CapFreq), Field::CapFreq, row, t.cap_freq, why) &&
           decode_shape(batch.shape, batch.periods_per_year, row, t, why);
}

bool read_standing_columns(const InputBatch& batch, std::int64_t row, std::int64_t& age, bool& has_age,
                           float& balance, std::int64_t& balance_cents, bool& has_balance, DecodeFailure& why) noexcept {
    if (batch.age.kind != Kind::Absent) {
        if (batch.age.is_null(row) || batch.age.kind == Kind::Null ||
            (is_float(batch.age.kind) && std::isnan(float_at(batch.age, row))))
            return fail(why, FailureCode::BadAge, Field::Age, messages::kBadAge);
        std::int32_t a = 0;
        if (is_float(batch.age.kind)) {
            // An age that is no whole number is refused as the book's other
            // readers of ages refuse it, quoted as given.
            if (!read_whole_float(batch.age, Field::Age, row, a, why)) {
                why.code = FailureCode::BadAge;
                why.reason = messages::kBadAge;
                return false;
            }
        } else if (!read_i32(batch.age, Field::Age, row, a, why)) {
            return false;
        }
        age = a;
        has_age = true;
    }
    if (batch.balance.kind != Kind::Absent) {
        if (batch.balance.is_null(row) || batch.balance.kind == Kind::Null)
            return fail(why, FailureCode::BadBalance, Field::Balance, messages::kBadBalance);
        if (batch.cents) {
            // As the amount is read: a balance "95000.10" stays its cents.
            if (!read_cents(batch.balance, Field::Balance, row, balance_cents, why)) return false;
            balance = narrow_to_float(static_cast<double>(balance_cents) / 100.0);
        } else if (!read_f32(batch.balance, Field::Balance, row, balance, why)) {
            return false;
        }
        has_balance = true;
    }
    return true;
}

void StepsView::items(std::int64_t row, std::int64_t& begin, std::int64_t& end) const noexcept {
    begin = end = 0;
    if (kind == Offsets::Absent || kind == Offsets::Null) return;
    if (validity != nullptr && !bit(validity, bit_offset + row)) return;
    if (kind == Offsets::I32) {
        std::int32_t off[2];
        std::memcpy(off, static_cast<const char*>(offsets) + row * 4, sizeof off);
        begin = off[0];
        end = off[1];
    } else {
        std::int64_t off[2];
        std::memcpy(off, static_cast<const char*>(offsets) + row * 8, sizeof off);
        begin = off[0];
        end = off[1];
    }
}

bool StepsView::step_is_null(std::int64_t item) const noexcept {
    return item_validity != nullptr && !bit(item_validity, item_bit_offset + item);
}

namespace {

template <typename R>
bool read_steps_as(const InputBatch& batch, std::int64_t row, std::vector<std::int32_t>& per, std::vector<R>& rate,
                   DecodeFailure& why) {
    const StepsView& v = batch.shape.rate_steps;
    std::int64_t begin = 0, end = 0;
    v.items(row, begin, end);
    for (std::int64_t i = begin; i < end; ++i) {
        if (v.step_is_null(i)) return fail(why, FailureCode::Null, Field::RateSteps, messages::kNullValue);
        std::int32_t p = 0;
        R r{};
        bool ok = read_i32(v.per, Field::RateSteps, i, p, why);
        if constexpr (sizeof(R) == sizeof(float))
            ok = ok && read_f32(v.rate, Field::RateSteps, i, r, why);
        else
            ok = ok && read_f64(v.rate, Field::RateSteps, i, r, why);
        if (!ok) return false;
        per.push_back(p);
        rate.push_back(r);
    }
    return true;
}

}  // namespace

bool read_steps(const InputBatch& batch, std::int64_t row, std::vector<std::int32_t>& per, std::vector<float>& rate,
                DecodeFailure& why) {
    return read_steps_as(batch, row, per, rate, why);
}

bool read_steps(const InputBatch& batch, std::int64_t row, std::vector<std::int32_t>& per, std::vector<double>& rate,
                DecodeFailure& why) {
    return read_steps_as(batch, row, per, rate, why);
}

namespace {

// A row's steps as a list of (per, rate) pairs, each value as read.
std::string quote_steps(const StepsView& v, std::int64_t row) {
    std::int64_t begin = 0, end = 0;
    v.items(row, begin, end);
    std::string s = "[";
    for (std::int64_t i = begin; i < end; ++i) {
        if (i > begin) s += ", ";
        if (v.step_is_null(i)) {
            s += "None";
            continue;
        }
        const auto one = [i](const ColumnView& c, bool integer) -> std::string {
            if (c.is_null(i)) return "None";
            if (is_text(c.kind)) return std::string(c.text(i));
            DecodeFailure why;
            if (integer) {
                std::int32_t x = 0;
                return read_i32(c, Field::RateSteps, i, x, why) ? digits(x) : std::string("?");
            }
            float x = 0.0f;
            return read_f32(c, Field::RateSteps, i, x, why) ? float_text(x) : std::string("?");
        };
        s += '(';
        s += one(v.per, true);
        s += ", ";
        s += one(v.rate, false);
        s += ')';
    }
    return s + "]";
}

}  // namespace

std::string quote_field(const InputBatch& batch, std::int64_t row, Field field, const Terms& t) {
    if (field == Field::None) return std::string();
    if (field == Field::RateSteps) return quote_steps(batch.shape.rate_steps, row);
    if (field == Field::Age) return digits(t.age);  // refused with its balance: the age it stands at
    if (field == Field::IoPers || field == Field::AmortPers) {
        const ColumnView& c = field == Field::IoPers ? batch.shape.io_pers : batch.shape.amort_pers;
        if (is_text(c.kind)) return std::string(c.text(row));
        return digits(field == Field::IoPers ? t.io_pers : t.amort_pers);
    }
    if (static_cast<int>(field) >= kFieldCount) return std::string();
    const ColumnView& c = batch.column(field);
    if (is_text(c.kind)) return std::string(c.text(row));
    switch (field) {
        case Field::Amt: return batch.cents ? cent_text(t.cents) : float_text(t.amt);
        case Field::Rate: return batch.cents ? double_text(t.rate64) : float_text(t.rate);
        case Field::Pers: return digits(t.pers);
        case Field::IntFreq: return digits(t.int_freq);
        case Field::CapFreq: return digits(t.cap_freq);
        default: return std::string();
    }
}

}  // namespace paywheel::columnar
