"""Portfolio cash flows in cent mode against binary32, side by side in one run.

    .venv/bin/python bench/cents_bench.py [--loans 200000] [--rounds 5] [--threads 2]

One book of level-payment loans (360 monthly periods, amounts to the cent,
rates per period); each round times quill_harbor_columnar.cashflows on it
with precision="binary32" and with precision="cent", in alternating order so
that the noise of a shared machine falls on both alike. The figure is the
ratio of the medians, cent over binary32 (the target is at most 1.5).
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import quill_harbor_columnar as qc


def book(n: int) -> dict:
    rng = np.random.default_rng(7)
    return {
        "amt": rng.uniform(1e3, 5e5, n).round(2),
        "rate": rng.uniform(0.0005, 0.01, n).round(5),
        "pers": np.full(n, 360, dtype=np.int64),
        "int_freq": np.ones(n, dtype=np.int64),
        "cap_freq": np.ones(n, dtype=np.int64),
    }


def seconds(loans: dict, precision: str, threads: int) -> float:
    t = time.perf_counter()
    qc.cashflows(loans, threads=threads, precision=precision)
    return time.perf_counter() - t


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--loans", type=int, default=200_000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()
    loans = book(args.loans)
    times: dict[str, list[float]] = {"binary32": [], "cent": []}
    seconds(loans, "binary32", args.threads)  # warm the pool and the page cache
    for r in range(args.rounds):
        for precision in ("binary32", "cent") if r % 2 == 0 else ("cent", "binary32"):
            times[precision].append(seconds(loans, precision, args.threads))
    b32, cent = (statistics.median(times[p]) for p in ("binary32", "cent"))
    print(f"{args.loans:,} loans x 360, {args.threads} threads, medians of {args.rounds}")
    print(f"binary32 cashflows: {b32:.3f} s ({args.loans / b32:,.0f} loans/s)")
    print(f"cent cashflows:     {cent:.3f} s ({args.loans / cent:,.0f} loans/s)")
    print(f"cent / binary32:    {cent / b32:.2f}x (target <= 1.5x)")


if __name__ == "__main__":
    main()
