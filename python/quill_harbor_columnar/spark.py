"""Books held in Spark: schedules, cash flows, projections and values over Spark DataFrames.

Every task hands its Arrow batches (``DataFrame.mapInArrow``) straight to
``quill_harbor_columnar`` on the executor and returns Arrow batches: no pandas
and no Python per row. ``schedules`` is a lazy Spark DataFrame; ``cashflows``,
``project`` and ``value`` collect each partition's partial sums, tagged with
the partition's index, and add them on the driver in partition order
(``value`` then values the combined flows; per loan, each task values its
own loans).

A task reads the columns the single-machine call reads: the terms, the loan
shape (``io_pers``, ``amort_pers``, ``rate_steps``) and, for projections and
values, ``age``, ``balance``, ``fee`` and the ``by`` columns.

Rows are positioned by partition: a loan's position is the number of rows in
the partitions before its own plus its place within that partition, which is
its row in the frame when the frame's partitions come in a fixed order (files,
a parallelized collection, ``orderBy``). A frame whose rows are reordered on
every evaluation (a shuffle without a sort) has no stable positions: give it
an ``id`` column.
"""

from __future__ import annotations

import functools
import itertools
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, Literal

from ._internal.deps import require
from ._internal.names import (
    AGE,
    CASHFLOWS,
    FIELDS,
    ID,
    LOAN,
    LOANS,
    MEASURES,
    PERIOD,
    SCENARIO,
    SCHEDULE,
    SHAPE,
    STANDING,
    TOTALS,
    VALUES,
)
from .errors import LoanError
from .projection import project as _project
from .projection import value as _value
from .projection.assembly import block_rows, long_columns
from .projection.dates import as_date
from .projection.segments import by_names, segment_codes
from .projection.valuation import book_values, checked_arguments
from .scheduling import cashflows as _cashflows
from .scheduling import schedules as _schedules

__all__ = ["cashflows", "failures", "project", "schedules", "value"]

_WHAT = "quill_harbor_columnar.spark"

# Columns this layer adds to a frame on its way through a task; the names
# keep clear of a book's own columns.
# The input partition's index: spark_partition_id() just above a task, where
# it is the partition the task read even when a later coalesce runs several
# partitions in one task (TaskContext.partitionId() would then be the
# coalesced one), and where no optimisation evaluates it ahead of time (over
# a local relation it is folded in as 0).
_PART = "__qh_partition"
_ROW = "__qh_row"  # a row's position within its input partition
_ROWS = "__qh_rows"  # rows of a task's partition (null when a failure stopped it)
_OFFSET = "__qh_offset"  # rows in the partitions before this one
_KIND = "__qh_kind"  # what a row of a projection task carries (below)
_SUMS, _SEGMENT, _HEADER = 0, 1, 2

# A failure as a task returns it: LoanError's attributes, terms spread out.
_TERMS = ("amt", "rate", "pers", "int_freq", "cap_freq")
_FAILURE = ("f_index", "f_id", "f_code", "f_field", "f_value", "f_reason", *(f"f_{t}" for t in _TERMS))

# Rows in one Arrow batch handed back to Spark by schedules.
_OUT_ROWS = 1 << 16


# ---------------------------------------------------------------- set-up on the driver


def _sql() -> tuple[Any, Any]:
    """pyspark.sql.functions and pyspark.sql.types."""
    return require("pyspark.sql.functions", _WHAT), require("pyspark.sql.types", _WHAT)


def _arrow(struct: Any, session: Any) -> Any:
    """The Arrow schema of Spark columns ``struct`` as Spark hands them to a
    task and takes them back (large text types when the session asks)."""
    types = require("pyspark.sql.pandas.types", _WHAT)
    large = session.conf.get("spark.sql.execution.arrow.useLargeVarTypes", "false") == "true"
    return types.to_arrow_schema(struct, prefers_large_types=large)


