"""Reading a lender's loan tape into the engine's columns: ``book()``.

A tape names its columns its own way, quotes annual percentages and writes
payment frequencies as words. ``book()`` maps the names, turns rates into
rates per period (in float64, the nominal convention: annual / periods per
year), turns frequency words into periods between payments, and hands back a
pyarrow Table of exactly the columns the engine reads. A tape already in
engine units passes through with the same bits: numbers are not touched, and
decimal text is rounded so that the engine's one narrowing to binary32 gives
the value the engine would have parsed from the text itself.

Rows that cannot be read are row failures with a code and a field, under the
same ``errors=`` rule as the engine's own failures.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from fractions import Fraction
from typing import Any, Callable, Sequence

from .._internal.deps import require
from .._internal.inputs import arrow_table
from .._internal.names import FIELDS as ENGINE_FIELDS
from ..errors import ErrorTable, LoanError
from .files import Tape

TAPE_FIELDS = (*ENGINE_FIELDS, "age")
REQUIRED = ENGINE_FIELDS[1:]
RATE_UNITS = ("per-period", "annual", "annual-percent")
# Payments per year of each frequency word.
FREQUENCY_WORDS = {"monthly": 12, "quarterly": 4, "semi-annual": 2, "semiannual": 2, "annual": 1, "yearly": 1}

# The schema metadata key under which errors="skip" keeps the rows it dropped.
FAILURES_KEY = b"quill_harbor.book.failures"

# The engine's float grammar (and inf/infinity/nan), after trimming.
_FLOAT = r"^[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))$"
_INT = r"^[+-]?[0-9]+$"
_INT32 = (-(2**31), 2**31 - 1)

# Every failure text of the tape reader: one place, keyed by code.
_REASONS = {
    "null": "the value is missing",
    "parse_float": "the text is not a number",
    "parse_int": "the text is not a whole number",
    "int_out_of_range": "the number is outside the signed 32-bit range",
    "bad_rate": "the rate text cannot be read as a number or a percentage",
    "bad_frequency": "the frequency is not a whole number of periods: an unknown word, or one whose payments "
                     "per year do not divide periods_per_year ({ppy}) evenly",
    "bad_age": "age must be a whole number with 0 <= age < pers",
}


class Spec:
    """Where each engine field comes from, and how rates and frequencies read."""

    def __init__(self, columns: Mapping[str, str] | None, rate_unit: str, periods_per_year: int,
                 available: Sequence[str]) -> None:
        if rate_unit not in RATE_UNITS:
            raise ValueError(f"rate_unit must be one of {', '.join(map(repr, RATE_UNITS))}, not {rate_unit!r}")
        if isinstance(periods_per_year, bool) or not isinstance(periods_per_year, int) or periods_per_year < 1:
            raise ValueError(f"periods_per_year must be a positive int, not {periods_per_year!r}")
        columns = dict(columns or {})
        unknown = [k for k in columns if k not in TAPE_FIELDS]
        if unknown:
            raise ValueError(f"columns maps unknown field {unknown[0]!r}; the fields are {', '.join(TAPE_FIELDS)}")
        for field, source in columns.items():
            if not isinstance(source, str):
                raise TypeError(f"columns[{field!r}] must be a column name (str), not {type(source).__name__}")
        have = list(available)
        self.sources: dict[str, str] = {}
        for field in TAPE_FIELDS:
            source = columns.get(field, field)
            if source in have:
                self.sources[field] = source
            elif field in columns or field in REQUIRED:
                raise ValueError(f"the tape has no column {source!r}" + (f" (for {field})" if source != field else "")
                                 + f"; its columns are: {', '.join(have) if have else '(none)'}")
        self.rate_unit = rate_unit
        self.periods_per_year = periods_per_year

    @property
    def source_columns(self) -> list[str]:
        """Tape columns to read, each once (one column may feed two fields)."""
        return list(dict.fromkeys(self.sources.values()))

    def schema(self) -> Any:
        pa = require("pyarrow", "book()")
        types = {"id": pa.string(), "amt": pa.float64(), "rate": pa.float64(), "pers": pa.int32(),
                 "int_freq": pa.int32(), "cap_freq": pa.int32(), "age": pa.int32()}
        return pa.schema([(f, types[f]) for f in TAPE_FIELDS if f in self.sources])


class _Rows:
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

    def rows(self, offset: int, ids: Any, ppy: int) -> list[tuple]:
        """Failure rows (index, id, code, field, value, reason, terms), in row order."""
        np = require("numpy", "book()")
        out = []
        for new, code, field, raw in self.found:
            for i in np.flatnonzero(new).tolist():
                value = _as_text(raw[i].as_py())
                loan_id = ids[i].as_py() if ids is not None else None
                out.append((offset + i, None if loan_id is None else str(loan_id), code, field, value,
                            _REASONS[code].format(ppy=ppy), None))
        out.sort(key=lambda r: r[0])
        return out


def _as_text(value: Any) -> str | None:
    if value is None or isinstance(value, str):
        return value
    return repr(value) if isinstance(value, float) else str(value)


def _plain(column: Any) -> Any:
    """One contiguous array, dictionary-encoded columns decoded."""
    pa = require("pyarrow", "book()")
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks() if column.num_chunks != 1 else column.chunk(0)
    if pa.types.is_dictionary(column.type):
        column = column.dictionary_decode()
    if getattr(pa.types, "is_string_view", lambda _: False)(column.type):
        column = column.cast(pa.string())  # polars exports text as views; the text kernels read offsets
    return column


def _is_text(t: Any) -> bool:
    pa = require("pyarrow", "book()")
    return pa.types.is_string(t) or pa.types.is_large_string(t) or getattr(pa.types, "is_string_view", lambda _: False)(t)


def _column_type_error(field: str, source: str, column: Any, want: str) -> TypeError:
    named = f"column {source!r}" + (f" (for {field})" if source != field else "")
    return TypeError(f"{named} holds {column.type}; {field} needs {want}")


def _nearest_float32_as_double(text: str) -> float:
    """The binary32 value nearest to a decimal text (ties to even), as a float64."""
    np = require("numpy", "book()")
    exact = Fraction(text.strip())
    guess = np.float32(float(exact))
    candidates = [c for c in (guess, np.nextafter(guess, np.float32("inf")), np.nextafter(guess, np.float32("-inf")))
                  if np.isfinite(c)]
    if not candidates:
        return float(guess)
    return float(min(candidates, key=lambda c: (abs(Fraction(float(c)) - exact),
                                                int(np.array(c, dtype=np.float32).view(np.uint32)) & 1)))


def _floats(column: Any, field: str, source: str, rows: _Rows, *, percent: bool, code: str,
            engine_units: bool) -> Any:
    """float64 values of a number column (NaN where the row failed)."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    rows.add(np.asarray(column.is_null()), "null", field, column)
    if _is_text(column.type):
        text = pc.utf8_trim_whitespace(column)
        if percent:
            text = pc.utf8_trim_whitespace(pc.replace_substring_regex(text, r"%$", ""))
        ok = pc.fill_null(pc.match_substring_regex(text, _FLOAT), False)
        ok_np = np.asarray(ok)
        rows.add(~ok_np & ~np.asarray(column.is_null()), code, field, column)
        values = np.asarray(pc.fill_null(pc.cast(pc.if_else(ok, text, pa.scalar("nan")), pa.float64()), np.nan))
        if engine_units and len(values):
            values = _exact_narrowing(values, text, ok_np)
        return values
    if pa.types.is_integer(column.type) or pa.types.is_floating(column.type) or pa.types.is_decimal(column.type) \
            or pa.types.is_boolean(column.type):
        if pa.types.is_boolean(column.type):
            column = pc.cast(column, pa.int8())
        return np.asarray(pc.fill_null(pc.cast(column, pa.float64(), safe=False), np.nan))
    raise _column_type_error(field, source, column, "numbers or text")


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


