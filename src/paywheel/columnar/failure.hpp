// Failures of the columnar layer. A row that produces no schedule is data
// (RowFailure); what stops a whole call is an exception derived from
// ColumnarError, the one base the Python edge's translator knows, carrying
// a code and its catalogue text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "paywheel/columnar/decode.hpp"
#include "paywheel/core/failure_code.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::columnar {

// A row that produced no schedule. has_terms: the row decoded and the engine
// refused it (terms says what it was given); otherwise decoding failed.
struct RowFailure {
    std::int64_t index = 0;
    FailureCode code = FailureCode::Null;
    Field field = Field::None;
    std::string reason;  // the catalogue text, or the engine's own message
    bool has_value = false;
    std::string value;   // the offending value as read
    bool has_terms = false;
    Terms terms;
};

// Row `index` that did not decode, as a failure (its value moved out of `why`).
inline RowFailure failure_of(std::int64_t index, DecodeFailure& why) {
    RowFailure f;
    f.index = index;
    f.code = why.code;
    f.field = why.field;
    f.reason = why.reason;
    f.has_value = why.has_value;
    f.value = std::move(why.value);
    return f;
}

// What a whole call can fail with besides running out of memory.
enum class CallFailure : std::uint8_t {
    Cancelled,   // its stop flag was set (Ctrl-C)
    TooLarge,    // the result cannot fit in memory, or in the layout
    BadInput,    // the input's structure: a missing column, a type, lengths
    BadType,     // a column of a type this layer cannot read
    Upstream,    // an input stream reported a failure
};

class ColumnarError {
public:
    ColumnarError(CallFailure kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    virtual ~ColumnarError() = default;
    CallFailure kind() const noexcept { return kind_; }
    const char* what() const noexcept { return message_.c_str(); }

private:
    CallFailure kind_;
    std::string message_;
};

// Thrown when a call is stopped through its stop flag.
struct Cancelled : ColumnarError {
    Cancelled() : ColumnarError(CallFailure::Cancelled, messages::kCallCancelled) {}
};

// Thrown before allocating when the result cannot fit: `bytes` is what it
// would take (SIZE_MAX when even that overflows), `limit` what there is.
struct TooLarge : ColumnarError {
    TooLarge(std::size_t bytes, std::size_t limit, std::string message)
        : ColumnarError(CallFailure::TooLarge, std::move(message)), bytes(bytes), limit(limit) {}
    std::size_t bytes;
    std::size_t limit;
};

// The TooLarge of a result that needs `bytes` against `limit` bytes of memory.
TooLarge too_large_for_memory(std::size_t bytes, std::size_t limit);

}  // namespace paywheel::columnar
