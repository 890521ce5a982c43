#include "paywheel/batch/columnar_input.hpp"

#include <cmath>
#include <cstring>
#include <limits>

// The text grammars: the one place this module names their header.
#include "paywheel/batch/text_record.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::columnar {

using batch::FloatErrorKind;
using batch::IntErrorKind;
using batch::parse_f32;
using batch::parse_i32;
using batch::ParsedF32;
using batch::ParsedI32;

namespace decode_messages {
// The dict operations convert an integer through a C long and then check the
// 32-bit range; these are the two texts that conversion fails with.
const char* const kIntOutOfRange =
    "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'OverflowError'>, value: "
    "OverflowError('out of range integral type conversion attempted'), traceback: None }";
}  // namespace decode_messages

namespace {

constexpr const char* kIntTooLargeForLong =
    "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'OverflowError'>, value: "
    "OverflowError('Python int too large to convert to C long'), traceback: None }";

template <typename T>
T load(const ColumnView& c, std::int64_t row) noexcept {
    T v;
    std::memcpy(&v, static_cast<const char*>(c.data) + row * c.stride, sizeof v);
    return v;
}

bool bit(const std::uint8_t* bits, std::int64_t i) noexcept { return (bits[i >> 3] >> (i & 7)) & 1u; }

const char* float_reason(FloatErrorKind k) noexcept {
    return k == FloatErrorKind::Empty ? paywheel::messages::kFloatEmpty : paywheel::messages::kFloatInvalid;
}

const char* int_reason(IntErrorKind k) noexcept {
    switch (k) {
        case IntErrorKind::Empty: return paywheel::messages::kIntEmpty;
        case IntErrorKind::InvalidDigit: return paywheel::messages::kIntInvalidDigit;
        case IntErrorKind::PosOverflow: return paywheel::messages::kIntPosOverflow;
        case IntErrorKind::NegOverflow: return paywheel::messages::kIntNegOverflow;
    }
    return paywheel::messages::kIntInvalidDigit;
}

// A typed or text amount or rate. Integers go to double first (one rounding,
// as an int does on its way through a Python float) and then narrow (a
// second rounding), exactly as the dict operation reads an int.
bool read_f32(const ColumnView& c, std::int64_t row, float& out, DecodeFailure& why) noexcept {
    switch (c.kind) {
        case Kind::F64: out = narrow_to_float(load<double>(c, row)); return true;
        case Kind::F32: out = load<float>(c, row); return true;
        case Kind::I8: out = narrow_to_float(static_cast<double>(load<std::int8_t>(c, row))); return true;
        case Kind::I16: out = narrow_to_float(static_cast<double>(load<std::int16_t>(c, row))); return true;
        case Kind::I32: out = narrow_to_float(static_cast<double>(load<std::int32_t>(c, row))); return true;
        case Kind::I64: out = narrow_to_float(static_cast<double>(load<std::int64_t>(c, row))); return true;
        case Kind::U8: out = narrow_to_float(static_cast<double>(load<std::uint8_t>(c, row))); return true;
        case Kind::U16: out = narrow_to_float(static_cast<double>(load<std::uint16_t>(c, row))); return true;
        case Kind::U32: out = narrow_to_float(static_cast<double>(load<std::uint32_t>(c, row))); return true;
        case Kind::U64: out = narrow_to_float(static_cast<double>(load<std::uint64_t>(c, row))); return true;
        case Kind::BoolBytes: out = load<std::uint8_t>(c, row) != 0 ? 1.0f : 0.0f; return true;
        case Kind::BoolBits:
            out = bit(static_cast<const std::uint8_t*>(c.data), c.bit_offset + row) ? 1.0f : 0.0f;
            return true;
        case Kind::Utf8:
        case Kind::LargeUtf8:
        case Kind::Utf8View: {
            const ParsedF32 p = parse_f32(c.text(row));
            if (!p.ok) {
                why.reason = float_reason(p.kind);
                return false;
            }
            out = p.value;
            return true;
        }
        case Kind::Absent: break;
    }
    why.reason = paywheel::messages::kMissingKey;
    return false;
}

bool fits_i32(std::int64_t v) noexcept {
    return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

bool read_i32(const ColumnView& c, std::int64_t row, std::int32_t& out, DecodeFailure& why) noexcept {
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
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                why.reason = kIntTooLargeForLong;
                return false;
            }
            v = static_cast<std::int64_t>(u);
            break;
        }
        case Kind::BoolBytes: v = load<std::uint8_t>(c, row) != 0 ? 1 : 0; break;
        case Kind::BoolBits: v = bit(static_cast<const std::uint8_t*>(c.data), c.bit_offset + row) ? 1 : 0; break;
        case Kind::Utf8:
        case Kind::LargeUtf8:
        case Kind::Utf8View: {
            const ParsedI32 p = parse_i32(c.text(row));
            if (!p.ok) {
                why.reason = int_reason(p.kind);
                return false;
            }
            out = p.value;
            return true;
        }
        case Kind::F64:
        case Kind::F32:
        case Kind::Absent:
            // Refused before decoding starts; kept as a failure so that a
            // caller that forgets cannot read garbage.
            why.reason = paywheel::messages::kMissingKey;
            return false;
    }
    if (!fits_i32(v)) {
        why.reason = decode_messages::kIntOutOfRange;
        return false;
    }
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

bool ColumnView::is_null(std::int64_t row) const noexcept {
    return validity != nullptr && !bit(validity, bit_offset + row);
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

std::int64_t first_null(const ColumnView& column, std::int64_t rows) noexcept {
    if (column.validity == nullptr) return -1;
    for (std::int64_t i = 0; i < rows; ++i)
        if (!bit(column.validity, column.bit_offset + i)) return i;
    return -1;
}

float narrow_to_float(double d) noexcept {
    // Magnitudes past the largest finite float become infinities rather than
    // relying on an out-of-range conversion.
    if (std::isfinite(d) && std::fabs(d) >= 0x1.ffffffp+127)
        return std::copysign(std::numeric_limits<float>::infinity(), static_cast<float>(d > 0 ? 1 : -1));
    return static_cast<float>(d);
}

bool decode_pers(const InputBatch& batch, std::int64_t row, std::int32_t& pers, DecodeFailure& why) noexcept {
    float scratch;
    if (!read_f32(batch.column(Field::Amt), row, scratch, why)) return false;
    if (!read_f32(batch.column(Field::Rate), row, scratch, why)) return false;
    return read_i32(batch.column(Field::Pers), row, pers, why);
}

bool decode_row(const InputBatch& batch, std::int64_t row, LoanTerms& t, DecodeFailure& why) noexcept {
    return read_f32(batch.column(Field::Amt), row, t.amt, why) && read_f32(batch.column(Field::Rate), row, t.rate, why) &&
           read_i32(batch.column(Field::Pers), row, t.pers, why) &&
           read_i32(batch.column(Field::IntFreq), row, t.int_freq, why) &&
           read_i32(batch.column(Field::CapFreq), row, t.cap_freq, why);
}

}  // namespace paywheel::columnar
