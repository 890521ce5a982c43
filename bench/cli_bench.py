"""The schedules stage of the main job, side by side: one Parquet writer against row groups encoded in parallel.

    .venv/bin/python bench/cli_bench.py [--loans 100000] [--reps 3]

Each contender streams the same synthetic book (the main job's mix, scaled
down: 100,000 loans is about 18.5 million schedule rows) through
``stream_schedules`` into a Parquet file, exactly as ``quill-harbor
schedules`` does; contenders alternate run by run and the median is kept, so
the machine's noise falls on all of them. Then every setting tried is listed
with its file size.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

import pyarrow as pa
import pyarrow.parquet as pq

import quill_harbor_columnar as qc
from quill_harbor_columnar._parquet_parallel import ParallelParquetWriter
from quill_harbor_columnar._sample import sample_book
from quill_harbor_columnar.cli import PARQUET

FLOATS = ["Cap", "Int", "Pmt", "Bal"]


def single_writer(book: pa.Table, path: str, **options: object) -> None:
    """The command as it was: one ParquetWriter, a row group per stream batch."""
    reader = qc.stream_schedules(book, errors="skip").to_reader()
    with pq.ParquetWriter(path, reader.schema, **options) as out:
        for batch in reader:
            out.write_batch(batch)


def parallel_writer(book: pa.Table, path: str, threads: int = 2, **options: object) -> None:
    reader = qc.stream_schedules(book, errors="skip").to_reader()
    with open(path, "wb") as f:
        out = ParallelParquetWriter(f, reader.schema, threads=threads, **options)
        for batch in reader:
            out.write_batch(batch)
        out.close()


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--loans", type=int, default=100_000)
    ap.add_argument("--reps", type=int, default=3)
    args = ap.parse_args()
    book = pa.table(sample_book(args.loans, seed=20261208))
    rows = qc.stream_schedules(book, errors="skip").to_reader().read_all().num_rows
    old = {"use_dictionary": ["loan", "Per"], "compression": "lz4"}
    new = dict(PARQUET)
    contenders = {
        "single writer (before)": lambda p: single_writer(book, p, **old),
        "parallel, 2 threads (the command)": lambda p: parallel_writer(book, p, threads=2, **new),
        "parallel, 1 thread": lambda p: parallel_writer(book, p, threads=1, **new),
    }
    settings = {
        "parallel, byte-stream-split floats, lz4": dict(new, use_byte_stream_split=FLOATS),
        "parallel, zstd": dict(new, compression="zstd"),
        "parallel, byte-stream-split floats, zstd": dict(new, compression="zstd", use_byte_stream_split=FLOATS),
        "parallel, no compression": dict(new, compression="none"),
    }
    for label, options in settings.items():
        contenders[label] = lambda p, o=options: parallel_writer(book, p, threads=2, **o)

    print(f"schedules stage: {args.loans:,} loans ({rows:,} rows), {os.cpu_count()} CPUs, "
          f"pool of {qc._native.default_threads()}, median of {args.reps} alternated runs")
    times: dict[str, list[float]] = {k: [] for k in contenders}
    sizes: dict[str, int] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(args.reps):
            for i, (label, run) in enumerate(contenders.items()):
                path = os.path.join(tmp, f"{i}.parquet")
                start = time.perf_counter()
                run(path)
                times[label].append(time.perf_counter() - start)
                sizes[label] = os.path.getsize(path)
                if pq.ParquetFile(path).metadata.num_rows != rows:
                    print(f"{label}: wrote the wrong number of rows", file=sys.stderr)
                    return 1
                os.unlink(path)
    base = statistics.median(times["single writer (before)"])
    print(f"  {'setting':<44} {'loans/s':>10} {'vs before':>10} {'file size':>14}")
    for label, ts in times.items():
        t = statistics.median(ts)
        print(f"  {label:<44} {args.loans / t:>10,.0f} {base / t:>9.2f}x {sizes[label]:>14,}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