def _prepare(df: Any, extra: Sequence[str], check: Any) -> Any:
    """The frame cut to the columns a task reads. ``check(empty)`` runs the
    single-machine call on an empty table of the same columns, so that
    arguments and column types are refused here as there."""
    pa = require("pyarrow", _WHAT)
    _, T = _sql()
    if not isinstance(df, require("pyspark.sql", _WHAT).DataFrame):
        raise TypeError(f"df must be a pyspark.sql.DataFrame, not {type(df).__name__}")
    if ID in df.columns and not isinstance(df.schema[ID].dataType, (T.StringType, T.IntegralType)):
        raise TypeError(f"column 'id' must hold strings or integers, not {df.schema[ID].dataType.simpleString()}")
    names = list(dict.fromkeys(c for c in (*FIELDS, *SHAPE, *extra) if c in df.columns))
    schema = _arrow(df.select(*names).schema, df.sparkSession)
    check(pa.table({f.name: pa.array([], f.type) for f in schema if f.name != ID}))
    return df.select(*names)


def _tasks(prepared: Any, task: Any, struct: Any) -> Any:
    """``task`` over every partition of ``prepared``, its rows tagged with the partition."""
    F, _ = _sql()
    return prepared.mapInArrow(task, struct).withColumn(_PART, F.spark_partition_id())


def _struct(fields: Iterable[tuple[str, Any]]) -> Any:
    _, T = _sql()
    return T.StructType([T.StructField(name, t, True) for name, t in fields])


def _failure_fields() -> list[tuple[str, Any]]:
    _, T = _sql()
    text, i64, i32, f64 = T.StringType(), T.LongType(), T.IntegerType(), T.DoubleType()
    return list(zip(_FAILURE, (i64, text, text, text, text, text, f64, f64, i32, i32, i32), strict=True))


# ---------------------------------------------------------------- in a task


def _threads_here(threads: int | None) -> int | None:
    """Engine threads for a task: as asked, else the task's share of the
    executor (``spark.task.cpus``), not every processor it has."""
    if threads is not None:
        return threads
    context = require("pyspark", _WHAT).TaskContext.get()
    try:
        n = context.cpus() if context is not None else None
    except Exception:  # noqa: BLE001 - a context without the count: the pool's own size
        n = None
    return n if isinstance(n, int) and n > 0 else None


def _rows(batches: Iterable[Any]) -> Iterator[Any]:
    """A task's batches that hold rows: Spark may hand an empty one."""
    return (b for b in batches if b.num_rows)


def _loans(batch: Any) -> Any:
    """The columns the engine reads: the id stays out (labels are taken
    from the frame's own column, whatever its type)."""
    return batch.drop_columns([ID]) if ID in batch.schema.names else batch


def _text(ids: Any) -> Any:
    pa = require("pyarrow", _WHAT)
    return ids if pa.types.is_string(ids.type) or pa.types.is_large_string(ids.type) else ids.cast(pa.string())


def _batch(schema: Any, rows: int, columns: dict[str, Any]) -> Any:
    """A record batch of ``schema``; columns not given are null."""
    pa = require("pyarrow", _WHAT)
    arrays = []
    for field in schema:
        value = columns.get(field.name)
        if value is None:
            arrays.append(pa.nulls(rows, field.type))
        elif isinstance(value, (pa.Array, pa.ChunkedArray)):
            arrays.append(value.cast(field.type) if value.type != field.type else value)
        elif isinstance(value, (int, float, str)):
            arrays.append(pa.array([value] * rows, field.type))
        else:  # a NumPy array
            arrays.append(pa.array(value, field.type))
    return pa.RecordBatch.from_arrays(
        [a.combine_chunks() if isinstance(a, pa.ChunkedArray) else a for a in arrays], schema=schema
    )


def _failure_columns(error: LoanError | None, ids: Any) -> dict[str, Any]:
    """A failure as one row of _FAILURE columns; its id read from ``ids``
    (the partition's id column) at its row when the frame has one."""
    if error is None:
        return {}
    label = error.id
    if ids is not None and label is None:
        value = ids[error.index].as_py()
        label = None if value is None else str(value)
    terms = error.terms or (None,) * len(_TERMS)
    return dict(
        zip(_FAILURE, (error.index, label, error.code, error.field, error.value, error.reason, *terms), strict=True)
    )


