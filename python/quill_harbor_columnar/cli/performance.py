"""``quill-harbor performance``: realized prepayment, default and loss of a loan-level history by month
(and cohort), with roll rates and a plot of CPR and CDR by age."""

from __future__ import annotations

import argparse
from typing import Any, NamedTuple

from ..history.failures import RecordError, failure_table
from ..history.partials import cohort_columns, combine
from ..history.performance import finish_performance, finish_rolls, history_partial_sets
from ..history.reading import DEFAULT_BATCH_ROWS, History
from ..io.atomic import Staged
from ..io.writers import write_table
from ..plots.history import plot_performance
from ..tape.stream import TapeRun
from .exits import CliError, Exit
from .options import add_precision, count
from .progress import Progress
from .report import by_code, peak_rss, print_table, shown
from .run import Command, Done, Output, output


class HistoryRun(NamedTuple):
    history: History
    table: Any  # the main result
    rolls: Any  # the roll rates, or None


def record_error(e: RecordError) -> CliError:
    return CliError(e.file, str(e).split(": ", 1)[-1], row=e.line, column=e.field)


def open_history(args: argparse.Namespace, progress: Progress) -> History:
    """The history of the command's files, failures raised as one line (--errors raise) or kept."""
    try:
        return History(
            args.history, args.layout, origination=args.origination, errors=args.errors, batch_rows=args.batch_rows
        )
    except RecordError as e:
        raise record_error(e) from None
    except (ValueError, FileNotFoundError) as e:
        raise CliError(None, str(e)) from None


def check_failures(args: argparse.Namespace, history: History, rows: int) -> None:
    """Every record failed: status 3, the failures file the one output kept."""
    failures = history.failures
    if failures and rows == 0:
        raise CliError(
            failures[0].file, f"not a single record could be read: all {len(failures):,} failed", status=Exit.NOTHING
        )


class HistoryCommand(Command):
    """What the history commands share: the inputs, the failures file, reading with progress."""

    reads_tape = False

    def inputs(self, args: argparse.Namespace) -> list[str]:
        return super().inputs(args) + list(args.history) + list(args.origination or [])

    def outputs(self, args: argparse.Namespace) -> list[Output]:
        out = [output(args.output, "table", "the output")]
        if args.failures:
            # Written by the command itself (the run skeleton lists a tape's refusals under --failures).
            out.append(output(args.failures, "table", "the failures file"))
        if getattr(args, "plot", None):
            out.append(output(args.plot, "plot", "--plot"))
        return out

    def engine_errors(self, result: Any) -> Any:
        return None

    def write_failures(self, args: argparse.Namespace, history: History, staged: Staged, writing: Any) -> None:
        if args.failures:
            kind = output(args.failures, "table", "--failures").kind
            with writing(args.failures):
                write_table(failure_table(history.failures), staged[args.failures], kind)

    def partials(self, args: argparse.Namespace, history: History, progress: Progress, kinds: list[str]) -> Any:
        try:
            return history_partial_sets(
                history, cohort_columns(args.by), kinds, progress=progress.advance, precision=args.precision
            )
        except RecordError as e:
            raise record_error(e) from None

    def failure_rows(self, history: History) -> list[tuple[str, str]]:
        failures = history.failures
        return [("failed records", f"{len(failures):,}"), *by_code(f.code for f in failures)]


