"""Books that outgrow one machine: schedules and cash flows on a Dask cluster.

Each partition is computed by ``quill_harbor_columnar`` on the worker that
holds it, with the same bits as on one machine. Partitions of about 100,000
to 1,000,000 loans keep the per-task overhead small and the long-layout
result of a partition (about 8.7 MB per 1,000 loans of 360 periods) well
inside a worker's memory.
"""

from __future__ import annotations

import operator
import warnings
from collections.abc import Callable
from typing import Any, Literal

from . import scheduling
from ._internal import checks
from ._internal.deps import optional, require
from ._internal.names import (
    CASHFLOWS,
    DATE,
    ID,
    LOAN,
    LOANS,
    MEASURES,
    PERIOD,
    SCENARIO,
    SCHEDULE,
    SUMMED,
    TOTALS,
    VALUES,
)
from .errors import LoanError
from .projection import project as project_book
from .projection import value as value_book
from .projection.assembly import block_rows, dates_of
from .projection.dates import as_date, period_dates
from .projection.scenarios import parse_scenarios
from .projection.segments import by_names
from .projection.valuation import book_values, checked_arguments

_WHAT = "quill_harbor_columnar.dask"

# A frame this long in one partition is computed by one worker alone.
ONE_PARTITION_ROWS = 200_000


class PartitionWarning(UserWarning):
    """A large frame arrived as a single partition: one worker does all the work."""


def _one_partition_warning(rows: int) -> None:
    warnings.warn(
        f"the frame's {rows:,} loans arrive as one partition, so one worker computes them all; "
        "read a Parquet file with dd.read_parquet(path, split_row_groups=True), a CSV with "
        "dd.read_csv(path, blocksize='64MB'), or call .repartition(npartitions=...)",
        PartitionWarning,
        stacklevel=3,
    )


def _check_partitions(ddf: Any) -> bool:
    """Warns now when a large frame is one partition and its length is known
    without computing (Parquet metadata, a pandas frame); otherwise says
    whether its one partition must be measured when it is computed."""
    if ddf.npartitions != 1:
        return False
    try:
        lengths = ddf.expr._get_lengths()
    except Exception:  # noqa: BLE001 - the lengths are a hint dask may not have
        lengths = None
    if lengths is None:
        return True
    if sum(lengths) >= ONE_PARTITION_ROWS:
        _one_partition_warning(sum(lengths))
    return False


def _measure(pdf: Any, measure: bool) -> None:
    if measure and len(pdf) >= ONE_PARTITION_ROWS:
        _one_partition_warning(len(pdf))


def _threads_here(threads: int | None) -> int | None:
    """Engine threads for a task: as asked, else the thread count of the Dask
    worker running it, so that a worker of N threads keeps N engine threads
    busy instead of starting one per processor in every worker."""
    if threads is not None:
        return threads
    distributed = optional("distributed")
    if distributed is None:
        return None
    try:
        worker = distributed.get_worker()
    except ValueError:  # not on a worker
        return None
    state = getattr(worker, "state", worker)
    n = getattr(state, "nthreads", None)
    return n if isinstance(n, int) and n > 0 else None


def _check_steps(ddf: Any) -> None:
    """Dask turns a column of Python objects into text: rate steps must arrive as Arrow lists."""
    pa = require("pyarrow", _WHAT)
    if "rate_steps" not in ddf.columns:
        return
    dtype = ddf._meta["rate_steps"].dtype
    if not pa.types.is_list(getattr(dtype, "pyarrow_dtype", pa.null())) and not pa.types.is_large_list(
        getattr(dtype, "pyarrow_dtype", pa.null())
    ):
        raise TypeError(
            f"rate_steps is a column of {dtype}; Dask turns lists of Python objects into text, so hold "
            "the steps as Arrow lists: pandas.ArrowDtype(pyarrow.list_(pyarrow.struct([('per', "
            "pyarrow.int32()), ('rate', pyarrow.float64())])))"
        )


