// Text records and their decoding into loan terms, in plain C++: nothing
// here touches the interpreter, so worker threads may decode any number of
// records at once. Copying a batch out of Python objects is the glue's job
// (src/bindings/driver_par.cpp), not this layer's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "paywheel/core/engine.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::batch {

// One loan given as text: an owned copy of every entry of the Python dict,
// keys compared byte for byte.
using TextRecord = std::unordered_map<std::string, std::string>;
// One text record per item of `incoming`, in iteration order.
using TextBatch = std::vector<TextRecord>;

enum class FloatErrorKind { Empty, Invalid };
enum class IntErrorKind { Empty, InvalidDigit, PosOverflow, NegOverflow };

// ok == true: `value` holds the result and `kind` is meaningless.
// ok == false: `kind` says why and `value` is 0.
struct ParsedF32 {
    bool ok;
    float value;
    FloatErrorKind kind;
};

struct ParsedI32 {
    bool ok;
    std::int32_t value;
    IntErrorKind kind;
};

// The 32-bit float grammar of text records: optional sign; "inf",
// "infinity" or "nan" in any case, or digits[.digits] (at least one digit)
// with an optional exponent e/E[sign]digits. The whole text must match;
// nothing is trimmed.
// The value is the binary32 nearest to the exact decimal value, ties to even;
// overflow gives an infinity, underflow a zero (or a subnormal), exponents of
// any length saturate. Locale-independent.
ParsedF32 parse_f32(std::string_view text) noexcept;

// The signed 32-bit integer grammar of text records: optional sign, then
// one or more ASCII digits. Left to right, the first offending character
// decides the error kind.
ParsedI32 parse_i32(std::string_view text) noexcept;

// Looks up "id", "amt", "rate", "pers", "int_freq", "cap_freq" in that order;
// the first missing key or unparsable value aborts (paywheel::Abort) with the
// matching messages.hpp entry (kMissingKey, kFloat*, kInt*). Returns terms owning a fresh copy of the id.
LoanTerms decode_text_record(const TextRecord& record);

}  // namespace paywheel::batch
