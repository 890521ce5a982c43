// The fixed texts of every failure the system reports: engine aborts, text
// decoding, the batch machinery and the Python boundary. Callers, the C++
// tests and the Python tests (through quill_harbor_columnar._native's
// _MESSAGES, listed from this header when the build is configured) all name
// a text from here, so a reworded message changes in one place.
// Plain constants only, one declaration a line start, named k...: including
// this needs nothing else.
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

// Columnar calls (src/paywheel/columnar, src/bindings/columnar): what stops a
// whole call. Placeholders are filled with messages::text (message_text.hpp).
inline constexpr const char* kCallCancelled = "the call was cancelled";
inline constexpr const char* kStreamInterrupted = "the stream was interrupted";
inline constexpr const char* kStreamFailed = "the stream failed";
inline constexpr const char* kOutOfMemory = "out of memory";
inline constexpr const char* kUnexpectedNative = "unexpected native failure";
inline constexpr const char* kLostPythonError = "a native failure lost its Python exception";
inline constexpr const char* kPastAddressSpace = "the schedules would need more bytes than an address space holds";
inline constexpr const char* kPastMemory =
    "the schedules would need %zu bytes, more than the %zu bytes of memory this process may use";
inline constexpr const char* kProjectionPastAddressSpace =
    "the projection would need more bytes than an address space holds";
inline constexpr const char* kProjectionPastMemory =
    "the projection would need %zu bytes at its peak, more than the %zu bytes of memory this process may use";
inline constexpr const char* kMustHoldStrings = "column '%s' must hold strings, not %s";
inline constexpr const char* kMustHoldNumbers = "column '%s' must hold numbers or strings, not %s";
inline constexpr const char* kMustHoldIntegersNotFloat =
    "column '%s' must hold integers (a float is refused, as paywheel_fn refuses it), not %s";
inline constexpr const char* kMustHoldIntegers = "column '%s' must hold integers or strings, not %s";
inline constexpr const char* kNotAStruct = "an Arrow source of loans must be a table or struct, not format '%s'";
inline constexpr const char* kSchemaMalformed = "the Arrow schema's children are malformed";
inline constexpr const char* kDictionaryColumn =
    "column '%s' is dictionary-encoded (categorical); decode it to plain values first";
inline constexpr const char* kArrowTypeRefused =
    "column '%s' has Arrow type '%s'; it must be float64/float32, a signed or unsigned integer, bool or a string";
inline constexpr const char* kArrowTypeFound = "Arrow type '%s'";
inline constexpr const char* kMissingColumn =
    "loans has no column '%s'; the columns are amt, rate, pers, int_freq, cap_freq and an optional id";
inline constexpr const char* kArrayMalformed = "the Arrow array of loans is malformed: %s";
inline constexpr const char* kArrayBadLength = "negative or inconsistent length or offset";
inline constexpr const char* kArrayNoChildren = "children or buffers missing";
inline constexpr const char* kChildNotThere = "column '%s' is not among the array's children";
inline constexpr const char* kChildMissing = "column '%s' is missing";
inline constexpr const char* kChildShort = "column '%s' is shorter than the struct";
inline constexpr const char* kChildFewBuffers = "column '%s' has too few buffers";
inline constexpr const char* kChildNoValues = "column '%s' has no values buffer";
inline constexpr const char* kChildOffsetsFall = "column '%s' has offsets that do not rise";
inline constexpr const char* kChildViewsOutside = "column '%s' has views outside its buffers";
inline constexpr const char* kStreamError = "the Arrow stream of loans failed (error %d)%s%s";
inline constexpr const char* kPythonSourceRaised = "the Python source of loans raised %s";
inline constexpr const char* kStreamRowFailed = "LoanError: row %lld%s failed: %s: %s";
inline constexpr const char* kStreamRowId = " (id '%s')";
inline constexpr const char* kStreamConsumed =
    "this schedule stream was already consumed; a stream is read once (call stream_schedules again)";
inline constexpr const char* kBatchRowsPositive = "batch_rows must be positive";
inline constexpr const char* kThreadsPositive = "threads must be positive";
inline constexpr const char* kTooManyLoans = "one call takes at most 2^31 - 1 loans; use stream_schedules for more";
inline constexpr const char* kUnsupportedSource = "unsupported source of loans";
inline constexpr const char* kNotAColumn = "column '%s' must be a 1-D array, a buffer or a list, not %s";
inline constexpr const char* kListNotStrings = "column '%s' must hold strings; row %lld is %s";
inline constexpr const char* kListMixesStrings = "column '%s' mixes strings and other values; row %lld is %s";
inline constexpr const char* kListNotUtf8 = "column '%s' row %lld is not valid UTF-8 text";
inline constexpr const char* kListMixesNumbers = "column '%s' mixes numbers and strings; row %lld is str";
inline constexpr const char* kListFloatForInteger =
    "column '%s' must hold integers (a float is refused, as paywheel_fn refuses it); row %lld is %s";