def _modules() -> tuple[Any, Any, Any]:
    return require("dask", _WHAT), require("dask.dataframe", _WHAT), require("pandas", _WHAT)


def _row_offsets(ddf: Any, parts: list[Any], errors: str) -> list[Any]:
    """The frame's row of each partition's first row, so that a LoanError
    names the frame's row, not the partition's. Taken from the lengths dask
    knows without computing (Parquet metadata, a pandas frame), otherwise
    chained from each partition's length. Under errors="skip" nothing is
    raised and no offset is needed."""
    if errors != "raise" or len(parts) < 2:
        return [0] * len(parts)
    try:
        lengths = ddf.expr._get_lengths()
    except Exception:  # noqa: BLE001 - the lengths are a hint dask may not have
        lengths = None
    if lengths is not None and len(lengths) == len(parts):
        starts = [0]
        for n in lengths[:-1]:
            starts.append(starts[-1] + int(n))
        return starts
    dask = require("dask", _WHAT)
    offsets: list[Any] = [0]
    for part in parts[:-1]:
        offsets.append(dask.delayed(operator.add)(offsets[-1], dask.delayed(len)(part)))
    return offsets


def _at_frame_rows(offset: int, compute: Callable[..., Any], *args: Any) -> Any:
    """``compute(*args)`` on a partition, a LoanError moved to the frame's row."""
    try:
        return compute(*args)
    except LoanError as e:
        if not offset:
            raise
        raise LoanError(e.index + offset, e.id, e.code, e.field, e.value, e.reason, e.terms) from None


def _arrow(pdf: Any) -> Any:
    pa = require("pyarrow", _WHAT)
    return pa.Table.from_pandas(pdf, preserve_index=False)


def _text_dtype() -> Any:
    """The dtype pandas gives a column of Python strings: object before
    pandas 3, its string dtype from then on."""
    pd = require("pandas", _WHAT)
    return pd.Series(["id"]).dtype


def schedules_meta(with_id: bool, index_dtype: Any = "int64") -> Any:
    """The empty pandas frame that describes ``schedules(ddf)``'s partitions:
    ``loan`` is text with an id column, else of the frame's index dtype."""
    np = require("numpy", _WHAT)
    pd = require("pandas", _WHAT)

    loan = pd.Series([], dtype=_text_dtype() if with_id else index_dtype)
    frame = {LOAN: loan}
    for name in SCHEDULE:
        frame[name] = pd.Series([], dtype=np.float32)
    return pd.DataFrame(frame)


def _partition_schedules(
    pdf: Any, errors: Literal["raise", "skip"], threads: int | None, measure: bool = False, strict: bool = True
) -> Any:
    np = require("numpy", _WHAT)
    pd = require("pandas", _WHAT)

    with_id = ID in pdf.columns
    _measure(pdf, measure)
    result = scheduling.schedules(
        _arrow(pdf), layout="long", errors=errors, threads=_threads_here(threads), strict=strict
    )
    cols = result.to_numpy()
    # Long rows carry their loan: the id when there is one, otherwise the
    # partition's own index label, whatever its type (text labels are
    # common), which Dask keeps unique across partitions when the frame has
    # a meaningful index. The offsets have one entry per input row; a failed
    # row spans no output rows.
    counts = np.diff(np.asarray(result.offsets))
    if with_id:
        loan = pd.Series(np.repeat(pdf[ID].to_numpy(dtype=object), counts), dtype=_text_dtype())
    else:
        loan = pd.Series(pdf.index.repeat(counts).array)
    frame = {LOAN: loan}
    for name in SCHEDULE:
        frame[name] = pd.Series(np.asarray(cols[name], dtype=np.float32))
    return pd.DataFrame(frame)


