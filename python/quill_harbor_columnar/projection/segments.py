"""Segments of a projection (``by=``): the names checked, and a dense code per loan for the native side."""

from __future__ import annotations

from typing import Any

from .._internal.deps import require
from .._internal.names import DATE, MEASURES, PERIOD, SCENARIO

__all__ = ["by_names", "segment_codes"]


def by_names(by: Any) -> list[str]:
    """The ``by=`` argument as a list of column names, checked."""
    if by is None:
        return []
    names = [by] if isinstance(by, str) else list(by)
    for n in names:
        if not isinstance(n, str):
            raise TypeError(f"by must name columns (str), not {n!r}")
    if len(set(names)) != len(names):
        raise ValueError(f"by names a column twice: {names}")
    for n in names:
        if n in MEASURES or n in (SCENARIO, PERIOD, DATE):
            raise ValueError(f"by column {n!r} has the name of an output column; rename it")
    return names


def segment_codes(columns: list[Any]) -> tuple[Any, list[Any]]:
    """Dense int32 segment codes in sorted order of the key columns' values
    (nulls last, as a segment of their own), and each column's key per segment.

    The combination is factorized column by column: the codes so far stay
    below the row count, so joining the next column's code never overflows,
    however many distinct values the columns hold together."""
    np = require("numpy", "project(by=...)")
    pc = require("pyarrow.compute", "project(by=...)")
    codes: Any = None
    uniques: list[Any] = []
    for col in columns:
        u = pc.unique(col)
        u = u.take(pc.array_sort_indices(u, null_placement="at_end"))
        c = np.asarray(pc.index_in(col, value_set=u, skip_nulls=False).fill_null(0), dtype=np.int64)
        # Both factors are below the row count: the product stays far inside int64.
        codes = c if codes is None else np.unique(codes * len(u) + c, return_inverse=True)[1].reshape(-1)
        uniques.append(u)
    if len(columns) == 1:  # already dense, in sorted order
        return codes.astype(np.int32), uniques
    _, first = np.unique(codes, return_index=True)
    return codes.astype(np.int32), [col.take(first) for col in columns]
