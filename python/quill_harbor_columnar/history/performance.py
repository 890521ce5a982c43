"""``performance()`` and ``roll_rates()``: realized prepayment, default and loss by month and cohort, and
the month-to-month transitions between delinquency states, from a history's partial sums.

Definitions (each month, over the loans performing at its start):
- ``balance``: their balances at the start of the month (the previous record's ``balance``);
- ``scheduled_principal``: the layout's reported value where there is one, else the principal part of
  each loan's level payment from its balance, rate a month and remaining months at the start of the month
  (with ``precision="cent"``, of the first payment of that loan's cent schedule);
- ``prepaid_principal``: full payoffs (zero-balance code 01) less their scheduled principal, plus
  curtailments (the fall in balance past the scheduled principal of loans still running);
- ``defaulted_balance``: the start balance of loans with a credit event (code 02, 03, 09 or 15, or six
  months delinquent or more, REO included), once a loan;
- ``loss``, ``recovery``: the publisher's net loss of loans liquidated that month, and their balance at
  zero balance less it; ``severity`` = loss / that balance;
- ``smm`` = prepaid / (balance - scheduled), ``cpr`` = 1 - (1 - smm)^periods_per_year;
- ``mdr`` = defaulted / balance, ``cdr`` = 1 - (1 - mdr)^periods_per_year;
- ``psa``: 100 * cpr / (0.06 * min(age, 30) / 30) at the balance-weighted ``age``;
- ``cpr_n``, ``cdr_n`` (``window=n``): 1 - (F_actual / F_scheduled)^(12/n) over the cohort's last n months,
  the factor ratio being the product of (1 - smm), or of (1 - mdr).
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Sequence
from typing import Any

from .._internal import checks
from .._internal.deps import require
from .._internal.tables import HeldTable
from ..scheduling import Precision
from .partials import (
    STATES,
    SUMS,
    Partial,
    cohort_columns,
    combine,
    file_partial,
    file_partials,
    needed_columns,
    performance_part,
    roll_part,
)
from .reading import History

__all__ = ["performance", "roll_rates", "Performance", "RollRates", "history_partials", "finish_performance"]

_EPOCH = _dt.date(1970, 1, 1)


class Performance(HeldTable):
    """Realized measures, a row per month (and cohort): see ``performance()``."""

    __slots__ = ("by", "failures")

    def __init__(self, table: Any, by: list[str]) -> None:
        super().__init__(table)
        self.by = by
        # Records that did not read, where the measures were computed on a cluster (one machine lists them
        # on its History).
        self.failures: list[Any] = []


class RollRates(HeldTable):
    """Transitions between states, a row per month (unless pooled), cohort, from-state and to-state."""

    __slots__ = ()


def month_of(value: Any) -> int | None:
    """A month as days from 1970-01-01 to its first day: a date, a datetime, "YYYY-MM" or "YYYY-MM-DD"."""
    if value is None:
        return None
    np = require("numpy", "performance()")
    if isinstance(value, np.datetime64):
        value = value.astype("datetime64[D]").astype(object)
    if isinstance(value, _dt.datetime):
        value = value.date()
    if isinstance(value, str):
        parts = value.strip().split("-")
        if len(parts) not in (2, 3) or not all(p.isdigit() for p in parts):
            raise ValueError(f"a month reads as YYYY-MM or YYYY-MM-DD, not {value!r}")
        value = _dt.date(int(parts[0]), int(parts[1]), 1)
    if not isinstance(value, _dt.date):
        raise TypeError(f"a month is a date or a YYYY-MM text, not {type(value).__name__}")
    return (value.replace(day=1) - _EPOCH).days


def _file_batches(history: Any, columns: list[str], progress: Any = None) -> list[Any]:
    """Each file's batches (one 'file' for a table), as lazy iterables of batches with ``columns``."""
    pa = require("pyarrow", "performance()")
    if isinstance(history, History):
        return [(b.select(columns) for b in history.file_batches(i, progress)) for i in range(len(history.sources))]
    table = history if isinstance(history, pa.Table) else pa.table(history)
    missing = [c for c in columns if c not in table.column_names]
    if missing:
        raise ValueError(f"the history has no column {missing[0]!r}")
    return [table.select(columns).to_batches()]


