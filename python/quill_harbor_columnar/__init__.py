"""Loan schedules for whole books, as NumPy buffers and Arrow columns.

The same engine as ``quill_harbor``, bit for bit, without a Python object per
value: results are flat binary32 columns owned by a native object and handed
to NumPy (buffer protocol), pyarrow, polars, pandas and duckdb (the Arrow
PyCapsule interface) without a copy.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, Iterator

from . import _native

__all__ = [
    "schedules",
    "stream_schedules",
    "cashflows",
    "project",
    "Schedules",
    "Cashflows",
    "ScheduleStream",
    "Projection",
    "ProjectionStream",
    "ErrorTable",
    "LoanError",
]

_FIELDS = ("id", "amt", "rate", "pers", "int_freq", "cap_freq")
_SCHEDULE_COLUMNS = ("Per", "Cap", "Int", "Pmt", "Bal")
_EXTRA = "pip install 'quill_harbor[columnar]'"


def _require(module: str, what: str) -> Any:
    try:
        return __import__(module)
    except ImportError as e:  # pragma: no cover - depends on the environment
        raise ImportError(f"{what} needs {module}; install it with {_EXTRA} (or pip install {module})") from e


# ---------------------------------------------------------------- failures


def _explain(reason: str, terms: tuple[float, float, int, int, int] | None) -> str:
    """The loan shape behind an engine failure, in plain words."""
    if terms is None:
        if "Parse" in reason:
            return "a text field does not parse as a number"
        if "OverflowError" in reason:
            return "an integer field is outside the signed 32-bit range"
        if "2^24" in reason:
            return "pers is too large for the columnar layouts"
        return "the row could not be read"
    amt, rate, pers, int_freq, cap_freq = terms
    if not (math.isfinite(amt) and math.isfinite(rate)):
        return f"NaN or infinite terms (amt={amt!r}, rate={rate!r})"
    if "divisor of zero" in reason:
        return f"a zero payment frequency (int_freq={int_freq}, cap_freq={cap_freq})"
    if "range start index" in reason:
        return f"pers={pers} gives no periods to schedule"
    if pers == 0:
        return "pers=0: a loan with no periods"
    if pers == 1 or cap_freq == pers:
        return f"a single capital block (pers={pers}, cap_freq={cap_freq}): capital is repaid all at once"
    if rate == 0.0:
        return "a zero rate"
    if cap_freq < 0:
        return f"a negative cap_freq ({cap_freq})"
    if amt < 0 or rate < 0:
        return f"decreasing blocks: a negative amt or rate (amt={amt!r}, rate={rate!r})"
    if pers > 0 and pers * math.log1p(abs(rate)) > 88.7:
        return f"a growth factor (1 + rate)^pers past the binary32 range (rate={rate!r}, pers={pers})"
    if abs(rate) < 1e-6:
        return f"a vanishing rate (rate={rate!r}): the level payment degenerates"
    return "the engine refused these terms"


class LoanError(ValueError):
    """A loan the engine could not schedule.

    ``index`` is the row, ``id`` its id (None without an id column), ``reason``
    the engine's own message and ``terms`` the decoded (amt, rate, pers,
    int_freq, cap_freq), or None when the row did not decode.
    """

    def __init__(self, index: int, id: str | None, reason: str, terms: tuple | None = None) -> None:
        self.index = index
        self.id = id
        self.reason = reason
        self.terms = terms
        where = f"row {index}" + (f" (id {id!r})" if id is not None else "")
        super().__init__(f"loan at {where} failed: {_explain(reason, terms)} [engine: {reason}]")

    def __reduce__(self):  # keeps the attributes through pickling
        return (LoanError, (self.index, self.id, self.reason, self.terms))


# ---------------------------------------------------------------- input


def _column(value: Any) -> Any:
    if isinstance(value, (list, tuple)):
        return value
    try:
        memoryview(value).release()
        return value
    except TypeError:
        pass
    if hasattr(value, "__array__"):
        np = _require("numpy", "reading this column")
        return np.asarray(value)
    return value


def _source(loans: Any) -> Any:
    if isinstance(loans, Mapping):
        return {k: _column(loans[k]) for k in _FIELDS if k in loans}
    if hasattr(loans, "__arrow_c_stream__"):
        return loans.__arrow_c_stream__()
    if hasattr(loans, "__arrow_c_array__"):
        return tuple(loans.__arrow_c_array__())
    if hasattr(loans, "fetch_arrow_reader"):  # older duckdb relations
        return loans.fetch_arrow_reader().__arrow_c_stream__()
    raise TypeError(
        "loans must be a mapping of column name to array or list, or an object with __arrow_c_stream__ "
        f"or __arrow_c_array__ (pyarrow, polars, pandas, duckdb), not {type(loans).__name__}"
    )


def _threads(threads: int | None) -> int:
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive int or None, not {threads!r}")
    return threads


def _layout(layout: str) -> bool:
    if layout not in ("long", "list"):
        raise ValueError(f"layout must be 'long' or 'list', not {layout!r}")
    return layout == "list"


def _errors(errors: str) -> bool:
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    return errors == "skip"


# ---------------------------------------------------------------- results


class _Table:
    """A native table: Arrow PyCapsule exports, flat buffers, conversions."""

    __slots__ = ("_table",)

    def __init__(self, table: Any) -> None:
        self._table = table

    def __arrow_c_schema__(self) -> Any:
        return self._table.__arrow_c_schema__()

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]:
        return self._table.__arrow_c_array__(requested_schema)

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self._table.__arrow_c_stream__(requested_schema)

    @property
    def num_rows(self) -> int:
        return self._table.num_rows

    def __len__(self) -> int:
        return self._table.num_rows

    @property
    def column_names(self) -> list[str]:
        return self._table.column_names

    @property
    def nbytes(self) -> int:
        """Bytes of memory the result holds."""
        return self._table.nbytes

    def column(self, name: str) -> memoryview:
        """A read-only flat buffer (``np.asarray`` takes it without a copy)."""
        return self._table.column(name)

    def to_numpy(self) -> dict[str, Any]:
        """The flat columns as NumPy arrays sharing this object's memory."""
        np = _require("numpy", "to_numpy()")
        return {name: np.asarray(self._table.column(name)) for name in self._table.buffer_names if name != "offsets"}

    def to_arrow(self) -> Any:
        """A pyarrow.Table over the same buffers."""
        pa = _require("pyarrow", "to_arrow()")
        return pa.RecordBatchReader.from_stream(self).read_all()

    def to_pandas(self) -> Any:
        """A pandas.DataFrame (through pyarrow)."""
        _require("pandas", "to_pandas()")
        return self.to_arrow().to_pandas()

    def to_polars(self) -> Any:
        """A polars.DataFrame over the same buffers."""
        pl = _require("polars", "to_polars()")
        return pl.DataFrame(self)


