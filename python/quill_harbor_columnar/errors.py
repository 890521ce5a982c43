"""Loans that failed, as data: each failure is a code, the field to blame and
the value as read.

The native side names every failure kind by a code from one list
(``CODES``); the words a person reads are made here, from the code, the
field and the loan's terms. Nothing in Python reads the engine's own message
(``reason``): it is carried along for the record only.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Any

from . import _native
from ._internal.deps import require
from ._internal.names import ERRORS, FIELDS
from ._internal.tables import ArrowConversions

__all__ = ["LoanError", "ErrorTable", "Failure", "explain", "CODES"]

# (amt, rate, pers, int_freq, cap_freq) as the engine decoded them.
Terms = tuple[float, float, int, int, int]


@dataclass(frozen=True, slots=True)
class Failure:
    """One failed row, as the native side and the tape reader report it."""

    index: int  # the row in the whole input
    id: str | None  # the row's id, None without an id column
    code: str  # the failure kind, one of CODES
    field: str | None  # the column to blame, None when no single column is
    value: str | None  # that column's value as read
    reason: str  # the engine's (or the reader's) own message, carried for the record only
    terms: Terms | None  # the decoded terms, None when the row did not decode

    @classmethod
    def of(cls, row: Failure | Iterable[Any]) -> Failure:
        """A record of a failure tuple (index, id, code, field, value, reason, terms)."""
        return row if isinstance(row, Failure) else cls(*row)

    def error(self) -> LoanError:
        """The LoanError errors="raise" gives for this row."""
        return LoanError(self.index, self.id, self.code, self.field, self.value, self.reason, self.terms)


# Every failure code, in the native enum's order.
CODES: tuple[str, ...] = tuple(_native.FAILURE_CODES)

# Each code's plain words, and the terms worth quoting after them. "{field}"
# is the column to blame (or "a field" when none is known).
_WORDS: dict[str, tuple[str, tuple[str, ...]]] = {
    # Decoding a row.
    "parse_float": ("{field} does not read as a decimal number", ()),
    "parse_int": ("{field} does not read as a whole number", ()),
    "int_out_of_range": ("{field} is outside the signed 32-bit range", ()),
    "null": ("{field} is missing (null)", ()),
    # The engine's refusals: the loan shape behind each.
    "single_capital_block": ("a single capital block: capital is repaid all at once", ("pers", "cap_freq")),
    "zero_rate": ("a zero rate: the level payment is undefined", ("rate",)),
    "vanishing_rate": ("a vanishing rate: the level payment degenerates", ("rate",)),
    "decreasing_blocks": ("decreasing blocks: a negative amt or rate", ("amt", "rate")),
    "non_finite": ("NaN or infinite terms", ("amt", "rate")),
    "zero_frequency": ("a zero payment frequency", ("int_freq", "cap_freq")),
    "no_periods": ("no periods to schedule", ("pers",)),
    "growth_overflow": ("a growth factor (1 + rate)^pers past the binary32 range", ("rate", "pers")),
    "too_large": ("pers is too large for the columnar layouts", ("pers",)),
    # Rows of a loan tape or a projection.
    "bad_frequency": (
        "{field} is a payment frequency whose payments a year do not divide the periods of a year evenly",
        (),
    ),
    "bad_rate": ("{field} does not read as a rate", ()),
    "bad_age": ("{field} is not a whole number from 0 to pers - 1", ()),
    "unknown_frequency": (
        "{field} is not a payment frequency: neither a whole number of periods nor a frequency word",
        (),
    ),
    "bad_date": ("{field} comes from a date that does not read as YYYY-MM-DD, MM/DD/YYYY or YYYYMM", ()),
    # Loan shapes, and a schedule that would not be numbers.
    "bad_shape": (
        "{field} breaks a rule of loan shapes (ranges, distinct steps, cuts on interest and capital dates)",
        (),
    ),
    "nan_schedule": ("the schedule would hold NaN (blamed on {field})", ("amt", "rate", "pers")),
    # The book as it stands, and its value.
    "bad_balance": ("{field} is not a positive, finite balance", ()),
    "bad_fee": ("{field} is not a fee from 0 to the rate", ("rate",)),
    "no_yield": ("no yield (or spread) gives the price asked for", ()),
    # Records of a loan-level history.
    "bad_field_count": ("the record does not hold the number of fields its layout has", ()),
    "unknown_code": ("{field} holds no code its layout documents", ()),
    "no_origination": ("{field} names a loan with no origination record", ()),
    # Cent mode.
    "unequal_frequencies": (
        "int_freq and cap_freq differ: cent mode schedules a loan in its own payment period, "
        "interest and capital falling due together",
        ("int_freq", "cap_freq"),
    ),
}


def explain(code: str, field: str | None = None, terms: Terms | None = None) -> str:
    """The plain-words explanation of a failure code.

    ``field`` names the column to blame where one is; ``terms`` (amt, rate,
    pers, int_freq, cap_freq) adds the numbers behind an engine refusal.
    """
    words, quoted = _WORDS.get(code, ("the engine refused these terms ({code})", ()))
    text = words.format(field=field or "a field", code=code)
    if terms is not None and quoted:
        values = dict(zip(FIELDS[1:], terms))
        text += " (" + ", ".join(f"{name}={values[name]!r}" for name in quoted) + ")"
    return text


class LoanError(ValueError):
    """A loan the engine could not schedule.

    ``index`` is the row in the whole input, ``id`` its id (None without an
    id column), ``code`` the failure kind (one of ``CODES``), ``field`` the
    column to blame (None when no single column is), ``value`` that column's
    value as read, ``reason`` the engine's own message and ``terms`` the
    decoded (amt, rate, pers, int_freq, cap_freq), or None when the row did
    not decode.
    """

    def __init__(
        self,
        index: int,
        id: str | None,
        code: str,
        field: str | None,
        value: str | None,
        reason: str,
        terms: Terms | None = None,
    ) -> None:
        self.index = index
        self.id = id
        self.code = code
        self.field = field
        self.value = value
        self.reason = reason
        self.terms = terms
        where = f"row {index}" + (f" (id {id!r})" if id is not None else "")
        blame = f" in column {field}" if field is not None else ""
        if value is not None:
            blame += f", read as {value!r}"
        super().__init__(f"loan at {where} failed{blame}: {explain(code, field, terms)} [engine: {reason}]")

    def __reduce__(self) -> tuple[Any, ...]:
        # The message is made from the attributes, so they are all that travels.
        return (LoanError, (self.index, self.id, self.code, self.field, self.value, self.reason, self.terms))


class ErrorTable(ArrowConversions):
    """Rows that failed: ``index``, ``id``, ``code``, ``field`` and ``reason``.

    An Arrow table through the PyCapsule interface (pyarrow, polars, pandas,
    duckdb read it without a copy when the native side made it); iterating
    gives ``(index, id, code, field, reason)`` tuples without any library.
    """

    __slots__ = ("_rows", "_table")

    _SHOWN = 5  # rows the repr lists

    def __init__(self, table: Any, rows: Iterable[Failure | Iterable[Any]]) -> None:
        # ``table`` is the native table over the same rows, or None: then the
        # Arrow export is built from the rows, through pyarrow, when asked.
        self._table = table
        self._rows = [Failure.of(row) for row in rows]

    @classmethod
    def from_rows(cls, rows: Iterable[Iterable[Any]]) -> ErrorTable:
        """A table of failures found in Python, each row shaped like a native
        failure: (index, id, code, field, value, reason, terms)."""
        checked: list[Failure] = []
        for row in rows:
            items = tuple(row)
            if len(items) != 7:
                raise ValueError(
                    f"a failure row has 7 items (index, id, code, field, value, reason, terms), not {len(items)}"
                )
            index, id_, code, field, value, reason, terms = items
            if code not in CODES:
                raise ValueError(f"unknown failure code {code!r}; the codes are {', '.join(CODES)}")
            checked.append(Failure(int(index), id_, code, field, value, str(reason), terms))
        return cls(None, checked)

    # ------------------------------------------------------------ rows

    @property
    def failures(self) -> list[Failure]:
        """Every failed row as a record, in row order."""
        return self._rows

    def __len__(self) -> int:
        return len(self._rows)

    @property
    def num_rows(self) -> int:
        return len(self._rows)

    @property
    def column_names(self) -> list[str]:
        return list(ERRORS)

    def __iter__(self) -> Iterator[tuple[int, str | None, str, str | None, str]]:
        return iter([(f.index, f.id, f.code, f.field, f.reason) for f in self._rows])

    def exceptions(self) -> list[LoanError]:
        """Each failure as the LoanError errors='raise' would give."""
        return [row.error() for row in self._rows]

    def counts(self) -> dict[str, int]:
        """Failed rows by code, in the order the codes first appear."""
        counts: dict[str, int] = {}
        for row in self._rows:
            counts[row.code] = counts.get(row.code, 0) + 1
        return counts

    def __repr__(self) -> str:
        n = len(self._rows)
        head = f"<ErrorTable: {n} failed row{'' if n == 1 else 's'}"
        if not n:
            return head + ">"
        cells = [("index", "id", "code", "field", "value")]
        for f in self._rows[: self._SHOWN]:
            cells.append(
                (
                    str(f.index),
                    "-" if f.id is None else repr(f.id),
                    f.code,
                    f.field or "-",
                    "-" if f.value is None else repr(f.value),
                )
            )
        widths = [max(len(row[c]) for row in cells) for c in range(len(cells[0]))]
        lines = ["  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in cells]
        if n > self._SHOWN:
            lines.append(f"  ... {n - self._SHOWN} more")
        by_code = ", ".join(f"{code} {count}" for code, count in self.counts().items())
        return "\n".join([head, *lines, f"  by code: {by_code}>"])

    # ------------------------------------------------------------ Arrow

    def _arrow(self) -> Any:
        """What the Arrow exports come from: the native table, or else a
        pyarrow record batch built from the rows (only failures found in
        Python have no native table)."""
        if self._table is None:
            pa = require("pyarrow", "exporting an ErrorTable built in Python")
            rows = self._rows
            self._table = pa.record_batch(
                [
                    pa.array([r.index for r in rows], pa.int64()),
                    pa.array([r.id for r in rows], pa.utf8()),
                    pa.array([r.code for r in rows], pa.utf8()),
                    pa.array([r.field for r in rows], pa.utf8()),
                    pa.array([r.reason for r in rows], pa.utf8()),
                ],
                names=list(ERRORS),
            )
        return self._table

    def __arrow_c_schema__(self) -> Any:
        table = self._arrow()
        schema = getattr(table, "schema", None)  # a pyarrow batch keeps it apart
        return (schema if schema is not None else table).__arrow_c_schema__()

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]:
        pair: tuple[Any, Any] = self._arrow().__arrow_c_array__(requested_schema)
        return pair

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self._arrow().__arrow_c_stream__(requested_schema)