class _Partition:
    """A task's batches as one stream: it counts the rows and keeps the id
    column while the engine reads the rest."""

    def __init__(self, first: Any, rest: Iterator[Any]) -> None:
        self.rows = 0
        self._ids: list[Any] = []
        self._first, self._rest = first, rest

    def batches(self) -> Iterator[Any]:
        for batch in itertools.chain([self._first], self._rest):
            self.rows += batch.num_rows
            if ID in batch.schema.names:
                self._ids.append(batch.column(ID))
            yield _loans(batch)

    def reader(self) -> Any:
        pa = require("pyarrow", _WHAT)
        return pa.RecordBatchReader.from_batches(_loans(self._first).schema, self.batches())

    def ids(self) -> Any:
        pa = require("pyarrow", _WHAT)
        return pa.chunked_array(self._ids) if self._ids else None


def _partition(batches: Iterable[Any]) -> _Partition | None:
    it = _rows(batches)
    first = next(it, None)
    return None if first is None else _Partition(first, it)


def _totals_task(
    batches: Iterable[Any], *, schema: Any, skip: bool, threads: int | None, headers_only: bool, strict: bool
) -> Iterator[Any]:
    """A partition's cash-flow totals and a header row: the partition, its
    rows and, with errors="raise", its first failure."""
    part = _partition(batches)
    if part is None:
        return
    error = None
    try:
        result = _cashflows(
            part.reader(), errors="skip" if skip else "raise", threads=_threads_here(threads), strict=strict
        )
    except LoanError as e:
        error = e
    if error is None and not headers_only:
        t = require("pyarrow", _WHAT).record_batch(result)
        yield _batch(schema, t.num_rows, {name: t.column(name) for name in CASHFLOWS})
    yield _batch(schema, 1, {_ROWS: None if error else part.rows, **_failure_columns(error, part.ids())})


def _schedules_task(
    batches: Iterable[Any], *, schema: Any, skip: bool, threads: int | None, label: str | None, strict: bool
) -> Iterator[Any]:
    """Long-layout schedules of a partition, batch by batch: ``loan`` is the
    id, or (label None) the row within the partition, for the plan to turn
    into the row's position."""
    np = require("numpy", _WHAT)
    pa = require("pyarrow", _WHAT)
    n = _threads_here(threads)
    base = 0
    for batch in _rows(batches):
        result = _schedules(_loans(batch), layout="long", errors="skip", threads=n, strict=strict)
        if not skip and len(result.errors):
            # The frame was checked before this plan was made, so it has
            # changed since: this job fails rather than leave the loan out.
            raise RuntimeError(
                "a loan the errors='raise' check passed has failed: the frame changed after schedules() was called"
            ) from result.errors.exceptions()[0]
        t = pa.record_batch(result)
        row = np.asarray(t.column(LOAN), dtype=np.int64)
        cols: dict[str, Any] = {name: t.column(name) for name in SCHEDULE}
        if label is None:
            cols[_ROW] = row + base
        else:
            cols[LOAN] = batch.column(ID).take(pa.array(row))
        out = _batch(schema, len(row), cols)
        for start in range(0, out.num_rows, _OUT_ROWS):
            yield out.slice(start, _OUT_ROWS)
        base += batch.num_rows


def _failures_task(batches: Iterable[Any], *, schema: Any, ages: bool, strict: bool) -> Iterator[Any]:
    """The failures of a partition's rows, as the row within the partition."""
    np = require("numpy", _WHAT)
    pa = require("pyarrow", _WHAT)
    n = _threads_here(None)
    base = 0
    for batch in _rows(batches):
        loans = _loans(batch)
        # The contractual projection refuses what the engine refuses and bad ages.
        found = (
            _project(loans, {}, errors="skip", threads=n, strict=strict)
            if ages
            else _cashflows(loans, errors="skip", threads=n, strict=strict)
        ).errors
        if not len(found):
            base += batch.num_rows
            continue
        t = pa.record_batch(found)
        index = np.asarray(t.column("index"), dtype=np.int64)
        ids = _text(batch.column(ID)).take(pa.array(index)) if ID in batch.schema.names else None
        yield _batch(
            schema,
            len(index),
            {
                _ROW: index + base,
                ID: ids,
                "code": t.column("code"),
                "field": t.column("field"),
                "reason": t.column("reason"),
            },
        )
        base += batch.num_rows


def _count_task(batches: Iterable[Any], *, schema: Any) -> Iterator[Any]:
    part = _partition(batches)
    if part is not None:
        rows = sum(b.num_rows for b in part.batches())
        yield _batch(schema, 1, {_ROWS: rows})


