"""A history's realized measures as partial sums: each loan-month row's part (performing balance at the
start of the month, scheduled and prepaid principal, defaulted balance, loss), summed by month and cohort,
batch by batch in file order, and files combined by one pairwise combine in file order. The single
machine and every scale-out adapter build the same partials and combine them the same way, so the
results carry the same bits for any partitioning.

A loan's records are taken to be in one file, one after another, in month order (as the agencies
publish them); its state (previous record, whether it has defaulted) is carried from batch to batch.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from .._internal.deps import require
from ..projection.partials import tree
from ..scheduling import Precision
from .layouts import DEFAULT_DELINQUENCY, LIQUIDATION_CODES, PREPAID_CODES
from .schedule import scheduled_principal

CENT = 0.01
# The sums kept per month and cohort, in order.
SUMS = (
    "loans",
    "balance",
    "scheduled_principal",
    "prepaid_principal",
    "defaulted_balance",
    "loss",
    "recovery",
    "liquidated_balance",
    "age_balance",  # balance times age, for the weighted age
)
ROLL_SUMS = ("loans", "balance")
STATES = ("current", "30", "60", "90", "120+", "prepaid", "defaulted")
COUPON = "coupon"
# Columns a cohort may name that the history makes from its own: the coupon bucket (orig_rate rounded
# down to 0.5 %).
READY_MADE = {COUPON: ("orig_rate",)}

Key = tuple[Any, ...]
Partial = dict[Key, Any]


@dataclass
class _Carry:
    """A file's last row, for the first row of the next batch."""

    id: Any = None
    balance: float = 0.0
    rate: float = 0.0
    remaining: int = 0
    delinquency: int = 0
    closed: bool = True
    defaulted: bool = False


@dataclass
class Rows:
    """Each row's part of the measures (NumPy arrays, the batch's rows in order)."""

    month: Any
    cohort: list[Any]
    in_pool: Any  # performing at the start of the month
    start_balance: Any
    scheduled: Any
    prepaid: Any
    credit: Any  # a credit event this month (a loan defaults once)
    liquidated: Any  # a liquidation with its net loss reported
    loss: Any
    liquidated_balance: Any
    age: Any
    from_state: Any  # index into STATES, -1 when not counted
    to_state: Any
    extra: dict[str, Any] = field(default_factory=dict)


def cohort_columns(by: str | Sequence[str] | None) -> list[str]:
    if by is None:
        return []
    return [by] if isinstance(by, str) else list(by)


def needed_columns(by: list[str]) -> list[str]:
    base = ["id", "month", "balance", "rate", "remaining", "age", "delinquency", "zero_balance_code",
            "zero_balance_upb", "net_loss", "scheduled_principal"]  # fmt: skip
    return base + [c for name in by for c in READY_MADE.get(name, (name,)) if c not in base]


def _cohort(batch: Any, name: str) -> Any:
    pa = require("pyarrow", "performance()")
    pc = require("pyarrow.compute", "performance()")
    if name == COUPON:
        rate = batch.column("orig_rate")
        return pc.divide(pc.floor(pc.multiply(rate, 200.0)), 200.0)
    if name not in batch.schema.names:
        raise ValueError(f"by: the history has no column {name!r} (it has {', '.join(batch.schema.names)})")
    column = batch.column(name)
    return column if not isinstance(column, pa.ChunkedArray) else column.combine_chunks()


def _bucket(dlq: Any) -> Any:
    np = require("numpy", "performance()")
    return np.where(dlq < 0, -1, np.minimum(dlq, 4))


