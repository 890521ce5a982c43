"""Books that outgrow one machine: schedules and cash flows on a Dask cluster.

Each partition is computed by ``quill_harbor_columnar`` on the worker that
holds it, with the same bits as on one machine. Partitions of about 100,000
to 1,000,000 loans keep the per-task overhead small and the long-layout
result of a partition (about 8.7 MB per 1,000 loans of 360 periods) well
inside a worker's memory.
"""

from __future__ import annotations

import warnings
from typing import Any, Literal

from ._columns import CASHFLOWS, ID, SCHEDULE, TOTALS
from ._optional import require

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
        PartitionWarning, stacklevel=3)


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
    try:
        from distributed import get_worker

        worker = get_worker()
    except (ImportError, ValueError):
        return None
    state = getattr(worker, "state", worker)
    n = getattr(state, "nthreads", None)
    return n if isinstance(n, int) and n > 0 else None


def _modules() -> tuple[Any, Any, Any]:
    return require("dask", _WHAT), require("dask.dataframe", _WHAT), require("pandas", _WHAT)


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
    frame = {"loan": loan}
    for name in SCHEDULE:
        frame[name] = pd.Series([], dtype=np.float32)
    return pd.DataFrame(frame)


def _partition_schedules(pdf: Any, errors: Literal["raise", "skip"], threads: int | None,
                         measure: bool = False) -> Any:
    np = require("numpy", _WHAT)
    pd = require("pandas", _WHAT)

    from . import schedules

    with_id = ID in pdf.columns
    _measure(pdf, measure)
    result = schedules(_arrow(pdf), layout="long", errors=errors, threads=_threads_here(threads))
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
    frame = {"loan": loan}
    for name in SCHEDULE:
        frame[name] = pd.Series(np.asarray(cols[name], dtype=np.float32))
    return pd.DataFrame(frame)


def schedules(ddf: Any, *, errors: Literal["raise", "skip"] = "raise", threads: int | None = None) -> Any:
    """A Dask DataFrame of every loan's schedule in the long layout.

    Columns: ``loan`` (the id, or the loan's index label when there is no id
    column), then ``Per``, ``Cap``, ``Int``, ``Pmt`` and ``Bal`` as float32.
    """
    _modules()
    meta = schedules_meta(ID in ddf.columns, ddf._meta.index.dtype)
    measure = _check_partitions(ddf)
    return ddf.map_partitions(_partition_schedules, errors, threads, measure, meta=meta, enforce_metadata=True)


def _partition_totals(pdf: Any, errors: Literal["raise", "skip"], threads: int | None,
                      measure: bool = False) -> dict[str, Any]:
    np = require("numpy", _WHAT)

    from . import cashflows

    _measure(pdf, measure)
    table = cashflows(_arrow(pdf), errors=errors, threads=_threads_here(threads)).to_numpy()
    return {
        "period": np.asarray(table["period"], dtype=np.int64),
        "loans": np.asarray(table["loans"], dtype=np.int64),
        **{name: np.asarray(table[name], dtype=np.float64) for name in TOTALS},
    }


def _combine(a: dict[str, Any], b: dict[str, Any]) -> dict[str, Any]:
    """Totals of two parts, period by period; the longer part sets the length."""
    np = require("numpy", _WHAT)

    if len(a["period"]) < len(b["period"]):
        a, b = b, a
    out = {k: np.array(v, copy=True) for k, v in a.items()}
    n = len(b["period"])
    for name in (*TOTALS, "loans"):
        out[name][:n] = out[name][:n] + b[name]
    return out


def _to_frame(totals: dict[str, Any]) -> Any:
    pd = require("pandas", _WHAT)
    return pd.DataFrame({name: totals[name] for name in CASHFLOWS})


def cashflows(ddf: Any, *, errors: Literal["raise", "skip"] = "raise", threads: int | None = None) -> Any:
    """Portfolio totals per period, as a one-partition Dask DataFrame.

    Each partition is summed on its worker; the partial totals are combined
    pairwise up a tree in partition order, so for a fixed partitioning the
    result is the same on every run. Totals are float64 over the exact
    binary32 values: they agree with a single-machine ``cashflows`` to about
    1e-15 relative, the sums being grouped differently.
    """
    dask, dd, pd = _modules()
    measure = _check_partitions(ddf)
    parts = [dask.delayed(_partition_totals)(p, errors, threads, measure) for p in ddf.to_delayed()]
    if not parts:
        raise ValueError("the Dask DataFrame has no partitions")
    while len(parts) > 1:
        merged = []
        for i in range(0, len(parts), 2):
            merged.append(dask.delayed(_combine)(parts[i], parts[i + 1]) if i + 1 < len(parts) else parts[i])
        parts = merged
    meta = pd.DataFrame({"period": pd.Series([], dtype="int64"),
                         **{name: pd.Series([], dtype="float64") for name in TOTALS},
                         "loans": pd.Series([], dtype="int64")})
    return dd.from_delayed([dask.delayed(_to_frame)(parts[0])], meta=meta, verify_meta=True)