def _offsets_task(batches: Iterable[Any], *, schema: Any) -> Iterator[Any]:
    """Every partition's rows, in one task: the rows before each partition."""
    np = require("numpy", _WHAT)
    got = list(batches)
    part = np.concatenate([np.asarray(b.column(_PART), dtype=np.int32) for b in got] or [np.zeros(0, np.int32)])
    rows = np.concatenate([np.asarray(b.column(_ROWS), dtype=np.int64) for b in got] or [np.zeros(0, np.int64)])
    order = np.argsort(part, kind="stable")
    before = np.concatenate([[0], np.cumsum(rows[order])[:-1]]).astype(np.int64)
    yield _batch(schema, len(part), {_PART: part[order], _OFFSET: before})


def _positioned(out: Any, prepared: Any) -> Any:
    """``out`` with (_PART, _ROW) turned into the row's position (_ROW):
    its partition's offset, from a count over the same prepared frame, plus
    its row within the partition."""
    F, T = _sql()
    session = prepared.sparkSession
    counted = _struct([(_ROWS, T.LongType())])
    counts = _tasks(prepared, functools.partial(_count_task, schema=_arrow(counted, session)), counted)
    # One task for the offsets, after a shuffle: coalescing instead would
    # run the count itself as one task.
    offsets_schema = _struct([(_PART, T.IntegerType()), (_OFFSET, T.LongType())])
    offsets = counts.repartition(1).mapInArrow(
        functools.partial(_offsets_task, schema=_arrow(offsets_schema, session)), offsets_schema
    )
    joined = out.join(F.broadcast(offsets), _PART)
    return joined.withColumn(_ROW, F.col(_ROW) + F.col(_OFFSET))


# ---------------------------------------------------------------- on the driver


def _collect(df: Any) -> Any:
    """A task plan's rows as one pyarrow Table, without a Python row each."""
    return df.toArrow()


def _first_failure(t: Any) -> None:
    """Raises the earliest failure of the task headers in ``t``: the lowest
    partition that has one, its row placed after every earlier partition's."""
    np = require("numpy", _WHAT)
    pc = require("pyarrow.compute", _WHAT)
    headers = t.filter(pc.is_valid(t.column("f_code")))
    if not headers.num_rows:
        return
    first = int(np.argmin(np.asarray(headers.column(_PART))))
    row = {name: headers.column(name)[first].as_py() for name in _FAILURE}
    part = headers.column(_PART)[first].as_py()
    counted = t.filter(pc.and_(pc.is_valid(t.column(_ROWS)), pc.less(t.column(_PART), part)))
    before = int(np.asarray(counted.column(_ROWS), dtype=np.int64).sum())
    terms = tuple(row[f"f_{name}"] for name in _TERMS)
    raise LoanError(
        row["f_index"] + before,
        row["f_id"],
        row["f_code"],
        row["f_field"],
        row["f_value"],
        row["f_reason"],
        None if terms[0] is None else terms,
    )


def schedules(
    df: Any, *, errors: Literal["raise", "skip"] = "raise", threads: int | None = None, strict: bool = True
) -> Any:
    """A lazy Spark DataFrame of every loan's schedule in the long layout.

    Columns: ``loan`` (the id, of the id column's type, or the row's position
    as a long when the frame has no id column), then ``Per``, ``Cap``,
    ``Int``, ``Pmt`` and ``Bal`` as float: the single-machine bits.
    ``errors="raise"`` checks the frame first, in one Spark job, and raises
    ``LoanError`` here for the earliest failing loan; ``errors="skip"``
    leaves failing loans out (``failures(df)`` lists them) and runs nothing
    until the result is used. ``threads``: engine threads per task, by
    default ``spark.task.cpus``. ``strict`` is as for the single-machine call.
    """
    F, T = _sql()
    prepared = _prepare(df, (), lambda empty: _schedules(empty, errors=errors, threads=threads, strict=strict))
    skip = errors == "skip"
    if not skip:
        _first_failure(_collect(_totals_plan(prepared, skip=False, threads=threads, headers_only=True, strict=strict)))
    label = None if ID not in df.columns else ID
    values = [(name, T.FloatType()) for name in SCHEDULE]
    if label is None:
        fields = [(_ROW, T.LongType()), *values]
    else:
        fields = [(LOAN, df.schema[ID].dataType), *values]
    struct = _struct(fields)
    task = functools.partial(
        _schedules_task,
        schema=_arrow(struct, df.sparkSession),
        skip=skip,
        threads=threads,
        label=label,
        strict=strict,
    )
    if label is not None:
        return prepared.mapInArrow(task, struct)
    out = _tasks(prepared, task, struct)
    return _positioned(out, prepared).select(F.col(_ROW).alias(LOAN), *SCHEDULE)


