"""Synthetic loan-level histories, written in exactly the agencies' layouts, whose loans prepay, default
and lose at given constant speeds, so that the measures can be checked against what made them.

Every loan's records start at the history's first month, each loan at its own age (up to two years);
each month an active loan defaults with probability MDR (most liquidate at once, by a third-party
sale, short sale, REO disposition or note sale; some first run six months delinquent and are disposed of
two months after), else prepays in full or in part so that the expected unscheduled principal is SMM
times the balance after scheduled principal, else now and then misses one payment and cures, else pays as
scheduled. A liquidation's costs and proceeds are set so that the publisher's net loss is the severity
times the balance. Files are one a quarter of first payment; for Freddie Mac each has its origination
file.

With ``precision="cent"`` the loans are serviced in whole cents: each month's scheduled principal (and the
balance at the first record, amortized month by month from origination) comes from the loan's cent
schedule as it stands, and curtailments, liquidation costs and proceeds are rounded half-up to the cent,
so the net loss is the severity times the balance to the cent.
"""

from __future__ import annotations

import os
from typing import Any

from .._internal import checks
from .._internal.deps import require
from .._internal.rounding import half_up_cents
from ..scheduling import Precision
from .layouts import FANNIE_FIELDS, FREDDIE_ORIGINATION_FIELDS, FREDDIE_PERFORMANCE_FIELDS
from .schedule import scheduled_principal

__all__ = ["write_sample_history"]

_CHUNK = 20_000  # loans simulated at once
_MISS = 0.01  # chance a month that a paying loan misses one payment (and cures the next)
_CURTAIL_SHARE = 0.05  # of paying loans, those that pay some principal early in a month
_PAYOFF_SHARE = 0.9  # of the unscheduled principal, the part paid as full payoffs
_SLOW_DEFAULT = 0.3  # of defaults, those that run six months delinquent first
_LIQUIDATION_CODES = ("02", "03", "09", "15")
_LIQUIDATION_WEIGHTS = (0.1, 0.2, 0.6, 0.1)


def _months(index: Any, form: str) -> Any:
    """Texts of months since 1970-01 in ``form``."""
    np = require("numpy", "sample_history()")
    year = index // 12 + 1970
    month = index % 12 + 1
    if form == "MMYYYY":
        return np.char.add(np.char.zfill(month.astype(str), 2), year.astype(str))
    return np.char.add(year.astype(str), np.char.zfill(month.astype(str), 2))


def _text(values: Any, decimals: int | None = 2) -> Any:
    pa = require("pyarrow", "sample_history()")
    pc = require("pyarrow.compute", "sample_history()")
    np = require("numpy", "sample_history()")
    values = np.asarray(values)
    if decimals is not None:
        values = np.round(values.astype(np.float64), decimals)
    return pc.cast(pa.array(values, from_pandas=True), pa.string())


def _money(values: Any, precision: Precision) -> Any:
    """Amounts to the cent: half-up in cent mode, NumPy's rounding of the binary value otherwise."""
    np = require("numpy", "sample_history()")
    return half_up_cents(values) if checks.cents(precision) else np.round(values, 2)


def _cent_balance(orig: Any, r: Any, term: Any, payments: Any) -> Any:
    """The balance after ``payments`` months, each paying the scheduled principal of the cent schedule."""
    np = require("numpy", "sample_history()")
    bal = np.asarray(orig, dtype=np.float64).copy()
    for k in range(int(payments.max(initial=0))):
        due = payments > k
        bal[due] = half_up_cents(bal[due] - scheduled_principal(bal[due], r[due], term[due] - k, "cent"))
    return bal


