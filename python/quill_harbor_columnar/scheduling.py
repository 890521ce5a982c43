"""Schedules and cash flows of whole books: ``schedules``, ``stream_schedules`` and ``cashflows``, and the
result types they return.

The same engine as ``quill_harbor``, bit for bit, without a Python object per value: results are flat
binary32 columns owned by a native object and handed to NumPy (buffer protocol), pyarrow, polars, pandas
and duckdb (the Arrow PyCapsule interface) without a copy.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Literal, Protocol, TypeAlias

from . import _native
from ._internal import checks, standing
from ._internal.deps import require
from ._internal.inputs import arrow_table, column_names, native_source
from ._internal.names import AGE, BALANCE, FIELDS, SHAPE
from ._internal.tables import NativeTable
from .errors import ErrorTable, Failure

__all__ = [
    "schedules",
    "stream_schedules",
    "cashflows",
    "Schedules",
    "Cashflows",
    "ScheduleStream",
    "Loans",
    "Precision",
]


class _ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = ...) -> Any: ...


class _ArrowArrayExportable(Protocol):
    def __arrow_c_array__(self, requested_schema: Any = ...) -> tuple[Any, Any]: ...


# binary32: the engine's bits; cent: whole cents, as a servicer books a loan.
Precision: TypeAlias = Literal["binary32"] | Literal["cent"]  # a Union at run time too, as the stub check reads it

# What every operation takes as a book.
Loans: TypeAlias = Mapping[str, Any] | _ArrowStreamExportable | _ArrowArrayExportable


# ---------------------------------------------------------------- results


class Schedules(NativeTable):
    """Schedules of a whole book, in one of two layouts.

    "long": columns ``loan``, ``Per``, ``Cap``, ``Int``, ``Pmt``, ``Bal`` with a
    row per period; ``loan`` is the input row, or the id (dictionary-encoded)
    when the input has one. "list": a row per loan, ``loan`` then five
    ``list<float32>`` columns sharing one offsets buffer (``large_list`` past
    2^31 values); failed rows are null there with ``errors="skip"``. A book
    with a ``payments_per_year`` column adds ``period`` (int32): the period of
    the call's calendar each row falls in. With ``precision="cent"`` the five
    value columns are float64.
    """

    __slots__ = ("layout", "errors")

    def __init__(self, table: _native.Table, layout: Literal["long", "list"], errors: ErrorTable) -> None:
        super().__init__(table)
        self.layout = layout
        self.errors = errors

    @property
    def offsets(self) -> memoryview:
        """Row i's values are [offsets[i], offsets[i+1]) of every column; a failed row's span is empty."""
        return self._table.column("offsets")

    def __repr__(self) -> str:
        return f"<Schedules layout={self.layout!r} rows={self.num_rows} failed={len(self.errors)} bytes={self.nbytes}>"


class Cashflows(NativeTable):
    """Portfolio totals per period index: ``period``, the float64 sums ``Cap``,
    ``Int``, ``Pmt`` and ``Bal``, and ``loans`` (how many loans reach the period)."""

    __slots__ = ("errors",)

    def __init__(self, table: _native.Table, errors: ErrorTable) -> None:
        super().__init__(table)
        self.errors = errors

    def __repr__(self) -> str:
        return f"<Cashflows periods={self.num_rows} failed={len(self.errors)}>"


class ScheduleStream:
    """A one-shot Arrow C stream of schedule batches (``__arrow_c_stream__``)."""

    __slots__ = ("_stream", "layout")

    def __init__(self, stream: _native.ScheduleStream, layout: Literal["long", "list"]) -> None:
        self._stream = stream
        self.layout = layout

    def __arrow_c_schema__(self) -> Any:
        return self._stream.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self._stream.__arrow_c_stream__(requested_schema)

    @property
    def consumed(self) -> bool:
        return self._stream.consumed

    @property
    def errors(self) -> ErrorTable:
        """Rows that failed in the batches read so far."""
        return ErrorTable(self._stream.errors_table, self._stream.failures)

    def to_reader(self) -> Any:
        """A pyarrow.RecordBatchReader over the stream (consumes it)."""
        pa = require("pyarrow", "to_reader()")
        return pa.RecordBatchReader.from_stream(self)


# ---------------------------------------------------------------- operations


def _raise_first(failed: ErrorTable) -> None:
    if len(failed):
        raise failed.failures[0].error()


class _AsItStands:
    """A book for the native calls, with its ``age`` and ``balance`` columns
    where it has them (read where its column names can be read up front)."""

    __slots__ = ("source", "ages", "balances", "columns")

    def __init__(self, loans: Loans, what: str) -> None:
        names = column_names(loans)
        self.ages: Any = None
        self.balances: Any = None
        self.columns: dict[str, Any] = {}
        if names is None or not (AGE in names or BALANCE in names):
            self.source = native_source(loans)
            return
        table: Any = loans if isinstance(loans, Mapping) else arrow_table(loans, what)
        self.source = native_source(loans) if isinstance(loans, Mapping) else table.__arrow_c_stream__()
        ages, values, self.columns = standing.read(table, names, what)
        self.ages, self.balances = ages, values.get(BALANCE)

    def errors(self, failures: list, errors_table: Any) -> ErrorTable:
        records = [Failure.of(row) for row in failures]
        return ErrorTable(errors_table, standing.quote(records, self.ages, self.columns))


def schedules(
    loans: Loans,
    *,
    layout: Literal["long", "list"] = "long",
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
    strict: bool = True,
    periods_per_year: int = 12,
    precision: Precision = "binary32",
) -> Schedules:
    """Schedules of every loan of a book, computed on the worker pool.

    ``loans``: a mapping of column name (amt, rate, pers, int_freq, cap_freq,
    optional id) to a 1-D NumPy array, buffer or list; or any object with
    ``__arrow_c_stream__`` / ``__arrow_c_array__``. Numeric columns read as
    ``paywheel_fn`` reads numbers, string columns as ``paywheel_gil`` reads text.
    Optional shape columns: ``io_pers``, ``amort_pers`` and ``rate_steps``
    (a list of ``{per, rate}`` a row); see docs/shapes.md.
    ``errors="raise"`` raises LoanError for the earliest failing row;
    ``"skip"`` leaves failing rows out and lists them in ``.errors``.
    ``strict=False`` gives a piece the engine refuses for a zero rate or a
    single capital block the schedule a lender writes (equal capital; a
    bullet) instead of a failure.
    Optional ``age`` and ``balance`` columns: each loan's remaining schedule
    from its age on, numbered from 0 there, as ``project(book, {})`` runs it
    (with a balance, the loan as it stands on its contract; see
    docs/schedules.md).
    An optional ``payments_per_year`` column (12, 4, 2 or 1; null: the
    call's ``periods_per_year``) schedules a loan in its own periods: its
    ``pers``, ``rate`` and frequencies count them.
    ``precision="cent"`` schedules every loan in whole cents, as a servicer
    books it (docs/schedules.md): float64 columns, each value the double
    nearest a whole number of cents, the balance ending at exactly 0.00.
    """
    is_list = checks.is_list_layout(layout)
    skip = checks.skips(errors)
    n = checks.threads(threads)
    book = _AsItStands(loans, "schedules()")
    cents = checks.cents(precision)
    table, failures, errors_table = _native.schedules(
        book.source, is_list, skip, n, checks.strict(strict), cents, book.ages, book.balances, periods_per_year
    )
    failed = book.errors(failures, errors_table)
    if not skip:
        _raise_first(failed)
    assert table is not None  # the native side leaves it out only for a failure raised above
    return Schedules(table, layout, failed)


def stream_schedules(
    loans: Loans,
    *,
    batch_rows: int = 65536,
    layout: Literal["long", "list"] = "long",
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
    strict: bool = True,
    precision: Precision = "binary32",
    periods_per_year: int = 12,
) -> ScheduleStream:
    """Schedules batch by batch, as a one-shot Arrow C stream.

    Input batches are pulled lazily (an Arrow stream) or sliced (arrays), and
    each output batch is computed on the pool when the consumer asks for it.
    ``batch_rows`` bounds each output batch's rows: loans in the list layout,
    periods in the long layout (whole loans, at least one a batch). With ``errors="raise"`` the stream fails at
    the first failing row; with ``"skip"`` failures gather in ``.errors``.
    List columns are ``large_list`` in streams. ``age`` and ``balance``
    columns read as in ``schedules``, batch by batch. ``precision`` and
    ``periods_per_year`` as for ``schedules``: a book with a
    ``payments_per_year`` column has the ``period`` column in every batch.
    """
    is_list = checks.is_list_layout(layout)
    skip = checks.skips(errors)
    n = checks.threads(threads)
    cents = checks.cents(precision)
    checks.positive_int("batch_rows", batch_rows)
    # A stream reads a book's age and balance columns batch by batch.
    source = native_source(loans, (*FIELDS, *SHAPE, AGE, BALANCE))
    if isinstance(source, tuple):
        raise TypeError("stream_schedules needs a mapping of columns or an object with __arrow_c_stream__")
    return ScheduleStream(
        _native.stream_schedules(source, batch_rows, is_list, skip, n, checks.strict(strict), cents, periods_per_year),
        layout,
    )


def cashflows(
    loans: Loans,
    *,
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
    strict: bool = True,
    periods_per_year: int = 12,
    precision: Precision = "binary32",
) -> Cashflows:
    """Portfolio totals per period index, without keeping per-loan schedules.

    Sums are float64 over the exact binary32 values (with ``precision="cent"``,
    over the cent schedules' float64 values), in fixed blocks of rows
    combined in row order: the same bits for any thread count. With ``age``
    (and ``balance``) columns, each loan's remaining flows from its age on,
    period 0 at the age, as in ``schedules``. A loan with its own
    ``payments_per_year`` adds its flows every periods_per_year /
    payments_per_year periods of the calendar, its balance standing between.
    """
    skip = checks.skips(errors)
    n = checks.threads(threads)
    cents = checks.cents(precision)
    book = _AsItStands(loans, "cashflows()")
    table, failures, errors_table = _native.cashflows(
        book.source, skip, n, checks.strict(strict), cents, book.ages, book.balances, periods_per_year
    )
    failed = book.errors(failures, errors_table)
    if not skip:
        _raise_first(failed)
    assert table is not None  # the native side leaves it out only for a failure raised above
    return Cashflows(table, failed)