def _totals_plan(prepared: Any, *, skip: bool, threads: int | None, headers_only: bool, strict: bool) -> Any:
    _, T = _sql()
    struct = _struct(
        [
            (_ROWS, T.LongType()),
            (PERIOD, T.IntegerType()),
            *((name, T.DoubleType()) for name in TOTALS),
            (LOANS, T.LongType()),
            *_failure_fields(),
        ]
    )
    task = functools.partial(
        _totals_task,
        schema=_arrow(struct, prepared.sparkSession),
        skip=skip,
        threads=threads,
        headers_only=headers_only,
        strict=strict,
    )
    return _tasks(prepared, task, struct)


def cashflows(
    df: Any, *, errors: Literal["raise", "skip"] = "raise", threads: int | None = None, strict: bool = True
) -> Any:
    """Portfolio totals per period, as a pandas DataFrame with the columns
    of ``quill_harbor_columnar.cashflows(...).to_pandas()``.

    Each task sums its partition as ``cashflows`` does on one machine; the
    driver adds the partitions' sums in partition order, so for a given
    partitioning the result has the same bits on every run, and it agrees
    with a single-machine call to 1e-12 relative (the sums being grouped
    differently). ``errors="raise"`` raises ``LoanError`` here for the
    earliest failing loan; ``"skip"`` leaves failing loans out
    (``failures(df)`` lists them).
    """
    np = require("numpy", _WHAT)
    pa = require("pyarrow", _WHAT)
    pc = require("pyarrow.compute", _WHAT)
    prepared = _prepare(df, (), lambda empty: _cashflows(empty, errors=errors, threads=threads, strict=strict))
    t = _collect(_totals_plan(prepared, skip=errors == "skip", threads=threads, headers_only=False, strict=strict))
    _first_failure(t)
    sums = t.filter(pc.is_valid(t.column(PERIOD)))
    part = np.asarray(sums.column(_PART), dtype=np.int64)
    period = np.asarray(sums.column(PERIOD), dtype=np.int64)
    length = int(period.max()) + 1 if len(period) else 0
    out = {name: np.zeros(length, np.float64) for name in TOTALS}
    loans = np.zeros(length, np.int64)
    values = {name: np.asarray(sums.column(name), dtype=np.float64) for name in TOTALS}
    count = np.asarray(sums.column(LOANS), dtype=np.int64)
    for rows in _by_partition(part):
        p = period[rows]
        for name in TOTALS:
            out[name][p] += values[name][rows]
        loans[p] += count[rows]
    return pa.table(
        {
            PERIOD: pa.array(np.arange(length, dtype=np.int32)),
            **{name: pa.array(out[name]) for name in TOTALS},
            LOANS: pa.array(loans),
        }
    ).to_pandas()


def _by_partition(part: Any) -> Iterator[Any]:
    """Row indices of each partition, in partition order (rows keep their order within one)."""
    np = require("numpy", _WHAT)
    order = np.argsort(part, kind="stable")
    cuts = np.flatnonzero(np.diff(part[order])) + 1
    return iter(np.split(order, cuts) if len(order) else [])


# ---------------------------------------------------------------- projections