class Deriver:
    """Turns a file's batches, in order, into each row's part of the measures."""

    def __init__(self, by: list[str], precision: Precision = "binary32") -> None:
        self.by = by
        self.precision = precision
        self.carry = _Carry()

    def rows(self, batch: Any) -> Rows:
        np = require("numpy", "performance()")
        pa = require("pyarrow", "performance()")
        pc = require("pyarrow.compute", "performance()")
        n = batch.num_rows
        ids = batch.column("id")
        month = np.asarray(batch.column("month").cast(pa.int32()).fill_null(0), dtype=np.int64)
        bal = np.asarray(batch.column("balance").fill_null(0.0), dtype=np.float64)
        rate = np.asarray(batch.column("rate").fill_null(0.0), dtype=np.float64)
        rem = np.asarray(batch.column("remaining").fill_null(0), dtype=np.int64)
        age = np.asarray(batch.column("age").fill_null(0), dtype=np.float64)
        dlq = np.asarray(batch.column("delinquency").fill_null(-1), dtype=np.int64)
        zb = batch.column("zero_balance_code")
        zb_null = np.asarray(zb.is_null())
        prepaid_code = np.asarray(pc.is_in(zb, pa.array(sorted(PREPAID_CODES))).fill_null(False))
        liquidation = np.asarray(pc.is_in(zb, pa.array(sorted(LIQUIDATION_CODES))).fill_null(False))
        net_loss = np.asarray(batch.column("net_loss").fill_null(np.nan), dtype=np.float64)
        zb_upb = np.asarray(batch.column("zero_balance_upb").fill_null(np.nan), dtype=np.float64)
        reported = np.asarray(batch.column("scheduled_principal").fill_null(np.nan), dtype=np.float64)

        c = self.carry
        same = np.zeros(n, dtype=bool)
        if n:
            same[1:] = np.asarray(pc.equal(ids.slice(1), ids.slice(0, n - 1)).fill_null(False))
            same[0] = c.id is not None and ids[0].as_py() == c.id

        def prev(values: Any, first: Any) -> Any:
            out = np.empty_like(values)
            if n:
                out[1:] = values[:-1]
                out[0] = first
            return out

        p_bal = prev(bal, c.balance)
        p_rate = prev(rate, c.rate)
        p_rem = prev(rem, c.remaining)
        p_dlq = prev(dlq, c.delinquency)
        p_closed = prev(~zb_null, c.closed)
        event = liquidation | (dlq >= DEFAULT_DELINQUENCY)
        # Whether the loan defaulted on an earlier row: events before this row within the loan's run.
        index = np.arange(n)
        run_start = np.maximum.accumulate(np.where(same, 0, index)) if n else index
        before_count = np.cumsum(event) - event
        before = (before_count - before_count[run_start]) > 0 if n else np.zeros(0, dtype=bool)
        before |= (run_start == 0) & same[0] & c.defaulted if n else before
        in_pool = same & (p_bal > 0) & ~p_closed & ~before
        # Only the rows that need it (performing, nothing reported): the cent schedules cost an engine call.
        wanted = in_pool & np.isnan(reported)
        sched_calc = scheduled_principal(np.where(wanted, p_bal, 0.0), p_rate / 12.0, p_rem, self.precision)
        sched = np.where(np.isnan(reported), sched_calc, reported)
        sched = np.where(in_pool, np.minimum(sched, p_bal), 0.0)
        credit = in_pool & event
        full = in_pool & ~credit & prepaid_code
        running = in_pool & ~credit & zb_null
        # A curtailment is the fall in balance past the scheduled principal, once it reaches a cent: less is
        # the rounding of a schedule to cents.
        excess = p_bal - sched - bal
        curtailed = np.where(running & (excess >= CENT), excess, 0.0)
        prepaid = np.where(full, p_bal - sched, 0.0) + curtailed
        liquidated = liquidation & ~np.isnan(net_loss)
        liq_bal = np.where(liquidated, np.where(np.isnan(zb_upb), p_bal, zb_upb), 0.0)
        from_state = np.where(in_pool, _bucket(p_dlq), -1)
        to_state = np.where(credit, 6, np.where(full, 5, np.where(running, _bucket(dlq), -1)))
        from_state = np.where(to_state < 0, -1, from_state)
        to_state = np.where(from_state < 0, -1, to_state)

        if n:
            last = n - 1
            ran_before = bool(before[last] or event[last])
            self.carry = _Carry(
                ids[last].as_py(), float(bal[last]), float(rate[last]), int(rem[last]), int(dlq[last]),
                bool(not zb_null[last]), ran_before,
            )  # fmt: skip
        return Rows(
            month=month,
            cohort=[_cohort(batch, name) for name in self.by],
            in_pool=in_pool,
            start_balance=np.where(in_pool, p_bal, 0.0),
            scheduled=sched,
            prepaid=prepaid,
            credit=credit,
            liquidated=liquidated,
            loss=np.where(liquidated, net_loss, 0.0),
            liquidated_balance=liq_bal,
            age=age,
            from_state=from_state,
            to_state=to_state,
            extra={"start_rate": p_rate},
        )


def _codes(values: Any) -> tuple[Any, Any]:
    """Labels and each value's code (an index into the labels)."""
    np = require("numpy", "performance()")
    pa = require("pyarrow", "performance()")
    pc = require("pyarrow.compute", "performance()")
    if isinstance(values, (pa.Array, pa.ChunkedArray)):
        encoded = pc.dictionary_encode(values)
        encoded = encoded.combine_chunks() if isinstance(encoded, pa.ChunkedArray) else encoded
        labels = encoded.dictionary.to_pylist()
        codes = np.asarray(encoded.indices.fill_null(len(labels)), dtype=np.int64)
        return np.asarray([*labels, None], dtype=object), codes
    values = np.asarray(values)
    if values.dtype.kind in "iu" and values.size:
        low = int(values.min())
        span = int(values.max()) - low + 1
        if span <= 4 * values.size + 1024:  # small whole numbers (months as days, states): no sort
            present = np.bincount(values - low, minlength=span) > 0
            labels = np.flatnonzero(present) + low
            index = np.cumsum(present) - 1
            return labels, index[values - low]
    labels, codes = np.unique(values, return_inverse=True)
    return labels, codes.reshape(-1)


