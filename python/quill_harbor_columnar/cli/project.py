"""``quill-harbor project``: projected cash flows of a loan tape under
prepayment and default scenarios, written long (a row per scenario, segment
and period), with a summary table and an optional plot."""

from __future__ import annotations

import argparse
import os
from typing import Any, NamedTuple

from .._internal.deps import require
from .._internal.names import SCENARIO, SCENARIO_NAME
from ..io.atomic import Staged
from ..io.writers import write_table
from ..plots.projection import plot_projection
from ..projection import project
from ..tape.periods import in_book_periods
from ..tape.stream import TapeRun
from .exits import CliError
from .failures import refusal_rows
from .options import TAPE_HELP, add_tape_arguments, lag
from .progress import Progress
from .report import by_shape, long_terms, peak_rss, print_table, rate, shown
from .run import Command, Done
from .scenarios import percent, scenarios_of


def check_columns(run: TapeRun, names: list[str], flag: str) -> None:
    """Refuses a flag (--by, say) that names a column the tape does not have."""
    missing = [name for name in names if name not in run.tape.names]
    if missing:
        raise CliError(
            run.path,
            f"{flag} names column {missing[0]!r}, which the tape does not have (it has {', '.join(run.tape.names)})",
        )


def _frequencies(loans: Any, errors: Any, periods_per_year: int) -> dict[int, int]:
    """Loans by payment frequency in the book's periods, of the loans that were projected (a
    refused bullet loan's would widen every bar)."""
    np = require("numpy", "--plot")
    keep = np.ones(loans.num_rows, dtype=bool)
    keep[np.asarray([e.index for e in errors.failures], dtype=np.int64)] = False
    counts: dict[int, int] = {}
    for name in ("int_freq", "cap_freq"):
        values, n = np.unique(in_book_periods(loans, name, periods_per_year)[keep], return_counts=True)
        for f, c in zip(values.tolist(), n.tolist()):
            counts[f] = counts.get(f, 0) + c
    return counts


def _key(row: Any, key: str, named: bool) -> str:
    """A summary row's label in column ``key``: a named scenario by its name."""
    if key == SCENARIO and named and row[SCENARIO_NAME] is not None:
        return str(row[SCENARIO_NAME])
    return str(row[key]) if key in row else "0"


def _ratio(x: float, fmt: str) -> str:
    return format(x, fmt) if x == x else "-"  # NaN: a segment whose loans all failed  # noqa: PLR0124


def _summary_lines(summary: Any, by: list[str]) -> list[str]:
    named = SCENARIO_NAME in summary.columns
    keys = ([SCENARIO] if SCENARIO in summary.columns or named else []) + by
    head = [*keys, "start balance", "principal", "interest", "loss", "cum. loss", "WAL (years)"]
    rows = [
        [
            *(_key(r, k, named) for k in keys),
            f"{r.start_balance:,.2f}",
            f"{r.principal:,.2f}",
            f"{r.interest:,.2f}",
            f"{r.loss:,.2f}",
            _ratio(r.cumulative_loss, ".4%"),
            _ratio(r.wal, ",.2f"),
        ]
        for _, r in summary.iterrows()
    ]
    widths = [max(len(h), *(len(row[i]) for row in rows)) if rows else len(h) for i, h in enumerate(head)]
    fmt = "  ".join(f"{{:<{w}}}" if i < len(keys) else f"{{:>{w}}}" for i, w in enumerate(widths))
    return [fmt.format(*head), "-" * (sum(widths) + 2 * (len(widths) - 1)), *(fmt.format(*row) for row in rows)]


class _Projected(NamedTuple):
    projection: Any  # the Projection
    loans: Any  # the engine's columns as read, for the plot's bar width

    @property
    def errors(self) -> Any:
        return self.projection.errors


