"""The long table of a projection, built here once for every caller.

Rows come in blocks, one block after another, each block the periods
0..n - 1 of one scenario and segment (or one loan and scenario). The leading
columns label each row (scenario, segment keys, loan), then come ``period``,
``date`` when there is an ``as_of``, and the float64 measures.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from .._internal.deps import require
from .._internal.names import DATE, MEASURES, PERIOD
from .dates import period_dates

__all__ = ["block_rows", "dates_of", "long_columns", "long_schema", "row_bytes"]


def row_bytes(
    *,
    multi: bool,
    dated: bool,
    blocks: bool = False,
    keys: Sequence[Any] = (),
    loans: bool = False,
    named: bool = False,
    derived: bool = False,
) -> int:
    """The most building a long table adds to each row beside the native
    measures, for the memory check of the native call that computes them:
    the block and the period (block_rows), the scenario as int64, a segment
    index while the labels are taken, each label's share of its ``keys``'
    bytes (every segment has the same rows) twice, as a take of text may grow
    its buffer by doubling, the loan as int64, the date (int64 while
    indexed, then date32), and the scenario's name (its int32 index, from
    the int64 scenario), and with ``derived`` the measures formed from the
    sums (loss, recovery, the two cash flows, the liquidated defaults and one
    temporary)."""
    row = (
        (48 if derived else 0)
        + (8 if blocks else 0)
        + (8 if multi or named else 0)
        + (12 if dated else 0)
        + (8 if loans else 0)
    )
    row += 4 if named else 0
    if keys:
        row += 4 + sum(2 * -(-key.nbytes // max(len(key), 1)) for key in keys)
    return row


def block_rows(lengths: Sequence[int]) -> tuple[Any, Any, list[tuple[int, int]]]:
    """For blocks of ``lengths`` rows laid one after another: the block of
    each row (int32 while the blocks fit), the period of each row (int32,
    from 0 in each block), and the row span of each non-empty block, in row
    order. Each is written once in place, a run of blocks of one length at a
    time: no row-long temporaries beside them."""
    np = require("numpy", "project()")
    n = np.asarray(lengths, dtype=np.int64).reshape(-1)
    starts = np.cumsum(n) - n
    total = int(n.sum())
    block = np.empty(total, dtype=np.int32 if len(n) <= np.iinfo(np.int32).max else np.int64)
    period = np.empty(total, dtype=np.int32)
    edges = [0, *(np.flatnonzero(np.diff(n)) + 1).tolist(), len(n)] if len(n) else []
    for first, last in zip(edges[:-1], edges[1:]):  # blocks first..last - 1 have k rows each
        k = int(n[first])
        rows = slice(int(starts[first]), int(starts[first]) + (last - first) * k)
        block[rows].reshape(last - first, k)[:] = np.arange(first, last, dtype=block.dtype)[:, None]
        period[rows].reshape(last - first, k)[:] = np.arange(k, dtype=np.int32)
    spans = [(int(b), int(b + k)) for b, k in zip(starts.tolist(), n.tolist()) if k]
    return block, period, spans


def dates_of(as_of: Any, period: Any, periods_per_year: int) -> Any:
    """The date (datetime64[D]) of each row's period."""
    need = int(period.max()) + 1 if len(period) else 0
    return period_dates(as_of, need, periods_per_year)[period]


def long_columns(
    leading: Sequence[tuple[str, Any]], period: Any, measures: Mapping[str, Any], as_of: Any, periods_per_year: int
) -> dict[str, Any]:
    """The columns of a long table as Arrow arrays, in order: ``leading``
    (name and values per row), ``period``, ``date`` with ``as_of``, the measures."""
    pa = require("pyarrow", "project()")
    np = require("numpy", "project()")
    columns: dict[str, Any] = {
        name: values if isinstance(values, (pa.Array, pa.ChunkedArray)) else pa.array(values)
        for name, values in leading
    }
    columns[PERIOD] = pa.array(period, type=pa.int32())
    if as_of is not None:
        columns[DATE] = pa.array(dates_of(as_of, period, periods_per_year), type=pa.date32())
    for name in MEASURES:
        columns[name] = pa.array(np.asarray(measures[name]), type=pa.float64())
    return columns


def long_schema(leading: Sequence[tuple[str, Any]], as_of: Any) -> Any:
    """The schema of a long table whose leading columns have the given (name, Arrow type)."""
    pa = require("pyarrow", "project()")
    fields = [pa.field(name, t) for name, t in leading]
    fields.append(pa.field(PERIOD, pa.int32()))
    if as_of is not None:
        fields.append(pa.field(DATE, pa.date32()))
    fields += [pa.field(name, pa.float64()) for name in MEASURES]
    return pa.schema(fields)