class ErrorTable(_Table):
    """Rows that failed: ``index``, ``id`` (None without ids) and ``reason``."""

    __slots__ = ("_rows",)

    def __init__(self, table: Any, rows: list) -> None:
        super().__init__(table)
        self._rows = rows

    def __iter__(self) -> Iterator[tuple[int, str | None, str]]:
        return iter([(i, id_, reason) for i, id_, reason, _ in self._rows])

    def __repr__(self) -> str:
        return f"<ErrorTable: {len(self._rows)} failed rows>"

    def exceptions(self) -> list[LoanError]:
        """Each failure as the LoanError errors='raise' would give."""
        return [LoanError(*row) for row in self._rows]


class Schedules(_Table):
    """Schedules of a whole book, in one of two layouts.

    "long": columns ``loan``, ``Per``, ``Cap``, ``Int``, ``Pmt``, ``Bal`` with a
    row per period; ``loan`` is the input row, or the id (dictionary-encoded)
    when the input has one. "list": a row per loan, ``loan`` then five
    ``list<float32>`` columns sharing one offsets buffer (``large_list`` past
    2^31 values); failed rows are null there with ``errors="skip"``.
    """

    __slots__ = ("layout", "errors")

    def __init__(self, table: Any, layout: str, errors: ErrorTable) -> None:
        super().__init__(table)
        self.layout = layout
        self.errors = errors

    @property
    def offsets(self) -> memoryview:
        """Row i's values are [offsets[i], offsets[i+1]) of every column; a failed row's span is empty."""
        return self._table.column("offsets")

    def __repr__(self) -> str:
        return f"<Schedules layout={self.layout!r} rows={self.num_rows} failed={len(self.errors)} bytes={self.nbytes}>"


