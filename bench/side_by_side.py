"""The existing benchmarks' calls on two builds, side by side in one run.

    .venv/bin/python bench/side_by_side.py --old OLD/.venv/bin/python --new NEW/.venv/bin/python
        [--reps 7] [--quick] [--only GROUP ...] [--native OLD/build/bench NEW/build/bench]

Each group holds the calls one benchmark file times (columnar, projection,
valuation, cli_pipeline, dask, and spark where pyspark is installed), on
that file's books. Per group, one child process per build builds the books
and warms every call once; then the driver asks the two children for one
call at a time, old and new in turn (which goes first alternates), so the
noise of a shared machine falls on both alike. The figure per call is
median(new) / median(old) over the reps; above 1.02 is flagged. With
--native, the two builds' engine_bench (schedules) and batch_bench (the
pool's evaluation) run in turn the same way.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

BENCH = os.path.dirname(os.path.abspath(__file__))


def columnar(n: int) -> dict[str, Callable[[], Any]]:
    from columnar_bench import level_book, text_records

    import quill_harbor
    import quill_harbor_columnar as qc

    small, big = level_book(min(n, 20_000)), level_book(n, seed=4)
    recs = text_records(level_book(min(n, 20_000) // 4))
    return {"schedules 2 threads": lambda: qc.schedules(small, threads=2),
            "schedules 1 thread": lambda: qc.schedules(big, threads=1),
            "cashflows": lambda: qc.cashflows(big),
            "paywheel_gil": lambda: quill_harbor.paywheel_gil(recs)}


def projection(n: int) -> dict[str, Callable[[], Any]]:
    from projection_bench import ONE, TEN, book

    import quill_harbor_columnar as qc

    b = book(n)
    return {"project, 1 scenario": lambda: qc.project(b, ONE, by="segment", threads=2),
            "project, 10 scenarios": lambda: qc.project(b, TEN, by="segment", threads=2)}


def valuation(n: int) -> dict[str, Callable[[], Any]]:
    from valuation_bench import SCENARIO, book

    import quill_harbor_columnar as qc

    b, sc = book(n), [SCENARIO]
    return {"value, book at a rate": lambda: qc.value(b, sc, discount_rate=0.05, threads=2),
            "value, book yield from price": lambda: qc.value(b, sc, price=[98, 100, 102], threads=2),
            "value, by segment at a rate": lambda: qc.value(b, sc, discount_rate=0.05, by="segment", threads=2),
            "value per loan, at a rate": lambda: qc.value(b, sc, discount_rate=0.05, per_loan=True, threads=2),
            "value per loan, price column": lambda: qc.value(b, sc, price="px", per_loan=True, threads=2)}


def cli_pipeline(n: int) -> dict[str, Callable[[], Any]]:
    from cli_pipeline_bench import PIPELINE, command_parquet_options

    from quill_harbor_columnar.tape.sample import sample_book, write_book

    # One tape for both builds, written by whichever child comes first.
    tape = os.path.join(os.environ["SIDE_BY_SIDE_TMP"], f"tape{n}.csv")
    if not os.path.exists(tape):
        write_book(sample_book(n, seed=20261208), tape[:-4] + "-part.csv")
        os.replace(tape[:-4] + "-part.csv", tape)
    out = os.path.join(tempfile.mkdtemp(dir=os.environ["SIDE_BY_SIDE_TMP"]), "out.parquet")
    command = os.path.join(os.path.dirname(sys.executable), "quill-harbor")
    argvs = {"command schedules": [sys.executable, command, "schedules", tape, "-o", out, "--no-progress"],
             "pipeline": [sys.executable, "-c", PIPELINE, tape, out, repr(command_parquet_options())]}
    return {k: (lambda a=a: subprocess.run(a, check=True, capture_output=True)) for k, a in argvs.items()}


def dask(n: int) -> dict[str, Callable[[], Any]]:
    import dask.dataframe as dd
    import pandas as pd
    from valuation_bench import SCENARIO, book

    from quill_harbor_columnar import dask as qd

    ddf = dd.from_pandas(pd.DataFrame(book(n)), npartitions=4)
    sc = [SCENARIO]
    return {"dask project": lambda: qd.project(ddf, sc, by="segment").compute(),
            "dask value at a rate": lambda: qd.value(ddf, sc, discount_rate=0.05, by="segment").compute(),
            "dask value per loan": lambda: qd.value(ddf, sc, discount_rate=0.05, per_loan=True).compute()}


def spark(n: int) -> dict[str, Callable[[], Any]]:
    import pyarrow as pa
    import pyarrow.parquet as pq
    from spark_bench import session
    from valuation_bench import SCENARIO, book

    from quill_harbor_columnar import spark as qs

    path = os.path.join(tempfile.mkdtemp(dir=os.environ["SIDE_BY_SIDE_TMP"]), "book.parquet")
    pq.write_table(pa.table(book(n)), path, row_group_size=-(-n // 4))
    df = session().read.parquet(path)
    sc = [SCENARIO]
    return {"spark cashflows": lambda: qs.cashflows(df),
            "spark project": lambda: qs.project(df, sc, by="segment"),
            "spark value at a rate": lambda: qs.value(df, sc, discount_rate=0.05, by="segment")}


GROUPS = {"columnar": columnar, "projection": projection, "valuation": valuation, "cli_pipeline": cli_pipeline,
          "dask": dask, "spark": spark}
SIZES = {"columnar": 100_000, "projection": 200_000, "valuation": 200_000, "cli_pipeline": 100_000,
         "dask": 200_000, "spark": 400_000}


def child(group: str, n: int) -> None:
    """Builds the group's calls, warms each, then times the call named on each line of stdin."""
    sys.path.insert(0, BENCH)
    calls = GROUPS[group](n)
    for f in calls.values():
        f()
    print(json.dumps(list(calls)), flush=True)
    for line in sys.stdin:
        start = time.perf_counter()
        calls[line.strip()]()
        print(time.perf_counter() - start, flush=True)


