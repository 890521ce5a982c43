// Input columns of a loan book, described without the interpreter: typed
// numbers (NumPy-style strided or Arrow), booleans (bytes or Arrow bits) and
// text (Arrow utf8, large utf8 and string views). Rows are decoded into loan
// terms by the same rules as the module's dict operations, so a book read
// column-wise gives the same terms, and the same failures, as its rows read
// one dict at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "paywheel/core/engine.hpp"

namespace paywheel::columnar {

// The six fields of a loan, in the order in which a row is decoded: the
// first field that fails to decode is the one reported.
enum class Field : int { Id = 0, Amt, Rate, Pers, IntFreq, CapFreq };
inline constexpr int kFieldCount = 6;
inline constexpr const char* kFieldNames[kFieldCount] = {"id", "amt", "rate", "pers", "int_freq", "cap_freq"};

enum class Kind : std::uint8_t {
    Absent,
    F64,
    F32,
    I8,
    I16,
    I32,
    I64,
    U8,
    U16,
    U32,
    U64,
    BoolBytes,  // one byte a value, nonzero is true
    BoolBits,   // Arrow: one bit a value, least significant first
    Utf8,       // Arrow "u": int32 offsets + characters
    LargeUtf8,  // Arrow "U": int64 offsets + characters
    Utf8View,   // Arrow "vu": 16-byte views + variadic character buffers
};

bool is_text(Kind k) noexcept;
bool is_float(Kind k) noexcept;
// Integers of any width and booleans.
bool is_integral(Kind k) noexcept;

// One column of one batch. Element i of a typed column lives at
// data + i * stride; Arrow columns have their offset already applied to
// data, except for bit-packed values and the validity bitmap, which keep a
// bit offset.
struct ColumnView {
    Kind kind = Kind::Absent;
    const void* data = nullptr;
    std::int64_t stride = 0;
    std::int64_t bit_offset = 0;          // BoolBits values and validity
    const char* chars = nullptr;          // Utf8 / LargeUtf8 characters
    const char* const* view_buffers = nullptr;  // Utf8View variadic buffers
    const std::uint8_t* validity = nullptr;     // nullptr: no nulls

    bool is_null(std::int64_t row) const noexcept;
    // Only for text columns.
    std::string_view text(std::int64_t row) const noexcept;
};

// One batch of rows: a column per field (Absent when not given; only the id
// may be absent).
struct InputBatch {
    std::int64_t rows = 0;
    ColumnView columns[kFieldCount];
    const ColumnView& column(Field f) const noexcept { return columns[static_cast<int>(f)]; }
};

// First null row of a column in [0, rows), or -1.
std::int64_t first_null(const ColumnView& column, std::int64_t rows) noexcept;

// Why a row could not be decoded: a static text, identical to the engine
// message the dict operations give for the same value.
struct DecodeFailure {
    const char* reason;
};

// The period count of a row, or the failure of the earliest field up to and
// including "pers" (id, amt, rate, pers). Lets a caller size a row's output
// before decoding the rest.
bool decode_pers(const InputBatch& batch, std::int64_t row, std::int32_t& pers, DecodeFailure& why) noexcept;

// All terms of a row except the id (the engine does not read it). On false,
// `why` names the earliest failing field's reason.
bool decode_row(const InputBatch& batch, std::int64_t row, LoanTerms& terms, DecodeFailure& why) noexcept;

// The binary32 a float64 becomes, as the dict operations narrow it.
float narrow_to_float(double d) noexcept;

// The texts of the row failures that decoding gives.
namespace decode_messages {
// An integer column value outside the signed 32-bit range.
extern const char* const kIntOutOfRange;
}  // namespace decode_messages

}  // namespace paywheel::columnar
