"""``quill-harbor sample``: a deterministic synthetic book, to try the other commands on."""

from __future__ import annotations

import argparse
import os
from typing import Any

from ..io.atomic import Staged
from ..tape.sample import sample_book, write_book
from ..tape.stream import TapeRun
from .exits import CliError
from .options import add_precision
from .progress import Progress
from .report import human_bytes, print_table
from .run import Command, Done, Output


class Sample(Command):
    name = "sample"
    reads_tape = False

    def outputs(self, args: argparse.Namespace) -> list[Output]:
        if args.loans < 0:
            raise CliError(None, "--loans must not be negative")
        return super().outputs(args)

    def compute(self, args: argparse.Namespace, run: TapeRun | None, progress: Progress, staged: Staged) -> Any:
        return sample_book(args.loans, args.seed, precision=args.precision)

    def engine_errors(self, result: Any) -> Any:
        return None

    def write(self, args: argparse.Namespace, done: Done, staged: Staged, writing: Any) -> None:
        with writing(args.output):
            write_book(done.result, staged[args.output], kind=self.outputs(args)[0].kind)

    def report(self, args: argparse.Namespace, done: Done) -> None:
        print_table(
            "sample",
            [
                ("loans", f"{args.loans:,}"),
                ("seed", str(args.seed)),
                ("file", args.output),
                ("file size", human_bytes(os.path.getsize(args.output))),
                ("elapsed", f"{done.elapsed:.2f} s"),
            ],
        )


def register(sub: Any) -> None:
    p = sub.add_parser(
        "sample",
        help="write a deterministic synthetic book to CSV, Parquet or Arrow",
        description="Writes a synthetic book in engine units: mortgages and car loans paid monthly, "
        "business loans paid quarterly, and a few loan shapes the engine refuses.",
    )
    p.add_argument("--loans", type=int, required=True, help="number of loans")
    p.add_argument("--seed", type=int, default=20261208, help="random seed (the same seed gives the same book)")
    p.add_argument("-o", "--output", required=True, help="output file, .csv, .parquet or .arrow")
    add_precision(
        p,
        "amounts in round hundreds or thousands",
        "amounts to the cent (the same draws, rounded half-up to the cent), as a lender's tape holds them, for "
        "schedules --precision cent to read as written",
    )
    p.set_defaults(run=Sample())