def _simulate(
    rng: Any, n: int, months: int, start: int, speeds: tuple[float, float, float], precision: Precision = "binary32"
) -> dict[str, Any]:
    """Every record of ``n`` loans over ``months`` months from month index ``start``, loan-major."""
    np = require("numpy", "sample_history()")
    cents = checks.cents(precision)
    cpr, cdr, severity = speeds
    smm = 1.0 - (1.0 - cpr) ** (1.0 / 12.0)
    mdr = 1.0 - (1.0 - cdr) ** (1.0 / 12.0)
    term = rng.choice([180, 360], n, p=[0.2, 0.8])
    age0 = rng.integers(0, 24, n)
    annual = np.round(rng.uniform(2.5, 7.5, n) * 8) / 8  # percent, in eighths
    orig = np.round(rng.uniform(80_000, 700_000, n), -3)
    r = annual / 1200.0
    # The balance at the first record: the scheduled balance after age0 payments, to the cent.
    if cents:
        bal = _cent_balance(orig, r, term, age0)
    else:
        pay = orig * r / (1 - (1 + r) ** -term)
        bal = np.round(orig * (1 + r) ** age0 - pay * ((1 + r) ** age0 - 1) / r, 2)
    first_pay = start - age0
    rec: dict[str, list[Any]] = {k: [] for k in ("loan", "t", "bal", "age", "rem", "dlq", "zb", "last", "loss")}
    active = np.ones(n, dtype=bool)
    dlq = np.zeros(n, dtype=np.int64)
    slow = np.zeros(n, dtype=bool)  # on the way to a delinquency default
    rem = term - age0
    eligible = 1.0 - mdr - _MISS
    payoff = _PAYOFF_SHARE * smm / eligible
    curtail = (1 - _PAYOFF_SHARE) * smm / eligible / _CURTAIL_SHARE / (1 - payoff)
    for t in range(months):
        loans = np.flatnonzero(active)
        if t == 0:
            new_bal = bal.copy()
            zb = np.full(n, "", dtype=object)
            last = np.full(n, np.nan)
            loss = np.full(n, np.nan)
        else:
            b, k = bal[loans], rem[loans]
            sched = scheduled_principal(b, r[loans], k, precision)
            u = rng.random(loans.size)
            zb = np.full(n, "", dtype=object)
            last = np.full(n, np.nan)
            loss = np.full(n, np.nan)
            new_bal = bal.copy()
            on_path = slow[loans]
            # Loans on the delinquency path: one month more; disposed of two months after the sixth.
            path = loans[on_path]
            dlq[path] += 1
            done = path[dlq[path] >= 8]
            zb[done] = "09"
            last[done] = bal[done]
            loss[done] = severity * bal[done]
            new_bal[done] = 0.0
            free = ~on_path
            default = free & (u < mdr)
            slow_start = default & (rng.random(loans.size) < _SLOW_DEFAULT)
            quick = loans[default & ~slow_start]
            codes = rng.choice(_LIQUIDATION_CODES, quick.size, p=_LIQUIDATION_WEIGHTS)
            zb[quick] = codes
            last[quick] = bal[quick]
            loss[quick] = severity * bal[quick]
            new_bal[quick] = 0.0
            starts = loans[slow_start]
            slow[starts] = True
            dlq[starts] = 1
            missed = free & ~default & (dlq[loans] > 0)  # a missed payment last month: cured now
            v = (u - mdr) / (1 - mdr)
            full = free & ~default & ~missed & (v < payoff)
            paid = loans[full]
            zb[paid] = "01"
            last[paid] = bal[paid]
            new_bal[paid] = 0.0
            miss = free & ~default & ~missed & ~full & (rng.random(loans.size) < _MISS)
            dlq[loans[miss]] = 1
            pays = free & ~default & ~full & ~miss
            extra = np.where(rng.random(loans.size) < _CURTAIL_SHARE, curtail * (b - sched), 0.0)
            if cents:
                extra = half_up_cents(extra)
            new_bal[loans[pays]] = np.maximum(_money(b - sched - extra, precision), 0.0)[pays]
            dlq[loans[missed]] = 0
            matured = pays & (k <= 1)
            zb[loans[matured]] = "01"
            last[loans[matured]] = b[matured]
            rem[loans] = k - 1
        rec["loan"].append(loans)
        rec["t"].append(np.full(loans.size, start + t))
        rec["bal"].append(np.where(zb[loans] == "", new_bal[loans], 0.0))
        rec["age"].append(age0[loans] + t)
        rec["rem"].append(rem[loans])
        rec["dlq"].append(dlq[loans].copy())
        rec["zb"].append(zb[loans])
        rec["last"].append(last[loans])
        rec["loss"].append(loss[loans])
        bal = new_bal
        active[loans[zb[loans] != ""]] = False
    out = {k: np.concatenate(v) for k, v in rec.items()}
    order = np.lexsort((out["t"], out["loan"]))
    out = {k: v[order] for k, v in out.items()}
    loan = out["loan"]
    out.update(term=term[loan], annual=annual[loan], orig=orig[loan], first_pay=first_pay[loan], rate_m=r[loan], n=n)
    return out