class Cashflows(_Table):
    """Portfolio totals per period index: ``period``, the float64 sums ``Cap``,
    ``Int``, ``Pmt`` and ``Bal``, and ``loans`` (how many loans reach the period)."""

    __slots__ = ("errors",)

    def __init__(self, table: Any, errors: ErrorTable) -> None:
        super().__init__(table)
        self.errors = errors

    def __repr__(self) -> str:
        return f"<Cashflows periods={self.num_rows} failed={len(self.errors)}>"


class ScheduleStream:
    """A one-shot Arrow C stream of schedule batches (``__arrow_c_stream__``)."""

    __slots__ = ("_stream", "layout")

    def __init__(self, stream: Any, layout: str) -> None:
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
        pa = _require("pyarrow", "to_reader()")
        return pa.RecordBatchReader.from_stream(self)


# ---------------------------------------------------------------- operations


def _raise_first(failures: list) -> None:
    if failures:
        raise LoanError(*failures[0])


def schedules(loans: Any, *, layout: str = "long", errors: str = "raise", threads: int | None = None) -> Schedules:
    """Schedules of every loan of a book, computed on the worker pool.

    ``loans``: a mapping of column name (amt, rate, pers, int_freq, cap_freq,
    optional id) to a 1-D NumPy array, buffer or list; or any object with
    ``__arrow_c_stream__`` / ``__arrow_c_array__``. Numeric columns read as
    ``paywheel_fn`` reads numbers, string columns as ``paywheel_gil`` reads text.
    ``errors="raise"`` raises LoanError for the earliest failing row;
    ``"skip"`` leaves failing rows out and lists them in ``.errors``.
    """
    is_list = _layout(layout)
    skip = _errors(errors)
    n = _threads(threads)
    table, failures, errors_table = _native.schedules(_source(loans), is_list, skip, n)
    if not skip:
        _raise_first(failures)
    return Schedules(table, layout, ErrorTable(errors_table, failures))


def stream_schedules(
    loans: Any,
    *,
    batch_rows: int = 65536,
    layout: str = "long",
    errors: str = "raise",
    threads: int | None = None,
) -> ScheduleStream:
    """Schedules batch by batch, as a one-shot Arrow C stream.

    Input batches are pulled lazily (an Arrow stream) or sliced (arrays), and
    each output batch is computed on the pool when the consumer asks for it.
    ``batch_rows`` bounds each output batch's rows: loans in the list layout,
    periods in the long layout (whole loans, at least one a batch). With ``errors="raise"`` the stream fails at
    the first failing row; with ``"skip"`` failures gather in ``.errors``.
    List columns are ``large_list`` in streams.
    """
    is_list = _layout(layout)
    skip = _errors(errors)
    n = _threads(threads)
    if isinstance(batch_rows, bool) or not isinstance(batch_rows, int) or batch_rows < 1:
        raise ValueError(f"batch_rows must be a positive int, not {batch_rows!r}")
    source = _source(loans)
    if isinstance(source, tuple):
        raise TypeError("stream_schedules needs a mapping of columns or an object with __arrow_c_stream__")
    return ScheduleStream(_native.stream_schedules(source, batch_rows, is_list, skip, n), layout)


def cashflows(loans: Any, *, errors: str = "raise", threads: int | None = None) -> Cashflows:
    """Portfolio totals per period index, without keeping per-loan schedules.

    Sums are float64 over the exact binary32 values, in fixed blocks of rows
    combined in row order: the same bits for any thread count.
    """
    skip = _errors(errors)
    n = _threads(threads)
    table, failures, errors_table = _native.cashflows(_source(loans), skip, n)
    if not skip:
        _raise_first(failures)
    return Cashflows(table, ErrorTable(errors_table, failures))


from .projection import Projection, ProjectionStream, project  # noqa: E402 - needs the names above
