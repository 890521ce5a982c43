// The fixed texts of every failure the system reports: engine aborts, text
// decoding, the batch machinery and the Python boundary. Callers, the C++
// tests and (mirrored once, in tests/python/messages.py) the Python tests all
// name a text from here, so a reworded message changes in one place.
// Plain constants only: including this needs nothing else.
#pragma once

namespace paywheel::messages {

// Engine (src/paywheel/core).
inline constexpr const char* kRemainderByZero = "attempt to calculate the remainder with a divisor of zero";
inline constexpr const char* kSliceStart = "range start index 1 out of range for slice of length 0";
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";
inline constexpr const char* kRemovalIndex = "removal index (is 0) should be < len (is 0)";
inline constexpr const char* kIndexOutOfBounds = "ndarray: index out of bounds";
inline constexpr const char* kChunkSizeZero = "chunk size must be non-zero";

// Text records (src/paywheel/batch/text_record): a missing key reads like an
// absent optional, an unparsable value like a failed parse.
inline constexpr const char* kMissingKey = kUnwrapNone;
inline constexpr const char* kFloatEmpty =
    "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Empty }";
inline constexpr const char* kFloatInvalid =
    "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }";
inline constexpr const char* kIntEmpty =
    "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: Empty }";
inline constexpr const char* kIntInvalidDigit =
    "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: InvalidDigit }";
inline constexpr const char* kIntPosOverflow =
    "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: PosOverflow }";
inline constexpr const char* kIntNegOverflow =
    "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: NegOverflow }";

// The engine's storage guard: a caller's ScheduleOut shorter than the loan.
inline constexpr const char* kStorageTooShort = "schedule storage is shorter than the loan's columns";

// Columnar rows (src/paywheel/columnar). The dict operations convert an
// integer through a C long and then check the 32-bit range; these are the
// two texts that conversion fails with.
inline constexpr const char* kIntOutOfRangeOverflow =
    "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'OverflowError'>, value: "
    "OverflowError('out of range integral type conversion attempted'), traceback: None }";
inline constexpr const char* kIntTooLargeForLong =
    "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'OverflowError'>, value: "
    "OverflowError('Python int too large to convert to C long'), traceback: None }";
inline constexpr const char* kNullValue = "a required value is null";
inline constexpr const char* kNullRow = "the row is null";
inline constexpr const char* kUnevenColumns =
    "pers above 2^24 that is not a binary32 value: the engine's Per column would be shorter than the "
    "other four, and the columnar layouts give every column of a loan the same length";
inline constexpr const char* kTooLargeForLayout =
    "the loan's schedule has more values than the list layout's 32-bit offsets can address";

inline constexpr const char* kIdsPastUtf8 =
    "the ids of one stream batch pass 2^31 - 1 bytes, more than the stream's utf8 schema can address";

// Projected cash flows (src/paywheel/columnar/projection): a loan's age is the
// periods already elapsed, so it must leave at least one period to project.
inline constexpr const char* kBadAge = "age must be an integer with 0 <= age < pers";

// Batch machinery (src/paywheel/batch).
// Prefix of the abort when the pool cannot be built; the cause follows, then " }".
inline constexpr const char* kPoolBuildPrefix =
    "The global thread pool has not been initialized.: ThreadPoolBuildError { ";
inline constexpr const char* kPoolBuildSuffix = " }";

// Python boundary (src/lib).
// An unwrap of a failed conversion; ": <error rendering>" follows.
inline constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value";
inline constexpr const char* kDictChangedSize = "dictionary changed size during iteration";
inline constexpr const char* kDictKeysChanged = "dictionary keys changed during iteration";
inline constexpr const char* kApiCallFailed = "Python API call failed";
inline constexpr const char* kSetItemFailed = "Failed to set_item on dict";
inline constexpr const char* kAppendAllFailed = "could not append __name__ to __all__";
inline constexpr const char* kPanicTypeFailed = "Failed to initialize new exception type.";
inline constexpr const char* kGuardFired = "uncaught panic at ffi boundary";
inline constexpr const char* kNoErrorSet = "attempted to fetch exception but none was set";
inline constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr const char* kIntOutOfRange = "out of range integral type conversion attempted";
inline constexpr const char* kInitialisedTwice = "PyO3 modules may only be initialized once per interpreter process";
inline constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";
inline constexpr const char* kResumingPanic =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n";
inline constexpr const char* kPythonTraceBelow = "Python stack trace below:\n";

}  // namespace paywheel::messages
