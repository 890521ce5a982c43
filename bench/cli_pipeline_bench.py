"""`quill-harbor schedules` against the pipeline a user could write in its place, side by side.

    .venv/bin/python bench/cli_pipeline_bench.py [--loans 200000] [--reps 3] [--min-ratio 1.2]

The tape is the sample book of ``--loans`` loans (fixed seed) written as CSV.
Two contenders turn it into one Parquet file of schedules:

- the command: ``quill-harbor schedules tape.csv -o out.parquet``;
- the pipeline: ``pyarrow.csv.read_csv`` + ``book()`` + ``stream_schedules``
  + one ``pyarrow.parquet.ParquetWriter``, with the command's own Parquet
  settings, so the two differ in how the work is arranged and not in what
  the file holds;
- with ``--with-defaults``, also that pipeline with the writer's defaults
  (``pq.ParquetWriter(path, schema)``), as a user writes it without the
  command's settings: a larger file, slower to encode.

Each runs in a fresh interpreter (both pay the same start-up and imports),
the two alternate run by run, and the best run of each is kept: on a shared
machine other work only ever adds time. Both files are checked to hold the
same rows. The ratio printed is the pipeline's time over the command's; the
run exits 1 when it falls short of ``--min-ratio``.
"""

from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

import pyarrow as pa
import pyarrow.parquet as pq

from quill_harbor_columnar.cli.schedules import PARQUET
from quill_harbor_columnar.tape.sample import sample_book, write_book

# The user's pipeline, as a script run in its own interpreter: argv is the
# tape, the output and the Parquet options (a Python literal).
PIPELINE = r"""
import ast, sys
import pyarrow as pa, pyarrow.csv as pcsv, pyarrow.parquet as pq
import quill_harbor_columnar as qc

tape, out, options = sys.argv[1], sys.argv[2], ast.literal_eval(sys.argv[3])
loans = qc.book(pcsv.read_csv(tape), errors="skip")
reader = qc.stream_schedules(loans, errors="skip").to_reader()
rows = options.pop("row_group_rows")
with pq.ParquetWriter(out, reader.schema, **options) as writer:
    for batch in reader:
        writer.write_batch(batch, row_group_size=rows)
"""


def command_parquet_options() -> dict[str, object]:
    """The Parquet settings the command writes schedules with."""
    return dict(PARQUET)


def plain(table: pa.Table) -> pa.Table:
    """The table's values, whatever the dictionaries of its chunks."""
    return pa.table({name: column.cast(column.type.value_type) if pa.types.is_dictionary(column.type) else column
                     for name, column in zip(table.column_names, table.columns)}).combine_chunks()


def timed(argv: list[str]) -> tuple[float, float]:
    """Wall and CPU seconds of one run of argv; fails loudly when the run does."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(argv[:3])} ... exited {done.returncode}: {done.stderr.strip()}")
    return wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--loans", type=int, default=200_000)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--min-ratio", type=float, default=1.2)
    ap.add_argument("--with-defaults", action="store_true", help="also time the pipeline with the writer's defaults")
    args = ap.parse_args()
    python = sys.executable
    command = os.path.join(os.path.dirname(python), "quill-harbor")
    with tempfile.TemporaryDirectory() as tmp:
        tape = os.path.join(tmp, "tape.csv")
        write_book(sample_book(args.loans, seed=20261208), tape)
        out = {name: os.path.join(tmp, f"{name}.parquet") for name in ("command", "pipeline", "defaults")}
        argv = {
            "command": [python, command, "schedules", tape, "-o", out["command"], "--no-progress"],
            "pipeline": [python, "-c", PIPELINE, tape, out["pipeline"], repr(command_parquet_options())],
        }
        if args.with_defaults:
            argv["defaults"] = [python, "-c", PIPELINE, tape, out["defaults"], repr({"row_group_rows": 1 << 20})]
        else:
            del out["defaults"]
        wall: dict[str, list[float]] = {k: [] for k in argv}
        cpu: dict[str, list[float]] = {k: [] for k in argv}
        for _ in range(args.reps):
            for name, line in argv.items():
                w, c = timed(line)
                wall[name].append(w)
                cpu[name].append(c)
        rows = {name: pq.ParquetFile(path).metadata.num_rows for name, path in out.items()}
        if len(set(rows.values())) != 1:
            print(f"the files differ in rows: {rows}", file=sys.stderr)
            return 1
        first = plain(pq.read_table(out["command"]))
        same = all(plain(pq.read_table(path)).equals(first) for path in list(out.values())[1:])
        size = {name: os.path.getsize(path) for name, path in out.items()}
    best = {name: min(ts) for name, ts in wall.items()}
    ratio = best["pipeline"] / best["command"]
    print(f"schedules of a {args.loans:,}-loan CSV tape to Parquet ({rows['command']:,} rows), "
          f"{os.cpu_count()} CPUs, best of {args.reps} alternated runs")
    print(f"  {'contender':<10} {'best s':>8} {'CPU s':>7} {'file size':>14}")
    # CPU s is the least CPU time of a run (all threads): on a loaded machine the wall times follow it.
    for name in argv:
        print(f"  {name:<10} {best[name]:>8.2f} {min(cpu[name]):>7.2f} {size[name]:>14,}")
    print(f"  the same table in every file: {'yes' if same else 'NO'}")
    if "defaults" in best:
        print(f"  command vs the pipeline with the writer's defaults: {best['defaults'] / best['command']:.2f}x")
    print(f"  command vs pipeline: {ratio:.2f}x (target at least {args.min_ratio:.2f}x); "
          f"load average {os.getloadavg()[0]:.2f}")
    return 0 if same and ratio >= args.min_ratio else 1


if __name__ == "__main__":
    sys.exit(main())
