"""The ``quill-harbor`` command: sample books, schedules to Parquet, cash flows.

Every failure a user can cause (a missing file, a bad row, an unwritable
output) ends as one line on standard error naming the file, the row and the
column where they are known, with exit status 2 and no traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections import Counter
from typing import Any, Iterator, Sequence

from ._columns import FIELDS
from ._optional import require
from .errors import LoanError, explain


class CliError(Exception):
    """A user-facing failure: printed as one line, exit status 2."""

    def __init__(self, file: str | None, reason: str, row: int | None = None, column: str | None = None) -> None:
        parts = [p for p in (file, f"row {row}" if row is not None else None,
                             f"column {column}" if column else None) if p]
        super().__init__(": ".join([", ".join(parts), reason]) if parts else reason)


# ---------------------------------------------------------------- progress


class Progress:
    """A one-line progress bar on standard error: rows done, rows/s, time left.

    Drawn at most every 0.2 s, and only on a terminal unless forced, so that
    logs of batch jobs stay clean.
    """

    def __init__(self, label: str, total: int | None, enabled: bool) -> None:
        self.label = label
        self.total = total
        self.enabled = enabled
        self.done = 0
        self.start = time.perf_counter()
        self._drawn = 0.0

    def advance(self, rows: int) -> None:
        self.done += rows
        now = time.perf_counter()
        if self.enabled and now - self._drawn >= 0.2:
            self._drawn = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        elapsed = max(now - self.start, 1e-9)
        rate = self.done / elapsed
        if self.total:
            frac = min(self.done / self.total, 1.0)
            filled = int(frac * 24)
            left = (self.total - self.done) / rate if rate > 0 else float("inf")
            eta = f"{left:5.1f}s left" if left != float("inf") else "  ?  left"
            line = (f"\r{self.label} [{'#' * filled}{'.' * (24 - filled)}] {self.done:,}/{self.total:,} rows "
                    f"{rate:,.0f} rows/s {eta}")
        else:
            line = f"\r{self.label} {self.done:,} rows {rate:,.0f} rows/s"
        sys.stderr.write(line)
        sys.stderr.flush()

    def finish(self) -> None:
        if self.enabled:
            self._draw(time.perf_counter())
            sys.stderr.write("\n")
            sys.stderr.flush()


def _print_table(title: str, rows: Sequence[tuple[str, str]]) -> None:
    width = max(len(k) for k, _ in rows)
    vwidth = max(len(v) for _, v in rows)
    rule = "-" * (width + vwidth + 3)
    print(title)
    print(rule)
    for key, value in rows:
        print(f"{key:<{width}}   {value:>{vwidth}}")
    print(rule)


def _peak_rss() -> str:
    """The process's peak resident memory so far."""
    import resource

    return _human_bytes(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)


def _human_bytes(n: int) -> str:
    size = float(n)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size:,.1f} {unit}" if unit != "B" else f"{n:,} B"
        size /= 1024
    return f"{n:,} B"


# ---------------------------------------------------------------- input


def _need(module: str) -> Any:
    try:
        return require(module, "this command")
    except ImportError as e:
        raise CliError(None, str(e)) from None


def _count_csv_rows(path: str) -> int:
    lines = 0
    last = b"\n"
    with open(path, "rb") as f:
        while chunk := f.read(1 << 22):
            lines += chunk.count(b"\n")
            last = chunk[-1:]
    if last != b"\n":
        lines += 1
    return max(lines - 1, 0)  # the header


