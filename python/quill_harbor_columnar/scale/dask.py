"""Books that outgrow one machine: schedules, cash flows, projections and values on a Dask cluster.

Each partition is computed by ``quill_harbor_columnar`` on the worker that
holds it. Sums travel as ``projection.partials`` partials, combined pairwise
up one tree in partition order, and are finished once: for a given
partitioning, the bits of a single machine's partial path. Partitions of
about 100,000 to 1,000,000 loans keep the per-task overhead small and the
long-layout result of a partition (about 8.7 MB per 1,000 loans of 360
periods) well inside a worker's memory.
"""

from __future__ import annotations

import functools
import operator
import warnings
from collections.abc import Callable
from typing import Any, Literal

from .. import scheduling
from .._internal import checks
from .._internal.deps import optional, require
from .._internal.names import DATE, ID, LOAN, SCHEDULE
from ..errors import LoanError
from ..projection.partials import Call, combine, finish, partial, tree
from ..scheduling import Precision
from .tasks import threads_here

__all__ = ["ONE_PARTITION_ROWS", "PartitionWarning", "cashflows", "project", "schedules", "schedules_meta", "value"]

_WHAT = "quill_harbor_columnar.dask"

# A frame this long in one partition is computed by one worker alone.
ONE_PARTITION_ROWS = 200_000

# Seconds reach far past year 2262, where nanoseconds since 1970 run out, and
# cover every date a projection gives.
_DATES = "datetime64[s]"


class PartitionWarning(UserWarning):
    """A large frame arrived as a single partition: one worker does all the work."""


def _one_partition_warning(rows: int) -> None:
    warnings.warn(
        f"the frame's {rows:,} loans arrive as one partition, so one worker computes them all; "
        "read a Parquet file with dd.read_parquet(path, split_row_groups=True), a CSV with "
        "dd.read_csv(path, blocksize='64MB'), or call .repartition(npartitions=...)",
        PartitionWarning,
        stacklevel=5,
    )


def _lengths(ddf: Any) -> Any:
    """The partitions' lengths when dask knows them without computing (Parquet metadata, a pandas frame)."""
    try:
        return ddf.expr._get_lengths()
    except Exception:  # noqa: BLE001 - the lengths are a hint dask may not have
        return None


def _check_partitions(ddf: Any) -> bool:
    """Warns now when a large frame is one partition and its length is known
    without computing; otherwise says whether its one partition must be
    measured when it is computed."""
    if ddf.npartitions != 1:
        return False
    lengths = _lengths(ddf)
    if lengths is None:
        return True
    if sum(lengths) >= ONE_PARTITION_ROWS:
        _one_partition_warning(sum(lengths))
    return False


def _worker_threads() -> int | None:
    """The thread count of the Dask worker running this task, if any."""
    distributed = optional("distributed")
    if distributed is None:
        return None
    try:
        worker = distributed.get_worker()
    except ValueError:  # not on a worker
        return None
    return getattr(getattr(worker, "state", worker), "nthreads", None)


_threads_here = functools.partial(threads_here, share=_worker_threads)


def _check_steps(ddf: Any) -> None:
    """Dask turns a column of Python objects into text: rate steps must arrive as Arrow lists."""
    pa = require("pyarrow", _WHAT)
    if "rate_steps" not in ddf.columns:
        return
    dtype = ddf._meta["rate_steps"].dtype
    arrow = getattr(dtype, "pyarrow_dtype", pa.null())
    if not pa.types.is_list(arrow) and not pa.types.is_large_list(arrow):
        raise TypeError(
            f"rate_steps is a column of {dtype}; Dask turns lists of Python objects into text, so hold "
            "the steps as Arrow lists: pandas.ArrowDtype(pyarrow.list_(pyarrow.struct([('per', "
            "pyarrow.int32()), ('rate', pyarrow.float64())])))"
        )


def _modules() -> tuple[Any, Any, Any]:
    return require("dask", _WHAT), require("dask.dataframe", _WHAT), require("pandas", _WHAT)


def _partitions(ddf: Any, errors: str) -> tuple[list[Any], list[Any], bool]:
    """The delayed partitions, the frame's row of each one's first row (so
    that a LoanError names the frame's row: from the lengths dask knows, else
    chained from each partition's length; zeros under errors="skip", where
    nothing is raised) and whether a lone partition must be measured."""
    dask, _, _ = _modules()
    _check_steps(ddf)
    measure = _check_partitions(ddf)
    parts = ddf.to_delayed()
    if not parts:
        raise ValueError("the Dask DataFrame has no partitions")
    if errors != "raise" or len(parts) < 2:
        return parts, [0] * len(parts), measure
    lengths = _lengths(ddf)
    if lengths is not None and len(lengths) == len(parts):
        return parts, [sum(lengths[:i]) for i in range(len(parts))], measure
    offsets: list[Any] = [0]
    for part in parts[:-1]:
        offsets.append(dask.delayed(operator.add)(offsets[-1], dask.delayed(len)(part)))
    return parts, offsets, measure


