"""The columns of a book as it stands (``age``, ``balance``, ``fee``) as the native side reads them, and the
values it refuses quoted as read."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import replace
from typing import Any

from .. import _native
from .deps import require
from .inputs import arrow_column
from .names import AGE, STANDING

# An age that is not an integer at all: refused as bad_age, its text quoted
# from the column (the native side has only the number).
NOT_AN_AGE = _native.NOT_AN_AGE

# Decimal text as the number readers take it (and inf, infinity, nan).
_NUMBER = r"^\s*[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))\s*$"


def ages(col: Any, what: str = "project()") -> Any:
    """int64 ages; NOT_AN_AGE where a value is null or not an integer."""
    np = require("numpy", what)
    pa = require("pyarrow", what)
    pc = require("pyarrow.compute", what)
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


def values(col: Any, name: str, what: str = "project()") -> Any:
    """float64 values of a number column; NaN where a value is null or not a
    number, which the native side refuses (bad_balance, bad_fee)."""
    np = require("numpy", what)
    pa = require("pyarrow", what)
    pc = require("pyarrow.compute", what)
    t = col.type
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        ok = pc.fill_null(pc.match_substring_regex(col, _NUMBER), False)
        text = pc.utf8_trim_whitespace(pc.if_else(ok, col, pa.scalar("nan", col.type)))
        return np.asarray(pc.fill_null(pc.cast(text, pa.float64()), math.nan), dtype=np.float64)
    if pa.types.is_boolean(t):
        col = pc.cast(col, pa.int8())
    elif not (pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_decimal(t)):
        raise TypeError(f"column {name!r} must hold numbers, not {t}")
    return np.ascontiguousarray(pc.fill_null(pc.cast(col, pa.float64(), safe=False), math.nan), dtype=np.float64)


def read(table: Any, names: Sequence[str], what: str) -> tuple[Any, dict[str, Any], dict[str, Any]]:
    """The int64 ages (None without an age column), {name: float64 values} of
    the balance and fee columns the book has, and {name: the column as read}
    of all three."""
    columns = {n: arrow_column(table, n) for n in (AGE, *STANDING) if n in names}
    got = {n: values(c, n, what) for n, c in columns.items() if n != AGE}
    return (ages(columns[AGE], what) if AGE in columns else None), got, columns


def quote(records: list, ages: Any, columns: dict[str, Any], row_base: int = 0) -> list:
    """Failure records with the values the native side cannot quote as read:
    an age that is not an integer, a balance or a fee."""
    out = []
    for f in records:
        col = columns.get(f.field)
        i = f.index - row_base
        if col is not None and (
            (f.code == "bad_age" and f.value is None and ages is not None and ages[i] == NOT_AN_AGE)
            or f.code in ("bad_balance", "bad_fee")
        ):
            v = col[i].as_py()
            quoted = repr(v) if isinstance(v, float) and f.code != "bad_age" else str(v)
            f = replace(f, value=None if v is None else quoted)
        out.append(f)
    return out