def _open_book(path: str, batch_rows: int = 65536) -> tuple[Any, int | None]:
    """A RecordBatchReader over a CSV or Parquet book, and its row count.

    CSV is read as text, so every field goes through the same strict number
    grammars as paywheel_gil and a bad value becomes a failure of its own row
    rather than a type guess for the whole column.
    """
    pa = _need("pyarrow")
    if not os.path.exists(path):
        raise CliError(path, "no such file")
    lower = path.lower()
    try:
        if lower.endswith((".parquet", ".pq")):
            pq = _need("pyarrow.parquet")
            pf = pq.ParquetFile(path)
            missing = [c for c in FIELDS[1:] if c not in pf.schema_arrow.names]
            if missing:
                raise CliError(path, f"missing column {missing[0]!r}", column=missing[0])
            columns = [c for c in FIELDS if c in pf.schema_arrow.names]
            schema = pa.schema([pf.schema_arrow.field(c) for c in columns])
            batches = pf.iter_batches(batch_size=batch_rows, columns=columns)
            return pa.RecordBatchReader.from_batches(schema, batches), pf.metadata.num_rows
        if lower.endswith(".csv"):
            pcsv = _need("pyarrow.csv")
            if os.path.getsize(path) == 0:
                raise CliError(path, "the file is empty: expected a header line with the columns "
                               + ", ".join(FIELDS))
            import csv

            with open(path, newline="", encoding="utf-8", errors="replace") as f:
                header = next(csv.reader(f), [])
            missing = [c for c in FIELDS[1:] if c not in header]
            if missing:
                raise CliError(path, f"missing column {missing[0]!r} in the header", row=None, column=missing[0])
            columns = [c for c in FIELDS if c in header]
            reader = pcsv.open_csv(
                path,
                read_options=pcsv.ReadOptions(block_size=8 << 20),
                convert_options=pcsv.ConvertOptions(
                    column_types={c: pa.string() for c in columns},
                    include_columns=columns,
                    strings_can_be_null=False,
                ),
            )
            return reader, _count_csv_rows(path)
    except CliError:
        raise
    except (OSError, pa.ArrowException) as e:
        raise CliError(path, str(e).splitlines()[0])
    raise CliError(path, "the input must end in .csv or .parquet")


def _counted(reader: Any, progress: Progress) -> Any:
    """The same batches, counting rows into the progress bar as they are pulled."""
    pa = _need("pyarrow")

    def batches() -> Iterator[Any]:
        for batch in reader:
            progress.advance(batch.num_rows)
            yield batch

    return pa.RecordBatchReader.from_batches(reader.schema, batches())


# ---------------------------------------------------------------- failures


def _first_failure(path: str, error: LoanError) -> CliError:
    """One line for the earliest failing loan of a run, in words made from
    its code. Rows count from 1, after the header line."""
    details = ([f"read as {error.value!r}"] if error.value is not None else []) + (
        [f"id {error.id}"] if error.id is not None else [])
    where = f" ({', '.join(details)})" if details else ""
    return CliError(path, f"{explain(error.code, error.field, error.terms)}{where} [engine: {error.reason}]",
                    row=error.index + 1, column=error.field)


def _reasons_table(errors: Sequence[LoanError]) -> list[tuple[str, str]]:
    """Failed loans counted by failure code and field, in words."""
    counts = Counter((e.code, e.field) for e in errors)
    return [(f"  {explain(code, field)}", f"{n:,}") for (code, field), n in counts.most_common()]


# ---------------------------------------------------------------- commands


def _cmd_sample(args: argparse.Namespace) -> int:
    from ._sample import sample_book, write_book

    if args.loans < 0:
        raise CliError(None, "--loans must not be negative")
    start = time.perf_counter()
    try:
        write_book(sample_book(args.loans, args.seed), args.output)
    except ValueError as e:
        raise CliError(args.output, str(e))
    except OSError as e:
        raise CliError(args.output, e.strerror or str(e))
    elapsed = time.perf_counter() - start
    _print_table("sample", [
        ("loans", f"{args.loans:,}"),
        ("seed", str(args.seed)),
        ("file", args.output),
        ("file size", _human_bytes(os.path.getsize(args.output))),
        ("elapsed", f"{elapsed:.2f} s"),
    ])
    return 0


