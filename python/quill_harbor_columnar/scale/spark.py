"""Books held in Spark: schedules, cash flows, projections and values over Spark DataFrames.

Every task hands its Arrow batches (``DataFrame.mapInArrow``) straight to
``quill_harbor_columnar`` on the executor: no pandas and no Python per row.
``schedules`` is a lazy Spark DataFrame of the tasks' Arrow batches;
``cashflows``, ``project`` and ``value`` return one row per task, its
partition's partial (``projection.partials``) or, per loan, its values,
with its row count and its failure; the driver combines the partials
pairwise up one tree in partition order and finishes them once.

Rows are positioned by partition: a loan's position is the number of rows in
the partitions before its own plus its place within that partition, which is
its row in the frame when the frame's partitions come in a fixed order (files,
a parallelized collection, ``orderBy``). A frame whose rows are reordered on
every evaluation (a shuffle without a sort) has no stable positions: give it
an ``id`` column.
"""

from __future__ import annotations

import functools
import pickle
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Literal

from .._internal.deps import require
from .._internal.names import ID, LOAN, MEASURES, SCHEDULE, VALUES
from ..errors import LoanError
from ..projection.partials import Call, finish, partial, tree
from ..scheduling import Precision
from ..scheduling import schedules as _schedules
from .tasks import threads_here

__all__ = ["MEASURES", "VALUES", "cashflows", "failures", "project", "schedules", "value"]

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
_ROWS = "__qh_rows"  # rows of a task's partition
_OFFSET = "__qh_offset"  # rows in the partitions before this one
_RESULT = "__qh_result"  # a task's (partial or values, LoanError or None), pickled

# Rows in one Arrow batch handed back to Spark by schedules.
_OUT_ROWS = 1 << 16


def _sql() -> tuple[Any, Any]:
    """pyspark.sql.functions and pyspark.sql.types."""
    return require("pyspark.sql.functions", _WHAT), require("pyspark.sql.types", _WHAT)


def _arrow(struct: Any, session: Any) -> Any:
    """The Arrow schema of Spark columns ``struct`` as Spark hands them to a
    task and takes them back (large text types when the session asks)."""
    types = require("pyspark.sql.pandas.types", _WHAT)
    large = session.conf.get("spark.sql.execution.arrow.useLargeVarTypes", "false") == "true"
    return types.to_arrow_schema(struct, prefers_large_types=large)


def _prepare(df: Any, names: Sequence[str]) -> tuple[Any, Any]:
    """The frame cut to the columns ``names`` a task reads, and the Arrow
    schema a task sees them in."""
    _, T = _sql()
    if not isinstance(df, require("pyspark.sql", _WHAT).DataFrame):
        raise TypeError(f"df must be a pyspark.sql.DataFrame, not {type(df).__name__}")
    if ID in df.columns and not isinstance(df.schema[ID].dataType, (T.StringType, T.IntegralType)):
        raise TypeError(f"column 'id' must hold strings or integers, not {df.schema[ID].dataType.simpleString()}")
    prepared = df.select(*names)
    return prepared, _arrow(prepared.schema, df.sparkSession)


def _tasks(prepared: Any, task: Any, struct: Any) -> Any:
    """``task`` over every partition of ``prepared``, its rows tagged with the partition."""
    F, _ = _sql()
    return prepared.mapInArrow(task, struct).withColumn(_PART, F.spark_partition_id())


def _struct(fields: Iterable[tuple[str, Any]]) -> Any:
    _, T = _sql()
    return T.StructType([T.StructField(name, t, True) for name, t in fields])


def _task_cpus() -> int | None:
    """The task's share of its executor, ``spark.task.cpus``."""
    context = require("pyspark", _WHAT).TaskContext.get()
    try:
        return context.cpus() if context is not None else None
    except Exception:  # noqa: BLE001 - a context without the count: the pool's own size
        return None


_threads_here = functools.partial(threads_here, share=_task_cpus)


def _rows(batches: Iterable[Any]) -> Iterator[Any]:
    """A task's batches that hold rows: Spark may hand an empty one."""
    return (b for b in batches if b.num_rows)


def _loans(batch: Any) -> Any:
    """The columns the engine reads for a schedule: the id stays out (the
    labels are taken from the frame's own column, whatever its type)."""
    return batch.drop_columns([ID]) if ID in batch.schema.names else batch


def _text(ids: Any) -> Any:
    pa = require("pyarrow", _WHAT)
    return ids if pa.types.is_string(ids.type) or pa.types.is_large_string(ids.type) else ids.cast(pa.string())


def _text_ids(table: Any) -> Any:
    """A partition with its id as text, as a failure and a per-loan value name it."""
    if ID not in table.column_names:
        return table
    return table.set_column(table.column_names.index(ID), ID, _text(table.column(ID)))


def _batch(schema: Any, rows: int, columns: dict[str, Any]) -> Any:
    """A record batch of ``schema``; columns not given are null."""
    pa = require("pyarrow", _WHAT)
    arrays = []
    for field in schema:
        value = columns.get(field.name)
        if value is None:
            value = pa.nulls(rows, field.type)
        elif isinstance(value, pa.ChunkedArray):
            value = value.combine_chunks()
        arrays.append(value.cast(field.type) if isinstance(value, pa.Array) else pa.array(value, field.type))
    return pa.RecordBatch.from_arrays(arrays, schema=schema)