class Performance(HistoryCommand):
    name = "performance"

    def outputs(self, args: argparse.Namespace) -> list[Output]:
        out = super().outputs(args)
        if args.roll_rates:
            out.append(output(args.roll_rates, "table", "--roll-rates"))
        return out

    def compute(self, args: argparse.Namespace, run: TapeRun | None, progress: Progress, staged: Staged) -> Any:
        history = open_history(args, progress)
        by = cohort_columns(args.by)
        kinds = ["performance", "rolls"] if args.roll_rates else ["performance"]
        sets = self.partials(args, history, progress, kinds)
        table = finish_performance(combine(sets[0]), by, window=args.window)
        check_failures(args, history, table.num_rows)
        rolls = finish_rolls(combine(sets[1]), by) if args.roll_rates else None
        return HistoryRun(history, table, rolls)

    def write(self, args: argparse.Namespace, done: Done, staged: Staged, writing: Any) -> None:
        kinds = {o.path: o.kind for o in self.outputs(args)}
        result: HistoryRun = done.result
        with writing(args.output):
            write_table(result.table.to_arrow(), staged[args.output], kinds[args.output])
        if args.roll_rates:
            with writing(args.roll_rates):
                write_table(result.rolls.to_arrow(), staged[args.roll_rates], kinds[args.roll_rates])
        if args.plot:
            with writing(args.plot):
                plot_performance(
                    result.table.to_arrow(), cohort_columns(args.by), staged[args.plot], kinds[args.plot],
                    "Realized CPR and CDR by age",
                )  # fmt: skip
        self.write_failures(args, result.history, staged, writing)

    def report(self, args: argparse.Namespace, done: Done) -> None:
        result: HistoryRun = done.result
        table = result.table.to_arrow()
        print_table(
            "performance",
            [
                ("layout", args.layout),
                ("files", f"{len(result.history.sources):,}"),
                *self.failure_rows(result.history),
                ("rows written", f"{table.num_rows:,}"),
                ("elapsed", f"{done.elapsed:.2f} s"),
                ("output", shown(args.output)),
                *([("roll rates", shown(args.roll_rates))] if args.roll_rates else []),
                *([("failures", shown(args.failures))] if args.failures else []),
                *([("plot", shown(args.plot))] if args.plot else []),
                ("peak RSS", peak_rss()),
            ],
        )


def add_history_arguments(p: argparse.ArgumentParser) -> None:
    """The input and running flags the history commands share."""
    p.add_argument("history", nargs="+", metavar="HISTORY", help="history files, folders or globs (.gz, .zip too)")
    p.add_argument("--layout", choices=("fannie-mae", "freddie-mac"), required=True)
    p.add_argument(
        "--origination", nargs="+", metavar="FILES", help="freddie-mac: the origination files, folders or globs"
    )
    p.add_argument("--by", action="append", metavar="COL", help="cohort column (vintage, coupon, ...); repeatable")
    p.add_argument(
        "--errors",
        choices=("raise", "skip"),
        default="skip",
        help="skip (default): leave records that do not read out and list them; raise: stop at the first",
    )
    p.add_argument("--failures", metavar="FILE", help="write every failed record (file, line, id, code, field) to FILE")
    p.add_argument("--batch-rows", type=count, default=DEFAULT_BATCH_ROWS, help="records per batch read")
    p.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="report progress on standard error (default: only on a terminal)",
    )


def register(sub: Any) -> None:
    p = sub.add_parser(
        "performance",
        help="realized CPR, CDR and severity of a loan-level history, by month and cohort",
        description="Reads an agency loan-level history and writes its realized measures a row per month "
        "(and --by cohort): loans, balance, scheduled and prepaid principal, defaulted balance, loss, "
        "recovery, smm, cpr, mdr, cdr, severity and psa.",
    )
    add_history_arguments(p)
    p.add_argument("--window", type=count, metavar="N", help="add cpr_N and cdr_N over the last N months")
    p.add_argument("-o", "--output", required=True, help="output file: .csv, .parquet, or .arrow/.feather")
    p.add_argument("--plot", metavar="FILE", help="draw realized CPR and CDR by age per cohort (.png, .svg, .pdf)")
    p.add_argument("--roll-rates", metavar="FILE", help="write the month-to-month roll rates to FILE (.csv, .parquet)")
    add_precision(
        p,
        "a scheduled principal the layout does not report comes from the float64 level-payment formula",
        "it comes from each loan's cent schedule, as a servicer books it (interest and level payment rounded "
        "half-up to the cent), and the prepaid principal with it",
    )
    p.set_defaults(run=Performance())
