"""A projection beside what happened: ``as_of`` (the book of the loans performing in a month),
``backtest`` (that book projected, each month beside the same loans' realized balance and flows) and
``fit`` (the constant and ramp speeds that reproduce a cohort's realized balances)."""

from __future__ import annotations

import datetime as _dt
import math
from collections.abc import Sequence
from typing import Any, overload

from .._internal.deps import require
from .._internal.tables import HeldTable
from ..projection import project
from ..projection.scenarios import _psa_cpr, _sda_cdr
from ..scheduling import Precision
from .layouts import DEFAULT_DELINQUENCY
from .partials import Deriver, Partial, _group, add, cohort_columns, combine, needed_columns
from .performance import _EPOCH, _file_batches, finish_performance, history_partials, month_of

__all__ = ["as_of", "backtest", "fit", "Backtest", "Fit"]

BOOK_ORIGINATION = ("orig_balance", "orig_rate", "orig_term", "first_payment", "vintage")
REALIZED = ("balance", "prepaid", "defaulted", "loss", "interest")


def _month_text(days: int) -> str:
    d = _EPOCH + _dt.timedelta(days=days)
    return f"{d.year:04d}-{d.month:02d}"


def as_of(history: Any, month: Any, *, by: str | Sequence[str] | None = None) -> Any:
    """The book of the loans performing in ``month`` (a balance above zero, no zero-balance code, under six
    months delinquent): ``id``, ``amt`` (original balance), ``rate`` (the current note rate a month),
    ``pers`` (original term), ``int_freq`` = ``cap_freq`` = 1, ``age``, ``balance``, the origination columns
    and any ``by`` columns, as a pyarrow Table."""
    pa = require("pyarrow", "as_of()")
    pc = require("pyarrow.compute", "as_of()")
    day = month_of(month)
    if day is None:
        raise ValueError("as_of() needs a month")
    extra = [c for c in cohort_columns(by) if c not in BOOK_ORIGINATION and c != "coupon"]
    columns = ["id", "month", "balance", "rate", "age", "delinquency", "zero_balance_code", *BOOK_ORIGINATION, *extra]
    parts = []
    for batches in _file_batches(history, list(dict.fromkeys(columns))):
        for batch in batches:
            keep = pc.and_(
                pc.equal(batch.column("month").cast(pa.int32()), day),
                pc.and_(
                    pc.and_(pc.greater(batch.column("balance"), 0.0), pc.is_null(batch.column("zero_balance_code"))),
                    pc.less(batch.column("delinquency"), DEFAULT_DELINQUENCY),
                ),
            )
            parts.append(batch.filter(keep.fill_null(False)))
    rows = pa.Table.from_batches(parts) if parts else None
    if rows is None or rows.num_rows == 0:
        raise ValueError(f"no loan of the history is performing in {_month_text(day)}")
    n = rows.num_rows
    book = {
        "id": rows.column("id"),
        "amt": rows.column("orig_balance"),
        "rate": pc.divide(rows.column("rate"), 12.0),
        "pers": rows.column("orig_term"),
        "int_freq": pa.array([1] * n, pa.int32()),
        "cap_freq": pa.array([1] * n, pa.int32()),
        "age": rows.column("age"),
        "balance": rows.column("balance"),
    }
    for name in (*BOOK_ORIGINATION, *extra):
        book[name] = rows.column(name)
    if "coupon" in cohort_columns(by):
        book["coupon"] = pc.divide(pc.floor(pc.multiply(rows.column("orig_rate"), 200.0)), 200.0)
    # The book's month travels with it, for backtest().
    return pa.table(book).replace_schema_metadata({"month": str(day)})


class Backtest(HeldTable):
    """A row per scenario, cohort and month after the book's month: the projection's balance, prepaid,
    defaulted, loss and interest beside the same loans' realized ones, and realized less projected."""

    __slots__ = ()


