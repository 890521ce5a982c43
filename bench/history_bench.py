"""Realized performance by vintage of one synthetic fannie-mae history, side by side: ``performance()``
against the same computation as one duckdb SQL query and as a pandas groupby version.

    .venv/bin/quill-harbor sample-history --loans 300000 --months 36 --layout fannie-mae -o /tmp/h10m
    .venv/bin/python bench/history_bench.py /tmp/h10m [--reps 2] [--contenders quill,duckdb,pandas]

``quill-csv`` is ``performance()`` with the native reader of clean blocks off (every block through the CSV
reader), to compare the two readers side by side.

Each contender runs in a fresh process (so its peak RSS is its own), contenders alternating rep by rep;
the best time of each is kept. The three results are compared cell by cell. Every contender gets the
same inputs and the same definitions (docs/history.md): the start-of-month pool, scheduled principal in
closed form from the previous record's balance, rate and remaining months, payoffs and curtailments
(from a cent), defaults once (codes 02, 03, 09, 15 or six months delinquent), the publisher's net loss.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import resource
import subprocess
import sys
import time

from quill_harbor_columnar.history.layouts import FANNIE_FIELDS

NAMES = [name for name, _ in FANNIE_FIELDS]
MEASURES = ["loans", "balance", "scheduled_principal", "prepaid_principal", "defaulted_balance", "loss", "recovery"]


def run_quill(folder: str) -> object:
    import quill_harbor_columnar as qc

    return qc.performance(qc.history(folder, "fannie-mae"), by="vintage").to_pandas()


def run_quill_csv(folder: str) -> object:
    """``performance()`` with every block read by the CSV reader (the native field reader off)."""
    from quill_harbor_columnar.history import records

    records.native_reader = False
    return run_quill(folder)


def _month_sql(col: str) -> str:
    return f"make_date(CAST(substr({col}, 3, 4) AS INTEGER), CAST(substr({col}, 1, 2) AS INTEGER), 1)"


def duckdb_query(folder: str) -> str:
    names = ", ".join(f"'{n}'" for n in NAMES)
    z = lambda c: f"COALESCE(TRY_CAST({c} AS DOUBLE), 0)"  # noqa: E731
    costs = " + ".join(z(c) for c in NAMES[53:58])
    proceeds = " + ".join(z(c) for c in NAMES[58:62])
    return f"""
WITH r AS (
  SELECT loan_id AS id, {_month_sql('act_period')} AS month,
         CAST(current_upb AS DOUBLE) AS bal, CAST(curr_rate AS DOUBLE) AS rate,
         CAST(rem_months AS INTEGER) AS rem, CAST(loan_age AS INTEGER) AS age,
         COALESCE(TRY_CAST(dlq_status AS INTEGER), -1) AS dlq, NULLIF(zero_bal_code, '') AS zb,
         TRY_CAST(curr_schd_prncpl AS DOUBLE) AS reported,
         year({_month_sql('first_pay')}) AS vintage,
         TRY_CAST(last_upb AS DOUBLE) AS last_upb,
         TRY_CAST(last_upb AS DOUBLE) + ({costs}) + {z('principal_forgiveness_amount')}
           + (CASE WHEN disposition_date <> '' AND last_paid_installment_date <> ''
                   THEN date_diff('month', {_month_sql('last_paid_installment_date')}, {_month_sql('disposition_date')})
                   ELSE 0 END)
             * (CAST(curr_rate AS DOUBLE) / 100 - 0.0035) / 12
             * (TRY_CAST(last_upb AS DOUBLE) - {z('non_interest_bearing_upb')})
           - ({proceeds}) AS net_loss
  FROM read_csv('{folder}/*', delim='|', header=false, quote='', escape='', all_varchar=true, names=[{names}])
), e AS (
  SELECT *, COALESCE(zb IN ('02', '03', '09', '15'), false) AS liquidation,
         (COALESCE(zb IN ('02', '03', '09', '15'), false) OR dlq >= 6) AS event
  FROM r
), s AS (
  SELECT *,
    LAG(bal) OVER w AS p_bal, LAG(rate) OVER w AS p_rate, LAG(rem) OVER w AS p_rem, LAG(zb) OVER w AS p_zb,
    LAG(id) OVER w AS p_id,
    COALESCE(SUM(CAST(event AS INTEGER)) OVER (PARTITION BY id ORDER BY month
             ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING), 0) AS before
  FROM e WINDOW w AS (PARTITION BY id ORDER BY month)
), t AS (
  SELECT *, (p_id IS NOT NULL AND p_bal > 0 AND p_zb IS NULL AND before = 0) AS pool,
    CASE WHEN p_rem <= 1 THEN p_bal
         WHEN p_rate = 0 THEN p_bal / p_rem
         ELSE LEAST(p_bal * (p_rate / 1200) / (POW(1 + p_rate / 1200, p_rem) - 1), p_bal) END AS sched_calc
  FROM s
), u AS (
  SELECT month, vintage, pool, liquidation AND net_loss IS NOT NULL AS liq, net_loss, last_upb,
    CASE WHEN pool THEN p_bal ELSE 0 END AS start_bal,
    CASE WHEN pool THEN LEAST(COALESCE(reported, sched_calc), p_bal) ELSE 0 END AS sched,
    pool AND event AS credit, pool AND NOT event AND zb = '01' AS payoff, pool AND NOT event AND zb IS NULL AS running,
    bal
  FROM t
)
SELECT month, vintage,
  SUM(CAST(pool AS INTEGER)) AS loans, SUM(start_bal) AS balance, SUM(sched) AS scheduled_principal,
  SUM(CASE WHEN payoff THEN start_bal - sched
           WHEN running AND start_bal - sched - bal >= 0.01 THEN start_bal - sched - bal ELSE 0 END)
    AS prepaid_principal,
  SUM(CASE WHEN credit THEN start_bal ELSE 0 END) AS defaulted_balance,
  SUM(CASE WHEN liq THEN net_loss ELSE 0 END) AS loss,
  SUM(CASE WHEN liq THEN last_upb - net_loss ELSE 0 END) AS recovery