def _projection_task(
    batches: Iterable[Any],
    *,
    schema: Any,
    scenarios: Any,
    by: list[str],
    periods_per_year: int,
    skip: bool,
    threads: int | None,
    strict: bool,
) -> Iterator[Any]:
    """A partition's projected sums per scenario, segment and period, its
    segments (also those whose loans all failed) and a header row."""
    np = require("numpy", _WHAT)
    pa = require("pyarrow", _WHAT)
    part = _partition(batches)
    if part is None:
        return
    table = pa.Table.from_batches(list(part.batches()))
    error = None
    try:
        p = _project(
            table,
            scenarios,
            by=by or None,
            periods_per_year=periods_per_year,
            errors="skip" if skip else "raise",
            threads=_threads_here(threads),
            strict=strict,
        )
    except LoanError as e:
        error = e
    if error is None:
        t = p.to_arrow()
        cols = {name: t.column(name) for name in (*by, PERIOD, *MEASURES)}
        cols[SCENARIO] = t.column(SCENARIO) if SCENARIO in t.column_names else np.zeros(t.num_rows, np.int64)
        cols[_KIND] = np.full(t.num_rows, _SUMS, np.int8)
        yield _batch(schema, t.num_rows, cols)
        if by:
            keys = table.select(by).group_by(by, use_threads=False).aggregate([])
            yield _batch(
                schema,
                keys.num_rows,
                {**{k: keys.column(k) for k in by}, _KIND: np.full(keys.num_rows, _SEGMENT, np.int8)},
            )
    yield _batch(
        schema, 1, {_KIND: _HEADER, _ROWS: None if error else part.rows, **_failure_columns(error, part.ids())}
    )


def _summed_projection(
    df: Any,
    scenarios: Any,
    names: list[str],
    extra: Sequence[str],
    check: Any,
    periods_per_year: int,
    errors: str,
    threads: int | None,
    strict: bool,
) -> tuple[list[tuple[str, Any]], Any, dict[str, Any], Any]:
    """The partitions' projected sums added in partition order: the leading
    columns, the period and the measures of a long table, and the row span
    of each scenario and segment."""
    np = require("numpy", _WHAT)
    pa = require("pyarrow", _WHAT)
    _, T = _sql()
    prepared = _prepare(df, (AGE, *STANDING, *names, *extra), check)
    n_scenarios = 1 if isinstance(scenarios, Mapping) else len(scenarios)
    struct = _struct(
        [
            (_KIND, T.ByteType()),
            (_ROWS, T.LongType()),
            (SCENARIO, T.LongType()),
            *((k, df.schema[k].dataType) for k in names),
            (PERIOD, T.IntegerType()),
            *((m, T.DoubleType()) for m in MEASURES),
            *_failure_fields(),
        ]
    )
    task = functools.partial(
        _projection_task,
        schema=_arrow(struct, df.sparkSession),
        scenarios=scenarios,
        by=names,
        periods_per_year=periods_per_year,
        skip=errors == "skip",
        threads=threads,
        strict=strict,
    )
    t = _collect(_tasks(prepared, task, struct))
    _first_failure(t)

    kind = np.asarray(t.column(_KIND), dtype=np.int8)
    sums = t.filter(pa.array(kind == _SUMS))
    count, segment, keys = 1, np.zeros(sums.num_rows, np.int64), list[Any]()
    if names:
        # Every partition's segments, also those whose loans all failed, then the sums' own.
        labelled = pa.concat_tables([t.filter(pa.array(kind == _SEGMENT)).select(names), sums.select(names)])
        codes, keys = segment_codes([labelled.column(k).combine_chunks() for k in names])
        count, segment = len(keys[0]), np.asarray(codes[labelled.num_rows - sums.num_rows :], dtype=np.int64)
    scenario = np.asarray(sums.column(SCENARIO), dtype=np.int64)
    period = np.asarray(sums.column(PERIOD), dtype=np.int64)
    lengths = np.zeros(n_scenarios, np.int64)
    np.maximum.at(lengths, scenario, period + 1)
    values = {m: np.asarray(sums.column(m), dtype=np.float64) for m in MEASURES}
    acc = {m: np.zeros((n_scenarios, count, int(lengths.max(initial=0))), np.float64) for m in MEASURES}
    for rows in _by_partition(np.asarray(sums.column(_PART), dtype=np.int64)):
        cell = (scenario[rows], segment[rows], period[rows])
        for m in MEASURES:
            acc[m][cell] += values[m][rows]

    # A block of rows per scenario and segment, in that order; a scenario's
    # segments all run to its longest.
    block, row_period, spans = block_rows(np.repeat(lengths, count))
    # The scenario number is int64, as project() on one machine gives it.
    s_of, g_of = np.floor_divide(block, count, dtype=np.int64), block % count
    leading: list[tuple[str, Any]] = [(SCENARIO, s_of)] if n_scenarios > 1 else []
    leading += [(k, key.take(pa.array(g_of))) for k, key in zip(names, keys, strict=True)]
    return leading, row_period, {m: acc[m][s_of, g_of, row_period] for m in MEASURES}, spans


