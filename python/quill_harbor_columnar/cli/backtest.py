"""``quill-harbor backtest``: the loans performing in a month of a history, projected under scenarios,
each month beside what the same loans did."""

from __future__ import annotations

import argparse
from typing import Any

from ..history.backtest import as_of, backtest
from ..history.performance import month_of
from ..io.atomic import Staged
from ..io.writers import write_table
from ..plots.history import plot_backtest
from ..tape.stream import TapeRun
from .exits import CliError
from .options import add_precision, count
from .performance import HistoryCommand, HistoryRun, add_history_arguments, check_failures, open_history
from .progress import Progress
from .project import add_scenario_arguments
from .report import peak_rss, print_table, shown
from .run import Done
from .scenarios import scenarios_of


class Backtest(HistoryCommand):
    name = "backtest"

    def inputs(self, args: argparse.Namespace) -> list[str]:
        return super().inputs(args) + ([args.scenarios] if args.scenarios else [])

    def prepare(self, args: argparse.Namespace) -> None:
        args.periods_per_year = 12
        args.scenario_list = scenarios_of(args)
        try:
            month_of(args.as_of)
        except ValueError as e:
            raise CliError(None, f"--as-of: {e}") from None

    def compute(self, args: argparse.Namespace, run: TapeRun | None, progress: Progress, staged: Staged) -> Any:
        history = open_history(args, progress)
        try:
            book = as_of(history, args.as_of, by=args.by)
        except ValueError as e:
            failures = history.failures
            if failures and not history.to_arrow().num_rows:
                check_failures(args, history, 0)
            raise CliError(None, str(e)) from None
        result = backtest(history, book, args.scenario_list, by=args.by, months=args.months, precision=args.precision)
        progress.advance(book.num_rows)
        return HistoryRun(history, result, None)

    def write(self, args: argparse.Namespace, done: Done, staged: Staged, writing: Any) -> None:
        kinds = {o.path: o.kind for o in self.outputs(args)}
        result: HistoryRun = done.result
        with writing(args.output):
            write_table(result.table.to_arrow(), staged[args.output], kinds[args.output])
        if args.plot:
            with writing(args.plot):
                plot_backtest(
                    result.table.to_arrow(), staged[args.plot], kinds[args.plot],
                    f"Projected against realized balance, loans performing in {args.as_of}",
                )  # fmt: skip
        self.write_failures(args, result.history, staged, writing)

    def report(self, args: argparse.Namespace, done: Done) -> None:
        result: HistoryRun = done.result
        print_table(
            "backtest",
            [
                ("layout", args.layout),
                ("as of", args.as_of),
                ("scenarios", f"{len(args.scenario_list):,}"),
                *self.failure_rows(result.history),
                ("rows written", f"{result.table.num_rows:,}"),
                ("elapsed", f"{done.elapsed:.2f} s"),
                ("output", shown(args.output)),
                *([("plot", shown(args.plot))] if args.plot else []),
                ("peak RSS", peak_rss()),
            ],
        )


def register(sub: Any) -> None:
    p = sub.add_parser(
        "backtest",
        help="project the loans performing in a month of a history and set each month beside what happened",
        description="Takes the loans of the history performing in --as-of, projects them under the scenarios "
        "(the flags, or --scenarios FILE.json) and writes, a row per scenario and month after it, the "
        "projected and realized balance, prepaid, defaulted, loss and interest and their differences.",
    )
    add_history_arguments(p)
    p.add_argument("--as-of", required=True, metavar="YYYY-MM", help="the month whose performing loans are projected")
    p.add_argument("--months", type=count, metavar="N", help="months to compare (default: all the history has)")
    p.add_argument("-o", "--output", required=True, help="output file: .csv, .parquet, or .arrow/.feather")
    p.add_argument("--plot", metavar="FILE", help="draw projected against realized balance (.png, .svg, .pdf)")
    add_precision(
        p,
        "project with the engine's single-precision schedules",
        "project the book's cent schedules, in whole cents as a servicer books each loan",
    )
    add_scenario_arguments(p)
    p.set_defaults(run=Backtest())