def _cmd_schedules(args: argparse.Namespace) -> int:
    pa = _need("pyarrow")
    pq = _need("pyarrow.parquet")
    from . import stream_schedules

    reader, total = _open_book(args.loans, args.batch_rows)
    progress = Progress("schedules", total, args.progress)
    start = time.perf_counter()
    stream = stream_schedules(_counted(reader, progress), batch_rows=args.batch_rows, layout=args.layout,
                              errors="skip", threads=args.threads)
    rows = 0
    writer = None
    try:
        out = stream.to_reader()
        # Dictionary encoding pays only where values repeat: the loan label
        # and the period number. Tried on the float columns it costs a
        # third of the run and makes the file larger.
        dictionary = ["loan", "Per"] if args.layout == "long" else ["loan"]
        writer = pq.ParquetWriter(args.output, out.schema, use_dictionary=dictionary, compression="lz4")
        for batch in out:
            if args.errors == "raise" and len(stream.errors):
                break
            writer.write_batch(batch)
            rows += batch.num_rows
    except pa.ArrowException as e:
        raise CliError(args.loans, str(e).splitlines()[0])
    except OSError as e:
        raise CliError(args.output, e.strerror or str(e))
    finally:
        if writer is not None:
            writer.close()
        progress.finish()
    failures = stream.errors.exceptions()
    if args.errors == "raise" and failures:
        os.unlink(args.output)
        raise _first_failure(args.loans, failures[0])
    elapsed = time.perf_counter() - start
    loans = progress.done
    _print_table("schedules", [
        ("loans", f"{loans:,}"),
        ("rows written", f"{rows:,}"),
        ("failed loans", f"{len(failures):,}"),
        *_reasons_table(failures),
        ("elapsed", f"{elapsed:.2f} s"),
        ("loans/s", f"{loans / elapsed:,.0f}" if elapsed > 0 else "-"),
        ("output", os.path.relpath(args.output)),
        ("file size", _human_bytes(os.path.getsize(args.output))),
        ("peak RSS", _peak_rss()),
    ])
    return 0


