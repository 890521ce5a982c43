"""``quill-harbor sample-history``: a synthetic loan-level history in an agency's layout, at given speeds."""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
from typing import Any

from ..history.sample import write_sample_history
from ..io.atomic import Staged
from ..tape.stream import TapeRun
from .exits import CliError
from .options import add_precision
from .progress import Progress
from .report import human_bytes, print_table
from .run import Command, Done, Output
from .scenarios import percent


class SampleHistory(Command):
    name = "sample-history"
    reads_tape = False

    def outputs(self, args: argparse.Namespace) -> list[Output]:
        if args.loans < 1 or args.months < 1:
            raise CliError(None, "--loans and --months must be 1 or more")
        if os.path.exists(args.output) and not os.path.isdir(args.output):
            raise CliError(args.output, "is a file; -o names the folder to write the history into")
        return []

    def compute(self, args: argparse.Namespace, run: TapeRun | None, progress: Progress, staged: Staged) -> Any:
        # Written into a folder beside the output, then moved in: an interrupted run leaves nothing.
        parent = os.path.dirname(os.path.abspath(args.output))
        os.makedirs(parent, exist_ok=True)
        scratch = tempfile.mkdtemp(prefix=".sample-history-", dir=parent)
        try:
            files = write_sample_history(
                scratch, args.loans, args.months, args.layout,
                cpr=args.cpr / 100, cdr=args.cdr / 100, severity=args.severity / 100, seed=args.seed, start=args.start,
                precision=args.precision,
            )  # fmt: skip
            os.makedirs(args.output, exist_ok=True)
            placed = []
            for path in files:
                target = os.path.join(args.output, os.path.basename(path))
                os.replace(path, target)
                placed.append(target)
            return placed
        finally:
            shutil.rmtree(scratch, ignore_errors=True)

    def engine_errors(self, result: Any) -> Any:
        return None

    def report(self, args: argparse.Namespace, done: Done) -> None:
        size = sum(os.path.getsize(p) for p in done.result)
        print_table(
            "sample-history",
            [
                ("layout", args.layout),
                ("loans", f"{args.loans:,}"),
                ("months", f"{args.months:,}"),
                ("files", f"{len(done.result):,}"),
                ("folder", args.output),
                ("size", human_bytes(size)),
                ("elapsed", f"{done.elapsed:.2f} s"),
            ],
        )


def register(sub: Any) -> None:
    p = sub.add_parser(
        "sample-history",
        help="write a synthetic loan-level history in an agency's layout",
        description="Writes a synthetic monthly loan-level history of --loans loans over --months months in "
        "the fannie-mae layout (one combined file a quarter of first payment) or the freddie-mac layout "
        "(performance and origination files a quarter), whose loans prepay, default and lose at the given "
        "constant speeds (percent: --cpr 8 is 8% a year).",
    )
    p.add_argument("--loans", type=int, required=True, help="number of loans")
    p.add_argument("--months", type=int, required=True, help="reporting months")
    p.add_argument("--layout", choices=("fannie-mae", "freddie-mac"), required=True)
    p.add_argument("-o", "--output", required=True, metavar="DIR", help="the folder to write into")
    p.add_argument("--cpr", type=percent, default=8.0, metavar="PCT", help="prepayment, annual percent (default 8)")
    p.add_argument("--cdr", type=percent, default=1.0, metavar="PCT", help="default, annual percent (default 1)")
    p.add_argument(
        "--severity", type=percent, default=35.0, metavar="PCT", help="loss on default, percent (default 35)"
    )
    p.add_argument("--seed", type=int, default=20261208, help="random seed (the same seed gives the same files)")
    p.add_argument("--start", default="2020-01", metavar="YYYY-MM", help="the first reporting month")
    add_precision(
        p,
        "each month's scheduled principal from the float64 level-payment formula",
        "from each loan's cent schedule, as a servicer books it, and curtailments and liquidation amounts in "
        "whole cents (rounded half-up)",
    )
    p.set_defaults(run=SampleHistory())