def _realized(history: Any, book: Any, by: list[str], first: int, months: int | None) -> Partial:
    """The book's loans month by month after ``first``: (month, cohort) -> realized sums REALIZED."""
    np = require("numpy", "backtest()")
    pc = require("pyarrow.compute", "backtest()")
    ids = book.column("id").combine_chunks()
    need = list(dict.fromkeys([*needed_columns(by), "orig_rate"]))
    base = np.datetime64(_EPOCH + _dt.timedelta(days=first), "M").astype(np.int64)
    parts: list[Partial] = []
    for batches in _file_batches(history, need):
        deriver = Deriver(by)
        acc: Partial = {}
        for batch in batches:
            batch = batch.filter(pc.is_in(batch.column("id"), value_set=ids))
            rows = deriver.rows(batch)
            period = rows.month.astype("datetime64[D]").astype("datetime64[M]").astype(np.int64) - base
            window = (period > 0) & (rows.in_pool | rows.liquidated)
            if months is not None:
                window &= period <= months
            zb_null = np.asarray(batch.column("zero_balance_code").is_null())
            end_bal = np.asarray(batch.column("balance").fill_null(0.0), dtype=np.float64)
            performing = rows.in_pool & ~rows.credit & zb_null
            paying = rows.in_pool & ~rows.credit
            values = [
                np.where(performing, end_bal, 0.0),
                rows.prepaid,
                np.where(rows.credit, rows.start_balance, 0.0),
                np.where(rows.liquidated, rows.loss, 0.0),
                np.where(paying, rows.start_balance * rows.extra["start_rate"] / 12.0, 0.0),
            ]
            acc = add(acc, _group(rows.month, rows.cohort, window, values))
        parts.append(acc)
    return combine(parts)


def backtest(
    history: Any,
    as_of: Any,
    scenarios: Any,
    *,
    by: str | Sequence[str] | None = None,
    months: int | None = None,
    precision: Precision = "binary32",
) -> Backtest:
    """Projects the book of ``as_of`` (a book from ``as_of()``, or a month) under ``scenarios`` with
    ``project()`` and puts beside each projected month the same loans' realized balance (end of month,
    performing), prepaid, defaulted, loss and interest (start balance times the note rate a month, of the
    loans performing through the month), and the differences ``diff_*`` (realized less projected), for
    ``months`` months (all the history has, by default). ``precision`` is ``project()``'s."""
    pa = require("pyarrow", "backtest()")
    cols = cohort_columns(by)
    if isinstance(as_of, (str, _dt.date)):
        book = globals()["as_of"](history, as_of, by=cols)
    else:
        book = as_of if isinstance(as_of, pa.Table) else pa.table(as_of)
    first = _month_days_of_book(history, book)
    projection = project(book, scenarios, by=cols or None, errors="skip", precision=precision).to_pandas()
    realized = _realized(history, book, cols, first, months)
    start = _dt.date(1970, 1, 1) + _dt.timedelta(days=first)
    rows: list[dict[str, Any]] = []
    for _, r in projection.iterrows():
        period = int(r["period"])
        if period == 0 or (months is not None and period > months):
            continue
        y, m = divmod(start.month - 1 + period, 12)
        month = _dt.date(start.year + y, m + 1, 1)
        key = ((month - _EPOCH).days, *(r[c] for c in cols))
        got = realized.get(key)
        if got is None:
            continue
        row: dict[str, Any] = {"scenario": int(r.get("scenario", 0)), "month": month, "period": period}
        if "scenario_name" in projection.columns:
            row["scenario_name"] = r["scenario_name"]
        for c in cols:
            row[c] = r[c]
        projected = (r["balance"], r["prepaid_principal"], r["defaulted_principal"], r["loss"], r["interest"])
        for name, p, v in zip(REALIZED, projected, got):
            row[f"projected_{name}"] = float(p)
            row[f"realized_{name}"] = float(v)
            row[f"diff_{name}"] = float(v) - float(p)
        rows.append(row)
    return Backtest(pa.Table.from_pylist(rows))


def _month_days_of_book(history: Any, book: Any) -> int:
    """The book's month: the month the history's records of its first loan show its balance and age."""
    del history
    meta = book.schema.metadata or {}
    if b"month" in meta:
        return int(meta[b"month"])
    raise ValueError("the book names no month: make it with as_of(history, month)")


