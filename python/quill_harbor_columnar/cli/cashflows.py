"""``quill-harbor cashflows``: portfolio totals per period, with an optional plot."""

from __future__ import annotations

import argparse
import os
from typing import Any, NamedTuple

from ..io.atomic import Staged
from ..io.writers import decimal_cents, write_table
from ..plots.axes import auto_every
from ..plots.cashflows import plot_cashflows
from ..scheduling import cashflows
from ..tape.stream import TapeRun
from .exits import CliError
from .failures import refusal_rows
from .options import TAPE_HELP, add_decimal_columns, add_tape_arguments, check_decimal_columns, count
from .progress import Progress
from .report import by_shape, long_terms, peak_rss, print_table, rate, shown
from .run import Command, Done, Output, takes_ages


class _Totals(NamedTuple):
    totals: Any  # the Cashflows result
    every: int | None  # periods a bar of the plot sums

    @property
    def errors(self) -> Any:
        return self.totals.errors


class Cashflows(Command):
    name = "cashflows"

    @property
    def reads_ages(self) -> bool:  # type: ignore[override]
        return takes_ages("cashflows")

    def outputs(self, args: argparse.Namespace) -> list[Output]:
        if args.plot_every is not None and args.plot_every < 1:
            raise CliError(None, "--plot-every must be 1 or more")
        check_decimal_columns(args)
        return super().outputs(args)

    def compute(self, args: argparse.Namespace, run: TapeRun | None, progress: Progress, staged: Staged) -> Any:
        assert run is not None
        totals = cashflows(
            run.reader(progress),
            errors="skip",
            threads=args.threads,
            strict=args.strict,
            precision=args.precision,
            periods_per_year=args.periods_per_year,
        )
        every = None
        if args.plot:
            period = totals.to_numpy()["period"]
            every = args.plot_every or auto_every(run.frequencies, int(period[-1]) if len(period) else 0)
        return _Totals(totals, every)

    def write(self, args: argparse.Namespace, done: Done, staged: Staged, writing: Any) -> None:
        kinds = {o.path: o.kind for o in self.outputs(args)}
        with writing(args.output):
            table = done.result.totals.to_arrow()
            if args.decimal_columns:
                table = decimal_cents(table, ("Cap", "Int", "Pmt", "Bal"))
            write_table(table, staged[args.output], kinds[args.output])
        if args.plot:
            with writing(args.plot):
                plot_cashflows(
                    done.result.totals.to_numpy(),
                    staged[args.plot],
                    every=done.result.every,
                    fmt=kinds[args.plot],
                    title=f"Cash flows of {os.path.basename(args.loans)}",
                )

    def report(self, args: argparse.Namespace, done: Done) -> None:
        assert done.run is not None
        table = done.result.totals.to_numpy()
        cap, interest, pmt, period = table["Cap"], table["Int"], table["Pmt"], table["period"]
        repaid = float(cap.sum())
        wal = float((period * cap).sum() / repaid) if repaid != 0 and len(period) else float("nan")
        peak = int(period[pmt.argmax()]) if len(pmt) else None
        rows = [
            ("loans", f"{done.run.loans:,}"),
            *by_shape(done.run.shapes),
            *refusal_rows(done.refused),
            *long_terms(done.run),
            ("periods", f"{len(period):,}"),
            ("total capital", f"{repaid:,.2f}"),
            ("total interest", f"{float(interest.sum()):,.2f}"),
            ("weighted average life", f"{wal:,.2f} periods"),
            ("peak payment period", f"{peak} ({float(pmt.max()):,.2f})" if peak is not None else "-"),
            ("elapsed", f"{done.elapsed:.2f} s"),
            ("loans/s", rate(done.run.loans, done.elapsed)),
            ("output", shown(args.output)),
            *([("failures", shown(args.failures))] if args.failures else []),
            ("peak RSS", peak_rss()),
        ]
        if args.plot:
            every = done.result.every
            rows.append(("plot", f"{shown(args.plot)} (bars of {every} period{'s' if every != 1 else ''})"))
        print_table("cashflows", rows)


def register(sub: Any) -> None:
    p = sub.add_parser(
        "cashflows",
        help="portfolio totals per period, with an optional plot",
        description="Sums capital, interest, payment and balance over the book, period by period, "
        "without keeping per-loan schedules. " + TAPE_HELP,
    )
    add_tape_arguments(p)
    p.add_argument("-o", "--output", required=True, help="output file: .csv, .parquet, or .arrow/.feather")
    p.add_argument("--plot", metavar="FILE", help="also draw the cash flows to FILE (.png, .svg or .pdf)")
    p.add_argument(
        "--plot-every",
        type=count,
        metavar="N",
        help="periods summed in each bar (default: the least common multiple of the book's payment "
        "frequencies, so each bar holds a payment of every loan)",
    )
    add_decimal_columns(p)
    p.set_defaults(run=Cashflows())