def schedules(
    ddf: Any, *, errors: Literal["raise", "skip"] = "raise", threads: int | None = None, strict: bool = True
) -> Any:
    """A Dask DataFrame of every loan's schedule in the long layout.

    Columns: ``loan`` (the id, or the loan's index label when there is no id
    column), then ``Per``, ``Cap``, ``Int``, ``Pmt`` and ``Bal`` as float32.
    Shape columns (``io_pers``, ``amort_pers``, ``rate_steps``, the steps
    held as Arrow lists: ``pandas.ArrowDtype``) and ``strict`` pass through
    to each partition; ``cashflows`` and ``project`` take them alike.
    """
    dask, dd, _ = _modules()
    _check_steps(ddf)
    meta = schedules_meta(ID in ddf.columns, ddf._meta.index.dtype)
    measure = _check_partitions(ddf)
    strict = checks.strict(strict)
    parts = ddf.to_delayed()
    return dd.from_delayed(
        [
            dask.delayed(_at_frame_rows)(offset, _partition_schedules, p, errors, threads, measure, strict)
            for p, offset in zip(parts, _row_offsets(ddf, parts, errors))
        ],
        meta=meta,
        verify_meta=True,
    )


def _partition_totals(
    pdf: Any, errors: Literal["raise", "skip"], threads: int | None, measure: bool = False, strict: bool = True
) -> dict[str, Any]:
    np = require("numpy", _WHAT)

    _measure(pdf, measure)
    table = scheduling.cashflows(_arrow(pdf), errors=errors, threads=_threads_here(threads), strict=strict).to_numpy()
    return {
        PERIOD: np.asarray(table[PERIOD], dtype=np.int64),
        LOANS: np.asarray(table[LOANS], dtype=np.int64),
        **{name: np.asarray(table[name], dtype=np.float64) for name in TOTALS},
    }


def _combine(a: dict[str, Any], b: dict[str, Any]) -> dict[str, Any]:
    """Totals of two parts, period by period; the longer part sets the length."""
    np = require("numpy", _WHAT)

    if len(a[PERIOD]) < len(b[PERIOD]):
        a, b = b, a
    out = {k: np.array(v, copy=True) for k, v in a.items()}
    n = len(b[PERIOD])
    for name in (*TOTALS, LOANS):
        out[name][:n] = out[name][:n] + b[name]
    return out


def _to_frame(totals: dict[str, Any]) -> Any:
    pd = require("pandas", _WHAT)
    return pd.DataFrame({name: totals[name] for name in CASHFLOWS})


def cashflows(
    ddf: Any, *, errors: Literal["raise", "skip"] = "raise", threads: int | None = None, strict: bool = True
) -> Any:
    """Portfolio totals per period, as a one-partition Dask DataFrame.

    Each partition is summed on its worker; the partial totals are combined
    pairwise up a tree in partition order, so for a fixed partitioning the
    result is the same on every run. Totals are float64 over the exact
    binary32 values: they agree with a single-machine ``cashflows`` to about
    1e-15 relative, the sums being grouped differently.
    """
    dask, dd, pd = _modules()
    _check_steps(ddf)
    measure = _check_partitions(ddf)
    strict = checks.strict(strict)
    delayed = ddf.to_delayed()
    parts = [
        dask.delayed(_at_frame_rows)(offset, _partition_totals, p, errors, threads, measure, strict)
        for p, offset in zip(delayed, _row_offsets(ddf, delayed, errors))
    ]
    if not parts:
        raise ValueError("the Dask DataFrame has no partitions")
    parts = [_tree(parts, _combine)]
    meta = pd.DataFrame(
        {
            PERIOD: pd.Series([], dtype="int64"),
            **{name: pd.Series([], dtype="float64") for name in TOTALS},
            LOANS: pd.Series([], dtype="int64"),
        }
    )
    return dd.from_delayed([dask.delayed(_to_frame)(parts[0])], meta=meta, verify_meta=True)