class Project(Command):
    name = "project"
    reads_ages = True

    def prepare(self, args: argparse.Namespace) -> None:
        super().prepare(args)
        args.scenario_list = scenarios_of(args)

    def compute(self, args: argparse.Namespace, run: TapeRun | None, progress: Progress, staged: Staged) -> Any:
        assert run is not None
        by = args.by or []
        check_columns(run, by, "--by")
        # The segments come through the one pass over the tape with the engine's
        # columns, row for row (an engine column, --by int_freq, as the engine reads it).
        loans = run.reader(progress, keep=by).read_all()
        proj = project(
            loans,
            args.scenario_list,
            by=by or None,
            as_of=args.as_of,
            periods_per_year=args.periods_per_year,
            errors="skip",
            threads=args.threads,
            strict=args.strict,
            precision=args.precision,
        )
        return _Projected(proj, loans)

    def write(self, args: argparse.Namespace, done: Done, staged: Staged, writing: Any) -> None:
        kinds = {o.path: o.kind for o in self.outputs(args)}
        proj = done.result.projection
        with writing(args.output):
            write_table(proj.to_arrow(), staged[args.output], kinds[args.output])
        if args.plot:
            with writing(args.plot):
                plot_projection(
                    proj,
                    staged[args.plot],
                    kinds[args.plot],
                    f"Projected cash flows of {os.path.basename(args.loans)}",
                    _frequencies(done.result.loans, proj.errors, args.periods_per_year),
                )

    def report(self, args: argparse.Namespace, done: Done) -> None:
        assert done.run is not None
        proj = done.result.projection
        print_table(
            "project",
            [
                ("loans", f"{done.run.loans:,}"),
                *by_shape(done.run.shapes),
                *refusal_rows(done.refused),
                *long_terms(done.run),
                ("scenarios", f"{len(args.scenario_list):,}"),
                ("rows written", f"{proj.num_rows:,}"),
                ("elapsed", f"{done.elapsed:.2f} s"),
                ("loans/s", rate(done.run.loans, done.elapsed)),
                ("output", shown(args.output)),
                *([("failures", shown(args.failures))] if args.failures else []),
                *([("plot", shown(args.plot))] if args.plot else []),
                ("peak RSS", peak_rss()),
            ],
        )
        print()
        print("\n".join(_summary_lines(proj.summary(), args.by or [])))


def register(sub: Any) -> None:
    """Adds the subcommand to the command's subparsers."""
    p = sub.add_parser(
        "project",
        help="projected cash flows under prepayment and default scenarios",
        description="Projects the book's cash flows under one scenario given by the flags, or several from "
        "--scenarios FILE.json, from each loan's age on (an age column, or --map age=COLUMN), totalled "
        "per scenario, --by segment and period. Rates and severity are in percent: --cpr 8 is 8% a "
        "year, --smm 0.5 is 0.5% a period, --severity 35 loses 35% of a default; --psa and --sda "
        "are speeds, 100 is 100% of the standard ramp (monthly periods only). " + TAPE_HELP,
        epilog="Defaulted principal pays nothing until it is liquidated --lag periods later, as loss (--severity) "
        "and recovery. A scenario file holds a list of mappings with the keys smm, cpr or psa; mdr, cdr or "
        "sda; severity; lag; name, in the units of the Python API: rates and severity as fractions (0.08 is "
        '8%) or percent texts ("8%"), psa and sda as speeds. A scenario\'s name labels it in the output '
        "(a scenario_name column), the summary and the plot.",
    )
    add_tape_arguments(p)
    p.add_argument("-o", "--output", required=True, help="output file: .csv, .parquet, or .arrow/.feather")
    add_scenario_arguments(p)
    p.add_argument("--by", action="append", metavar="COL", help="total by this tape column; repeatable")
    p.add_argument(
        "--plot",
        metavar="FILE",
        help="draw balance curves per scenario and the first scenario's flows to FILE (.png, .svg, .pdf)",
    )
    p.set_defaults(run=Project())


def add_scenario_arguments(p: Any) -> None:
    """The scenario flags (percent) and --scenarios FILE.json, as project and value take them."""
    s = p.add_argument_group("the scenario (percent, as 35 or 35%; or --scenarios)")
    prepay = s.add_mutually_exclusive_group()
    prepay.add_argument("--cpr", type=percent, metavar="PCT", help="prepayment, annual percent (8 means 8%%)")
    prepay.add_argument("--smm", type=percent, metavar="PCT", help="prepayment, percent per period")
    prepay.add_argument("--psa", type=percent, metavar="SPEED", help="prepayment ramp speed (100 means 100%% PSA)")
    dflt = s.add_mutually_exclusive_group()
    dflt.add_argument("--cdr", type=percent, metavar="PCT", help="default, annual percent (2 means 2%%)")
    dflt.add_argument("--mdr", type=percent, metavar="PCT", help="default, percent per period")
    dflt.add_argument("--sda", type=percent, metavar="SPEED", help="default ramp speed (100 means 100%% SDA)")
    s.add_argument("--severity", type=percent, metavar="PCT", help="loss on a default, percent (35 means 35%%)")
    s.add_argument("--lag", type=lag, metavar="N", help="periods from default to liquidation (default 0)")
    s.add_argument(
        "--scenarios",
        metavar="FILE.json",
        help="several scenarios: a JSON list of mappings (keys and units as in the Python API, rates "
        'also as percent texts such as "35%%", and "name" to label one)',
    )