def _on(pdf: Any, measure: bool, offset: Any, compute: Callable[..., Any], *args: Any) -> Any:
    """``compute(pdf as Arrow, *args)`` on a partition, a LoanError moved to the frame's row."""
    if measure and len(pdf) >= ONE_PARTITION_ROWS:
        _one_partition_warning(len(pdf))
    try:
        return compute(require("pyarrow", _WHAT).Table.from_pandas(pdf, preserve_index=False), *args)
    except LoanError as e:
        if not offset:
            raise
        raise LoanError(e.index + offset, e.id, e.code, e.field, e.value, e.reason, e.terms) from None


def _text_dtype() -> Any:
    """The dtype pandas gives a column of Python strings: object before pandas 3, its string dtype from then on."""
    return require("pandas", _WHAT).Series(["id"]).dtype


def schedules_meta(with_id: bool, index_dtype: Any = "int64", cents: bool = False) -> Any:
    """The empty frame of ``schedules(ddf)``'s partitions: ``loan`` text with an id column, else of the
    frame's index dtype; the values float32, or float64 in cent mode."""
    np, pd = require("numpy", _WHAT), require("pandas", _WHAT)
    loan = pd.Series([], dtype=_text_dtype() if with_id else index_dtype)
    value = np.float64 if cents else np.float32
    return pd.DataFrame({LOAN: loan, **{name: pd.Series([], dtype=value) for name in SCHEDULE}})


def _schedules(table: Any, pdf: Any, errors: Any, threads: int | None, strict: bool, precision: Any) -> Any:
    np, pd = require("numpy", _WHAT), require("pandas", _WHAT)
    result = scheduling.schedules(
        table, layout="long", errors=errors, threads=_threads_here(threads), strict=strict, precision=precision
    )
    value = np.float64 if precision == "cent" else np.float32
    cols = result.to_numpy()
    # Long rows carry their loan: the id when there is one, otherwise the
    # partition's own index label, whatever its type (text labels are
    # common), which Dask keeps unique across partitions when the frame has
    # a meaningful index. A failed row spans no output rows.
    counts = np.diff(np.asarray(result.offsets))
    if ID in pdf.columns:
        loan = pd.Series(np.repeat(pdf[ID].to_numpy(dtype=object), counts), dtype=_text_dtype())
    else:
        loan = pd.Series(pdf.index.repeat(counts).array)
    return pd.DataFrame({LOAN: loan, **{name: pd.Series(np.asarray(cols[name], value)) for name in SCHEDULE}})


def schedules(
    ddf: Any,
    *,
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
    strict: bool = True,
    precision: Precision = "binary32",
) -> Any:
    """A Dask DataFrame of every loan's schedule in the long layout.

    Columns: ``loan`` (the id, or the loan's index label when there is no id
    column), then ``Per``, ``Cap``, ``Int``, ``Pmt`` and ``Bal`` as float32.
    Shape columns (``io_pers``, ``amort_pers``, ``rate_steps``, the steps
    held as Arrow lists: ``pandas.ArrowDtype``) and ``strict`` pass through
    to each partition; ``cashflows`` and ``project`` take them alike, and ``precision`` (float64 with "cent").
    """
    dask, dd, _ = _modules()
    strict = checks.strict(strict)
    cents = checks.cents(precision)
    parts, offsets, measure = _partitions(ddf, errors)
    return dd.from_delayed(
        [
            dask.delayed(_on)(p, measure, offset, _schedules, p, errors, threads, strict, precision)
            for p, offset in zip(parts, offsets)
        ],
        meta=schedules_meta(ID in ddf.columns, ddf._meta.index.dtype, cents),
        verify_meta=True,
    )


def _labels(values: Any, meta: Any) -> Any:
    """A segment column in the frame's dtype. A categorical read lazily
    (dd.read_parquet) has only a placeholder for its categories: they are
    the values the partitions held, in segment order."""
    _, dd, pd = _modules()
    dtype = meta.dtype
    if isinstance(dtype, pd.CategoricalDtype) and not dd.utils.has_known_categories(meta) and len(values):
        categories = [v for v in dict.fromkeys(values.tolist()) if not (v is None or v != v)]
        dtype = pd.CategoricalDtype(categories, ordered=dtype.ordered)
    return pd.Series(values, dtype=dtype)


