"""One column of a tape read into the engine's values, row failures kept: amounts, rates (as read and per
period), whole numbers and frequency words, the shape's optional whole numbers.

Each reader marks the rows it cannot read in a ``Rows`` (the first failure of a row wins, in the order the
fields are read) and gives NaN or 0 there.
"""

from __future__ import annotations

from collections.abc import Callable
from fractions import Fraction
from typing import Any

from .._internal.deps import require
from . import numbers
from .words import FOLD_PATTERN, PAYMENTS_PER_YEAR

_INT = r"^[+-]?[0-9]+$"
_INT32 = (-(2**31), 2**31 - 1)


class Rows:
    """The first failure of each row of one batch, in field order."""

    def __init__(self, n: int) -> None:
        np = require("numpy", "book()")
        self.failed = np.zeros(n, dtype=bool)
        self.found: list[tuple[Any, str, str, Any]] = []  # (mask of new rows, code, field, raw column)

    def add(self, bad: Any, code: str, field: str, raw: Any) -> None:
        new = bad & ~self.failed
        if new.any():
            self.found.append((new, code, field, raw))
            self.failed |= new

    def rows(self, offset: int, ids: Any, reason: Callable[[str], str]) -> list[tuple]:
        """Failure rows (index, id, code, field, value, reason, terms), in row order."""
        np = require("numpy", "book()")
        out = []
        for new, code, field, raw in self.found:
            for i in np.flatnonzero(new).tolist():
                value = as_text(raw[i].as_py())
                loan_id = ids[i].as_py() if ids is not None else None
                out.append(
                    (offset + i, None if loan_id is None else str(loan_id), code, field, value, reason(code), None)
                )
        out.sort(key=lambda r: r[0])
        return out


def as_text(value: Any) -> str | None:
    if value is None or isinstance(value, str):
        return value
    return repr(value) if isinstance(value, float) else str(value)


def plain(column: Any) -> Any:
    """One contiguous array, dictionary-encoded columns decoded."""
    pa = require("pyarrow", "book()")
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks() if column.num_chunks != 1 else column.chunk(0)
    if pa.types.is_dictionary(column.type):
        column = column.dictionary_decode()
    if getattr(pa.types, "is_string_view", lambda _: False)(column.type):
        column = column.cast(pa.string())  # polars exports text as views; the text kernels read offsets
    return column


def is_text(t: Any) -> bool:
    pa = require("pyarrow", "book()")
    views = getattr(pa.types, "is_string_view", lambda _: False)
    return pa.types.is_string(t) or pa.types.is_large_string(t) or views(t)


def column_type_error(field: str, source: str, column: Any, want: str) -> TypeError:
    named = f"column {source!r}" + (f" (for {field})" if source != field else "")
    return TypeError(f"{named} holds {column.type}; {field} needs {want}")


def _nearest_float32_as_double(text: str) -> float:
    """The binary32 value nearest to a decimal text (ties to even), as a float64."""
    np = require("numpy", "book()")
    exact = Fraction(text.strip())
    guess = np.float32(float(exact))
    candidates = [
        c
        for c in (guess, np.nextafter(guess, np.float32("inf")), np.nextafter(guess, np.float32("-inf")))
        if np.isfinite(c)
    ]
    if not candidates:
        return float(guess)
    return float(
        min(
            candidates,
            key=lambda c: (abs(Fraction(float(c)) - exact), int(np.array(c, dtype=np.float32).view(np.uint32)) & 1),
        )
    )


def floats(
    column: Any,
    field: str,
    source: str,
    rows: Rows,
    *,
    percent: bool,
    code: str,
    engine_units: bool,
    amount: bool = False,
    decimal: str = ".",
) -> Any:
    """float64 values of a number column (NaN where the row failed). Text
    reads in the amount forms with ``amount`` (thousands separators, currency
    signs, accounting negatives), else as plain numbers; both with the
    tape's ``decimal`` mark."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    null = np.asarray(column.is_null())
    rows.add(null, "null", field, column)
    if is_text(column.type):
        text = pc.utf8_trim_whitespace(column)
        if percent:
            text = pc.utf8_trim_whitespace(pc.replace_substring_regex(text, r"%$", ""))
        text, ok_np = (numbers.amounts if amount else numbers.decimals)(text, decimal)
        rows.add(~ok_np & ~null, code, field, column)
        values = np.asarray(
            pc.fill_null(pc.cast(pc.if_else(pa.array(ok_np), text, pa.scalar("nan")), pa.float64()), np.nan)
        )
        if engine_units and len(values):
            values = _exact_narrowing(values, text, ok_np)
        return values
    if (
        pa.types.is_integer(column.type)
        or pa.types.is_floating(column.type)
        or pa.types.is_decimal(column.type)
        or pa.types.is_boolean(column.type)
    ):
        if pa.types.is_boolean(column.type):
            column = pc.cast(column, pa.int8())
        return np.asarray(pc.fill_null(pc.cast(column, pa.float64(), safe=False), np.nan))
    raise column_type_error(field, source, column, "numbers or text")


def _exact_narrowing(values: Any, text: Any, ok: Any) -> Any:
    """Decimal text read through float64 can round twice on its way to binary32:
    only when the float64 lands exactly halfway between two binary32 values
    (or in the binary32 subnormal range). Those rows take the binary32 value
    nearest to the text itself, which the engine's narrowing keeps as is."""
    np = require("numpy", "book()")
    bits = values.view(np.uint64)
    with np.errstate(invalid="ignore"):
        halfway = (bits & np.uint64(0x1FFFFFFF)) == np.uint64(0x10000000)
        tiny = (np.abs(values) < 2.0**-126) & (values != 0)
    suspect = np.flatnonzero((halfway | tiny) & ok & np.isfinite(values))
    if len(suspect):
        values = values.copy()
        for i in suspect.tolist():
            values[i] = _nearest_float32_as_double(text[i].as_py())
    return values