class Fit(HeldTable, Sequence[dict[str, Any]]):
    """Per cohort: the constant ``cpr``, ``cdr`` and ``severity``, and the ``psa`` and ``sda`` speeds that
    reproduce the realized balances over the window. It is itself the sequence of scenario mappings
    ``project()``, ``backtest()`` and the cluster ``project`` take: two a cohort, the constant speeds and
    then the ramps, named by the cohort (``scenarios()`` gives them as a list). ``len()`` counts those
    scenarios; ``num_rows`` and the table conversions give the fitted speeds, a row a cohort."""

    __slots__ = ("by", "_scenarios")

    def __init__(self, table: Any, by: list[str]) -> None:
        super().__init__(table)
        self.by = by
        self._scenarios = self._make_scenarios()

    def _make_scenarios(self) -> tuple[dict[str, Any], ...]:
        out = []
        for row in self._table.to_pylist():
            label = " / ".join(str(row[c]) for c in self.by) or "all"
            out.append({"name": f"{label} constant", "cpr": row["cpr"], "cdr": row["cdr"], "severity": row["severity"]})
            out.append({"name": f"{label} ramp", "psa": row["psa"], "sda": row["sda"], "severity": row["severity"]})
        return tuple(out)

    def scenarios(self) -> list[dict[str, Any]]:
        """Two scenarios a cohort (constant speeds, then ramps), named by the cohort: fresh dicts, the
        caller's to change."""
        return [dict(s) for s in self._scenarios]

    @overload
    def __getitem__(self, index: int) -> dict[str, Any]: ...

    @overload
    def __getitem__(self, index: slice) -> list[dict[str, Any]]: ...

    def __getitem__(self, index: int | slice) -> dict[str, Any] | list[dict[str, Any]]:
        if isinstance(index, slice):
            return [dict(s) for s in self._scenarios[index]]
        return dict(self._scenarios[index])

    def __len__(self) -> int:
        return len(self._scenarios)

    def __repr__(self) -> str:
        return f"<Fit cohorts={self.num_rows} scenarios={len(self)} by={self.by!r}>"

    def __reduce__(self) -> tuple[Any, ...]:
        return (Fit, (self._table, self.by))


def _ramp_speed(target: float, ages: Any, curve: Any) -> float:
    """The ramp speed whose survival over ``ages`` is ``target`` (a product of 1 - monthly rate)."""

    def survival(speed: float) -> float:
        log = 0.0
        for a in ages:
            annual = min(curve(speed, int(a)), 1.0 - 1e-15)
            log += math.log1p(-annual) / 12.0
        return math.exp(log)

    if not 0.0 < target < 1.0:
        return 0.0 if target >= 1.0 else math.nan
    lo, hi = 0.0, 100.0
    while survival(hi) > target and hi < 1e7:
        hi *= 2
    for _ in range(100):
        mid = (lo + hi) / 2
        if survival(mid) > target:
            lo = mid
        else:
            hi = mid
    return (lo + hi) / 2


def fit(history: Any, *, by: str | Sequence[str] | None = None, start: Any = None, end: Any = None) -> Fit:
    """The speeds that reproduce each cohort's realized balances from ``start`` to ``end``: the constant
    CPR (and CDR) whose monthly survival over the window's months equals the realized one (the product of
    1 - SMM, the ratio of the actual to the scheduled pool factor; of 1 - MDR for defaults), the PSA and SDA
    speeds whose ramps at the cohort's ages give the same survival, and the severity (loss over liquidated
    balance)."""
    np = require("numpy", "fit()")
    pa = require("pyarrow", "fit()")
    cols = cohort_columns(by)
    perf = finish_performance(combine(history_partials(history, cols)), cols, start=start, end=end).to_arrow()
    frame = perf.to_pandas()
    rows = []
    groups = frame.groupby(cols, sort=True, dropna=False) if cols else [((), frame)]
    for label, g in groups:
        g = g.sort_values("month")
        g = g[g["balance"] > 0]
        n = len(g)
        if not n:
            continue
        s_prepay = float(np.prod(1.0 - g["smm"].to_numpy()))
        s_default = float(np.prod(1.0 - g["mdr"].to_numpy()))
        smm = 1.0 - s_prepay ** (1.0 / n)
        mdr = 1.0 - s_default ** (1.0 / n)
        liquidated = float(g["liquidated_balance"].sum())
        ages = np.rint(g["age"].to_numpy())
        row = dict(zip(cols, label if isinstance(label, tuple) else (label,)))
        row.update(
            months=n,
            cpr=1.0 - (1.0 - smm) ** 12,
            cdr=1.0 - (1.0 - mdr) ** 12,
            severity=float(g["loss"].sum()) / liquidated if liquidated else 0.0,
            psa=_ramp_speed(s_prepay, ages, _psa_cpr),
            sda=_ramp_speed(s_default, ages, _sda_cdr),
        )
        rows.append(row)
    return Fit(pa.Table.from_pylist(rows), cols)
