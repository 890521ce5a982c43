"""quill_harbor_columnar.spark against one process, and against pandas with numpy-financial, side by side.

    .venv/bin/python bench/spark_bench.py [--loans N] [--partitions P] [--reps R]

1,000,000 level-payment loans of 360 monthly periods, read by a local[2]
Spark session from a Parquet file of P row groups (a partition each). The
contenders alternate call by call and the figures are medians, so that the
noise of a shared machine hits all of them alike:

- ``spark.cashflows`` over the frame;
- ``cashflows`` in this process on the same book held in memory, on two
  threads, plus the fixed cost of an empty Spark job of P tasks, each
  through a Python worker (target: spark.cashflows at most 1.5 times that);
- what a Spark user would write instead: per Arrow batch, pandas with
  numpy-financial's ipmt and ppmt giving each loan's 360 periods, summed per
  period in the batch, and Spark summing the batches' sums per period
  (``mapInPandas``, the batch-at-a-time form of a pandas UDF whose result is
  a table, not a column).

Then the engine threads a task runs, sampled from /proc every few
milliseconds in each of Spark's Python workers (threads other than the
worker's main one, running or runnable), with spark.task.cpus 1 and 2.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import quill_harbor_columnar as qc
from quill_harbor_columnar import spark as qhs

PERIODS = 360


def book(n: int, seed: int = 1) -> pa.Table:
    rng = np.random.default_rng(seed)
    return pa.table({"amt": rng.uniform(5e4, 5e5, n).round(2), "rate": rng.uniform(0.002, 0.006, n).round(5),
                     "pers": np.full(n, PERIODS, dtype=np.int64), "int_freq": np.ones(n, dtype=np.int64),
                     "cap_freq": np.ones(n, dtype=np.int64)})


def session(task_cpus: int = 1) -> Any:
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    spark = (SparkSession.builder.master("local[2]").appName("spark_bench")
             .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
             .config("spark.task.cpus", str(task_cpus)).config("spark.sql.shuffle.partitions", "2")
             # A partition per row group of the file.
             .config("spark.sql.files.maxPartitionBytes", str(1 << 20))
             .config("spark.sql.files.openCostInBytes", str(1 << 20)).getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    return spark


def numpy_financial_totals(batches: Iterator[Any]) -> Iterator[Any]:
    """Per pandas batch: every loan's level-payment schedule by numpy-financial, summed per period."""
    import numpy_financial as npf
    import pandas as pd

    per = np.arange(1, PERIODS + 1, dtype=np.float64)
    for pdf in batches:
        amt = pdf["amt"].to_numpy()[:, None]
        rate = pdf["rate"].to_numpy()[:, None]
        interest = -npf.ipmt(rate, per, PERIODS, amt)
        principal = -npf.ppmt(rate, per, PERIODS, amt)
        balance = amt - np.cumsum(principal, axis=1)
        yield pd.DataFrame({"period": np.arange(PERIODS + 1),
                            "Cap": np.concatenate([[0.0], principal.sum(axis=0)]),
                            "Int": np.concatenate([[0.0], interest.sum(axis=0)]),
                            "Pmt": np.concatenate([[0.0], (principal + interest).sum(axis=0)]),
                            "Bal": np.concatenate([[amt.sum()], balance.sum(axis=0)])})


def empty(batches: Iterator[Any]) -> Iterator[Any]:
    for _ in batches:
        pass
    return iter(())


def engine_threads_while(call: Callable[[], Any]) -> np.ndarray:
    """The most threads other than the main one that are running or
    runnable in any of Spark's Python workers, per sample, while ``call`` runs."""
    def workers() -> list[str]:
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if b"pyspark.daemon" in f.read():
                        found.append(pid)
            except OSError:
                pass
        return found

    samples: list[int] = []
    done = threading.Event()

    def sample() -> None:
        pids, rounds = workers(), 0
        while not done.is_set():
            most = 0
            for pid in pids:
                try:
                    states = []
                    for tid in os.listdir(f"/proc/{pid}/task"):
                        if tid != pid:
                            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                                states.append(f.read().rsplit(")", 1)[1].split()[0])
                    most = max(most, states.count("R"))
                except OSError:
                    continue
            samples.append(most)
            rounds += 1
            if rounds % 50 == 0:
                pids = workers()  # a worker forked since
            done.wait(0.003)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        call()
    finally:
        done.set()
        sampler.join()
    return np.array(samples, dtype=np.int64)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--loans", type=int, default=1_000_000)
    ap.add_argument("--partitions", type=int, default=8)
    ap.add_argument("--reps", type=int, default=3)
    args = ap.parse_args()
    table = book(args.loans)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "book.parquet")
        pq.write_table(table, path, row_group_size=-(-args.loans // args.partitions))
        spark = session()
        df = spark.read.parquet(path)
        parts = df.rdd.getNumPartitions()
        tasks = spark.range(parts, numPartitions=parts)

        def udf_route() -> Any:
            return (df.mapInPandas(numpy_financial_totals, "period long, Cap double, Int double, Pmt double, "
                                   "Bal double").groupBy("period").sum().toPandas())

        fns: dict[str, Callable[[], Any]] = {
            "spark.cashflows": lambda: qhs.cashflows(df),
            "cashflows, one process": lambda: qc.cashflows(table, threads=2),
            "empty Spark job": lambda: tasks.mapInArrow(empty, "id long").collect(),
            "pandas + numpy-financial": udf_route,
        }
        for f in fns.values():  # warm: the workers, their pools, the JVM's code
            f()
        times: dict[str, list[float]] = {k: [] for k in fns}
        for _ in range(args.reps):
            for k, f in fns.items():
                start = time.perf_counter()
                f()
                times[k].append(time.perf_counter() - start)
        med = {k: statistics.median(v) for k, v in times.items()}
        floor = med["cashflows, one process"] + med["empty Spark job"]
        print(f"{args.loans:,} loans x {PERIODS} periods, local[2], {parts} partitions, medians of {args.reps}")
        print(f"  spark.cashflows / (one process + empty job)  {med['spark.cashflows'] / floor:5.2f}x  "
              "(target <= 1.5x)")
        alone = med["spark.cashflows"] / med["cashflows, one process"]
        print(f"  spark.cashflows / one process                {alone:5.2f}x")
        print(f"  pandas + numpy-financial / spark.cashflows   "
              f"{med['pandas + numpy-financial'] / med['spark.cashflows']:5.2f}x")
        spark.stop()

        print("engine threads per Python worker while spark.cashflows runs (samples with 0, 1, 2, ... threads):")
        for cpus in (1, 2):
            spark = session(cpus)
            df = spark.read.parquet(path)
            qhs.cashflows(df)
            counts = np.bincount(engine_threads_while(lambda: qhs.cashflows(df)), minlength=3)  # noqa: B023
            busy = counts[1:].sum()
            print(f"  spark.task.cpus={cpus}: {counts.tolist()}; of the samples with an engine thread at work, "
                  f"{counts[1] / busy:.0%} had one, {counts[2:].sum() / busy:.0%} two or more")
            spark.stop()


if __name__ == "__main__":
    main()