def compare(old: str, new: str, group: str, n: int, reps: int, tmp: str) -> dict[str, tuple[float, float]]:
    """Per call: median(new) / median(old) and median(old) in seconds."""
    env = dict(os.environ, SIDE_BY_SIDE_TMP=tmp)
    procs = {}
    for side, py in (("old", old), ("new", new)):  # one at a time: the first writes any shared input
        p = subprocess.Popen([py, os.path.abspath(__file__), "--child", group, "--size", str(n)], env=env, text=True,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert p.stdout is not None
        names = json.loads(p.stdout.readline())
        procs[side] = p
    times: dict[str, dict[str, list[float]]] = {k: {s: [] for s in procs} for k in names}
    for r in range(reps):
        for k in names:
            for side in ("old", "new") if r % 2 == 0 else ("new", "old"):
                p = procs[side]
                assert p.stdin is not None and p.stdout is not None
                p.stdin.write(k + "\n")
                p.stdin.flush()
                times[k][side].append(float(p.stdout.readline()))
    for p in procs.values():
        assert p.stdin is not None
        p.stdin.close()
        if p.wait() != 0:
            raise SystemExit(f"{group}: a child exited {p.returncode}")
    med = {k: (statistics.median(t["new"]), statistics.median(t["old"])) for k, t in times.items()}
    return {k: (new_s / old_s, old_s) for k, (new_s, old_s) in med.items()}


# The native benchmarks compared: the engine's schedules and the batch pool's evaluation.
NATIVE = {"engine_bench": "BM_(Loan|Fill)360", "batch_bench": "BM_Evaluate"}


def native(old: str, new: str, reps: int) -> dict[str, float]:
    """The native benchmarks of two build folders, one repetition of each program in turn: new / old."""
    times: dict[str, dict[str, list[float]]] = {}
    for r in range(reps):
        for side, build in (("old", old), ("new", new)) if r % 2 == 0 else (("new", new), ("old", old)):
            for program, which in NATIVE.items():
                argv = [os.path.join(build, "bench", program), f"--benchmark_filter={which}",
                        "--benchmark_min_time=0.2", "--benchmark_format=json"]
                for b in json.loads(subprocess.run(argv, check=True, capture_output=True, text=True).stdout)[
                        "benchmarks"]:
                    # A benchmark timed by hand (the pool's wall time) has no meaningful CPU time.
                    key = "real_time" if "manual_time" in b["name"] else "cpu_time"
                    times.setdefault(f"{program} {b['name']}", {"old": [], "new": []})[side].append(b[key])
    return {k: statistics.median(t["new"]) / statistics.median(t["old"]) for k, t in times.items()}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--old", help="the python of the build to compare against")
    ap.add_argument("--new", help="the python of the build under test")
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--quick", action="store_true", help="a tenth of the books, for a smoke test")
    ap.add_argument("--only", nargs="*", choices=list(GROUPS), default=list(GROUPS))
    ap.add_argument("--native", nargs=2, metavar=("OLD", "NEW"),
                    help="two build folders made with -DQH_BUILD_BENCH=ON (engine_bench, batch_bench)")
    ap.add_argument("--child", choices=list(GROUPS), help=argparse.SUPPRESS)
    ap.add_argument("--size", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child, args.size)
        return 0
    if not (args.old and args.new):
        ap.error("--old and --new are required")
    print(f"new / old, medians of {args.reps} alternated calls; load average {os.getloadavg()[0]:.2f} at start")
    slower = []
    with tempfile.TemporaryDirectory() as tmp:
        for group in args.only:
            n = SIZES[group] // (10 if args.quick else 1)
            if group == "spark" and subprocess.run([args.old, "-c", "import pyspark"], capture_output=True).returncode:
                print(f"{group}: skipped, pyspark is not installed")
                continue
            ratios = compare(args.old, args.new, group, n, args.reps, tmp)
            print(f"{group} ({n:,} loans)")
            for k, (v, old_s) in ratios.items():
                print(f"  {k:<34} {v:6.3f}x   (old {old_s:.3f} s){'  SLOWER' * (v > 1.02)}")
                slower += [f"{group}: {k}"] * (v > 1.02)
    if args.native:
        print("native benchmarks (CPU time; wall time where timed by hand)")
        for k, v in native(*args.native, args.reps).items():
            print(f"  {k:<48} {v:6.3f}x{'  SLOWER' * (v > 1.02)}")
            slower += [k] * (v > 1.02)
    print(f"load average {os.getloadavg()[0]:.2f} at the end; above 1.02x: {', '.join(slower) or 'none'}")
    return 1 if slower else 0


if __name__ == "__main__":
    sys.exit(main())
