// Text record decoding: the two number grammars and decode_text_record.
// Plain C++; no interpreter access.
#include "paywheel/batch/text_record.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <source_location>
#include <system_error>

#include "paywheel/core/abort.hpp"

namespace paywheel::batch {

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr char ascii_lower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive ASCII comparison against a lower-case word.
bool equals_word(std::string_view text, std::string_view lower_word) noexcept {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (ascii_lower(text[i]) != lower_word[i]) return false;
    return true;
}

float with_sign_bit(float x) noexcept {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) | 0x80000000u);
}

constexpr ParsedF32 float_error(FloatErrorKind kind) noexcept { return ParsedF32{false, 0.0f, kind}; }
constexpr ParsedI32 int_error(IntErrorKind kind) noexcept { return ParsedI32{false, 0, kind}; }

// Saturation bound for decimal exponents. Any |order| far above the binary32
// range (about 10^-46 .. 10^39) decides over- or underflow just the same, and
// the bound keeps every sum below well inside int64.
constexpr std::int64_t kExponentCap = 1'000'000'000'000LL;

// Magnitude (no sign) of an unsigned decimal numeral that has already been
// checked against the grammar: digits[.digits][(e|E)[sign]digits].
float convert_numeral(std::string_view numeral) noexcept {
    const char* const begin = numeral.data();
    const char* const end = begin + numeral.size();

    float value = 0.0f;
    const std::from_chars_result r = std::from_chars(begin, end, value, std::chars_format::general);
    // The grammar was checked first, so from_chars consumes the whole numeral;
    // its only possible complaint is the range.
    if (r.ec != std::errc::result_out_of_range) return value;

    // libstdc++ reports result_out_of_range when the correctly rounded result
    // is an infinity or is zero although some digit is non-zero, and then
    // leaves `value` unset. (Results that round to a subnormal come back
    // normally.) Decide the direction from the decimal order of magnitude:
    // the value lies in [10^order, 10^(order+1)).
    std::size_t i = 0;
    std::int64_t int_digits = 0;
    std::int64_t first_nonzero = -1;  // index among all mantissa digits
    std::int64_t digit_index = 0;
    for (; i < numeral.size() && is_digit(numeral[i]); ++i, ++digit_index, ++int_digits)
        if (first_nonzero < 0 && numeral[i] != '0') first_nonzero = digit_index;
    if (i < numeral.size() && numeral[i] == '.') {
        ++i;
        for (; i < numeral.size() && is_digit(numeral[i]); ++i, ++digit_index)
            if (first_nonzero < 0 && numeral[i] != '0') first_nonzero = digit_index;
    }
    if (first_nonzero < 0) return 0.0f;  // every digit is zero (not reached: from_chars gives 0)

    std::int64_t exponent = 0;
    if (i < numeral.size() && (numeral[i] == 'e' || numeral[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (numeral[i] == '+' || numeral[i] == '-') {
            exp_negative = numeral[i] == '-';
            ++i;
        }
        for (; i < numeral.size(); ++i) {
            if (exponent < kExponentCap) exponent = exponent * 10 + (numeral[i] - '0');
        }
        if (exp_negative) exponent = -exponent;
    }
    // Digit counts are bounded by the text length (< 2^62), exponent by the cap.
    const std::int64_t order = int_digits - first_nonzero - 1 + exponent;
    return order >= 0 ? std::numeric_limits<float>::infinity() : 0.0f;
}

}  // namespace

ParsedF32 parse_f32(std::string_view text) noexcept {
    if (text.empty()) return float_error(FloatErrorKind::Empty);

    bool negative = false;
    std::string_view body = text;
    if (body.front() == '+' || body.front() == '-') {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) return float_error(FloatErrorKind::Invalid);

    float magnitude;
    if (equals_word(body, "inf") || equals_word(body, "infinity")) {
        magnitude = std::numeric_limits<float>::infinity();
    } else if (equals_word(body, "nan")) {
        magnitude = std::numeric_limits<float>::quiet_NaN();  // 0x7fc00000
    } else {
        // digits [ "." digits ] with at least one digit in total ...
        std::size_t i = 0;
        std::size_t mantissa_digits = 0;
        while (i < body.size() && is_digit(body[i])) ++i, ++mantissa_digits;
        if (i < body.size() && body[i] == '.') {
            ++i;
            while (i < body.size() && is_digit(body[i])) ++i, ++mantissa_digits;
        }
        if (mantissa_digits == 0) return float_error(FloatErrorKind::Invalid);
        // ... then optionally ("e" | "E") [sign] digit { digit }.
        if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
            ++i;
            if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
            std::size_t exponent_digits = 0;
            while (i < body.size() && is_digit(body[i])) ++i, ++exponent_digits;
            if (exponent_digits == 0) return float_error(FloatErrorKind::Invalid);
        }
        if (i != body.size()) return float_error(FloatErrorKind::Invalid);
        magnitude = convert_numeral(body);
    }
    return ParsedF32{true, negative ? with_sign_bit(magnitude) : magnitude, FloatErrorKind::Empty};
}