FROM u WHERE pool OR liq
GROUP BY month, vintage ORDER BY month, vintage
"""


def run_duckdb(folder: str) -> object:
    import duckdb

    return duckdb.sql(duckdb_query(folder)).df()


def run_pandas(folder: str) -> object:
    import numpy as np
    import pandas as pd

    use = ["loan_id", "act_period", "current_upb", "curr_rate", "rem_months", "loan_age", "dlq_status",
           "zero_bal_code", "curr_schd_prncpl", "first_pay", "last_upb", "last_paid_installment_date",
           "disposition_date", *NAMES[53:64]]  # fmt: skip
    frames = []
    for path in sorted(glob.glob(os.path.join(folder, "*"))):
        f = pd.read_csv(path, sep="|", header=None, names=NAMES, usecols=use, dtype=str, keep_default_na=False)
        num = lambda c: pd.to_numeric(f[c].where(f[c] != "", None)).astype(float)  # noqa: E731
        month = lambda c: pd.to_datetime(f[c].where(f[c] != "", None), format="%m%Y")  # noqa: E731
        d = pd.DataFrame({"id": f.loan_id, "month": month("act_period"), "bal": num("current_upb"),
                          "rate": num("curr_rate"), "rem": num("rem_months"), "age": num("loan_age"),
                          "dlq": pd.to_numeric(f.dlq_status.replace("XX", "-1")), "zb": f.zero_bal_code,
                          "reported": num("curr_schd_prncpl"), "vintage": month("first_pay").dt.year})
        zero = lambda c: num(c).fillna(0.0)  # noqa: E731
        months = (month("disposition_date").dt.year * 12 + month("disposition_date").dt.month
                  - month("last_paid_installment_date").dt.year * 12
                  - month("last_paid_installment_date").dt.month).fillna(0)
        last = num("last_upb")
        d["net_loss"] = (last + sum(zero(c) for c in NAMES[53:58]) + zero("principal_forgiveness_amount")
                         + months * (d.rate / 100 - 0.0035) / 12 * (last - zero("non_interest_bearing_upb"))
                         - sum(zero(c) for c in NAMES[58:62]))
        d["last_upb"] = last
        g = d.groupby("id", sort=False)
        prev = g[["bal", "rate", "rem", "zb"]].shift(1)
        liquidation = d.zb.isin(["02", "03", "09", "15"])
        event = liquidation | (d.dlq >= 6)
        before = event.groupby(d.id).cumsum() - event
        pool = prev.bal.notna() & (prev.bal > 0) & (prev.zb == "") & (before == 0)
        r = prev.rate / 1200
        calc = (prev.bal * r / ((1 + r) ** prev.rem - 1)).where(prev.rem > 1, prev.bal)
        sched = d.reported.fillna(calc).clip(upper=prev.bal)
        credit = pool & event
        payoff = pool & ~credit & (d.zb == "01")
        running = pool & ~credit & (d.zb == "")
        excess = prev.bal - sched - d.bal
        liq = liquidation & d.net_loss.notna()
        out = pd.DataFrame({
            "month": d.month, "vintage": d.vintage, "loans": pool.astype(float),
            "balance": prev.bal.where(pool, 0.0), "scheduled_principal": sched.where(pool, 0.0),
            "prepaid_principal": (prev.bal - sched).where(payoff, 0.0) + excess.where(running & (excess >= 0.01), 0.0),
            "defaulted_balance": prev.bal.where(credit, 0.0), "loss": d.net_loss.where(liq, 0.0),
            "recovery": (d.last_upb - d.net_loss).where(liq, 0.0),
        })[pool | liq]  # fmt: skip
        frames.append(out)
    return pd.concat(frames).groupby(["month", "vintage"]).sum().reset_index()


RUNNERS = {"quill": run_quill, "quill-csv": run_quill_csv, "duckdb": run_duckdb, "pandas": run_pandas}


def child(name: str, folder: str, out: str) -> None:
    # Each contender's libraries are imported before the clock starts.
    import duckdb  # noqa: F401
    import pandas  # noqa: F401

    import quill_harbor_columnar  # noqa: F401

    start = time.perf_counter()
    result = RUNNERS[name](folder)
    seconds = time.perf_counter() - start
    result.to_parquet(out)  # type: ignore[attr-defined]
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "peak_rss": rss}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--reps", type=int, default=2)
    parser.add_argument("--contenders", default="quill,duckdb,pandas")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.folder, args.out)
        return
    import numpy as np
    import pandas as pd

    names = args.contenders.split(",")
    records = sum(sum(1 for _ in open(p, "rb")) for p in glob.glob(os.path.join(args.folder, "*")))
    best: dict[str, dict[str, float]] = {}
    results = {}
    for rep in range(args.reps):
        for name in names:
            out = f"/tmp/history_bench_{name}.parquet"
            proc = subprocess.run([sys.executable, __file__, args.folder, "--child", name, "--out", out],
                                  capture_output=True, text=True, check=True)  # fmt: skip
            got = json.loads(proc.stdout.strip().splitlines()[-1])
            print(f"rep {rep} {name:9s} {got['seconds']:8.2f} s  peak RSS {got['peak_rss'] / 2**20:8.1f} MiB",
                  flush=True)  # fmt: skip
            if name not in best or got["seconds"] < best[name]["seconds"]:
                best[name] = got
            results[name] = pd.read_parquet(out)
    print(f"\n{records:,} records in {args.folder}")
    for name in names:
        b = best[name]
        ratio = best[name]["seconds"] / best["quill"]["seconds"] if "quill" in best else float("nan")
        print(f"{name:9s} best {b['seconds']:8.2f} s  ({ratio:5.2f}x quill's time)  peak RSS "
              f"{b['peak_rss'] / 2**20:8.1f} MiB")  # fmt: skip
    base = results.get("quill")
    for name, other in results.items():
        if name == "quill" or base is None:
            continue
        base_k = base.assign(month=pd.to_datetime(base["month"])).set_index(["month", "vintage"])
        other_k = other.assign(month=pd.to_datetime(other["month"])).set_index(["month", "vintage"])
        joined = base_k[MEASURES].join(other_k[MEASURES], rsuffix="_o", how="outer")
        worst = max(
            float(np.nanmax(np.abs(joined[m] - joined[m + "_o"]) / np.maximum(np.abs(joined[m]), 1e-300)))
            for m in MEASURES
        )
        print(f"{name}: {len(other_k)} rows against {len(base_k)}; largest relative difference {worst:.3g}")


if __name__ == "__main__":
    main()
