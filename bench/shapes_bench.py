"""What a loan shape costs, as ratios measured side by side in one run.

    .venv/bin/python bench/shapes_bench.py [--quick] [--against OTHER_PYTHON]

1. cashflows (and schedules) of 100,000 commercial loans, interest-only for
   24 periods with a balloon at 120 on a 360-period amortization, against
   100,000 plain 360-period loans: calls alternate, medians compared.
2. With --against, a plain book's cost against another build (the
   interpreter of a virtual environment with the build to compare, for
   example one without shapes): the two interpreters run their calls in
   turn, each timing its own, and the medians are compared.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import textwrap
import time

import numpy as np
import quill_harbor_columnar as qc


def book(n: int, shaped: bool, seed: int = 1) -> dict:
    rng = np.random.default_rng(seed)
    b = {"amt": rng.uniform(1e5, 5e6, n).round(2), "rate": rng.uniform(0.002, 0.008, n).round(5),
         "pers": np.full(n, 120 if shaped else 360, dtype=np.int64), "int_freq": np.ones(n, dtype=np.int64),
         "cap_freq": np.ones(n, dtype=np.int64)}
    if shaped:
        b["io_pers"] = np.full(n, 24, dtype=np.int64)
        b["amort_pers"] = np.full(n, 360, dtype=np.int64)
    return b


def interleaved(fns: dict, reps: int) -> dict:
    times: dict = {k: [] for k in fns}
    for _ in range(reps):
        for k, f in fns.items():
            t = time.perf_counter()
            r = f()
            times[k].append(time.perf_counter() - t)
            del r
    return {k: statistics.median(v) for k, v in times.items()}


def row(label: str, value: str, target: str = "") -> None:
    print(f"  {label:<62} {value:>10}   {target}")


# One contender of the cross-build comparison: reads a command per line
# ("schedules" or "cashflows"), times one call on its plain book and writes
# the seconds back.
CHILD = """
import sys, time, numpy as np, quill_harbor_columnar as qc
n = int(sys.argv[1])
rng = np.random.default_rng(1)
b = {"amt": rng.uniform(1e3, 5e5, n).round(2), "rate": rng.uniform(0.001, 0.01, n).round(5),
     "pers": np.full(n, 360, dtype=np.int64), "int_freq": np.ones(n, dtype=np.int64),
     "cap_freq": np.ones(n, dtype=np.int64)}
for line in sys.stdin:
    op = getattr(qc, line.strip())
    t = time.perf_counter()
    r = op(b)
    print(time.perf_counter() - t, flush=True)
    del r
"""


def against(other: str, n: int, reps: int) -> None:
    procs = {name: subprocess.Popen([py, "-c", textwrap.dedent(CHILD), str(n)], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)
             for name, py in (("this build", sys.executable), ("other", other))}
    for op in ("schedules", "cashflows"):
        times: dict = {k: [] for k in procs}
        for _ in range(reps + 1):  # the first round warms up
            for k, p in procs.items():
                assert p.stdin is not None and p.stdout is not None
                p.stdin.write(op + "\n")
                p.stdin.flush()
                times[k].append(float(p.stdout.readline()))
        med = {k: statistics.median(v[1:]) for k, v in times.items()}
        row(f"plain book {op}, {n:,} x 360: this build / {other.split('/')[-4] if other.count('/') > 3 else other}",
            f"{med['this build'] / med['other']:.3f}x", "target <= 1.02x")
    for p in procs.values():
        assert p.stdin is not None
        p.stdin.close()
        p.wait()


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--against", help="the python of another build, for the plain-book comparison")
    args = ap.parse_args()
    n = 20_000 if args.quick else 100_000
    reps = 3 if args.quick else 7
    shaped, plain = book(n, True), book(n, False)
    assert qc.cashflows(shaped).num_rows == 121 and qc.cashflows(plain).num_rows == 361
    print(f"Loan shapes, {n:,} loans a side (median of {reps}, calls alternating)")
    t = interleaved({"shaped": lambda: qc.cashflows(shaped), "plain": lambda: qc.cashflows(plain)}, reps)
    row("cashflows: IO 24 + balloon at 120 on 360 / plain 360", f"{t['shaped'] / t['plain']:.3f}x", "target <= 1.15x")
    t = interleaved({"shaped": lambda: qc.schedules(shaped), "plain": lambda: qc.schedules(plain)}, reps)
    row("schedules: IO 24 + balloon at 120 on 360 / plain 360", f"{t['shaped'] / t['plain']:.3f}x")
    # Both books at a rate too small for the head to be proved on its own:
    # each 96-period piece then takes the whole 360-period engine schedule.
    slow, slow_plain = dict(shaped, rate=np.full(n, 2e-6)), dict(plain, rate=np.full(n, 2e-6))
    t = interleaved({"shaped": lambda: qc.cashflows(slow), "plain": lambda: qc.cashflows(slow_plain)}, reps)
    row("cashflows at rate 2e-6 (the whole schedule behind each piece)", f"{t['shaped'] / t['plain']:.3f}x")
    if args.against:
        against(args.against, n, reps)
    print(json.dumps({"loans": n, "reps": reps}))


if __name__ == "__main__":
    main()
