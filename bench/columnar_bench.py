"""Side-by-side figures for quill_harbor_columnar, as ratios measured in one run.

    .venv/bin/python bench/columnar_bench.py [--quick]

Every comparison alternates its contenders call by call and takes medians,
so that the noise of a shared machine hits both sides alike. Memory figures
come from subprocesses (peak RSS by resource.getrusage ru_maxrss).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import textwrap
import time

import numpy as np

import quill_harbor
import quill_harbor_columnar as qc

MiB = 1 << 20


def level_book(n: int, pers: int = 360, seed: int = 1) -> dict:
    rng = np.random.default_rng(seed)
    return {"amt": rng.uniform(1e3, 5e5, n).round(2), "rate": rng.uniform(0.001, 0.01, n).round(5),
            "pers": np.full(n, pers, dtype=np.int64), "int_freq": np.ones(n, dtype=np.int64),
            "cap_freq": np.ones(n, dtype=np.int64)}


def text_records(book: dict) -> list[dict]:
    n = len(book["amt"])
    return [{"id": f"L{i}", "amt": repr(float(book["amt"][i])), "rate": repr(float(book["rate"][i])),
             "pers": str(int(book["pers"][i])), "int_freq": "1", "cap_freq": "1"} for i in range(n)]


def interleaved(fns: dict, reps: int) -> dict:
    times = {k: [] for k in fns}
    for _ in range(reps):
        for k, f in fns.items():
            t = time.perf_counter()
            r = f()
            times[k].append(time.perf_counter() - t)
            del r
    return {k: statistics.median(v) for k, v in times.items()}


def run_child(code: str, env_extra: dict | None = None) -> str:
    env = dict(os.environ)
    env.update(env_extra or {})
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                         check=True)
    return out.stdout.strip()


# Peak RSS of the calling process. A child started by fork and exec inherits
# its parent's ru_maxrss (Linux carries the old image's high-water mark
# across exec), so the children read their own image's VmHWM instead.
PEAK_RSS = """
def peak_rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
"""


def row(label: str, value: str, target: str = "") -> None:
    print(f"  {label:<58} {value:>14}   {target}")


INTERRUPT_CHILD = """
import sys, time, numpy as np, quill_harbor_columnar as qc
n = 3_000_000
b = {{"amt": np.full(n, 1000.0), "rate": np.full(n, 0.01), "pers": np.full(n, 120),
      "int_freq": np.ones(n, dtype=np.int64), "cap_freq": np.ones(n, dtype=np.int64)}}