def _result_task(batches: Iterable[Any], *, schema: Any, given: Any, call: Call) -> Iterator[Any]:
    """A partition's partial (per loan: its values) and its rows; a LoanError as data."""
    pa = require("pyarrow", _WHAT)
    table = _text_ids(pa.Table.from_batches(list(_rows(batches)), schema=given))
    result, error = None, None
    try:
        if call.per_loan:
            result = call.run(table, _threads_here(None)).to_arrow()
        else:
            result = partial(call, table, threads=_threads_here(None))
    except LoanError as e:
        error = e
    yield _batch(schema, 1, {_ROWS: [table.num_rows], _RESULT: [pickle.dumps((result, error))]})


def _results(df: Any, call: Call) -> tuple[list[Any], list[int]]:
    """Every partition's partial (or values), in partition order, and the
    rows of the partitions before each; the earliest failure raised here,
    its row placed after every earlier partition's."""
    np = require("numpy", _WHAT)
    _, T = _sql()
    prepared, given = _prepare(df, call.columns(df.columns))
    empty = _text_ids(given.empty_table())
    # Arguments and column types refused here as on one machine.
    filler = call.run(empty).to_arrow() if call.per_loan else partial(call, empty)
    if not call.per_loan:
        finish(call, filler)
    struct = _struct([(_ROWS, T.LongType()), (_RESULT, T.BinaryType())])
    task = functools.partial(_result_task, schema=_arrow(struct, df.sparkSession), given=given, call=call)
    t = _tasks(prepared, task, struct).toArrow()
    # Every partition's task runs, an empty one too, so the parts are the
    # frame's (a frame of no partitions is one empty part).
    count = max(t.column(_PART).to_pylist(), default=0) + 1
    rows, results = np.zeros(count, np.int64), [None] * count
    for part, n, payload in zip(t.column(_PART).to_pylist(), t.column(_ROWS).to_pylist(), t.column(_RESULT)):
        rows[part] = n
        results[part] = pickle.loads(payload.as_py())
    before = (np.cumsum(rows) - rows).tolist()
    for part, got in enumerate(results):
        if got is not None and got[1] is not None:
            e = got[1]
            raise LoanError(e.index + before[part], e.id, e.code, e.field, e.value, e.reason, e.terms)
    return [filler if got is None else got[0] for got in results], before


def _schedules_task(
    batches: Iterable[Any],
    *,
    schema: Any,
    skip: bool,
    threads: int | None,
    label: str | None,
    strict: bool,
    precision: Any = "binary32",
) -> Iterator[Any]:
    """Long-layout schedules of a partition, batch by batch: ``loan`` is the
    id, or (label None) the row within the partition, for the plan to turn
    into the row's position."""
    np = require("numpy", _WHAT)
    pa = require("pyarrow", _WHAT)
    base = 0
    for batch in _rows(batches):
        result = _schedules(
            _loans(batch),
            layout="long",
            errors="skip",
            threads=_threads_here(threads),
            strict=strict,
            precision=precision,
        )
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


def _failures_task(batches: Iterable[Any], *, schema: Any, call: Call) -> Iterator[Any]:
    """The failures of a partition's rows, as the row within the partition."""
    np = require("numpy", _WHAT)
    pa = require("pyarrow", _WHAT)
    base = 0
    for batch in _rows(batches):
        found = call.run(_loans(batch), _threads_here(None)).errors
        if len(found):
            t = pa.record_batch(found)
            index = np.asarray(t.column("index"), dtype=np.int64)
            ids = _text(batch.column(ID)).take(pa.array(index)) if ID in batch.schema.names else None
            columns = {name: t.column(name) for name in ("code", "field", "reason")}
            yield _batch(schema, len(index), {_ROW: index + base, ID: ids, **columns})
        base += batch.num_rows


def _count_task(batches: Iterable[Any], *, schema: Any) -> Iterator[Any]:
    yield _batch(schema, 1, {_ROWS: [sum(b.num_rows for b in batches)]})


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


