// Input columns of a loan book, described without the interpreter: typed
// numbers (NumPy-style strided or Arrow), booleans (bytes or Arrow bits) and
// text (Arrow utf8, large utf8 and string views). Rows are decoded into loan
// terms by the same rules as the module's dict operations, so a book read
// column-wise gives the same terms, and the same failures, as its rows read
// one dict at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "paywheel/core/engine.hpp"
#include "paywheel/core/failure_code.hpp"

namespace paywheel::columnar {

// The six fields of a loan, in the order in which a row is decoded: the
// first field that fails to decode is the one reported.
using paywheel::Field;
using paywheel::FailureCode;
using paywheel::kFieldNames;
inline constexpr int kFieldCount = kLoanFieldCount;

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
    Null,       // Arrow "n": every value is null
};

bool is_text(Kind k) noexcept;
bool is_float(Kind k) noexcept;
// Integers of any width and booleans.
bool is_integral(Kind k) noexcept;

// The amount, rate, balance and fee: numbers, read as binary floats.
bool is_number_field(Field f) noexcept;
// A loan's optional whole numbers (its age and the shape's io_pers,
// amort_pers and payments_per_year) may also come as floats: pandas turns a
// column of integers with a gap into float64. A NaN there is a null and a
// value must be whole. The engine's own terms keep refusing floats.
bool is_optional_whole(Field f) noexcept;

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

// A column of rate steps: per row a list of (per, rate) structs (an Arrow
// list or large list, or the same built from Python lists). Row r's steps
// are the items [offsets[r], offsets[r + 1]) of the per and rate columns; a
// null list has none.
struct StepsView {
    enum class Offsets : std::uint8_t { Absent, Null, I32, I64 };
    Offsets kind = Offsets::Absent;
    const void* offsets = nullptr;  // the batch's first row's offset applied
    const std::uint8_t* validity = nullptr;
    std::int64_t bit_offset = 0;
    // The items: nulls (a null step), and the two fields by item index.
    const std::uint8_t* item_validity = nullptr;
    std::int64_t item_bit_offset = 0;
    ColumnView per, rate;

    // Row r's items; begin == end for none.
    void items(std::int64_t row, std::int64_t& begin, std::int64_t& end) const noexcept;
    bool step_is_null(std::int64_t item) const noexcept;
};

// The optional columns of a loan's shape (loan_shapes in shapes.hpp says
// what they mean). All absent: the book has no shapes.
// payments_per_year (absent or null: the call's periods_per_year) rides
// with them: the loan's own payment period.
struct ShapeColumns {
    ColumnView io_pers, amort_pers;
    StepsView rate_steps;
    ColumnView payments_per_year;
    bool present() const noexcept {
        return io_pers.kind != Kind::Absent || amort_pers.kind != Kind::Absent ||
               rate_steps.kind != StepsView::Offsets::Absent || payments_per_year.kind != Kind::Absent;
    }
};

// One batch of rows: a column per field (Absent when not given; only the id
// may be absent), and the validity of whole rows (a struct array's own
// nulls: a null row is null whatever its children hold).
struct InputBatch {
    std::int64_t rows = 0;
    ColumnView columns[kFieldCount];
    const std::uint8_t* row_validity = nullptr;  // nullptr: no null rows
    std::int64_t row_bit_offset = 0;
    ShapeColumns shape;
    // The call's precision="cent": amounts read as whole cents and rates as
    // float64 (Terms::cents, Terms::rate64), and the cent engine fills.
    bool cents = false;
    // The call's strict=: false gives a piece the engine refuses for a zero
    // rate or a single capital block the schedule a lender writes instead.
    bool strict = true;
    // The call's calendar: its periods a year, which a loan's own
    // payments_per_year must divide.
    std::int32_t periods_per_year = 12;
    // The book as it stands, from its own columns, bound where they are
    // integers (age) or numbers (balance), typed or text; read only by the
    // calls that ask for them (a stream of schedules).
    ColumnView age, balance;
    const ColumnView& column(Field f) const noexcept { return columns[static_cast<int>(f)]; }
    bool row_is_null(std::int64_t row) const noexcept;
};