print("ready", flush=True)
try:
    qc.{op}(b)
    print("finished", 0, flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


def interrupt_latency() -> None:
    """Seconds from SIGINT to KeyboardInterrupt in a long call (CLOCK_MONOTONIC is shared)."""
    import signal

    print("\nCtrl-C: SIGINT one second into a call on 3,000,000 loans x 120")
    for op in ("schedules", "cashflows"):
        lat = []
        for _ in range(3):
            p = subprocess.Popen([sys.executable, "-c", INTERRUPT_CHILD.format(op=op)], stdout=subprocess.PIPE, text=True)
            p.stdout.readline()
            time.sleep(1.0)
            sent = time.monotonic()
            p.send_signal(signal.SIGINT)
            what, when = p.stdout.readline().split()
            p.wait()
            lat.append(float(when) - sent if what == "interrupted" else float("nan"))
        row(f"{op}: SIGINT to KeyboardInterrupt [s] (median of 3)", f"{statistics.median(lat):.3f}", "target ~0.5 s")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller books, no 1,000,000-loan runs")
    ap.add_argument("--interrupt-only", action="store_true", help="only the Ctrl-C latency")
    args = ap.parse_args()
    if args.interrupt_only:
        interrupt_latency()
        return
    big = 200_000 if args.quick else 1_000_000
    print(f"quill_harbor_columnar benchmark: pool of {qc._native.default_threads()} workers, {os.cpu_count()} CPUs")

    # ------------------------------------------------ vs paywheel_gil
    n = 20_000
    book = level_book(n)
    recs = text_records(book)
    t = interleaved({"gil": lambda: quill_harbor.paywheel_gil(recs),
                     "col": lambda: qc.schedules(book, threads=2),
                     "col_text": lambda: qc.schedules({k: [r[k] for r in recs] for k in recs[0]}, threads=2)},
                    reps=5)
    print(f"\n20,000 loans x 360 periods, 2 threads, warm (median of 5 interleaved calls)")
    row("paywheel_gil loans/s", f"{n / t['gil']:,.0f}")
    row("schedules (NumPy columns) loans/s", f"{n / t['col']:,.0f}")
    row("schedules / paywheel_gil", f"{t['gil'] / t['col']:.1f}x", "target >= 25x")
    row("schedules (text lists, incl. list conversion) / paywheel_gil", f"{t['gil'] / t['col_text']:.1f}x")

    first_code = """
        import time, numpy as np, sys
        sys.path.insert(0, {bench!r})
        from columnar_bench import level_book, text_records
        book = level_book(20000)
        {prep}
        t = time.perf_counter(); r = {call}; print(time.perf_counter() - t)
    """
    bench_dir = os.path.dirname(os.path.abspath(__file__))
    firsts = {"gil": [], "col": []}
    for _ in range(3):
        firsts["gil"].append(float(run_child(first_code.format(
            bench=bench_dir, prep="import quill_harbor; recs = text_records(book)",
            call="quill_harbor.paywheel_gil(recs)"))))
        firsts["col"].append(float(run_child(first_code.format(
            bench=bench_dir, prep="import quill_harbor_columnar as qc", call="qc.schedules(book, threads=2)"))))
    fg, fc = statistics.median(firsts["gil"]), statistics.median(firsts["col"])
    print("first call in a fresh process (median of 3 processes each)")
    row("paywheel_gil first call loans/s", f"{n / fg:,.0f}")
    row("schedules first call loans/s", f"{n / fc:,.0f}")
    row("schedules / paywheel_gil, first call", f"{fg / fc:.1f}x", "target >= 12x")

    # ------------------------------------------------ vs numpy-financial
    try:
        import numpy_financial as npf
    except ImportError:
        npf = None
    if npf is not None:
        per = np.arange(1, 361)

        def nf():
            rate = book["rate"][:, None]
            pv = book["amt"][:, None]
            return npf.ipmt(rate, per, 360, -pv), npf.ppmt(rate, per, 360, -pv)

        t = interleaved({"npf": nf, "col": lambda: qc.schedules(book, threads=2)}, reps=7)
        print("\nlevel-payment loans, 20,000 x 360, against numpy-financial ipmt + ppmt (float64 arrays)")
        row("numpy-financial loans/s", f"{n / t['npf']:,.0f}")
        row("schedules / numpy-financial", f"{t['npf'] / t['col']:.1f}x", "target >= 15x")
    else:
        print("\nnumpy-financial not installed: comparison skipped")

    # ------------------------------------------------ thread scaling
    n2 = 100_000
    book2 = level_book(n2, seed=2)
    t = interleaved({"1": lambda: qc.schedules(book2, threads=1), "2": lambda: qc.schedules(book2, threads=2)}, reps=3)
    print("\n100,000 loans x 360, 1 vs 2 threads (fresh result buffers every call)")
    row("1 thread loans/s", f"{n2 / t['1']:,.0f}")
    row("2 threads loans/s", f"{n2 / t['2']:,.0f}")
    row("2 threads / 1 thread", f"{t['1'] / t['2']:.2f}x", "target >= 1.8x")

    # ------------------------------------------------ memory
    s = qc.schedules(book2)
    values = len(s.column("Bal"))
    raw = values * 4 * 5 + values * 4 + (n2 + 1) * 8
    print("\nmemory")
    row("long layout result bytes / raw data", f"{s.nbytes / raw:.4f}", "target <= 1.02")
    sl = qc.schedules(book2, layout="list")
    raw_list = values * 4 * 5 + (n2 + 1) * 4
    row("list layout result bytes / raw data (+ int64 offsets kept)", f"{sl.nbytes / raw_list:.4f}", "target <= 1.02")
    del s, sl

    peak_code = """
        import resource, sys, numpy as np
        sys.path.insert(0, {bench!r})
        from columnar_bench import PEAK_RSS; exec(PEAK_RSS)
        from columnar_bench import level_book
        import quill_harbor_columnar as qc
        qc.schedules(level_book(10))
        book = level_book(100000, seed=2)
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096
        before = rss()
        s = qc.schedules(book, threads=2)
        peak = peak_rss()
        print(before, s.nbytes, peak)
    """
    before, result, peak = map(int, run_child(peak_code.format(bench=bench_dir)).split())
    row("schedules peak RSS - (RSS before + result) [MiB]", f"{(peak - before - result) / MiB:.1f}",
        "target <= 64 MiB")

    stream_code = """
        import resource, sys, time, numpy as np, pyarrow as pa, pyarrow.parquet as pq, tempfile, os
        sys.path.insert(0, {bench!r})
        from columnar_bench import PEAK_RSS; exec(PEAK_RSS)
        from columnar_bench import level_book
        import quill_harbor_columnar as qc
        book = level_book({n}, seed=3)
        path = os.path.join(tempfile.mkdtemp(), "s.parquet")
        t = time.perf_counter()
        reader = pa.RecordBatchReader.from_stream(qc.stream_schedules(book))
        with pq.ParquetWriter(path, reader.schema) as w:
            for b in reader:
                w.write_batch(b)
        el = time.perf_counter() - t
        print(peak_rss(), el, os.path.getsize(path))
        os.remove(path)
    """
    peak, el, size = run_child(stream_code.format(bench=bench_dir, n=big)).split()
    row(f"stream_schedules {big:,} x 360 to Parquet: peak RSS [MiB]", f"{int(peak) / MiB:.0f}", "target <= 512 MiB")
    row(f"  (took {float(el):.1f} s, file {int(size) / MiB:.0f} MiB)", "")

    # ------------------------------------------------ cash flows
    book3 = level_book(big, seed=4)
    n_sched = min(big, 200_000)
    book_s = {k: v[:n_sched] for k, v in book3.items()}
    tc = interleaved({"cf": lambda: qc.cashflows(book3)}, reps=2)["cf"]
    ts = interleaved({"s": lambda: qc.schedules(book_s)}, reps=2)["s"]
    print(f"\ncash flows on {big:,} loans x 360 against schedules on {n_sched:,}")
    row("cashflows loans/s", f"{big / tc:,.0f}")
    row("schedules loans/s", f"{n_sched / ts:,.0f}")
    row("cashflows / schedules", f"{(big / tc) / (n_sched / ts):.2f}x", "target >= 0.8x")

    interrupt_latency()


if __name__ == "__main__":
    main()