def history_partial_sets(
    history: Any, by: list[str], kinds: Sequence[str], progress: Any = None, precision: Precision = "binary32"
) -> list[list[Partial]]:
    """For each kind ("performance", "rolls"), each file's partial sums, from one pass over the files."""
    parts = [performance_part if kind == "performance" else roll_part for kind in kinds]
    files = _file_batches(history, needed_columns(by), progress)
    per_file = [file_partials(batches, by, parts, precision) for batches in files]
    return [[sets[i] for sets in per_file] for i in range(len(kinds))]


def history_partials(
    history: Any, by: list[str], kind: str = "performance", progress: Any = None, precision: Precision = "binary32"
) -> list[Partial]:
    """Each file's month x cohort partial sums, in file order."""
    part = performance_part if kind == "performance" else roll_part
    files = _file_batches(history, needed_columns(by), progress)
    return [file_partial(batches, by, part, precision) for batches in files]


def _label_type(values: list[Any]) -> Any:
    pa = require("pyarrow", "performance()")
    return pa.array(values).type if any(v is not None for v in values) else pa.null()


def finish_performance(
    partial: Partial, by: list[str], *, start: Any = None, end: Any = None, window: int | None = None,
    periods_per_year: int = 12,
) -> Performance:  # fmt: skip
    """The measures from combined partial sums."""
    np = require("numpy", "performance()")
    pa = require("pyarrow", "performance()")
    lo, hi = month_of(start), month_of(end)
    keys = sorted(partial, key=lambda k: (tuple((v is None, v) for v in k[1:]), k[0]))
    sums = np.array([partial[k] for k in keys], dtype=np.float64).reshape(len(keys), len(SUMS))
    col = {name: sums[:, i] for i, name in enumerate(SUMS)}
    ppy = float(periods_per_year)
    with np.errstate(divide="ignore", invalid="ignore"):
        smm = col["prepaid_principal"] / (col["balance"] - col["scheduled_principal"])
        mdr = col["defaulted_balance"] / col["balance"]
        severity = col["loss"] / col["liquidated_balance"]
        age = col["age_balance"] / col["balance"]
        cpr = 1.0 - (1.0 - smm) ** ppy
        cdr = 1.0 - (1.0 - mdr) ** ppy
        ramp = 0.06 * np.minimum(age, 30.0) / 30.0
        psa = np.where(age > 0, 100.0 * cpr / ramp, np.nan)
    out: dict[str, Any] = {}
    extra: dict[str, Any] = {}
    if window:
        cpr_n = np.full(len(keys), np.nan)
        cdr_n = np.full(len(keys), np.nan)
        cohort_of = [k[1:] for k in keys]
        for i in range(len(keys)):
            j = i - window + 1
            if j < 0 or cohort_of[j] != cohort_of[i]:
                continue
            with np.errstate(divide="ignore", invalid="ignore"):
                cpr_n[i] = 1.0 - np.prod(1.0 - smm[j : i + 1]) ** (12.0 / window)
                cdr_n[i] = 1.0 - np.prod(1.0 - mdr[j : i + 1]) ** (12.0 / window)
        extra = {f"cpr_{window}": cpr_n, f"cdr_{window}": cdr_n}
    months = np.array([k[0] for k in keys], dtype=np.int64)
    keep = np.ones(len(keys), dtype=bool)
    if lo is not None:
        keep &= months >= lo
    if hi is not None:
        keep &= months <= hi
    # Rows by month, then cohort.
    order = sorted(
        np.flatnonzero(keep).tolist(), key=lambda i: (keys[i][0], tuple((v is None, v) for v in keys[i][1:]))
    )
    idx = np.asarray(order, dtype=np.int64)
    out["month"] = pa.array(months[idx].astype("datetime64[D]"), pa.date32())
    for j, name in enumerate(by):
        values = [keys[i][1 + j] for i in order]
        out[name] = pa.array(values, _label_type(values))
    out["loans"] = pa.array(col["loans"][idx].astype(np.int64))
    for name in ("balance", "scheduled_principal", "prepaid_principal", "defaulted_balance", "loss", "recovery"):
        out[name] = pa.array(col[name][idx])
    for name, values in (("smm", smm), ("cpr", cpr), ("mdr", mdr), ("cdr", cdr), ("severity", severity),
                         ("psa", psa)):  # fmt: skip
        out[name] = pa.array(values[idx], from_pandas=False)
    out["age"] = pa.array(age[idx])
    out["liquidated_balance"] = pa.array(col["liquidated_balance"][idx])
    for name, values in extra.items():
        out[name] = pa.array(values[idx])
    return Performance(pa.table(out), by)


