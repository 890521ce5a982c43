"""Realized performance of a history on a cluster: one task per file, each giving the file's month x
cohort partial sums; the partials come back in file order and are combined up the projection's one
pairwise tree (``projection.partials.tree``) and finished once, exactly as one machine does, so the
results carry the same bits whatever runs the tasks."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from .._internal import checks
from .._internal.deps import require
from ..history.failures import RecordFailure
from ..history.files import Source, sources
from ..history.partials import Partial, cohort_columns, combine, file_partial, needed_columns, performance_part
from ..history.performance import Performance, finish_performance
from ..history.reading import DEFAULT_BATCH_ROWS, History, Paths
from ..scheduling import Precision

__all__ = ["file_task", "dask_performance", "spark_performance"]


def file_task(
    source: Source, layout: str, origination: Paths | None, by: list[str], errors: str, batch_rows: int, precision: Any
) -> tuple[Partial, list[RecordFailure]]:
    """One file's partial sums and failed records (a ``RecordError`` raised with errors="raise")."""
    history = History(
        [source],  # type: ignore[list-item]
        layout,
        origination=origination,
        errors=errors,
        batch_rows=batch_rows,
    )
    columns = needed_columns(by)
    partial = file_partial((b.select(columns) for b in history.file_batches(0)), by, performance_part, precision)
    return partial, history.failures


def _finish(
    results: Sequence[tuple[Partial, list[RecordFailure]]], by: list[str], keywords: dict[str, Any]
) -> Performance:
    table = finish_performance(combine([p for p, _ in results]), by, **keywords)
    table.failures = [f for _, failed in results for f in failed]
    return table


def _plan(paths: Paths, origination: Paths | None, precision: Any) -> tuple[list[Source], Paths | None]:
    checks.cents(precision)  # refused before any task runs
    files = sources(paths)
    # Origination files travel as plain paths, each task reading them whole (one record a loan).
    orig = [s.path for s in sources(origination)] if origination is not None else None
    return files, orig


def dask_performance(
    paths: Paths,
    layout: str,
    *,
    origination: Paths | None = None,
    by: str | Sequence[str] | None = None,
    start: Any = None,
    end: Any = None,
    window: int | None = None,
    periods_per_year: int = 12,
    errors: str = "raise",
    batch_rows: int = DEFAULT_BATCH_ROWS,
    precision: Precision = "binary32",
) -> Performance:
    """``performance()`` of the history in ``paths`` as Dask tasks (the current scheduler), one a file."""
    dask = require("dask", "quill_harbor_columnar.dask")
    cols = cohort_columns(by)
    files, orig = _plan(paths, origination, precision)
    tasks = [dask.delayed(file_task)(s, layout, orig, cols, errors, batch_rows, precision) for s in files]
    results = dask.compute(*tasks)
    return _finish(results, cols, dict(start=start, end=end, window=window, periods_per_year=periods_per_year))


def spark_performance(
    paths: Paths,
    layout: str,
    *,
    spark: Any = None,
    origination: Paths | None = None,
    by: str | Sequence[str] | None = None,
    start: Any = None,
    end: Any = None,
    window: int | None = None,
    periods_per_year: int = 12,
    errors: str = "raise",
    batch_rows: int = DEFAULT_BATCH_ROWS,
    precision: Precision = "binary32",
) -> Performance:
    """``performance()`` of the history in ``paths`` as Spark tasks, one a file (the files must be where
    every executor can read them); the partials are collected to the driver and combined there. ``spark``:
    the session (the active one by default)."""
    if spark is None:
        spark = require("pyspark.sql", "quill_harbor_columnar.spark").SparkSession.getActiveSession()
        if spark is None:
            raise ValueError("no active Spark session: pass spark=")
    cols = cohort_columns(by)
    files, orig = _plan(paths, origination, precision)

    def task(item: tuple[int, Source]) -> tuple[int, tuple[Partial, list[RecordFailure]]]:
        index, source = item
        return index, file_task(source, layout, orig, cols, errors, batch_rows, precision)

    rdd = spark.sparkContext.parallelize(list(enumerate(files)), numSlices=max(len(files), 1))
    results = [r for _, r in sorted(rdd.map(task).collect(), key=lambda pair: pair[0])]
    return _finish(results, cols, dict(start=start, end=end, window=window, periods_per_year=periods_per_year))