def schedules(
    df: Any,
    *,
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
    strict: bool = True,
    precision: Precision = "binary32",
) -> Any:
    """A lazy Spark DataFrame of every loan's schedule in the long layout.

    Columns: ``loan`` (the id, of the id column's type, or the row's position
    as a long when the frame has no id column), then ``Per``, ``Cap``,
    ``Int``, ``Pmt`` and ``Bal`` as float: the single-machine bits.
    ``errors="raise"`` checks the frame first, in one Spark job, and raises
    ``LoanError`` here for the earliest failing loan; ``errors="skip"``
    leaves failing loans out (``failures(df)`` lists them) and runs nothing
    until the result is used. ``threads``: engine threads per task, by
    default ``spark.task.cpus``. ``strict`` and ``precision`` are as for the
    single-machine call (``"cent"``: the values as double).
    """
    F, T = _sql()
    call = Call.of("cashflows", errors=errors, threads=threads, strict=strict, precision=precision)
    prepared, given = _prepare(df, call.columns(df.columns))
    _schedules(_text_ids(given.empty_table()), errors=errors, threads=threads, strict=strict, precision=precision)
    if not call.checked.skip:
        _results(df, call)  # the earliest failure, raised here
    label = ID if ID in df.columns else None
    fields = [(LOAN, df.schema[ID].dataType) if label else (_ROW, T.LongType())]
    value = T.DoubleType() if call.checked.cents else T.FloatType()
    struct = _struct([*fields, *((name, value) for name in SCHEDULE)])
    task = functools.partial(
        _schedules_task,
        schema=_arrow(struct, df.sparkSession),
        skip=call.checked.skip,
        threads=threads,
        label=label,
        strict=strict,
        precision=precision,
    )
    if label is not None:
        return prepared.mapInArrow(task, struct)
    return _positioned(_tasks(prepared, task, struct), prepared).select(F.col(_ROW).alias(LOAN), *SCHEDULE)


def cashflows(df: Any, **keywords: Any) -> Any:
    """Portfolio totals per period, as a pandas DataFrame with the columns
    of ``quill_harbor_columnar.cashflows(...).to_pandas()``; the keywords
    are those of ``cashflows``.

    Each task sums its partition as ``cashflows`` does on one machine; the
    driver combines the partitions' sums pairwise in partition order, so for
    a given partitioning the result has the same bits on every run, and it
    agrees with a single-machine call to 1e-12 relative (the sums being
    grouped differently). ``errors="raise"`` raises ``LoanError`` here for
    the earliest failing loan; ``"skip"`` leaves failing loans out
    (``failures(df)`` lists them).
    """
    call = Call.of("cashflows", **keywords)
    return finish(call, tree(_results(df, call)[0])).to_pandas()


def project(df: Any, scenarios: Any, **keywords: Any) -> Any:
    """Projected cash flows of the frame, as a pandas DataFrame with the
    columns of ``quill_harbor_columnar.project(...).to_pandas()``; the
    keywords are those of ``project``.

    Each task projects its partition; the driver combines the partitions'
    sums per scenario, segment and period pairwise in partition order, so
    for a given partitioning the result has the same bits on every run, and
    it agrees with a single-machine projection to 1e-12 relative. Segments
    of ``by`` whose loans all failed still have their rows, as on one
    machine.
    """
    call = Call.of("project", scenarios, **keywords)
    if call.per_loan:
        raise ValueError("per_loan=True is not offered on a Spark frame: project each partition's loans instead")
    return finish(call, tree(_results(df, call)[0])).to_pandas()


def value(df: Any, scenarios: Any, **keywords: Any) -> Any:
    """What the frame's book is worth, as a pandas DataFrame with the columns
    of ``quill_harbor_columnar.value(...).to_pandas()``; the keywords are
    those of ``value``.

    Book and segment values: each task projects its partition, the driver
    combines the sums as ``project`` does, and only then values them (every
    solve on the combined flows), so the values agree with a single-machine
    call to 1e-12 relative and have the same bits on every run of a given
    partitioning. Per loan, each task values its own loans; ``id`` is the id
    column as text, or the row's position without one. Refused loans are
    raised or left out as ``errors`` says; ``failures(df, ages=True)`` lists
    them.
    """
    pa = require("pyarrow", _WHAT)
    call = Call.of("value", scenarios, **keywords)
    results, before = _results(df, call)
    if not call.per_loan:
        return finish(call, tree(results)).to_pandas()
    if ID not in df.columns:  # the loan's position: the rows of the partitions before its own, then its row
        add = require("pyarrow.compute", _WHAT).add
        results = [t.set_column(t.column_names.index(ID), ID, add(t.column(ID), b)) for t, b in zip(results, before)]
    return pa.concat_tables(results).to_pandas()


def failures(df: Any, *, ages: bool = False, strict: bool = True) -> Any:
    """A lazy Spark DataFrame of the loans the engine refuses, as
    ``errors="skip"`` leaves them out: ``index`` (the row's position),
    ``id`` (as text, null without an id column), ``code``, ``field`` and
    ``reason``. ``ages=True`` also lists the loans ``project`` and ``value``
    refuse for their ``age``, ``balance`` or ``fee``; ``strict`` is as for the
    call whose failures are listed."""
    F, T = _sql()
    # The contractual projection refuses what the engine refuses and bad ages.
    call = (
        Call.of("project", {}, errors="skip", strict=strict)
        if ages
        else Call.of("cashflows", errors="skip", strict=strict)
    )
    prepared, given = _prepare(df, call.columns(df.columns))
    call.run(_text_ids(given.empty_table()))
    text = T.StringType()
    struct = _struct([(_ROW, T.LongType()), (ID, text), ("code", text), ("field", text), ("reason", text)])
    task = functools.partial(_failures_task, schema=_arrow(struct, df.sparkSession), call=call)
    out = _tasks(prepared, task, struct)
    return _positioned(out, prepared).select(F.col(_ROW).alias("index"), ID, "code", "field", "reason")
