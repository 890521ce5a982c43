"""The fixed failure texts, read from the message catalogue
(src/paywheel/core/messages.hpp) through the columnar extension, which lists
every text under its constant's name: a reworded message changes in the
header alone.
"""

from quill_harbor_columnar._native import _MESSAGES as CATALOGUE


class _ByKind:
    """A failed parse's text by its kind: FLOAT_ERR % "Empty" is kFloatEmpty."""

    def __init__(self, prefix):
        self._prefix = prefix

    def __mod__(self, kind):
        return CATALOGUE[self._prefix + kind]


# Engine.
REMAINDER_BY_ZERO = CATALOGUE["kRemainderByZero"]
SLICE_START = CATALOGUE["kSliceStart"]
UNWRAP_NONE = CATALOGUE["kUnwrapNone"]
REMOVAL_INDEX = CATALOGUE["kRemovalIndex"]
INDEX_OUT_OF_BOUNDS = CATALOGUE["kIndexOutOfBounds"]
CHUNK_SIZE_ZERO = CATALOGUE["kChunkSizeZero"]

# Text records and typed lookups: a missing key, a failed conversion.
MISSING_KEY = CATALOGUE["kMissingKey"]
UNWRAP_ERR = CATALOGUE["kUnwrapErr"]
FLOAT_ERR = _ByKind("kFloat")
INT_ERR = _ByKind("kInt")

# Columnar rows: a schedule that would hold NaN.
NAN_SCHEDULE = CATALOGUE["kNanSchedule"]

# Python boundary.
STR_TO_VEC = CATALOGUE["kStrToVec"]
INT_OUT_OF_RANGE = CATALOGUE["kIntOutOfRange"]
INITIALISED_TWICE = CATALOGUE["kInitialisedTwice"]
UNWRAPPED_PANIC = CATALOGUE["kUnwrappedPanic"]
RESUMING_PANIC = CATALOGUE["kResumingPanic"]
PYTHON_TRACE_BELOW = CATALOGUE["kPythonTraceBelow"]

# Memory.
PROJECTION_PAST_MEMORY = CATALOGUE["kProjectionPastMemory"]
