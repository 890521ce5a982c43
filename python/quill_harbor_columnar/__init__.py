"""Loan schedules for whole books, as NumPy buffers and Arrow columns.

The same engine as ``quill_harbor``, bit for bit, without a Python object per
value: results are flat binary32 columns owned by a native object and handed
to NumPy (buffer protocol), pyarrow, polars, pandas and duckdb (the Arrow
PyCapsule interface) without a copy.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Literal, Protocol, TypeAlias, Union

from . import _native
from ._columns import FIELDS
from ._conversions import ArrowConversions
from ._optional import require
from .errors import ErrorTable, LoanError

__all__ = [
    "schedules",
    "stream_schedules",
    "cashflows",
    "project",
    "value",
    "Schedules",
    "Cashflows",
    "ScheduleStream",
    "Projection",
    "ProjectionStream",
    "Valuation",
    "ErrorTable",
    "LoanError",
    "book",
    "book_errors",
    "tape_rows",
    "__version__",
]


class _ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = ...) -> Any: ...


class _ArrowArrayExportable(Protocol):
    def __arrow_c_array__(self, requested_schema: Any = ...) -> tuple[Any, Any]: ...


_Loans: TypeAlias = Union[Mapping[str, Any], _ArrowStreamExportable, _ArrowArrayExportable]


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
        np = require("numpy", "reading this column")
        return np.asarray(value)
    return value


def _source(loans: Any) -> Any:
    if isinstance(loans, Mapping):
        return {k: _column(loans[k]) for k in FIELDS if k in loans}
    if hasattr(loans, "read_next_batch") and hasattr(loans, "schema"):
        return loans  # a reader, pulled through Python: its producer's exceptions come through as raised
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


class _Table(ArrowConversions):
    """A native table: Arrow PyCapsule exports, flat buffers, conversions."""

    __slots__ = ("_table",)

    def __init__(self, table: _native.Table) -> None:
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
        np = require("numpy", "to_numpy()")
        return {name: np.asarray(self._table.column(name)) for name in self._table.buffer_names if name != "offsets"}


class Schedules(_Table):
    """Schedules of a whole book, in one of two layouts.

    "long": columns ``loan``, ``Per``, ``Cap``, ``Int``, ``Pmt``, ``Bal`` with a
    row per period; ``loan`` is the input row, or the id (dictionary-encoded)
    when the input has one. "list": a row per loan, ``loan`` then five
    ``list<float32>`` columns sharing one offsets buffer (``large_list`` past
    2^31 values); failed rows are null there with ``errors="skip"``.
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


class Cashflows(_Table):
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


def _raise_first(failures: list[Any]) -> None:
    if failures:
        raise LoanError(*failures[0])


def schedules(
    loans: _Loans,
    *,
    layout: Literal["long", "list"] = "long",
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
) -> Schedules:
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
    failed = ErrorTable(errors_table, failures)
    if not skip:
        _raise_first(failed._rows)
    assert table is not None  # the native side leaves it out only for a failure raised above
    return Schedules(table, layout, failed)


def stream_schedules(
    loans: _Loans,
    *,
    batch_rows: int = 65536,
    layout: Literal["long", "list"] = "long",
    errors: Literal["raise", "skip"] = "raise",
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


def cashflows(loans: _Loans, *, errors: Literal["raise", "skip"] = "raise", threads: int | None = None) -> Cashflows:
    """Portfolio totals per period index, without keeping per-loan schedules.

    Sums are float64 over the exact binary32 values, in fixed blocks of rows
    combined in row order: the same bits for any thread count.
    """
    skip = _errors(errors)
    n = _threads(threads)
    table, failures, errors_table = _native.cashflows(_source(loans), skip, n)
    failed = ErrorTable(errors_table, failures)
    if not skip:
        _raise_first(failed._rows)
    assert table is not None  # the native side leaves it out only for a failure raised above
    return Cashflows(table, failed)


# The tape reader builds on the operations above.
from importlib.metadata import PackageNotFoundError as _NotInstalled, version as _version  # noqa: E402

from ._book import book, book_errors, tape_rows  # noqa: E402
from .projection import Projection, ProjectionStream, project  # noqa: E402
from .valuation import Valuation, value  # noqa: E402

try:
    __version__: str = _version("quill_harbor")
except _NotInstalled:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"