def _partition_projection(
    pdf: Any,
    scenarios: Any,
    by: list[str],
    periods_per_year: int,
    errors: Literal["raise", "skip"],
    threads: int | None,
    measure: bool = False,
    strict: bool = True,
) -> dict[tuple, Any]:
    """{(scenario, *segment values): float64 array of SUMMED x periods} of one partition."""
    np = require("numpy", _WHAT)

    _measure(pdf, measure)
    p = project_book(
        _arrow(pdf),
        scenarios,
        by=by or None,
        periods_per_year=periods_per_year,
        errors=errors,
        threads=_threads_here(threads),
        strict=strict,
    )
    t = p.to_arrow()
    sums = [t.column(name).to_numpy() for name in SUMMED]
    scenario = t.column(SCENARIO).to_numpy() if SCENARIO in t.column_names else np.zeros(t.num_rows, np.int64)
    keys = [t.column(name).to_pylist() for name in by]
    return {(int(scenario[b]), *(k[b] for k in keys)): np.stack([s[b:e] for s in sums]) for b, e in p.spans}


def _combine_projections(a: dict[tuple, Any], b: dict[tuple, Any]) -> dict[tuple, Any]:
    """Sums of two parts, segment by segment and period by period."""
    out = dict(a)
    for key, sums in b.items():
        if key not in out:
            out[key] = sums
            continue
        x, y = out[key], sums
        if x.shape[1] < y.shape[1]:
            x, y = y, x
        x = x.copy()
        x[:, : y.shape[1]] += y
        out[key] = x
    return out


# Seconds reach far past year 2262, where nanoseconds since 1970 run out, and
# cover every date a projection gives.
_DATES = "datetime64[s]"


def _labels(values: Any, meta: Any) -> Any:
    """A segment column of the key values, in the frame's dtype. A categorical
    read lazily (dd.read_parquet) has only a placeholder for its categories:
    they are the values the partitions held, in segment order."""
    _, dd, pd = _modules()
    dtype = meta.dtype
    if isinstance(dtype, pd.CategoricalDtype) and not dd.utils.has_known_categories(meta):
        categories = [v for v in dict.fromkeys(values.tolist()) if not (v is None or v != v)]
        dtype = pd.CategoricalDtype(categories, ordered=dtype.ordered)
    return pd.Series(values, dtype=dtype)


def _projection_frame(
    sums: dict[tuple, Any], multi: bool, by: list[str], meta: Any, as_of: Any, periods_per_year: int
) -> Any:
    np = require("numpy", _WHAT)
    pd = require("pandas", _WHAT)

    def order(key: tuple) -> tuple:  # segments sorted by value, nulls last, as one machine orders them
        return (key[0], *((v is None or v != v, v) for v in key[1:]))

    keys = sorted(sums, key=order)
    # Within a scenario every segment runs to the scenario's longest.
    length: dict[int, int] = {}
    for key in keys:
        length[key[0]] = max(length.get(key[0], 0), sums[key].shape[1])
    lengths = [length[key[0]] for key in keys]
    block, period, _ = block_rows(lengths)
    frame: dict[str, Any] = {}
    if multi:
        frame[SCENARIO] = np.array([key[0] for key in keys], dtype=np.int64)[block]
    for i, name in enumerate(by):
        values = np.empty(len(keys), dtype=object)
        values[:] = [key[1 + i] for key in keys]
        frame[name] = _labels(values[block], meta[name])
    frame[PERIOD] = period
    if as_of is not None:
        frame[DATE] = pd.Series(dates_of(as_of, period, periods_per_year).astype(_DATES))
    blocks = [np.pad(sums[key], ((0, 0), (0, n - sums[key].shape[1]))) for key, n in zip(keys, lengths)]
    data = np.concatenate(blocks, axis=1) if blocks else np.zeros((len(SUMMED), 0))
    for i, name in enumerate(SUMMED):
        frame[name] = data[i]
    frame["cashflow"] = (
        frame["scheduled_principal"] + frame["prepaid_principal"] + frame["recovery"] + frame["interest"]
    )
    frame["net_cashflow"] = frame["cashflow"] - frame["servicing"]
    return pd.DataFrame(frame)[list(meta.columns)]


