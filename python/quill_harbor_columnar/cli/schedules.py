"""``quill-harbor schedules``: every loan's schedule, streamed batch by batch to one file."""

from __future__ import annotations

import argparse
import os
from typing import Any, NamedTuple

from .._internal.deps import require
from .._internal.names import ID, LOAN, SCHEDULE
from ..io.atomic import Staged
from ..io.formats import CSV
from ..io.writers import TableSink, decimal_cents
from ..scheduling import stream_schedules
from ..tape.stream import TapeRun
from .exits import CliError
from .failures import refusal_rows
from .options import TAPE_HELP, add_decimal_columns, add_tape_arguments, check_decimal_columns, count
from .progress import Progress
from .report import by_shape, human_bytes, long_terms, peak_rss, print_table, rate, shown
from .run import Command, Done, Output, takes_ages

# Parquet settings of the schedules file: the loan label repeats and takes a
# dictionary; the period and the floats do not (a dictionary over the floats
# cost 2.5 times as long and gave a larger file, and over the period it cost
# more than byte-stream-split, for a file 1% larger). Byte-stream-split puts
# their exponent bytes together, which LZ4 then finds: a file about 30%
# smaller (bench/cli_bench.py). Row groups of 2^18 rows, each encoded on its
# own thread: larger ones gained nothing and held more memory in flight.
PARQUET = {
    "use_dictionary": [LOAN],
    "use_byte_stream_split": list(SCHEDULE),
    "compression": "lz4",
    "row_group_rows": 1 << 18,
}


def _relabel(batch: Any, to_tape: Any) -> Any:
    """Without ids the engine labels a loan by its row in its own input, which
    lacks the rows the tape reader dropped: put back the tape's row."""
    pa = require("pyarrow", "the quill-harbor command")
    np = require("numpy", "the quill-harbor command")
    loan = batch.column(0)
    if pa.types.is_dictionary(loan.type) or pa.types.is_string(loan.type):
        return batch
    fixed = pa.array(to_tape(np.asarray(loan)).astype(np.int32), pa.int32())
    return pa.RecordBatch.from_arrays([fixed, *batch.columns[1:]], schema=batch.schema)


class _Written(NamedTuple):
    rows: int  # rows written to the output
    errors: Any  # the engine's refusals, an ErrorTable


class Schedules(Command):
    name = "schedules"

    @property
    def reads_ages(self) -> bool:  # type: ignore[override]
        return takes_ages("schedules")

    def outputs(self, args: argparse.Namespace) -> list[Output]:
        check_decimal_columns(args)
        out = super().outputs(args)
        if out[0].kind == CSV and args.layout == "list":
            raise CliError(
                args.output, "the list layout has list columns, which CSV cannot hold; use .parquet or .arrow"
            )
        return out

    def compute(self, args: argparse.Namespace, run: TapeRun | None, progress: Progress, staged: Staged) -> Any:
        assert run is not None
        kind = self.outputs(args)[0].kind
        stream = stream_schedules(
            run.reader(progress),
            batch_rows=args.batch_rows,
            layout=args.layout,
            errors="skip",
            threads=args.threads,
            strict=args.strict,
            precision=args.precision,
            periods_per_year=args.periods_per_year,
        )
        amounts = SCHEDULE[1:] if args.decimal_columns else ()
        parquet = {**PARQUET, "use_byte_stream_split": [c for c in SCHEDULE if c not in amounts]}
        sink = None
        rows = 0
        try:
            out = stream.to_reader()
            schema = decimal_cents(out.schema.empty_table(), amounts).schema if amounts else out.schema
            sink = TableSink(staged[args.output], kind, schema, threads=args.write_threads, parquet=parquet)
            relabel = ID not in run.spec.sources
            for batch in out:
                if args.errors == "raise" and (run.failures or len(stream.errors)):
                    break
                if relabel and run.dropped:
                    batch = _relabel(batch, run.to_tape())
                sink.write(decimal_cents(batch, amounts) if amounts else batch)
                rows += batch.num_rows
            sink.close()
        except BaseException:
            if sink is not None:
                sink.abort()
            raise
        return _Written(rows, stream.errors)

    def report(self, args: argparse.Namespace, done: Done) -> None:
        assert done.run is not None
        print_table(
            "schedules",
            [
                ("loans", f"{done.run.loans:,}"),
                *by_shape(done.run.shapes),
                ("rows written", f"{done.result.rows:,}"),
                *refusal_rows(done.refused),
                *long_terms(done.run),
                ("elapsed", f"{done.elapsed:.2f} s"),
                ("loans/s", rate(done.run.loans, done.elapsed)),
                ("output", shown(args.output)),
                ("file size", human_bytes(os.path.getsize(args.output))),
                *([("failures", shown(args.failures))] if args.failures else []),
                ("peak RSS", peak_rss()),
            ],
        )


def register(sub: Any) -> None:
    p = sub.add_parser(
        "schedules",
        help="every loan's schedule, streamed to a file",
        description="Computes every loan's schedule batch by batch, so memory stays flat for any "
        "book size. " + TAPE_HELP,
        epilog="Parquet output is one file whose row groups are encoded on --write-threads threads.",
    )
    add_tape_arguments(p)
    p.add_argument("-o", "--output", required=True, help="output file: .parquet, .csv, or .arrow/.feather")
    p.add_argument(
        "--layout",
        choices=("long", "list"),
        default="long",
        help="one row per period (long) or one row per loan with list columns (list)",
    )
    p.add_argument("--write-threads", type=count, default=2, help="threads encoding Parquet row groups (default 2)")
    add_decimal_columns(p)
    p.set_defaults(run=Schedules())
