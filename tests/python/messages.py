"""The fixed failure texts, mirrored once from src/paywheel/core/messages.hpp.

Every Python test names a text from here; when a message is reworded, this
file and the header change together.
"""

# Engine.
REMAINDER_BY_ZERO = "attempt to calculate the remainder with a divisor of zero"
SLICE_START = "range start index 1 out of range for slice of length 0"
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
REMOVAL_INDEX = "removal index (is 0) should be < len (is 0)"
INDEX_OUT_OF_BOUNDS = "ndarray: index out of bounds"
CHUNK_SIZE_ZERO = "chunk size must be non-zero"

# Text records and typed lookups: a missing key, a failed conversion.
MISSING_KEY = UNWRAP_NONE
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value"
FLOAT_ERR = UNWRAP_ERR + ": ParseFloatError { kind: %s }"
INT_ERR = UNWRAP_ERR + ": ParseIntError { kind: %s }"

# Columnar rows: a schedule that would hold NaN.
NAN_SCHEDULE = "the schedule would hold NaN"

# Python boundary.
STR_TO_VEC = "Can't extract `str` to `Vec`"
INT_OUT_OF_RANGE = "out of range integral type conversion attempted"
INITIALISED_TWICE = "PyO3 modules may only be initialized once per interpreter process"
UNWRAPPED_PANIC = "Unwrapped panic from Python code"
RESUMING_PANIC = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
PYTHON_TRACE_BELOW = "Python stack trace below:\n"

# Memory.
PROJECTION_PAST_MEMORY = (
    "the projection would need %zu bytes at its peak, more than the %zu bytes of memory this process may use"
)
