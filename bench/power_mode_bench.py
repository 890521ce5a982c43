"""Portfolio cash flows in the two power modes, side by side in one run.

    .venv/bin/python bench/power_mode_bench.py [--loans 200000] [--rounds 5] [--threads 1]

The power mode is chosen once per process from QUILL_HARBOR_POWF, so each
measurement runs in a fresh process: unset (the platform powf) or
"correctly-rounded". The rounds alternate the two modes, so that the noise of
a shared machine falls on both alike; each child times quill_harbor_columnar
.cashflows on the same book (360 periods, capital and interest due every
period) three times and reports its fastest call. The figures are the medians
over the rounds.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import textwrap

CHILD = """
import sys, time
import numpy as np
import quill_harbor_columnar as qc

n, threads = int(sys.argv[1]), int(sys.argv[2])
rng = np.random.default_rng(7)
book = {"amt": rng.uniform(1e3, 5e5, n).round(2), "rate": rng.uniform(0.0005, 0.01, n).round(5),
        "pers": np.full(n, 360, dtype=np.int64), "int_freq": np.ones(n, dtype=np.int64),
        "cap_freq": np.ones(n, dtype=np.int64)}
best = float("inf")
for _ in range(3):
    t = time.perf_counter()
    cf = qc.cashflows(book, threads=threads)
    best = min(best, time.perf_counter() - t)
    del cf
print(n / best)
"""

MODES = {"default (platform powf)": None, "correctly rounded": "correctly-rounded"}


def loans_per_second(mode: str | None, loans: int, threads: int) -> float:
    env = dict(os.environ)
    env.pop("QUILL_HARBOR_POWF", None)
    if mode is not None:
        env["QUILL_HARBOR_POWF"] = mode
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD), str(loans), str(threads)],
                         capture_output=True, text=True, env=env, check=True)
    return float(out.stdout.strip())


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--loans", type=int, default=200_000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--threads", type=int, default=1)
    args = ap.parse_args()

    rates: dict[str, list[float]] = {name: [] for name in MODES}
    for _ in range(args.rounds):
        for name, mode in MODES.items():
            rates[name].append(loans_per_second(mode, args.loans, args.threads))

    print(f"cashflows, {args.loans:,} loans x 360 periods, {args.threads} thread(s), "
          f"medians of {args.rounds} rounds (each the fastest of 3 calls in a fresh process)")
    medians = {name: statistics.median(v) for name, v in rates.items()}
    for name, value in medians.items():
        print(f"  {name:<28} {value:>12,.0f} loans/s")
    ratio = medians["correctly rounded"] / medians["default (platform powf)"]
    print(f"  {'correctly rounded / default':<28} {ratio:>12.2f}x   target >= 1.5x")


if __name__ == "__main__":
    main()