def _summed_projection(
    ddf: Any,
    scenarios: Any,
    names: list[str],
    periods_per_year: int,
    errors: Literal["raise", "skip"],
    threads: int | None,
    strict: bool,
) -> Any:
    """The partitions' projection sums combined pairwise up a tree in partition order, as one delayed
    {(scenario, *segment values): SUMMED x periods}; a refused loan is named by its row in the frame."""
    dask, _, _ = _modules()
    _check_steps(ddf)
    measure = _check_partitions(ddf)
    strict = checks.strict(strict)
    delayed = ddf.to_delayed()
    parts = [
        dask.delayed(_at_frame_rows)(
            offset, _partition_projection, p, scenarios, names, periods_per_year, errors, threads, measure, strict
        )
        for p, offset in zip(delayed, _row_offsets(ddf, delayed, errors))
    ]
    if not parts:
        raise ValueError("the Dask DataFrame has no partitions")
    return _tree(parts, _combine_projections)


def _tree(parts: list[Any], combine: Callable[[Any, Any], Any]) -> Any:
    """Delayed partials combined pairwise up a tree, in partition order: the same grouping of the sums,
    so the same bits, on every run of a given partitioning."""
    dask, _, _ = _modules()
    while len(parts) > 1:
        parts = [
            dask.delayed(combine)(parts[i], parts[i + 1]) if i + 1 < len(parts) else parts[i]
            for i in range(0, len(parts), 2)
        ]
    return parts[0]


def project(
    ddf: Any,
    scenarios: Any,
    *,
    by: str | list[str] | None = None,
    as_of: Any = None,
    periods_per_year: int = 12,
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
    strict: bool = True,
) -> Any:
    """Projected cash flows of the frame, as a one-partition Dask DataFrame
    with the columns of ``quill_harbor_columnar.project(...).to_pandas()``
    (``date`` as datetime64).

    Each partition is projected on its worker; the sums per scenario, segment
    and period are combined pairwise up a tree in partition order, so for a
    fixed partitioning the result is the same on every run, and it agrees
    with a single-machine projection to about 1e-12 relative (the sums being
    grouped differently).
    """
    dask, dd, pd = _modules()
    names = by_names(by)
    multi = len(parse_scenarios(scenarios, periods_per_year)) > 1  # checks the scenarios before any task runs
    if as_of is not None:
        as_of = as_date(as_of)
        period_dates(as_of, 0, periods_per_year)
    missing = [n for n in names if n not in ddf.columns]
    if missing:
        raise ValueError(f"by names column {missing[0]!r}, which the frame does not have")
    sums = _summed_projection(ddf, scenarios, names, periods_per_year, errors, threads, strict)
    meta = pd.DataFrame(
        {
            **({SCENARIO: pd.Series([], dtype="int64")} if multi else {}),
            **{name: pd.Series([], dtype=ddf._meta[name].dtype) for name in names},
            PERIOD: pd.Series([], dtype="int32"),
            # A date dtype of pandas' own: object columns would become strings in Dask.
            **({DATE: pd.Series([], dtype=_DATES)} if as_of is not None else {}),
            **{name: pd.Series([], dtype="float64") for name in MEASURES},
        }
    )
    frame = dask.delayed(_projection_frame)(sums, multi, names, meta, as_of, periods_per_year)
    return dd.from_delayed([frame], meta=meta, verify_meta=True)


def _values_frame(
    sums: dict[tuple, Any],
    multi: bool,
    by: list[str],
    projection_meta: Any,
    meta: Any,
    periods_per_year: int,
    arguments: Any,
) -> Any:
    """The values of the combined sums, as one machine values its projection."""
    np = require("numpy", _WHAT)
    pa = require("pyarrow", _WHAT)
    frame = _projection_frame(sums, multi, by, projection_meta, None, periods_per_year)
    starts = np.flatnonzero(frame[PERIOD].to_numpy() == 0)
    bounds = np.stack([starts, np.append(starts[1:], len(frame))], axis=1) if len(starts) else np.zeros((0, 2))
    out, _ = book_values(pa.Table.from_pandas(frame, preserve_index=False), bounds, multi, arguments)
    return pa.table(out).to_pandas()[list(meta.columns)].astype(dict(meta.dtypes))


