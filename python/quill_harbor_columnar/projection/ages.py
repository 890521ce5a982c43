"""The ``age`` column of a book: the periods each loan has already run, as the native side reads them."""

from __future__ import annotations

import math
from dataclasses import replace
from typing import Any

from .. import _native
from .._internal.deps import require
from ..errors import Failure

# An age that is not an integer at all: refused as bad_age, its text quoted
# from the column (the native side has only the number).
NOT_AN_AGE = _native.NOT_AN_AGE


def ages(col: Any) -> Any:
    """int64 ages; NOT_AN_AGE where a value is null or not an integer."""
    np = require("numpy", "project()")
    pa = require("pyarrow", "project()")
    pc = require("pyarrow.compute", "project()")
    t = col.type
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        # Text reads by the integer grammar of the text operations: an optional
        # sign and digits, nothing trimmed.
        ok = pc.fill_null(pc.match_substring_regex(col, r"^[+-]?[0-9]{1,18}$"), False)
        text = pc.if_else(ok, col, pa.scalar(str(NOT_AN_AGE), col.type))
        return np.asarray(pc.cast(text, pa.int64()), dtype=np.int64)
    if pa.types.is_integer(t) or pa.types.is_boolean(t):
        if pa.types.is_unsigned_integer(t) and t.bit_width == 64:
            col = pc.if_else(pc.greater(col, 2**62), 2**62, col)
        return np.asarray(pc.fill_null(pc.cast(col, pa.int64()), NOT_AN_AGE), dtype=np.int64)
    if pa.types.is_floating(t):
        x = np.asarray(pc.fill_null(pc.cast(col, pa.float64()), math.nan), dtype=np.float64)
        with np.errstate(invalid="ignore"):
            ok = np.isfinite(x) & (np.floor(x) == x) & (np.abs(x) < 2.0**62)
        out = np.full(len(x), NOT_AN_AGE, dtype=np.int64)
        out[ok] = x[ok].astype(np.int64)
        return out
    raise TypeError(f"column 'age' must hold integers (periods elapsed), not {t}")


def quote_ages(failures: list, ages: Any, column: Any, row_base: int = 0) -> list[Failure]:
    """The rows refused for an age that is not an integer, with that value as read."""
    records = [Failure.of(row) for row in failures]
    if ages is None:
        return records
    out = []
    for f in records:
        if f.code == "bad_age" and f.value is None and ages[f.index - row_base] == NOT_AN_AGE:
            v = column[f.index - row_base].as_py()
            f = replace(f, value=None if v is None else str(v))
        out.append(f)
    return out
