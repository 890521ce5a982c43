"""The ``quill-harbor`` command: sample books, schedules and cash flows of a loan tape.

Exit statuses: 0 when everything that could be scheduled was written (loans
refused under ``--errors skip`` are listed in the summary), 2 for bad usage
or bad input, as one line naming the file, row, column and value where
known, and 3 when not a single loan could be scheduled. No run prints a
traceback, and no failed run leaves an output behind.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import time
from collections import Counter
from importlib.metadata import PackageNotFoundError, version
from typing import Any, NoReturn, Sequence

from ._book import RATE_UNITS, REQUIRED
from ._columns import SCHEDULE
from ._cli_io import (FREQUENCY_HELP, OUTPUT_KINDS, PLOT_KINDS, CliError, TableSink, TapeRun, atomic_output,
                      kind_by_extension, parse_map, refuse_overwriting_input, write_table)
from ._optional import require
from ._progress import Progress
from .errors import explain
from . import _cli_project, _cli_value

# Parquet settings of the schedules file: the loan label and the period repeat
# and take a dictionary; the floats do not (a dictionary over them cost 2.5
# times as long and gave a larger file), but byte-stream-split puts their
# exponent bytes together, which LZ4 then finds: a file about 30% smaller
# (bench/cli_bench.py). Row groups of 2^18 rows, each encoded on its own
# thread: larger ones gained nothing and held more memory in flight.
PARQUET = {"use_dictionary": ["loan", SCHEDULE[0]], "use_byte_stream_split": list(SCHEDULE[1:]),
           "compression": "lz4", "row_group_rows": 1 << 18}
FAILURE_COLUMNS = ("row", "id", "code", "field", "reason")


def _version() -> str:
    try:
        return version("quill_harbor")
    except PackageNotFoundError:  # pragma: no cover - running from a source tree
        return "unknown"


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line, exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"quill-harbor: error: {message} (see {self.prog} --help)\n")


# ---------------------------------------------------------------- shared parts


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
    import resource

    return _human_bytes(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)


def _human_bytes(n: int) -> str:
    size = float(n)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{n:,} B" if unit == "B" else f"{size:,.1f} {unit}"
        size /= 1024
    return f"{n:,} B"


def _threads(args: argparse.Namespace) -> int | None:
    return args.threads


def _open_run(args: argparse.Namespace, outputs: list[str]) -> TapeRun:
    """Checks every output path, then opens the tape through the mapping."""
    for out in outputs:
        refuse_overwriting_input([args.loans], out)
    if len(set(map(os.path.abspath, outputs))) != len(outputs):
        raise CliError(None, "two outputs name the same file")
    run = TapeRun(args.loans, mapping=parse_map(args.map), rate_unit=args.rate_unit,
                  periods_per_year=args.periods_per_year, delimiter=args.delimiter,
                  batch_rows=args.batch_rows, errors=args.errors)
    run.check_rates(args.allow_high_rates)
    return run


def _all_failures(run: TapeRun, engine_errors: Any) -> list[tuple]:
    """Tape failures and engine failures together, as (tape index, id, code,
    field, value, explanation in words, the engine's message or None), in tape order."""
    rows = [(f[0], f[1], f[2], f[3], f[4], explain(f[2], f[3], f[6]), None) for f in run.failures]
    errors = engine_errors.exceptions() if len(engine_errors) else []
    if errors:
        to_tape = run.to_tape()
        tape_index = to_tape([e.index for e in errors])
        for e, index in zip(errors, tape_index.tolist()):
            rows.append((index, e.id, e.code, e.field, e.value, explain(e.code, e.field, e.terms), e.reason))
    rows.sort(key=lambda r: r[0])
    return rows


def _first_failure(run: TapeRun, failures: list[tuple]) -> CliError:
    index, loan_id, code, field, value, words, engine = failures[0]
    detail = []
    if value is not None:
        detail.append(f"value {value!r}")
    if loan_id is not None:
        detail.append(f"id {loan_id}")
    text = f"{words}" + (f" ({', '.join(detail)})" if detail else "") + \
        (f" [{code}; engine: {engine}]" if engine else f" [{code}]")
    return CliError(run.path, text, row=index + 1, column=run.column_of(field))


def _failure_rows(run: TapeRun, failures: list[tuple]) -> list[tuple[str, str]]:
    counts = Counter(f[2] for f in failures)
    return [(f"  {code}", f"{n:,}") for code, n in counts.most_common()]


def _write_failures(path: str, kind: str | None, failures: list[tuple]) -> None:
    assert kind is not None  # checked with the other outputs before the run
    pa = require_pyarrow()
    table = pa.table({
        "row": pa.array([f[0] + 1 for f in failures], pa.int64()),
        "id": pa.array([f[1] for f in failures], pa.string()),
        "code": pa.array([f[2] for f in failures], pa.string()),
        "field": pa.array([f[3] for f in failures], pa.string()),
        "reason": pa.array([f[5] for f in failures], pa.string()),
    })
    write_table(table, path, kind)


def require_pyarrow() -> Any:
    return require("pyarrow", "the quill-harbor command")


def _nothing_scheduled(run: TapeRun, failures: list[tuple]) -> CliError:
    return CliError(run.path, f"not a single loan could be scheduled: all {run.loans:,} failed "
                    f"({', '.join(f'{c} {n:,}' for c, n in Counter(f[2] for f in failures).most_common())})",
                    status=3)


def _stop_on_failures(args: argparse.Namespace, run: TapeRun, fkind: Any, failures: list[tuple]) -> None:
    """Ends the run before its output is kept: at the first refused loan with
    --errors raise (status 2), or when every loan was refused (status 3, the
    failures listed first so the caller can see why)."""
    if args.errors == "raise" and failures:
        raise _first_failure(run, failures)
    if run.loans and len(failures) == run.loans:
        if args.failures:
            _write_failures(args.failures, fkind, failures)
        raise _nothing_scheduled(run, failures)


# ---------------------------------------------------------------- commands


def _cmd_sample(args: argparse.Namespace) -> int:
    from ._sample import sample_book, write_book

    if args.loans < 0:
        raise CliError(None, "--loans must not be negative")
    kind_by_extension(args.output, {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}, "the output")
    refuse_overwriting_input([], args.output)
    start = time.perf_counter()
    try:
        with atomic_output(args.output) as tmp:
            write_book(sample_book(args.loans, args.seed), tmp, kind=os.path.splitext(args.output)[1].lower())
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


def _relabel(batch: Any, to_tape: Any) -> Any:
    """Without ids the engine labels a loan by its row in its own input, which
    lacks the rows the tape reader dropped: put back the tape's row."""
    pa = require_pyarrow()
    np = __import__("numpy")
    loan = batch.column(0)
    if pa.types.is_dictionary(loan.type) or pa.types.is_string(loan.type):
        return batch
    fixed = pa.array(to_tape(np.asarray(loan)).astype(np.int32), pa.int32())
    return pa.RecordBatch.from_arrays([fixed, *batch.columns[1:]], schema=batch.schema)


def _cmd_schedules(args: argparse.Namespace) -> int:
    pa = require_pyarrow()
    from . import stream_schedules

    kind = kind_by_extension(args.output, OUTPUT_KINDS, "the output")
    if kind == "csv" and args.layout == "list":
        raise CliError(args.output, "the list layout has list columns, which CSV cannot hold; use .parquet or .arrow")
    fkind = kind_by_extension(args.failures, OUTPUT_KINDS, "--failures") if args.failures else None
    run = _open_run(args, [args.output] + ([args.failures] if args.failures else []))
    progress = Progress("schedules", run.total, args.progress)
    start = time.perf_counter()
    rows = 0
    with atomic_output(args.output) as tmp:
        stream = stream_schedules(run.reader(progress), batch_rows=args.batch_rows, layout=args.layout,
                                  errors="skip", threads=_threads(args))
        sink = None
        try:
            out = stream.to_reader()
            sink = TableSink(tmp, kind, out.schema, threads=args.write_threads, parquet=PARQUET)
            relabel = "id" not in run.spec.sources
            for batch in out:
                if args.errors == "raise" and (run.failures or len(stream.errors)):
                    break
                if relabel and run.dropped:
                    batch = _relabel(batch, run.to_tape())
                sink.write(batch)
                rows += batch.num_rows
            failures = _all_failures(run, stream.errors)
            _stop_on_failures(args, run, fkind, failures)
            sink.close()
            # The listing is in place before the output is: a run that fails
            # here leaves no output behind.
            if args.failures:
                _write_failures(args.failures, fkind, failures)
        except BaseException as e:
            if sink is not None:
                sink.abort()
            if run.error is not None and e is not run.error:
                raise run.error from None
            if isinstance(e, (pa.ArrowException, TypeError, ValueError)) and not isinstance(e, CliError):
                raise CliError(args.loans, str(e).splitlines()[0] if str(e) else type(e).__name__) from None
            raise
        finally:
            progress.finish()
    elapsed = time.perf_counter() - start
    _print_table("schedules", [
        ("loans", f"{run.loans:,}"),
        ("rows written", f"{rows:,}"),
        ("failed loans", f"{len(failures):,}"),
        *_failure_rows(run, failures),
        ("elapsed", f"{elapsed:.2f} s"),
        ("loans/s", f"{run.loans / elapsed:,.0f}" if elapsed > 0 else "-"),
        ("output", os.path.relpath(args.output)),
        ("file size", _human_bytes(os.path.getsize(args.output))),
        *([("failures", os.path.relpath(args.failures))] if args.failures else []),
        ("peak RSS", _peak_rss()),
    ])
    return 0


def _cmd_cashflows(args: argparse.Namespace) -> int:
    pa = require_pyarrow()
    from . import cashflows

    kind = kind_by_extension(args.output, OUTPUT_KINDS, "the output")
    fkind = kind_by_extension(args.failures, OUTPUT_KINDS, "--failures") if args.failures else None
    pkind = kind_by_extension(args.plot, PLOT_KINDS, "--plot") if args.plot else None
    if args.plot_every is not None and args.plot_every < 1:
        raise CliError(None, "--plot-every must be 1 or more")
    outputs = [args.output] + [p for p in (args.failures, args.plot) if p]
    run = _open_run(args, outputs)
    progress = Progress("cashflows", run.total, args.progress)
    start = time.perf_counter()
    try:
        result = cashflows(run.reader(progress), errors="skip", threads=_threads(args))
    except BaseException as e:
        if run.error is not None and e is not run.error:
            raise run.error from None
        if isinstance(e, (pa.ArrowException, TypeError, ValueError)) and not isinstance(e, CliError):
            raise CliError(args.loans, str(e).splitlines()[0] if str(e) else type(e).__name__) from None
        raise
    finally:
        progress.finish()
    failures = _all_failures(run, result.errors)
    _stop_on_failures(args, run, fkind, failures)
    elapsed = time.perf_counter() - start
    table = result.to_numpy()
    every = None
    with atomic_output(args.output) as out:
        write_table(result.to_arrow(), out, kind, atomic=False)
        # The plot and the listing are in place before the output is.
        if args.plot:
            from ._plot import auto_every, plot_cashflows

            periods = int(table["period"][-1]) if len(table["period"]) else 0
            every = args.plot_every or auto_every(run.frequencies, periods)
            with atomic_output(args.plot) as tmp:
                plot_cashflows(table, tmp, every=every, fmt=pkind or "png",
                               title=f"Cash flows of {os.path.basename(args.loans)}")
        if args.failures:
            _write_failures(args.failures, fkind, failures)
    cap, interest, pmt, period = table["Cap"], table["Int"], table["Pmt"], table["period"]
    repaid = float(cap.sum())
    wal = float((period * cap).sum() / repaid) if repaid != 0 and len(period) else float("nan")
    peak = int(period[pmt.argmax()]) if len(pmt) else None
    rows = [
        ("loans", f"{run.loans:,}"),
        ("failed loans", f"{len(failures):,}"),
        *_failure_rows(run, failures),
        ("periods", f"{len(period):,}"),
        ("total capital", f"{repaid:,.2f}"),
        ("total interest", f"{float(interest.sum()):,.2f}"),
        ("weighted average life", f"{wal:,.2f} periods"),
        ("peak payment period", f"{peak} ({float(pmt.max()):,.2f})" if peak is not None else "-"),
        ("elapsed", f"{elapsed:.2f} s"),
        ("loans/s", f"{run.loans / elapsed:,.0f}" if elapsed > 0 else "-"),
        ("output", os.path.relpath(args.output)),
        *([("failures", os.path.relpath(args.failures))] if args.failures else []),
        ("peak RSS", _peak_rss()),
    ]
    if args.plot:
        rows.append(("plot", f"{os.path.relpath(args.plot)} (bars of {every} period{'s' if every != 1 else ''})"))
    _print_table("cashflows", rows)
    return 0


# ---------------------------------------------------------------- arguments


def _thread_count(text: str) -> int:
    try:
        return _count(text)
    except argparse.ArgumentTypeError as e:
        raise argparse.ArgumentTypeError(f"{e}; leave --threads out to use every processor") from None


def _count(text: str) -> int:
    """A whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


TAPE_HELP = (
    "The tape needs the columns " + ", ".join(REQUIRED) + " (and optionally id and age), named as the engine names "
    "them or mapped with --map TARGET=SOURCE, e.g. --map amt=principal --map int_freq=payment_frequency. Rates are "
    "per period (0.004 is 0.4%% a period) unless --rate-unit says annual or annual-percent; frequencies are periods "
    f"between payments, or one of the words {FREQUENCY_HELP}."
).replace("%%", "%")  # descriptions are printed as they are, unlike help strings


def add_tape_arguments(p: argparse.ArgumentParser) -> None:
    """The input flags every subcommand that reads a tape shares."""
    p.add_argument("loans", metavar="LOANS",
                   help="the tape: .csv (or .tsv), .parquet, .arrow/.feather, or a folder of .parquet files")
    g = p.add_argument_group("reading the tape")
    g.add_argument("--map", action="append", metavar="TARGET=SOURCE",
                   help="take engine column TARGET (id, amt, rate, pers, int_freq, cap_freq, age) from tape column "
                        "SOURCE; repeatable, and one SOURCE may feed two targets")
    g.add_argument("--rate-unit", choices=RATE_UNITS, default="per-period",
                   help="per-period (default): the rate per period as a fraction; annual: a yearly fraction; "
                        "annual-percent: a yearly percentage such as 5.5 or '5.5%%' (both divided by "
                        "--periods-per-year)")
    g.add_argument("--periods-per-year", type=_count, default=12,
                   help="periods in a year, for annual rates and frequency words (default 12: monthly periods)")
    g.add_argument("--delimiter", help="the CSV delimiter (default: sniffed from the file)")
    g.add_argument("--allow-high-rates", action="store_true",
                   help="compute loans whose rate is above 1 (100%%) per period instead of stopping")
    r = p.add_argument_group("running")
    r.add_argument("--errors", choices=("raise", "skip"), default="skip",
                   help="skip (default): leave loans that fail out and list them; raise: stop at the first")
    r.add_argument("--failures", metavar="FILE",
                   help="write every refused loan (row, id, code, field, reason) to FILE, .csv or .parquet")
    r.add_argument("--threads", type=_thread_count, default=None,
                   help="engine threads (default: the pool's size, RAYON_NUM_THREADS or one per processor)")
    r.add_argument("--batch-rows", type=_count, default=65536, help="rows per batch read and written")
    r.add_argument("--progress", action=argparse.BooleanOptionalAction, default=sys.stderr.isatty(),
                   help="report progress on standard error (default: only on a terminal; in a log, a line "
                        "every few seconds)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quill-harbor",
        description="Loan repayment schedules and cash flows for whole books, exact to the bit in binary32. "
                    + TAPE_HELP,
        epilog="Exit status: 0 done (refused loans listed), 2 bad usage or bad input, 3 no loan could be scheduled.",
    )
    parser.add_argument("--version", action="version", version=f"quill-harbor {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("sample", help="write a deterministic synthetic book to CSV or Parquet",
                       description="Writes a synthetic book in engine units: mortgages and car loans paid monthly, "
                                   "business loans paid quarterly, and a few loan shapes the engine refuses.")
    p.add_argument("--loans", type=int, required=True, help="number of loans")
    p.add_argument("--seed", type=int, default=20261208, help="random seed (the same seed gives the same book)")
    p.add_argument("-o", "--output", required=True, help="output file, .csv or .parquet")
    p.set_defaults(run=_cmd_sample)

    p = sub.add_parser("schedules", help="every loan's schedule, streamed to a file",
                       description="Computes every loan's schedule batch by batch, so memory stays flat for any "
                                   "book size. " + TAPE_HELP,
                       epilog="Parquet output is one file whose row groups are encoded on --write-threads threads.")
    add_tape_arguments(p)
    p.add_argument("-o", "--output", required=True, help="output file: .parquet, .csv, or .arrow/.feather")
    p.add_argument("--layout", choices=("long", "list"), default="long",
                   help="one row per period (long) or one row per loan with list columns (list)")
    p.add_argument("--write-threads", type=_count, default=2,
                   help="threads encoding Parquet row groups (default 2)")
    p.set_defaults(run=_cmd_schedules)

    p = sub.add_parser("cashflows", help="portfolio totals per period, with an optional plot",
                       description="Sums capital, interest, payment and balance over the book, period by period, "
                                   "without keeping per-loan schedules. " + TAPE_HELP)
    add_tape_arguments(p)
    p.add_argument("-o", "--output", required=True, help="output file: .csv, .parquet, or .arrow/.feather")
    p.add_argument("--plot", metavar="FILE", help="also draw the cash flows to FILE (.png, .svg or .pdf)")
    p.add_argument("--plot-every", type=_count, metavar="N",
                   help="periods summed in each bar (default: the least common multiple of the book's payment "
                        "frequencies, so each bar holds a payment of every loan)")
    p.set_defaults(run=_cmd_cashflows)
    _cli_project.register(sub, add_tape_arguments)
    _cli_value.register(sub, add_tape_arguments)
    return parser


def _terminate(signum: int, frame: Any) -> None:
    # SIGTERM unwinds like Ctrl-C, so temporary outputs are removed.
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        previous = signal.signal(signal.SIGTERM, _terminate)
    except ValueError:  # not the main thread: leave signals to the caller
        previous = None
    try:
        return args.run(args)
    except CliError as e:
        print(f"quill-harbor: error: {e}", file=sys.stderr)
        return e.status
    except KeyboardInterrupt:
        print("quill-harbor: interrupted; no output was written", file=sys.stderr)
        return 130
    except MemoryError:
        print("quill-harbor: error: out of memory", file=sys.stderr)
        return 2
    except ImportError as e:
        print(f"quill-harbor: error: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        where = f"{e.filename}: " if getattr(e, "filename", None) else ""
        print(f"quill-harbor: error: {where}{e.strerror or e}", file=sys.stderr)
        return 2
    except Exception as e:  # noqa: BLE001 - the promise is one line, never a traceback
        first = str(e).strip().splitlines()[0] if str(e).strip() else ""
        print(f"quill-harbor: error: {type(e).__name__}: {first}", file=sys.stderr)
        return 2
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