inline constexpr const char* kListNotInteger = "column '%s' must hold integers; row %lld is %s";
inline constexpr const char* kListPast64Bits = "column '%s' row %lld is outside the signed 64-bit range";
inline constexpr const char* kListNotNumber = "column '%s' must hold numbers; row %lld (%s) does not convert to a float";
inline constexpr const char* kBufferNot1D = "column '%s' must be 1-D, not %d-D";
inline constexpr const char* kBufferFormat =
    "column '%s' has items of format '%s'%s; it must be float64/float32, a signed or unsigned integer, bool or text";
inline constexpr const char* kNonNativeOrder = " (non-native byte order)";
inline constexpr const char* kBufferFormatFound = "items of format '%s'";
inline constexpr const char* kTextFound = "text";
inline constexpr const char* kLengthMismatch =
    "column '%s' has %lld rows but column '%s' has %lld; the first row past the shorter is row %lld";
inline constexpr const char* kNoStreamCapsule = "__arrow_c_stream__ did not return a PyCapsule named 'arrow_array_stream'";
inline constexpr const char* kStreamTaken = "the Arrow stream was already consumed";
inline constexpr const char* kNoArrayCapsule = "__arrow_c_array__ did not return a PyCapsule named 'arrow_array'";
inline constexpr const char* kArrayTaken = "the Arrow array was already consumed";
inline constexpr const char* kNoSchemaCapsule = "%s did not return a PyCapsule named 'arrow_schema'";
inline constexpr const char* kNotAPair = "__arrow_c_array__ did not return a (schema, array) pair";

// Projected cash flows (src/paywheel/columnar/projection): a loan's age is the
// periods already elapsed, so it must leave at least one period to project.
inline constexpr const char* kBadAge = "age must be an integer with 0 <= age < pers";
// The book as it stands: a current balance is the principal still owed, and
// a servicing fee is a part of the rate.
inline constexpr const char* kBadBalance = "balance must be a positive, finite number in binary32";
inline constexpr const char* kBadFee = "fee must be a number from 0 to the rate (in the rate's unit)";
inline constexpr const char* kPeriodsPerYearRange = "periods_per_year must be a whole number from 1 to 366";
inline constexpr const char* kBadPaymentsPerYear =
    "payments_per_year must be 12, 4, 2 or 1 and divide the call's periods_per_year";
inline constexpr const char* kBadFeeAbove =
    "fee must be a number from 0 to the rate in force (in the rate's unit); it is above the rate from period %lld";
inline constexpr const char* kBadFeeFrom =
    "fee must be a number from 0 to the rate in force (in the rate's unit); a rate step puts it above the rate "
    "from period %lld";
// Valuation (src/paywheel/columnar/valuation).
inline constexpr const char* kNoYield = "no yield (or spread) was found that gives the price";
// Loan-level history records (read by the Python package's history reader,
// which reports them by code, file, line and field).
inline constexpr const char* kBadFieldCount = "the record does not hold the number of fields its layout has";
inline constexpr const char* kUnknownCode = "the field holds no code its layout documents";
inline constexpr const char* kNoOrigination = "the record's loan has no origination record";
inline constexpr const char* kValuePeriodsPerYear = "periods_per_year must be a positive integer";
inline constexpr const char* kValueRate = "discount_rate must be a finite rate above -periods_per_year";
inline constexpr const char* kValueCurveShape =
    "curve must give as many finite zero rates as finite years, at least one";
inline constexpr const char* kValueCurveOrder = "curve years must be strictly increasing";
inline constexpr const char* kValueSpread = "spread must be a finite number";
inline constexpr const char* kValueNoPrice = "price must give at least one price";
inline constexpr const char* kValueSpecShape =
    "a discount is (mode, periods_per_year, rate, years, zero rates, spread[, basis, delay days, settle days, "
    "shift])";
inline constexpr const char* kValueBasis = "basis must be mortgage (0) or bond-equivalent (1)";
inline constexpr const char* kValueDelay = "delay must be a finite number of days, 0 or more";
inline constexpr const char* kValueSettle =
    "settle must fall in the first period: from 0 to 360 / periods_per_year days (30/360) after its start";
inline constexpr const char* kValueShift = "shift must be a finite rate, 0 or more";
inline constexpr const char* kValueOverflow =
    "discount_rate (or the curve and spread) discounts a flow by a factor past the largest double: no value of "
    "these flows is a number; give a rate further above -periods_per_year";
inline constexpr const char* kValuePriceRange = "%s must hold positive, finite prices";
inline constexpr const char* kValueBounds = "bounds must be pairs of row offsets within the flows, in order";
// The projection calls' arguments, which the Python layer builds and checks
// first: these are for a caller that bypasses it.
inline constexpr const char* kNotContiguous = "%s must be a contiguous buffer";
inline constexpr const char* kWrongItemType = "%s has the wrong item type";
inline constexpr const char* kNotOnePerLoan = "%s does not have one item per loan";
inline constexpr const char* kNotFloatSequence = "%s must be a sequence of floats";
inline constexpr const char* kNotAFraction = "%s must lie in [0, 1]";
inline constexpr const char* kScenariosNotSequence = "scenarios must be a sequence";
inline constexpr const char* kNoScenario = "give at least one scenario";
inline constexpr const char* kScenarioShape =
    "a scenario is (prepayment rates, by age, default rates, by age, severity, lag)";