ParsedI32 parse_i32(std::string_view text) noexcept {
    if (text.empty()) return int_error(IntErrorKind::Empty);

    bool negative = false;
    std::size_t i = 0;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        i = 1;
        if (text.size() == 1) return int_error(IntErrorKind::InvalidDigit);
    }
    // Magnitude accumulated unsigned; it never exceeds 2^31 before the check,
    // so 10 * magnitude + 9 fits easily.
    const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (!is_digit(c)) return int_error(IntErrorKind::InvalidDigit);
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
        if (magnitude > limit)
            return int_error(negative ? IntErrorKind::NegOverflow : IntErrorKind::PosOverflow);
    }
    const std::uint32_t u = static_cast<std::uint32_t>(magnitude);
    const std::int32_t value =
        static_cast<std::int32_t>(negative ? 0u - u : u);  // two's complement, no UB
    return ParsedI32{true, value, IntErrorKind::Empty};
}

namespace {

// Each helper aborts at the call site that the caller's source location names,
// so every lookup and every parse in decode_text_record is its own site; the
// abort blames the field read, with the code a columnar row gets for it.

const std::string& lookup(const TextRecord& record, Field field,
                          std::source_location loc = std::source_location::current()) {
    const auto it = record.find(name_of(field));
    if (it == record.end()) raise_abort(Blame{FailureCode::Null, field}, messages::kMissingKey, loc);
    return it->second;
}

float unwrap_f32(const std::string& text, Field field, std::source_location loc = std::source_location::current()) {
    const ParsedF32 p = parse_f32(text);
    if (!p.ok)
        raise_abort(Blame{FailureCode::ParseFloat, field},
                    p.kind == FloatErrorKind::Empty ? messages::kFloatEmpty : messages::kFloatInvalid, loc);
    return p.value;
}

std::int32_t unwrap_i32(const std::string& text, Field field,
                        std::source_location loc = std::source_location::current()) {
    const ParsedI32 p = parse_i32(text);
    if (!p.ok) {
        const char* message = messages::kIntInvalidDigit;
        FailureCode code = FailureCode::ParseInt;
        switch (p.kind) {
            case IntErrorKind::Empty: message = messages::kIntEmpty; break;
            case IntErrorKind::InvalidDigit: message = messages::kIntInvalidDigit; break;
            case IntErrorKind::PosOverflow:
                message = messages::kIntPosOverflow;
                code = FailureCode::IntOutOfRange;
                break;
            case IntErrorKind::NegOverflow:
                message = messages::kIntNegOverflow;
                code = FailureCode::IntOutOfRange;
                break;
        }
        raise_abort(Blame{code, field}, message, loc);
    }
    return p.value;
}

}  // namespace

LoanTerms decode_text_record(const TextRecord& record) {
    const std::string& id = lookup(record, Field::Id);
    const std::string& amt_text = lookup(record, Field::Amt);
    const float amt = unwrap_f32(amt_text, Field::Amt);
    const std::string& rate_text = lookup(record, Field::Rate);
    const float rate = unwrap_f32(rate_text, Field::Rate);
    const std::string& pers_text = lookup(record, Field::Pers);
    const std::int32_t pers = unwrap_i32(pers_text, Field::Pers);
    const std::string& int_freq_text = lookup(record, Field::IntFreq);
    const std::int32_t int_freq = unwrap_i32(int_freq_text, Field::IntFreq);
    const std::string& cap_freq_text = lookup(record, Field::CapFreq);
    const std::int32_t cap_freq = unwrap_i32(cap_freq_text, Field::CapFreq);

    LoanTerms terms;
    terms.id = id;
    terms.amt = amt;
    terms.rate = rate;
    terms.pers = pers;
    terms.int_freq = int_freq;
    terms.cap_freq = cap_freq;
    return terms;
}

}  // namespace paywheel::batch