def project(
    df: Any,
    scenarios: Any,
    *,
    by: str | Sequence[str] | None = None,
    as_of: Any = None,
    periods_per_year: int = 12,
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
    strict: bool = True,
) -> Any:
    """Projected cash flows of the frame, as a pandas DataFrame with the
    columns of ``quill_harbor_columnar.project(...).to_pandas()``.

    Each task projects its partition; the driver adds the partitions' sums
    per scenario, segment and period in partition order, so for a given
    partitioning the result has the same bits on every run, and it agrees
    with a single-machine projection to 1e-12 relative. Segments of ``by``
    whose loans all failed still have their rows, as on one machine.
    """
    pa = require("pyarrow", _WHAT)
    names = by_names(by)

    def check(empty: Any) -> None:
        _project(
            empty,
            scenarios,
            by=by,
            as_of=as_of,
            periods_per_year=periods_per_year,
            errors=errors,
            threads=threads,
            strict=strict,
        )

    leading, period, measures, _ = _summed_projection(
        df, scenarios, names, (), check, periods_per_year, errors, threads, strict
    )
    as_of = None if as_of is None else as_date(as_of)
    return pa.table(long_columns(leading, period, measures, as_of, periods_per_year)).to_pandas()


# ---------------------------------------------------------------- values


def _values_task(batches: Iterable[Any], *, schema: Any, scenarios: Any, kwargs: dict[str, Any]) -> Iterator[Any]:
    """A partition's values loan by loan (``_ROW``: the loan's row in the
    partition) and a header row."""
    np = require("numpy", _WHAT)
    pa = require("pyarrow", _WHAT)
    part = _partition(batches)
    if part is None:
        return
    table = pa.Table.from_batches(list(part.batches()))
    ids = part.ids()
    if ids is not None:
        # Per-loan values carry the id as text, of whatever type the frame holds it.
        table = table.append_column(ID, _text(ids))
    error = None
    try:
        v = _value(table, scenarios, per_loan=True, **{**kwargs, "threads": _threads_here(kwargs["threads"])})
    except LoanError as e:
        error = e
    if error is None:
        t = v.to_arrow()
        cols = {name: t.column(name) for name in t.column_names if name != ID}
        if ids is None:
            cols[_ROW] = t.column(ID)
        else:
            cols[ID] = t.column(ID)
        cols[_KIND] = np.full(t.num_rows, _SUMS, np.int8)
        yield _batch(schema, t.num_rows, cols)
    yield _batch(
        schema, 1, {_KIND: _HEADER, _ROWS: None if error else part.rows, **_failure_columns(error, part.ids())}
    )


def _loan_values(df: Any, scenarios: Any, names: list[str], multi: bool, kwargs: dict[str, Any], check: Any) -> Any:
    """Per-loan values, each partition's on its own task, in the frame's row order."""
    np = require("numpy", _WHAT)
    pa = require("pyarrow", _WHAT)
    _, T = _sql()
    price = kwargs["price"]
    prepared = _prepare(df, (AGE, *STANDING, *names, *([price] if isinstance(price, str) else [])), check)
    with_id = ID in df.columns
    struct = _struct(
        [
            (_KIND, T.ByteType()),
            (_ROWS, T.LongType()),
            (_ROW, T.LongType()),
            *([(SCENARIO, T.LongType())] if multi else []),
            *((k, df.schema[k].dataType) for k in names),
            (ID, T.StringType()),
            *((name, T.DoubleType()) for name in VALUES),
            *_failure_fields(),
        ]
    )
    task = functools.partial(_values_task, schema=_arrow(struct, df.sparkSession), scenarios=scenarios, kwargs=kwargs)
    t = _collect(_tasks(prepared, task, struct))
    _first_failure(t)
    kind = np.asarray(t.column(_KIND), dtype=np.int8)
    part = np.asarray(t.column(_PART), dtype=np.int64)
    rows = t.filter(pa.array(kind == _SUMS))
    order = np.argsort(np.asarray(rows.column(_PART), dtype=np.int64), kind="stable")
    rows = rows.take(pa.array(order))
    columns: dict[str, Any] = {c: rows.column(c) for c in (*([SCENARIO] if multi else []), *names)}
    if with_id:
        columns[ID] = rows.column(ID)
    else:
        # The loan's position in the frame: the rows of the partitions before its own, then its row.
        headers = t.filter(pa.array(kind == _HEADER))
        counts = np.zeros(int(part.max(initial=-1)) + 2, np.int64)
        np.add.at(
            counts,
            np.asarray(headers.column(_PART), dtype=np.int64) + 1,
            np.asarray(headers.column(_ROWS), dtype=np.int64),
        )
        before = np.cumsum(counts)
        within = np.asarray(rows.column(_ROW), dtype=np.int64)
        columns[ID] = pa.array(before[np.asarray(rows.column(_PART), dtype=np.int64)] + within)
    columns.update({name: rows.column(name) for name in VALUES})
    return pa.table(columns).to_pandas()