def _plot_cashflows(table: Any, path: str) -> None:
    matplotlib = _need("matplotlib")
    matplotlib.use("Agg")
    plt = _need("matplotlib.pyplot")

    period = table["period"]
    fig, ax = plt.subplots(figsize=(11, 5.5), dpi=110)
    ax.bar(period, table["Cap"], width=1.0, label="capital", color="#2f6690")
    ax.bar(period, table["Int"], width=1.0, bottom=table["Cap"], label="interest", color="#d9a441")
    ax.set_xlabel("period")
    ax.set_ylabel("payments per period")
    bal = ax.twinx()
    bal.plot(period, table["Bal"], color="#9e2a2b", linewidth=1.6, label="outstanding balance")
    bal.set_ylabel("outstanding balance")
    handles = ax.get_legend_handles_labels()[0] + bal.get_legend_handles_labels()[0]
    ax.legend(handles, [h.get_label() for h in handles], loc="upper right")
    ax.set_title("Portfolio cash flows")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def _cmd_cashflows(args: argparse.Namespace) -> int:
    pa = _need("pyarrow")
    from . import cashflows

    reader, total = _open_book(args.loans)
    progress = Progress("cashflows", total, args.progress)
    start = time.perf_counter()
    try:
        result = cashflows(_counted(reader, progress), errors="skip", threads=args.threads)
    except pa.ArrowException as e:
        raise CliError(args.loans, str(e).splitlines()[0])
    finally:
        progress.finish()
    failures = result.errors.exceptions()
    if args.errors == "raise" and failures:
        raise _first_failure(args.loans, failures[0])
    elapsed = time.perf_counter() - start
    table = result.to_numpy()
    try:
        pcsv = _need("pyarrow.csv")
        pcsv.write_csv(result.to_arrow(), args.output)
        if args.plot:
            _plot_cashflows(table, args.plot)
    except OSError as e:
        raise CliError(getattr(e, "filename", None) or args.output, e.strerror or str(e))
    cap, interest, pmt, period = table["Cap"], table["Int"], table["Pmt"], table["period"]
    repaid = float(cap.sum())
    wal = float((period * cap).sum() / repaid) if repaid != 0 and len(period) else float("nan")
    peak = int(period[pmt.argmax()]) if len(pmt) else None
    loans = progress.done
    rows = [
        ("loans", f"{loans:,}"),
        ("failed loans", f"{len(failures):,}"),
        *_reasons_table(failures),
        ("periods", f"{len(period):,}"),
        ("total capital", f"{repaid:,.2f}"),
        ("total interest", f"{float(interest.sum()):,.2f}"),
        ("weighted average life", f"{wal:,.2f} periods"),
        ("peak payment period", f"{peak} ({float(pmt.max()):,.2f})" if peak is not None else "-"),
        ("elapsed", f"{elapsed:.2f} s"),
        ("loans/s", f"{loans / elapsed:,.0f}" if elapsed > 0 else "-"),
        ("output", os.path.relpath(args.output)),
        ("peak RSS", _peak_rss()),
    ]
    if args.plot:
        rows.append(("plot", os.path.relpath(args.plot)))
    _print_table("cashflows", rows)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quill-harbor",
        description="Loan repayment schedules for whole books, exact to the bit in binary32.",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def common(p: argparse.ArgumentParser) -> None:
        p.add_argument("--threads", type=int, default=None,
                       help="worker threads (default: RAYON_NUM_THREADS, else one per processor)")
        p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=sys.stderr.isatty(),
                       help="draw a progress bar on standard error (default: only on a terminal)")

    p = sub.add_parser("sample", help="write a deterministic synthetic book to CSV or Parquet",
                       description="Writes a synthetic book: mortgages and car loans paid monthly, business "
                                   "loans paid quarterly, and a few loan shapes the engine refuses.")
    p.add_argument("--loans", type=int, required=True, help="number of loans")
    p.add_argument("--seed", type=int, default=20261208, help="random seed (the same seed gives the same book)")
    p.add_argument("-o", "--output", required=True, help="output file, .csv or .parquet")
    p.set_defaults(run=_cmd_sample)

    p = sub.add_parser("schedules", help="stream every loan's schedule to Parquet",
                       description="Computes every loan's schedule, streamed batch by batch, so memory stays "
                                   "flat for any book size.")
    p.add_argument("loans", metavar="LOANS", help="the book, .csv or .parquet")
    p.add_argument("-o", "--output", required=True, help="output .parquet file")
    p.add_argument("--layout", choices=("long", "list"), default="long",
                   help="one row per period (long) or one row per loan with list columns (list)")
    p.add_argument("--errors", choices=("raise", "skip"), default="raise",
                   help="stop at the first loan that fails (raise) or leave failing loans out (skip)")
    p.add_argument("--batch-rows", type=int, default=65536, help="loans per output batch")
    common(p)
    p.set_defaults(run=_cmd_schedules)

    p = sub.add_parser("cashflows", help="portfolio totals per period, with an optional plot",
                       description="Sums capital, interest, payment and balance over the book, period by "
                                   "period, without keeping per-loan schedules.")
    p.add_argument("loans", metavar="LOANS", help="the book, .csv or .parquet")
    p.add_argument("-o", "--output", required=True, help="output .csv file")
    p.add_argument("--plot", metavar="PNG", help="also draw the cash flows to this .png file")
    p.add_argument("--errors", choices=("raise", "skip"), default="skip",
                   help="stop at the first loan that fails (raise) or leave failing loans out (skip)")
    common(p)
    p.set_defaults(run=_cmd_cashflows)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except CliError as e:
        print(f"quill-harbor: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("quill-harbor: interrupted", file=sys.stderr)
        return 130
    except MemoryError:
        print("quill-harbor: error: out of memory", file=sys.stderr)
        return 2


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