# The failures of a whole-number text, in the order they are looked for.
_WHOLE_CODES = ("parse_int", "unknown_frequency", "bad_frequency", "int_out_of_range")


def _whole_texts(text: Any, words: int | None, decimal: str) -> tuple[Any, Any]:
    """(int64 value, index into _WHOLE_CODES or -1) of each text of an array without nulls."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    text = pc.utf8_trim_whitespace(text)
    is_int = np.asarray(pc.match_substring_regex(text, _INT))
    if not is_int.all():
        text = numbers.integral(text, decimal)
        is_int = np.asarray(pc.match_substring_regex(text, _INT))
    digits = np.asarray(pc.utf8_length(pc.replace_substring_regex(text, r"^[+-]?0*", "")))
    short = is_int & (digits <= 18)
    clean = pc.if_else(pa.array(short), pc.replace_substring_regex(text, r"^\+", ""), pa.scalar("0"))
    values = np.asarray(pc.cast(clean, pa.int64())).astype(np.int64)
    codes = np.full(len(values), -1, dtype=np.int8)
    codes[(is_int & ~short) | (short & ((values < _INT32[0]) | (values > _INT32[1])))] = 3
    if words is None:
        codes[~is_int] = 0
    elif not is_int.all():
        folded = pc.utf8_lower(pc.replace_substring_regex(text, FOLD_PATTERN, ""))
        names = list(PAYMENTS_PER_YEAR)
        found = np.asarray(pc.fill_null(pc.index_in(folded, value_set=pa.array(names)), -1))
        per_year = np.array([PAYMENTS_PER_YEAR[w] for w in names], dtype=np.int64)[np.maximum(found, 0)]
        word = (found >= 0) & ~is_int
        whole = word & (words % per_year == 0)
        values = np.where(whole, words // per_year, values)
        _, numeric = numbers.decimals(text, decimal)
        codes[~is_int & ~word] = np.where(numeric[~is_int & ~word], 0, 1)
        codes[word & ~whole] = 2
    return values, codes


def ints(column: Any, field: str, source: str, rows: Rows, *, words: int | None = None, decimal: str = ".") -> Any:
    """int64 values of a whole-number column (0 where the row failed). A whole
    number may carry a zero fraction ("360.0"); with ``words`` (periods per
    year), frequency words are read too."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    null = np.asarray(column.is_null())
    rows.add(null, "null", field, column)
    n = len(column)
    if is_text(column.type):
        # A tape writes its terms and frequencies in a few spellings: each is read once.
        encoded = pc.dictionary_encode(column)
        index = np.asarray(pc.fill_null(encoded.indices, 0)).astype(np.int64)
        values, codes = _whole_texts(encoded.dictionary, words, decimal)
        values, codes = (
            (values[index], np.where(null, -1, codes[index]))
            if len(values)
            else (np.zeros(n, dtype=np.int64), np.full(n, -1, dtype=np.int8))
        )
        for k, code in enumerate(_WHOLE_CODES):
            rows.add(codes == k, code, field, column)
        return np.where(rows.failed, 0, values)
    if pa.types.is_boolean(column.type):
        column = pc.cast(column, pa.int8())
    if pa.types.is_integer(column.type):
        raw = np.asarray(pc.fill_null(column, 0))
        if raw.dtype == np.uint64:
            bad_range = raw > np.uint64(_INT32[1])
        else:
            raw64 = raw.astype(np.int64)
            bad_range = (raw64 < _INT32[0]) | (raw64 > _INT32[1])
        rows.add(~null & bad_range, "int_out_of_range", field, column)
        values = np.where(bad_range, 0, raw).astype(np.int64) if n else np.zeros(0, dtype=np.int64)
        return values
    if pa.types.is_floating(column.type) or pa.types.is_decimal(column.type):
        # A frame's whole numbers turn float where a value is missing (NaN).
        raw = np.asarray(pc.fill_null(pc.cast(column, pa.float64(), safe=False), np.nan))
        with np.errstate(invalid="ignore"):
            missing = np.isnan(raw) & ~null
            whole = raw == np.floor(raw)
            in_range = (raw >= _INT32[0]) & (raw <= _INT32[1])
        rows.add(missing, "null", field, column)
        rows.add(~null & ~missing & ~whole & np.isfinite(raw), "parse_int", field, column)
        rows.add(~null & ~missing & ~in_range, "int_out_of_range", field, column)
        return np.where(rows.failed, 0, np.where(whole & in_range, raw, 0)).astype(np.int64)
    raise column_type_error(
        field,
        source,
        column,
        "whole numbers (integers, floats or text)" + (" or frequency words" if words is not None else ""),
    )