def value(
    df: Any,
    scenarios: Any,
    *,
    discount_rate: Any = None,
    curve: Any = None,
    spread: Any = None,
    price: Any = None,
    by: str | Sequence[str] | None = None,
    as_of: Any = None,
    periods_per_year: int = 12,
    per_loan: bool = False,
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
    strict: bool = True,
) -> Any:
    """What the frame's book is worth, as a pandas DataFrame with the columns
    of ``quill_harbor_columnar.value(...).to_pandas()``.

    Book and segment values: each task projects its partition, the driver
    adds the sums in partition order, as ``project`` does, and only then
    values them (every solve on the combined flows), so the values agree
    with a single-machine call to 1e-12 relative and have the same bits on
    every run of a given partitioning. Per loan, each task values its own
    loans; ``id`` is the id column as text, or the row's position without
    one. Refused loans are raised or left out as ``errors`` says;
    ``failures(df, ages=True)`` lists them.
    """
    pa = require("pyarrow", _WHAT)
    a = checked_arguments(
        scenarios, discount_rate, curve, spread, price, by, as_of, periods_per_year, per_loan, errors, threads, strict
    )
    kwargs = {
        "discount_rate": discount_rate,
        "curve": curve,
        "spread": spread,
        "price": price,
        "by": a.names or None,
        "as_of": as_of,
        "periods_per_year": periods_per_year,
        "errors": errors,
        "threads": threads,
        "strict": strict,
    }

    def check(empty: Any) -> None:
        _value(empty, scenarios, per_loan=per_loan, **kwargs)

    multi = len(a.parsed) > 1
    if per_loan:
        return _loan_values(df, scenarios, a.names, multi, kwargs, check)
    leading, period, measures, spans = _summed_projection(
        df, scenarios, a.names, (), check, a.ppy, errors, threads, strict
    )
    flows = pa.table(long_columns(leading, period, measures, None, a.ppy))
    out, _ = book_values(flows, spans, multi, a)
    return pa.table(out).to_pandas()


# ---------------------------------------------------------------- failures


def failures(df: Any, *, ages: bool = False, strict: bool = True) -> Any:
    """A lazy Spark DataFrame of the loans the engine refuses, as
    ``errors="skip"`` leaves them out: ``index`` (the row's position),
    ``id`` (as text, null without an id column), ``code``, ``field`` and
    ``reason``. ``ages=True`` also lists the loans ``project`` and ``value``
    refuse for their ``age``, ``balance`` or ``fee``; ``strict`` is as for the
    call whose failures are listed."""
    F, T = _sql()
    prepared = _prepare(
        df,
        (AGE, *STANDING) if ages else (),
        lambda empty: _project(empty, {}, strict=strict) if ages else _cashflows(empty, strict=strict),
    )
    text = T.StringType()
    struct = _struct([(_ROW, T.LongType()), (ID, text), ("code", text), ("field", text), ("reason", text)])
    task = functools.partial(_failures_task, schema=_arrow(struct, df.sparkSession), ages=ages, strict=strict)
    out = _tasks(prepared, task, struct)
    return _positioned(out, prepared).select(F.col(_ROW).alias("index"), ID, "code", "field", "reason")