// A loan's terms as the engine reads them, without the id: what a call
// keeps of every row it reads.
struct Terms {
    float amt = 0.0f;
    float rate = 0.0f;
    std::int32_t pers = 0;
    std::int32_t int_freq = 0;
    std::int32_t cap_freq = 0;
    // The shape, null cells read as their defaults: io_pers 0, amort_pers
    // pers - io_pers (amort_given false), no rate steps. The steps stay in
    // the batch (has_steps: the row's list is not empty).
    std::int32_t io_pers = 0;
    std::int32_t amort_pers = 0;
    bool amort_given = false;
    bool has_steps = false;
    // A standing loan: the first `age` periods of its contract have passed,
    // amt is the balance owed at that age and pers the periods that remain.
    // io_pers, amort_pers and the steps' periods still count from
    // origination. 0 for a loan scheduled from origination.
    std::int32_t age = 0;
    // Periods of the call's calendar to one of the loan's own (its
    // payments_per_year over the call's periods_per_year): pers, rate,
    // int_freq and cap_freq are in its own periods, and its flows fall every
    // `step` calendar periods.
    std::int32_t step = 1;
    std::int64_t calendar_pers() const noexcept { return static_cast<std::int64_t>(pers) * step; }
    // Cent mode (InputBatch::cents): the amount in whole cents and the rate
    // as float64, as read; amt and rate then hold their nearest binary32,
    // for the failure reports only.
    std::int64_t cents = 0;
    double rate64 = 0.0;
    bool in_cents = false;  // read in cent mode: cents and rate64 are the terms
    LoanTerms loan() const;
    // False for a loan without shape, or with neutral values: it takes the
    // engine's own path.
    bool shaped() const noexcept {
        return io_pers != 0 || has_steps ||
               (amort_given && static_cast<std::int64_t>(amort_pers) != static_cast<std::int64_t>(pers) + age);
    }
};

// Why a row could not be decoded: the code, the field, the catalogue text
// (identical to the message the dict operations give for the same value)
// and the offending value as read (has_value false for a null).
struct DecodeFailure {
    const char* reason = nullptr;
    FailureCode code = FailureCode::Null;
    Field field = Field::None;
    bool has_value = false;
    std::string value;
};

// All terms of a row except the id (the engine does not read it), each
// field read once. On false, `why` describes the earliest failing field.
// Allocates only to quote a failing value; a failed allocation there
// leaves the value out.
bool decode_row(const InputBatch& batch, std::int64_t row, Terms& terms, DecodeFailure& why) noexcept;

// Row r's age and balance from the batch's own columns (has_* false where
// a column is not bound): false with `why` for one that does not read, a
// null being bad_age or bad_balance. In cent mode the balance is also read
// exactly, as the amount is, into balance_cents.
bool read_standing_columns(const InputBatch& batch, std::int64_t row, std::int64_t& age, bool& has_age,
                           float& balance, std::int64_t& balance_cents, bool& has_balance, DecodeFailure& why) noexcept;

// Row r's rate steps, as the engine reads them: per as an int32 and rate
// narrowed to binary32 exactly as `rate` is. Appends to per and rate; false
// with `why` filled (field rate_steps) for a step that is null or does not
// decode.
bool read_steps(const InputBatch& batch, std::int64_t row, std::vector<std::int32_t>& per, std::vector<float>& rate,
                DecodeFailure& why);
// The same with the rates as float64, for cent mode.
bool read_steps(const InputBatch& batch, std::int64_t row, std::vector<std::int32_t>& per, std::vector<double>& rate,
                DecodeFailure& why);

// The text of a field of a decoded row, as it was read: the column's own
// text for text columns, else the value the engine was given (shortest
// round-trip digits for floats, decimal for integers).
std::string quote_field(const InputBatch& batch, std::int64_t row, Field field, const Terms& terms);

}  // namespace paywheel::columnar