def amounts(column: Any, field: str, source: str, rows: Rows, spec: Any) -> Any:
    """An amount column (the loan's amount, a current balance) as float64, read as lenders write amounts."""
    return floats(
        column,
        field,
        source,
        rows,
        percent=False,
        code="parse_float",
        # Cent mode keeps the double nearest the text, which is on its cent.
        engine_units=not getattr(spec, "exact_amounts", False),
        amount=True,
        decimal=spec.decimal,
    )


def rates(column: Any, field: str, source: str, rows: Rows, spec: Any) -> tuple[Any, Any, Any]:
    """A column in the tape's rate_unit (a rate, a step's rate or a fee; ``spec`` gives the unit, the
    periods a year and the decimal mark): its values as read, as rates per period (float64), and which
    values were written with a percent sign (None for a column that is no text)."""
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    unit = spec.rate_unit
    signed = None
    if unit == "annual-percent" and is_text(column.type):
        signed = np.asarray(pc.fill_null(pc.match_substring_regex(column, r"%\s*$"), False))
    as_read = floats(
        column,
        field,
        source,
        rows,
        percent=unit == "annual-percent",
        code="parse_float" if unit == "per-period" else "bad_rate",
        engine_units=unit == "per-period",
        decimal=spec.decimal,
    )
    if unit == "annual":
        return as_read, as_read / spec.periods_per_year, signed
    if unit == "annual-percent":
        return as_read, as_read / 100.0 / spec.periods_per_year, signed
    return as_read, as_read, signed


def optional_ints(column: Any, field: str, source: str, rows: Rows) -> tuple[Any, Any]:
    """(int64 values, null mask) of a field whose null or empty cell means its default."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    if is_text(column.type):
        column = pc.if_else(pc.equal(pc.utf8_trim_whitespace(column), ""), pa.scalar(None, column.type), column)
    null = np.asarray(column.is_null())
    own = Rows(len(column))
    values = ints(column, field, source, own)
    for mask, code, name, raw in own.found:
        if code != "null":
            rows.add(mask, code, name, raw)
    return values, null


def frequencies(
    column: Any, field: str, source: str, rows: Rows, periods_per_year: int, decimal: str, per_year: bool
) -> tuple[Any, Any]:
    """(periods between payments, which rows were written as numbers) of a frequency column. Words read as
    payments a year; numbers as periods between payments, or with ``per_year`` as payments a year too
    (12, 4, 2, 1 on monthly periods), refused as bad_frequency where they do not divide the year's periods."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    values = ints(column, field, source, rows, words=periods_per_year, decimal=decimal)
    if is_text(column.type):
        # A tape writes its frequencies in a few spellings: each is looked at once.
        pattern = r"^\s*[+-]?[0-9]+(?:" + ("\\." if decimal == "." else ",") + r"0*)?\s*$"
        encoded = pc.dictionary_encode(column)
        spelled = np.asarray(pc.fill_null(pc.match_substring_regex(encoded.dictionary, pattern), False))
        index = np.asarray(pc.fill_null(encoded.indices, 0)).astype(np.int64)
        numeric = (spelled[index] if len(spelled) else np.zeros(len(column), bool)) & np.asarray(column.is_valid())
    else:
        numeric = np.asarray(column.is_valid()) if not pa.types.is_null(column.type) else np.zeros(len(column), bool)
    if per_year:
        counts = np.where(numeric & ~rows.failed, values, 0)
        ok = counts > 0
        ok[ok] = periods_per_year % counts[ok] == 0
        rows.add(numeric & ~ok, "bad_frequency", field, column)
        values = np.where(numeric & ok, periods_per_year // np.where(ok, counts, 1), values)
    return values, numeric