inline constexpr const char* kLagRange = "lag must lie in [0, 2^20]";
inline constexpr const char* kRowBytesRange = "the bytes added per output row must lie in [0, 2^20]";
inline constexpr const char* kSegmentCountRange = "segment_count must lie in [1, 2^31 - 1]";
inline constexpr const char* kSegmentCodeRange = "a segment code is outside [0, segment_count)";

// Loan shapes (src/paywheel/columnar/shapes): the rules a shape must keep,
// and what the composition refuses on its own.
inline constexpr const char* kShapeIoRange = "io_pers must lie in [0, pers]";
inline constexpr const char* kShapeAmortShort = "amort_pers must be at least pers - io_pers";
inline constexpr const char* kShapeStepRange = "a rate step's per must lie in [2, pers]";
inline constexpr const char* kShapeStepTwice = "two rate steps have the same per";
inline constexpr const char* kShapeIoAligned =
    "the interest-only periods must end on a period that is both an interest date and a capital date";
inline constexpr const char* kShapeStepAligned =
    "a rate step must start just after a period that is both an interest date and a capital date";
inline constexpr const char* kShapeBalloonAligned =
    "a balloon must fall on a period that is both an interest date and a capital date";
inline constexpr const char* kShapeFrequency = "a shaped loan needs positive payment frequencies";
inline constexpr const char* kShapeNoPeriods = "a shaped loan needs at least one period";
inline constexpr const char* kShapeNonFinite = "a shaped loan needs a finite amount and finite rates";
inline constexpr const char* kShapeSingleBlock =
    "the rest of the loan is shorter than one capital period: a single capital block";
inline constexpr const char* kShapeTermTooLong = "the remaining amortization term passes 2^24 periods";
// Any loan: a schedule that would hold NaN is refused rather than handed out.
inline constexpr const char* kNanSchedule = "the schedule would hold NaN";

// Cent mode (src/paywheel/core/cents, src/paywheel/columnar/cent_rows).
inline constexpr const char* kCentNonFinite = "an amount in cents must be a finite number";
inline constexpr const char* kCentTooLarge =
    "the amount passes 2^53 cents, past what a float64 column holds to the cent";
inline constexpr const char* kCentUnequalFrequencies =
    "cent mode schedules a loan in its own payment period, so interest and capital must fall due together: "
    "int_freq and cap_freq differ";
inline constexpr const char* kCentFrequency = "cent mode needs positive payment frequencies";
inline constexpr const char* kCentWholePayments =
    "cent mode needs pers to be a whole number of payment periods (a multiple of int_freq)";
inline constexpr const char* kCentPositiveAmount = "cent mode schedules amounts above 0.00: a loan of less repays nothing";
inline constexpr const char* kCentAgeAligned =
    "in cent mode a loan given its balance stands on a payment date: age must be a multiple of int_freq";
inline constexpr const char* kCentRate = "cent mode needs finite rates above -1 (-100% a period)";
inline constexpr const char* kCentPastLargest =
    "a payment, interest or balance of the schedule passes 2^53 cents, past what a float64 column holds to the cent";
// Reading the shape columns.
inline constexpr const char* kDuplicateColumn = "loans has column '%s' more than once";
inline constexpr const char* kStepsType =
    "column 'rate_steps' must be a list of structs with fields per (integer) and rate (number), not %s";
inline constexpr const char* kStepsFields = "column 'rate_steps' holds structs without %s";
inline constexpr const char* kListStepShape =
    "column 'rate_steps' row %lld: each step must be a (per, rate) pair or a mapping with 'per' and 'rate'";
inline constexpr const char* kListStepsNotList = "column 'rate_steps' row %lld must be a list of steps, not %s";

// Batch machinery (src/paywheel/batch).
// Prefix of the abort when the pool cannot be built; the cause follows, then " }".
inline constexpr const char* kPoolBuildPrefix =
    "The global thread pool has not been initialized.: ThreadPoolBuildError { ";
inline constexpr const char* kPoolBuildSuffix = " }";

// Python boundary (src/bindings).
// The columnar extension's own refusals.
inline constexpr const char* kReadOnlyColumns = "schedule columns are read-only";
inline constexpr const char* kColumnNameNotStr = "column name must be a str";
// The name asked for (its repr), then the flat columns there are.
inline constexpr const char* kNoFlatColumn = "no flat column %s; the flat columns are %s";
// read_fields(): each wanted field is (name, index, kind).
inline constexpr const char* kRecordFieldSpec =
    "each field must be (name, index, kind) with kind 'f', 'i' or 's' and index below the field count";
inline constexpr const char* kRecordDelimiter = "the delimiter must be one ASCII character other than a line end";
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