def performance(
    history: Any,
    *,
    by: str | Sequence[str] | None = None,
    start: Any = None,
    end: Any = None,
    window: int | None = None,
    periods_per_year: int = 12,
    precision: Precision = "binary32",
) -> Performance:
    """Realized measures of ``history`` (a ``History`` or any Arrow table of its columns), a row per
    reporting month and, with ``by`` (history columns; ``"vintage"`` and ``"coupon"`` are ready-made),
    per cohort; ``start``/``end`` bound the months shown; ``window=n`` adds ``cpr_n`` and ``cdr_n``.
    ``precision="cent"`` computes the scheduled principal a layout does not report from each loan's cent
    schedule (whole cents, as a servicer books it) instead of the float64 closed form; the prepaid
    principal follows from it. See the module's text for each column's definition."""
    checks.cents(precision)
    if window is not None and (not isinstance(window, int) or window < 1):
        raise ValueError(f"window must be a whole number of months, 1 or more, not {window!r}")
    if periods_per_year < 1:
        raise ValueError("periods_per_year must be 1 or more")
    cols = cohort_columns(by)
    partial = combine(history_partials(history, cols, precision=precision))
    return finish_performance(partial, cols, start=start, end=end, window=window, periods_per_year=periods_per_year)


def finish_rolls(
    partial: Partial, by: list[str], *, start: Any = None, end: Any = None, pooled: bool = False
) -> RollRates:
    np = require("numpy", "roll_rates()")
    pa = require("pyarrow", "roll_rates()")
    lo, hi = month_of(start), month_of(end)
    rows: dict[Key2, Any] = {}
    for key, value in partial.items():
        month = key[0]
        if (lo is not None and month < lo) or (hi is not None and month > hi):
            continue
        k = key[1:] if pooled else key
        rows[k] = rows[k] + value if k in rows else value
    n_by = len(by)
    keys = sorted(rows, key=lambda k: tuple((v is None, v) for v in k))
    totals: dict[Any, Any] = {}
    for k in keys:
        group = k[: len(k) - 1]
        totals[group] = totals[group] + rows[k] if group in totals else rows[k]
    out: dict[str, list[Any]] = {name: [] for name in ([] if pooled else ["month"]) + by}
    out.update({"from": [], "to": [], "loans": [], "balance": [], "loan_share": [], "balance_share": []})
    for k in keys:
        offset = 0 if pooled else 1
        if not pooled:
            out["month"].append(_EPOCH + _dt.timedelta(days=int(k[0])))
        for j, name in enumerate(by):
            out[name].append(k[offset + j])
        out["from"].append(STATES[int(k[offset + n_by])])
        out["to"].append(STATES[int(k[offset + n_by + 1])])
        total = totals[k[: len(k) - 1]]
        loans, balance = rows[k]
        out["loans"].append(int(loans))
        out["balance"].append(float(balance))
        out["loan_share"].append(loans / total[0] if total[0] else np.nan)
        out["balance_share"].append(balance / total[1] if total[1] else np.nan)
    schema_types = {"month": pa.date32(), "from": pa.string(), "to": pa.string(), "loans": pa.int64(),
                    "balance": pa.float64(), "loan_share": pa.float64(), "balance_share": pa.float64()}  # fmt: skip
    table = pa.table({name: pa.array(values, schema_types.get(name)) for name, values in out.items()})
    return RollRates(table)


Key2 = tuple[Any, ...]


def roll_rates(
    history: Any,
    *,
    by: str | Sequence[str] | None = None,
    start: Any = None,
    end: Any = None,
    pooled: bool = False,
) -> RollRates:
    """Month-to-month transitions of the loans performing at the start of each month between the states
    current, 30, 60, 90, 120+ (whole months delinquent 0, 1, 2, 3, 4 or more) and, at the month's end,
    also prepaid and defaulted: ``loans`` and ``balance`` (at the start of the month) per from-state and
    to-state, and their shares of the from-state's, which add up to 1 (loans removed for other reasons,
    or of unknown status, are left out). Per month, or ``pooled=True`` over ``start``..``end``."""
    cols = cohort_columns(by)
    partial = combine(history_partials(history, cols, kind="rolls"))
    return finish_rolls(partial, cols, start=start, end=end, pooled=pooled)