def _liquidation_fields(rec: dict[str, Any], layout: str, rng: Any, precision: Precision) -> dict[str, Any]:
    """Costs and proceeds whose publisher's net loss is the simulated loss, on liquidation records (to
    the cent in cent mode, where the proceeds are whole cents too)."""
    np = require("numpy", "sample_history()")
    lq = ~np.isnan(rec["loss"])
    last, loss = rec["last"], rec["loss"]
    out: dict[str, Any] = {}

    def money(values: Any) -> Any:
        return _money(values, precision)

    proceeds = money if checks.cents(precision) else (lambda values: values)
    if layout == "fannie-mae":
        costs = np.where(lq, money(0.03 * last), np.nan)
        repair = np.where(lq, money(0.01 * last), np.nan)
        months = np.where(lq, rng.integers(3, 12, last.size), 0)
        interest = months * (rec["annual"] / 100.0 - 0.0035) / 12.0 * last
        ce = np.where(lq, money(0.05 * last), np.nan)
        net = proceeds(last + costs + repair + interest - ce - loss)
        out.update(costs=costs, repair=repair, months=months, ce=ce, net=np.where(lq, net, np.nan))
    else:
        expenses = np.where(lq, -money(0.04 * last), np.nan)
        dai = np.where(lq, money(0.02 * last), np.nan)
        mi = np.where(lq, money(0.03 * last), np.nan)
        net = proceeds(last + dai - expenses - mi - loss)
        out.update(expenses=expenses, dai=dai, mi=mi, net=np.where(lq, net, np.nan))
    return out


def _fannie_table(rec: dict[str, Any], rng: Any, ids: Any, precision: Precision) -> Any:
    pa = require("pyarrow", "sample_history()")
    np = require("numpy", "sample_history()")
    size = rec["loan"].size
    liq = _liquidation_fields(rec, "fannie-mae", rng, precision)
    lq = ~np.isnan(rec["loss"])
    zbm = np.where(rec["zb"] != "", rec["t"], 0)
    blank = pa.nulls(size, pa.string())
    cols: dict[str, Any] = {name: blank for name, _ in FANNIE_FIELDS}
    month = _months(rec["t"], "MMYYYY")
    cols.update(
        loan_id=pa.array(ids[rec["loan"]]),
        act_period=pa.array(month),
        channel=pa.array(np.full(size, "R")),
        orig_rate=_text(rec["annual"], 3),
        curr_rate=_text(rec["annual"], 3),
        orig_upb=_text(rec["orig"]),
        current_upb=_text(rec["bal"]),
        orig_term=_text(rec["term"], None),
        orig_date=pa.array(_months(rec["first_pay"] - 2, "MMYYYY")),
        first_pay=pa.array(_months(rec["first_pay"], "MMYYYY")),
        loan_age=_text(rec["age"], None),
        rem_months=_text(rec["rem"], None),
        matr_dt=pa.array(_months(rec["first_pay"] + rec["term"] - 1, "MMYYYY")),
        state=pa.array(np.full(size, "CA")),
        dlq_status=pa.array(np.char.zfill(np.minimum(rec["dlq"], 99).astype(str), 2)),
        zero_bal_code=pa.array(rec["zb"].astype(str)).cast(pa.string()),
        zb_dte=pa.array(np.where(rec["zb"] != "", _months(zbm, "MMYYYY"), "")),
        last_upb=_text(np.where(rec["zb"] != "", rec["last"], np.nan)),
        last_paid_installment_date=pa.array(np.where(lq, _months(rec["t"] - liq["months"], "MMYYYY"), "")),
        disposition_date=pa.array(np.where(lq, month, "")),
        foreclosure_costs=_text(liq["costs"]),
        property_preservation_and_repair_costs=_text(liq["repair"]),
        net_sales_proceeds=_text(liq["net"], 6),
        credit_enhancement_proceeds=_text(liq["ce"]),
    )
    return pa.table(cols)