def _frame(result: Any, frame_meta: Any, by: list[str]) -> Any:
    """A single-machine result as pandas, its segment columns in the frame's
    dtypes and its dates as datetime64 (a date column of pandas' own: Dask
    would turn objects into text)."""
    np, pa = require("numpy", _WHAT), require("pyarrow", _WHAT)
    t = result if isinstance(result, pa.Table) else result.to_arrow()
    frame = t.drop_columns([DATE]).to_pandas() if DATE in t.column_names else t.to_pandas()
    if DATE in t.column_names:
        dates = np.asarray(t.column(DATE).to_numpy()).astype(_DATES)
        frame.insert(t.column_names.index(DATE), DATE, dates)
    for name in by:
        frame[name] = _labels(frame[name].to_numpy(dtype=object), frame_meta[name])
    return frame


def _summed(ddf: Any, call: Call) -> Any:
    """One lazy frame: every partition's partial, combined up one tree in partition order, finished."""
    dask, dd, _ = _modules()
    names = call.checked.names
    empty = _on(ddf._meta, False, 0, _partial, call, 0)  # the frame's columns refused here as on one machine
    meta = _frame(finish(call, empty), ddf._meta, names)
    parts, offsets, measure = _partitions(ddf, call.keywords["errors"])
    partials = [dask.delayed(_on)(p, measure, 0, _partial, call, o) for p, o in zip(parts, offsets)]
    done = dask.delayed(finish)(call, tree(partials, dask.delayed(combine)))
    return dd.from_delayed([dask.delayed(_frame)(done, ddf._meta, names)], meta=meta, verify_meta=True)


def _partial(table: Any, call: Call, offset: Any) -> Any:
    return partial(call, table, threads=_threads_here(None), offset=offset)


def cashflows(ddf: Any, **keywords: Any) -> Any:
    """Portfolio totals per period, as a one-partition Dask DataFrame with
    the columns of ``cashflows(...).to_pandas()``; the keywords are those of
    ``cashflows``. Each partition is summed on its worker and the partial
    totals combined pairwise up a tree in partition order, so for a fixed
    partitioning the result is the same on every run."""
    return _summed(ddf, Call.of("cashflows", **keywords))


def project(ddf: Any, scenarios: Any, **keywords: Any) -> Any:
    """Projected cash flows of the frame, as a one-partition Dask DataFrame
    with the columns of ``quill_harbor_columnar.project(...).to_pandas()``
    (``date`` as datetime64); the keywords are those of ``project``.

    Each partition is projected on its worker; the sums per scenario, segment
    and period are combined pairwise up a tree in partition order, so for a
    fixed partitioning the result is the same on every run, and it agrees
    with a single-machine projection to about 1e-12 relative (the sums being
    grouped differently).
    """
    call = Call.of("project", scenarios, **keywords)
    if call.per_loan:
        raise ValueError("per_loan=True is not offered on a Dask frame: project each partition's loans instead")
    return _summed(ddf, call)


def _loan_values(table: Any, pdf: Any, call: Call, frame_meta: Any) -> Any:
    v = _frame(call.run(table, _threads_here(None)), frame_meta, call.checked.names)
    if ID not in pdf.columns:
        # The loan's index label in the frame, as dask.schedules gives it.
        v[ID] = require("pandas", _WHAT).Series(pdf.index.take(v[ID].to_numpy()).array)
    return v


def value(ddf: Any, scenarios: Any, **keywords: Any) -> Any:
    """What the frame's book is worth, as a Dask DataFrame with the columns
    of ``quill_harbor_columnar.value(...).to_pandas()``; the keywords are
    those of ``value``.

    Book and segment values: each partition is projected on its worker, the
    sums are combined pairwise in partition order, and only then valued
    (every solve on the combined flows), so the values do not depend on the
    partitioning beyond the float64 grouping of the sums. Per loan, each
    partition's loans are valued on its worker; without an ``id`` column a
    loan's ``id`` is its index label.
    """
    dask, dd, pd = _modules()
    call = Call.of("value", scenarios, **keywords)
    if not call.per_loan:
        return _summed(ddf, call)
    meta = _on(ddf._meta, False, 0, _loan_values, ddf._meta, call, ddf._meta)
    meta[ID] = pd.Series([], dtype=_text_dtype() if ID in ddf.columns else ddf._meta.index.dtype)
    parts, offsets, measure = _partitions(ddf, call.keywords["errors"])
    return dd.from_delayed(
        [dask.delayed(_on)(p, measure, o, _loan_values, p, call, ddf._meta) for p, o in zip(parts, offsets)],
        meta=meta,
        verify_meta=True,
    )
