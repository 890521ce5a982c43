"""Values of a book against its projection, side by side.

    .venv/bin/python bench/valuation_bench.py [--loans N] [--reps R] [--threads T] [--scenarios S]

200,000 level-payment loans of 360 monthly periods, aged 0 to 59 months, in
five segments, with a price column, on 2 threads by default. The contenders
alternate call by call and the figures are medians, so that the noise of a
shared machine hits all of them alike. Targets: per loan at a discount rate
at most 1.5 times project(), per-loan yields from a price column at most 3
times, book and segment values at most 1.1 times project() of the same
totals.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import quill_harbor_columnar as qc

SCENARIO = {"cpr": 0.08, "cdr": 0.01, "severity": 0.35, "lag": 6}


def book(n: int, seed: int = 1, max_age: int = 60) -> dict:
    rng = np.random.default_rng(seed)
    return {"amt": rng.uniform(5e4, 5e5, n).round(2), "rate": rng.uniform(0.002, 0.006, n).round(5),
            "pers": np.full(n, 360, dtype=np.int64), "int_freq": np.ones(n, dtype=np.int64),
            "cap_freq": np.ones(n, dtype=np.int64), "age": rng.integers(0, max_age, n),
            "segment": rng.integers(0, 5, n), "px": rng.uniform(95.0, 105.0, n)}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--loans", type=int, default=200_000)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--scenarios", type=int, default=1, help="copies of the scenario, at rising speeds")
    args = ap.parse_args()
    b = book(args.loans)
    t = args.threads
    sc = [dict(SCENARIO, cpr=0.08 + 0.02 * i) for i in range(args.scenarios)]
    fns = {
        "project": lambda: qc.project(b, sc, threads=t),
        "project, by segment": lambda: qc.project(b, sc, by="segment", threads=t),
        "value, book at a rate": lambda: qc.value(b, sc, discount_rate=0.05, threads=t),
        "value, book yield from price": lambda: qc.value(b, sc, price=[98, 100, 102], threads=t),
        "value, by segment at a rate": lambda: qc.value(b, sc, discount_rate=0.05, by="segment", threads=t),
        "value per loan, at a rate": lambda: qc.value(b, sc, discount_rate=0.05, per_loan=True, threads=t),
        "value per loan, price column": lambda: qc.value(b, sc, price="px", per_loan=True, threads=t),
    }
    base = {"project, by segment": "project, by segment", "value, by segment at a rate": "project, by segment"}
    targets = {"value, book at a rate": 1.1, "value, book yield from price": 1.1, "value, by segment at a rate": 1.1,
               "value per loan, at a rate": 1.5, "value per loan, price column": 3.0}
    for f in fns.values():  # warm: the pool, the page cache of the allocator
        f()
    times: dict[str, list[float]] = {k: [] for k in fns}
    for _ in range(args.reps):
        for k, f in fns.items():
            start = time.perf_counter()
            f()
            times[k].append(time.perf_counter() - start)
    med = {k: statistics.median(v) for k, v in times.items()}
    print(f"{args.loans:,} loans x 360 periods, {len(sc)} scenario(s), {t} threads, medians of {args.reps}")
    for k, v in med.items():
        against = base.get(k, "project")
        target = targets.get(k)
        ratio = f"{v / med[against]:5.2f}x {against}" + (f" (target <= {target}x)" if target else "")
        print(f"  {k:<30} {v:7.3f} s  {ratio}")


if __name__ == "__main__":
    main()