def _freddie_tables(rec: dict[str, Any], rng: Any, ids: Any, precision: Precision) -> tuple[Any, Any]:
    pa = require("pyarrow", "sample_history()")
    np = require("numpy", "sample_history()")
    size = rec["loan"].size
    liq = _liquidation_fields(rec, "freddie-mac", rng, precision)
    blank = pa.nulls(size, pa.string())
    perf: dict[str, Any] = {name: blank for name, _ in FREDDIE_PERFORMANCE_FIELDS}
    zbm = np.where(rec["zb"] != "", rec["t"], 0)
    dlq = np.where(rec["dlq"] >= 8, "RA", rec["dlq"].astype(str))
    perf.update(
        loan_sequence_number=pa.array(ids[rec["loan"]]),
        monthly_reporting_period=pa.array(_months(rec["t"], "YYYYMM")),
        current_actual_upb=_text(rec["bal"]),
        current_loan_delinquency_status=pa.array(dlq),
        loan_age=_text(rec["age"], None),
        remaining_months_to_legal_maturity=_text(rec["rem"], None),
        zero_balance_code=pa.array(rec["zb"].astype(str)),
        zero_balance_effective_date=pa.array(np.where(rec["zb"] != "", _months(zbm, "YYYYMM"), "")),
        current_interest_rate=_text(rec["annual"], 3),
        current_deferred_upb=_text(np.zeros(size)),
        mi_recoveries=_text(liq["mi"]),
        net_sale_proceeds=_text(liq["net"], 6),
        expenses=_text(liq["expenses"]),
        zero_balance_removal_upb=_text(np.where(rec["zb"] != "", rec["last"], np.nan)),
        delinquent_accrued_interest=_text(liq["dai"]),
    )
    # One origination record a loan.
    first = np.flatnonzero(np.r_[True, rec["loan"][1:] != rec["loan"][:-1]])
    m = first.size
    orig: dict[str, Any] = {name: pa.nulls(m, pa.string()) for name, _ in FREDDIE_ORIGINATION_FIELDS}
    orig.update(
        credit_score=_text(rng.integers(620, 820, m), None),
        first_payment_date=pa.array(_months(rec["first_pay"][first], "YYYYMM")),
        maturity_date=pa.array(_months(rec["first_pay"][first] + rec["term"][first] - 1, "YYYYMM")),
        orig_upb=_text(rec["orig"][first]),
        orig_interest_rate=_text(rec["annual"][first], 3),
        property_state=pa.array(np.full(m, "TX")),
        loan_sequence_number=pa.array(ids[rec["loan"][first]]),
        orig_loan_term=_text(rec["term"][first], None),
    )
    return pa.table(perf), pa.table(orig)


def _append(path: str, table: Any) -> None:
    csv = require("pyarrow.csv", "sample_history()")
    with open(path, "ab") as f:
        csv.write_csv(table, f, csv.WriteOptions(include_header=False, delimiter="|", quoting_style="none"))


def write_sample_history(
    folder: str,
    loans: int,
    months: int,
    layout: str,
    *,
    cpr: float = 0.08,
    cdr: float = 0.01,
    severity: float = 0.35,
    seed: int = 20261208,
    start: str = "2020-01",
    precision: Precision = "binary32",
) -> list[str]:
    """Writes the history into ``folder`` (made if missing; its files of the same names replaced) and
    returns the files written, the performance files first. Speeds are fractions a year. ``precision="cent"``
    services the loans in whole cents (see the module's text)."""
    np = require("numpy", "sample_history()")
    if layout not in ("fannie-mae", "freddie-mac"):
        raise ValueError(f"layout must be fannie-mae or freddie-mac, not {layout!r}")
    if loans < 1 or months < 1:
        raise ValueError("loans and months must be 1 or more")
    checks.cents(precision)
    for name, value in (("cpr", cpr), ("cdr", cdr), ("severity", severity)):
        if not 0.0 <= value < 1.0:
            raise ValueError(f"{name} must be a fraction from 0 to below 1, not {value!r}")
    year, month = (int(p) for p in start.split("-"))
    first = (year - 1970) * 12 + month - 1
    os.makedirs(folder, exist_ok=True)
    written: dict[str, None] = {}
    origination: dict[str, None] = {}
    for chunk, lo in enumerate(range(0, loans, _CHUNK)):
        rng = np.random.default_rng([seed, chunk])
        n = min(_CHUNK, loans - lo)
        rec = _simulate(rng, n, months, first, (cpr, cdr, severity), precision)
        quarter = (rec["first_pay"] // 12 + 1970) * 10 + (rec["first_pay"] % 12) // 3 + 1
        if layout == "fannie-mae":
            ids = np.char.zfill((np.arange(lo, lo + n) + 100_000_000_000).astype(str), 12)
            tables = [(_fannie_table(rec, rng, ids, precision), None)]
        else:
            ids = np.asarray([f"F{lo + i:010d}" for i in range(n)])
            tables = [_freddie_tables(rec, rng, ids, precision)]
        perf, orig = tables[0]
        pa = require("pyarrow", "sample_history()")
        q_perf = quarter
        for q in np.unique(q_perf).tolist():
            keep = pa.array(q_perf == q)
            label = f"{q // 10}Q{q % 10}"
            name = f"{label}.txt" if layout == "fannie-mae" else f"historical_data_time_{label}.txt"
            path = os.path.join(folder, name)
            if path not in written and os.path.exists(path):
                os.remove(path)
            written[path] = None
            _append(path, perf.filter(keep))
            if orig is not None:
                first_rows = np.flatnonzero(np.r_[True, rec["loan"][1:] != rec["loan"][:-1]])
                okeep = pa.array(q_perf[first_rows] == q)
                opath = os.path.join(folder, f"historical_data_{label}.txt")
                if opath not in origination and os.path.exists(opath):
                    os.remove(opath)
                origination[opath] = None
                _append(opath, orig.filter(okeep))
    return [*written, *origination]
