"""The book as it stands: a loan's current ``balance`` and its servicing ``fee``, as the native side reads them."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import replace
from typing import Any

from .._internal.deps import require
from .._internal.inputs import arrow_column
from .._internal.names import STANDING
from .._internal.standing import values
from ..errors import Failure

__all__ = ["amounts", "quote_standing", "standing", "values"]


def standing(table: Any, names: Sequence[str]) -> tuple[dict[str, Any], dict[str, Any]]:
    """({name: float64 values}, {name: the column as read}) of the balance and
    fee columns the book has."""
    columns = {n: arrow_column(table, n) for n in STANDING if n in names}
    return {n: values(c, n) for n, c in columns.items()}, columns


def quote_standing(failures: list[Failure], columns: dict[str, Any], row_base: int = 0) -> list[Failure]:
    """The rows refused for a balance or a fee, with that value as read."""
    if not columns:
        return failures
    out = []
    for f in failures:
        if f.code in ("bad_balance", "bad_fee") and f.field in columns:
            v = columns[f.field][f.index - row_base].as_py()
            f = replace(f, value=None if v is None else repr(v) if isinstance(v, float) else str(v))
        out.append(f)
    return out


def amounts(table: Any, names: Sequence[str], codes: Any, segment_count: int, failed: Sequence[int]) -> Any:
    """The amt of the loans that ran, summed per segment in row order, in
    binary32 as the engine reads them."""
    np = require("numpy", "project()")
    pa = require("pyarrow", "project()")
    pc = require("pyarrow.compute", "project()")
    if "amt" not in names:
        return np.zeros(segment_count)
    col = arrow_column(table, "amt")
    keep = np.ones(len(col), dtype=bool)
    keep[np.asarray(failed, dtype=np.int64)] = False
    col = col.filter(pa.array(keep))
    if pa.types.is_string(col.type) or pa.types.is_large_string(col.type):
        read = np.array([float(v) for v in pc.utf8_trim_whitespace(col).to_pylist()], dtype=np.float64)
    else:
        read = np.asarray(pc.cast(col, pa.float64(), safe=False), dtype=np.float64)
    with np.errstate(over="ignore"):
        read = read.astype(np.float32).astype(np.float64)
    seg = codes[keep] if codes is not None else np.zeros(len(read), dtype=np.int64)
    return np.bincount(seg, weights=read, minlength=segment_count)