def _ints(column: Any, field: str, source: str, rows: _Rows, *, words: int | None = None) -> Any:
    """int64 values of a whole-number column (0 where the row failed); with
    ``words`` (periods per year), frequency words are read too."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    null = np.asarray(column.is_null())
    rows.add(null, "null", field, column)
    n = len(column)
    if _is_text(column.type):
        text = pc.utf8_trim_whitespace(column)
        is_int = np.asarray(pc.fill_null(pc.match_substring_regex(text, _INT), False))
        digits = np.asarray(pc.fill_null(pc.utf8_length(pc.replace_substring_regex(text, r"^[+-]?0*", "")), 0))
        short = is_int & (digits <= 18)
        clean = pc.if_else(pa.array(short), pc.replace_substring_regex(text, r"^\+", ""), pa.scalar("0"))
        values = np.asarray(pc.fill_null(pc.cast(clean, pa.int64()), 0)).astype(np.int64)
        bad_range = (is_int & ~short) | (short & ((values < _INT32[0]) | (values > _INT32[1])))
        if words is not None:
            lowered = pc.utf8_lower(text)
            names = list(FREQUENCY_WORDS)
            found = np.asarray(pc.fill_null(pc.index_in(lowered, value_set=pa.array(names)), -1))
            per_year = np.array([FREQUENCY_WORDS[w] for w in names], dtype=np.int64)
            word = found >= 0
            whole = word & (words % per_year[np.maximum(found, 0)] == 0)
            values = np.where(whole, words // per_year[np.maximum(found, 0)], values)
            looks_numeric = np.asarray(pc.fill_null(pc.match_substring_regex(text, _FLOAT), False))
            rows.add(~null & ~word & ~is_int & looks_numeric, "parse_int", field, column)
            rows.add(~null & ~is_int & ~whole, "bad_frequency", field, column)
        else:
            rows.add(~null & ~is_int, "parse_int", field, column)
        rows.add(~null & bad_range, "int_out_of_range", field, column)
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
    raise _column_type_error(field, source, column, "whole numbers (an integer column, or text)"
                             + (" or frequency words" if words is not None else ""))


class Converter:
    """Turns tape batches into engine batches, row failures kept apart."""

    def __init__(self, spec: Spec) -> None:
        self.spec = spec
        self.schema = spec.schema()

    def convert(self, batch: Any, offset: int) -> tuple[Any, list[tuple]]:
        """(engine columns with failing rows dropped, failure rows with tape indices from ``offset``)."""
        pa = require("pyarrow", "book()")
        np = require("numpy", "book()")
        spec = self.spec
        n = batch.num_rows
        rows = _Rows(n)
        cols = {field: _plain(batch.column(source)) for field, source in spec.sources.items()}
        out: dict[str, Any] = {}
        ids = None
        if "id" in cols:
            ids = cols["id"] if pa.types.is_string(cols["id"].type) else cols["id"].cast(pa.string())
            rows.add(np.asarray(ids.is_null()), "null", "id", cols["id"])
        unit = spec.rate_unit
        amt = _floats(cols["amt"], "amt", spec.sources["amt"], rows, percent=False, code="parse_float",
                      engine_units=True)
        rate = _floats(cols["rate"], "rate", spec.sources["rate"], rows, percent=unit == "annual-percent",
                       code="parse_float" if unit == "per-period" else "bad_rate", engine_units=unit == "per-period")
        if unit == "annual":
            rate = rate / spec.periods_per_year
        elif unit == "annual-percent":
            rate = rate / 100.0 / spec.periods_per_year
        ints = {}
        for field in ("pers", "int_freq", "cap_freq"):
            words = spec.periods_per_year if field != "pers" else None
            ints[field] = _ints(cols[field], field, spec.sources[field], rows, words=words)
        if "age" in cols:
            age = _ints(cols["age"], "age", spec.sources["age"], rows)
            rows.add(~rows.failed & ((age < 0) | (age >= ints["pers"])), "bad_age", "age", cols["age"])
        failures = rows.rows(offset, ids, spec.periods_per_year)
        keep = ~rows.failed
        everything = not failures
        if ids is not None:
            out["id"] = ids if everything else ids.filter(pa.array(keep))
        out["amt"] = pa.array(amt if everything else amt[keep], pa.float64())
        out["rate"] = pa.array(rate if everything else rate[keep], pa.float64())
        for field in ("pers", "int_freq", "cap_freq"):
            out[field] = pa.array((ints[field] if everything else ints[field][keep]).astype(np.int32), pa.int32())
        if "age" in cols:
            out["age"] = pa.array((age if everything else age[keep]).astype(np.int32), pa.int32())
        return pa.RecordBatch.from_arrays([out[f] for f in self.schema.names], schema=self.schema), failures


def tape_row_mapper(dropped: Sequence[int]) -> Callable[[Any], Any]:
    """Maps row indices of a converted book back to tape rows, given the sorted
    tape rows that were dropped: kept row k is tape row k + (dropped rows before it)."""
    np = require("numpy", "book()")
    d = np.asarray(dropped, dtype=np.int64)
    shifted = d - np.arange(len(d), dtype=np.int64)

    def to_tape(indices: Any) -> Any:
        k = np.asarray(indices, dtype=np.int64)
        return k + np.searchsorted(shifted, k, side="right")

    return to_tape


# ---------------------------------------------------------------- sources


def _table_of(source: Any, delimiter: str | None = None) -> Any:
    if isinstance(source, (str, os.PathLike)):
        tape = Tape(os.fspath(source), delimiter=delimiter)
        return tape.read_all(tape.names)
    return arrow_table(source, "book()", paths=True)


def _loan_error(row: tuple) -> Exception:
    return LoanError(*row)


def book(source: Any, *, columns: Mapping[str, str] | None = None, rate_unit: str = "per-period",
         periods_per_year: int = 12, errors: str = "raise") -> Any:
    """A loan tape as the engine's columns: a pyarrow Table of ``id`` (string,
    when the tape has one), ``amt`` and ``rate`` (float64, rate per period),
    ``pers``, ``int_freq`` and ``cap_freq`` (int32), and ``age`` (int32) when
    the tape has one. Every other function accepts it.

    ``source``: anything ``schedules`` reads, or a CSV, Parquet (file or
    folder) or Arrow IPC path. ``columns`` maps engine names to the tape's
    (``{"amt": "principal", ...}``; one tape column may feed two fields).
    ``rate_unit``: ``"per-period"``, ``"annual"`` (divided by
    ``periods_per_year``) or ``"annual-percent"`` (divided by 100, then by
    ``periods_per_year``), in float64. ``int_freq`` and ``cap_freq`` take
    whole numbers or the words monthly, quarterly, semi-annual (semiannual),
    annual and yearly, in any case.

    ``errors="raise"`` raises LoanError for the earliest row that cannot be
    read; ``"skip"`` drops those rows and records them, with their tape rows,
    for ``book_errors(table)``.
    """
    pa = require("pyarrow", "book()")
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    table = _table_of(source)
    spec = Spec(columns, rate_unit, periods_per_year, table.column_names)
    converter = Converter(spec)
    needed = table.select(spec.source_columns)
    batch = needed.combine_chunks().to_batches()
    merged = pa.concat_batches(batch) if len(batch) > 1 else (batch[0] if batch else None)
    if merged is None:
        empty = pa.RecordBatch.from_pylist([], schema=pa.schema([needed.schema.field(c) for c in needed.column_names]))
        merged = empty
    result, failures = converter.convert(merged, 0)
    if failures and errors == "raise":
        raise _loan_error(failures[0])
    out = pa.Table.from_batches([result], schema=converter.schema)
    if failures:
        rows = [list(r[:6]) for r in failures]
        out = out.replace_schema_metadata({FAILURES_KEY: json.dumps(rows).encode()})
    return out


def _recorded(table: Any) -> list[tuple]:
    meta = table.schema.metadata or {}
    raw = meta.get(FAILURES_KEY)
    return [(*row, None) for row in json.loads(raw)] if raw else []


def book_errors(table: Any) -> Any:
    """The rows ``book(..., errors="skip")`` dropped, as an ErrorTable (index is the tape row)."""
    return ErrorTable.from_rows(_recorded(table))


def tape_rows(table: Any, indices: Any) -> list[int]:
    """Tape rows of row indices of a ``book()`` table (for example ``schedules(...).errors`` indices)."""
    to_tape = tape_row_mapper([r[0] for r in _recorded(table)])
    return [int(i) for i in to_tape(list(indices))]
