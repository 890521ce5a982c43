"""Projected cash flows against cashflows on the same book, side by side.

    .venv/bin/python bench/projection_bench.py [--loans N] [--reps R] [--threads T]

200,000 level-payment loans of 360 monthly periods, aged 0 to 59 months
(--max-age), in five segments, on 2 threads by default. The contenders alternate call by
call and the figures are medians, so that the noise of a shared machine
hits all of them alike. Targets: one scenario at most 1.5 times the time of
cashflows, ten scenarios at most 4 times.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import quill_harbor_columnar as qc

ONE = [{"cpr": 0.08, "cdr": 0.01, "severity": 0.35, "lag": 6}]
TEN = [{"psa": 50 + 25 * i, "sda": 50 + 20 * i, "severity": 0.3, "lag": i % 4} for i in range(10)]


def book(n: int, seed: int = 1, max_age: int = 60) -> dict:
    rng = np.random.default_rng(seed)
    return {"amt": rng.uniform(5e4, 5e5, n).round(2), "rate": rng.uniform(0.002, 0.006, n).round(5),
            "pers": np.full(n, 360, dtype=np.int64), "int_freq": np.ones(n, dtype=np.int64),
            "cap_freq": np.ones(n, dtype=np.int64), "age": rng.integers(0, max_age, n),
            "segment": rng.integers(0, 5, n)}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--loans", type=int, default=200_000)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--max-age", type=int, default=60, help="ages drawn from 0 to this - 1 (at most 360)")
    args = ap.parse_args()
    b = book(args.loans, max_age=args.max_age)
    t = args.threads
    fns = {
        "cashflows": lambda: qc.cashflows(b, threads=t),
        "project, 1 scenario": lambda: qc.project(b, ONE, by="segment", threads=t),
        "project, 10 scenarios": lambda: qc.project(b, TEN, by="segment", threads=t),
    }
    for f in fns.values():  # warm: the pool, the page cache of the allocator
        f()
    times: dict[str, list[float]] = {k: [] for k in fns}
    for _ in range(args.reps):
        for k, f in fns.items():
            start = time.perf_counter()
            f()
            times[k].append(time.perf_counter() - start)
    med = {k: statistics.median(v) for k, v in times.items()}
    base = med["cashflows"]
    print(f"{args.loans:,} loans x 360 periods, ages 0-{args.max_age - 1}, {t} threads, medians of {args.reps}")
    for k, v in med.items():
        target = {"project, 1 scenario": 1.5, "project, 10 scenarios": 4.0}.get(k)
        ratio = f"{v / base:5.2f}x cashflows" + (f" (target <= {target}x)" if target else "")
        print(f"  {k:<24} {v:7.3f} s  {args.loans / v:>12,.0f} loans/s  {ratio}")


if __name__ == "__main__":
    main()
