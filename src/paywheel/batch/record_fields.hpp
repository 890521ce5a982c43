// Chosen fields of delimited text records (the agencies' loan-month lines),
// read straight into typed columns without tokenizing the fields nobody
// asked for. Only the plain case is read here: a block is "clean" when every
// line holds exactly the layout's number of fields and every number reads
// whole. Anything else (a short or long record, a number with spaces, an
// infinity, a value past int32) makes the whole block not clean, and the
// caller reads it the general way, which knows how to list each failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace paywheel::batch {

enum class FieldKind : std::uint8_t { Float64, Int32, Text };

struct WantedField {
    std::size_t index;  // position in the record, from 0
    FieldKind kind;
};

// One wanted field over every line of a block. An empty field is null: its
// validity bit is 0 and its value 0 (or an empty text).
struct FieldValues {
    FieldKind kind = FieldKind::Text;
    std::vector<double> floats;         // Float64: one a line
    std::vector<std::int32_t> ints;     // Int32: one a line
    std::vector<std::int32_t> offsets;  // Text: lines + 1 offsets into `chars`
    std::vector<char> chars;            // Text
    std::vector<std::uint8_t> valid;    // bit i % 8 of byte i / 8 set: line i present
    std::int64_t nulls = 0;
};

struct RecordFields {
    bool clean = false;
    std::size_t lines = 0;
    std::vector<FieldValues> fields;  // in the order of `wanted`; empty unless clean
};

// Reads `wanted` (distinct indices below field_count) from every line of
// `block`: lines end in '\n' (the last may not), and a '\r' just before a
// line's end is dropped; any other '\r' makes the block not clean, as does
// an empty line. Fields are split at `delimiter`, with no quoting.
// The block is cut into fixed runs of lines read on at most max_threads of
// the pool's workers (0: all); each run writes only its own lines, so the
// result is the same for any thread count.
RecordFields read_record_fields(std::string_view block, char delimiter, std::size_t field_count,
                                const std::vector<WantedField>& wanted, std::size_t max_threads);

// The float64 grammar a clean field must match whole: optional sign, digits
// with an optional point (at least one digit, on either side), an optional
// exponent e/E[sign]digits. The value is the nearest double (ties to even),
// as std::from_chars gives it; a result that overflows or underflows to
// zero does not read. Nothing is trimmed.
bool read_float64(std::string_view text, double& out) noexcept;

// The int32 grammar a clean field must match whole: an optional '-', then
// digits, within int32. A '+' does not read here (the general reader
// refuses it as a typed integer, and so must this one).
bool read_int32(std::string_view text, std::int32_t& out) noexcept;

}  // namespace paywheel::batch