def _group(month: Any, keys: list[Any], mask: Any, values: list[Any]) -> Partial:
    """Sums of ``values`` over the rows in ``mask``, by month and ``keys`` (each summed in row order)."""
    np = require("numpy", "performance()")
    pa = require("pyarrow", "performance()")
    rows = np.flatnonzero(mask)
    if not rows.size:
        return {}
    take = pa.array(rows)
    codes = [_codes(month[rows])]
    for key in keys:
        codes.append(_codes(key.take(take) if isinstance(key, (pa.Array, pa.ChunkedArray)) else np.asarray(key)[rows]))
    combined = np.zeros(rows.size, dtype=np.int64)
    size = 1
    for labels, code in codes:
        combined = combined * len(labels) + code
        size *= len(labels)
    if size <= 4 * rows.size + 4096:
        # Few cells: every group a cell, no sort; bincount adds each cell's rows in row order.
        counts = np.bincount(combined, minlength=size)
        cells = np.flatnonzero(counts)
        slot = np.zeros(size, dtype=np.int64)
        slot[cells] = np.arange(cells.size)
        group = slot[combined]
        first = np.full(cells.size, rows.size, dtype=np.int64)
        np.minimum.at(first, group, np.arange(rows.size))
    else:
        _, first, group = np.unique(combined, return_index=True, return_inverse=True)
        group = group.reshape(-1)
    n_groups = first.size
    sums = [np.bincount(group, weights=v[rows], minlength=n_groups) for v in values]
    labelled = [(labels, code[first]) for labels, code in codes]
    out: Partial = {}
    for g in range(n_groups):
        key = tuple(_plain(labels[at[g]]) for labels, at in labelled)
        out[key] = np.array([s[g] for s in sums])
    return out


def _plain(value: Any) -> Any:
    return value.item() if hasattr(value, "item") else value


def add(acc: Partial, more: Partial) -> Partial:
    """``acc`` + ``more``, key by key (acc's sum first): the one way partial sums are added."""
    out = dict(acc)
    for key, value in more.items():
        out[key] = out[key] + value if key in out else value
    return out


def combine(parts: Sequence[Partial]) -> Partial:
    """Files' partials combined up the projection's one pairwise tree in file order (((0+1)+(2+3))...),
    the same grouping of every float64 addition whichever engine combines them."""
    return tree(list(parts), add) if parts else {}


def performance_part(rows: Rows) -> Partial:
    np = require("numpy", "performance()")
    pool = rows.in_pool
    liq = rows.liquidated
    loss = np.where(liq, rows.loss, 0.0)
    liq_bal = np.where(liq, rows.liquidated_balance, 0.0)
    return _group(
        rows.month, rows.cohort, pool | liq,
        [pool.astype(np.float64), rows.start_balance, rows.scheduled, rows.prepaid,
         np.where(rows.credit, rows.start_balance, 0.0), loss, liq_bal - loss, liq_bal,
         rows.start_balance * rows.age],
    )  # fmt: skip


def roll_part(rows: Rows) -> Partial:
    np = require("numpy", "roll_rates()")
    mask = rows.from_state >= 0
    return _group(
        rows.month, [*rows.cohort, rows.from_state, rows.to_state], mask,
        [mask.astype(np.float64), rows.start_balance],
    )  # fmt: skip


def file_partial(
    batches: Iterable[Any], by: list[str], part: Callable[[Rows], Partial], precision: Precision = "binary32"
) -> Partial:
    """One file's partial sums: its batches in order, each batch's sums added to the file's."""
    return file_partials(batches, by, [part], precision)[0]


def file_partials(
    batches: Iterable[Any], by: list[str], parts: Sequence[Callable[[Rows], Partial]], precision: Precision = "binary32"
) -> list[Partial]:
    """Several kinds of partial sums of one file from one pass over it."""
    deriver = Deriver(by, precision)
    accs: list[Partial] = [{} for _ in parts]
    for batch in batches:
        rows = deriver.rows(batch)
        accs = [add(acc, part(rows)) for acc, part in zip(accs, parts)]
    return accs