def _partition_values(
    pdf: Any, scenarios: Any, kwargs: dict[str, Any], with_id: bool, meta: Any, measure: bool = False
) -> Any:
    pd = require("pandas", _WHAT)
    _measure(pdf, measure)
    kwargs = dict(kwargs)
    threads = _threads_here(kwargs.pop("threads"))
    v = value_book(_arrow(pdf), scenarios, per_loan=True, threads=threads, **kwargs)
    frame = v.to_pandas()
    if not with_id:
        # The loan's index label in the frame, as dask.schedules gives it.
        frame[ID] = pd.Series(pdf.index.take(frame[ID].to_numpy()).array)
    return frame[list(meta.columns)].astype(dict(meta.dtypes))


def value(
    ddf: Any,
    scenarios: Any,
    *,
    discount_rate: Any = None,
    curve: Any = None,
    spread: Any = None,
    price: Any = None,
    by: str | list[str] | None = None,
    as_of: Any = None,
    periods_per_year: int = 12,
    per_loan: bool = False,
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
    strict: bool = True,
) -> Any:
    """What the frame's book is worth, as a Dask DataFrame with the columns
    of ``quill_harbor_columnar.value(...).to_pandas()``.

    Book and segment values: each partition is projected on its worker, the
    sums are combined pairwise in partition order, and only then valued
    (every solve on the combined flows), so the values do not depend on the
    partitioning beyond the float64 grouping of the sums. Per loan, each
    partition's loans are valued on its worker; without an ``id`` column a
    loan's ``id`` is its index label.
    """
    dask, dd, pd = _modules()
    a = checked_arguments(
        scenarios, discount_rate, curve, spread, price, by, as_of, periods_per_year, per_loan, errors, threads, strict
    )
    multi = len(a.parsed) > 1
    missing = [n for n in a.names if n not in ddf.columns]
    if missing:
        raise ValueError(f"by names column {missing[0]!r}, which the frame does not have")
    labels = {
        **({SCENARIO: pd.Series([], dtype="int64")} if multi else {}),
        **{name: pd.Series([], dtype=ddf._meta[name].dtype) for name in a.names},
    }
    values = {name: pd.Series([], dtype="float64") for name in VALUES}
    if per_loan:
        measure = _check_partitions(ddf)
        with_id = ID in ddf.columns
        if isinstance(price, str) and price not in ddf.columns:
            raise ValueError(f"price names column {price!r}, which the frame does not have")
        ident = pd.Series([], dtype=_text_dtype() if with_id else ddf._meta.index.dtype)
        meta = pd.DataFrame({**labels, ID: ident, **values})
        kwargs = {
            "discount_rate": discount_rate,
            "curve": curve,
            "spread": spread,
            "price": price,
            "by": a.names or None,
            "periods_per_year": periods_per_year,
            "errors": errors,
            "threads": threads,
            "strict": strict,
        }
        _check_steps(ddf)
        parts = ddf.to_delayed()
        return dd.from_delayed(
            [
                dask.delayed(_at_frame_rows)(offset, _partition_values, p, scenarios, kwargs, with_id, meta, measure)
                for p, offset in zip(parts, _row_offsets(ddf, parts, errors))
            ],
            meta=meta,
            verify_meta=True,
        )
    sums = _summed_projection(ddf, scenarios, a.names, periods_per_year, errors, threads, strict)
    projection_meta = pd.DataFrame(
        {**labels, PERIOD: pd.Series([], dtype="int32"), **{name: pd.Series([], dtype="float64") for name in MEASURES}}
    )
    meta = pd.DataFrame({**labels, **values})
    frame = dask.delayed(_values_frame)(sums, multi, a.names, projection_meta, meta, a.ppy, a)
    return dd.from_delayed([frame], meta=meta, verify_meta=True)
