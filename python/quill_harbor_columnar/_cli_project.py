"""``quill-harbor project``: projected cash flows of a loan tape under
prepayment and default scenarios, written long (a row per scenario, segment
and period), with a summary table and an optional plot."""

from __future__ import annotations

import argparse
import datetime
import json
import os
import time
from typing import Any

from ._cli_io import OUTPUT_KINDS, PLOT_KINDS, CliError, atomic_output, kind_by_extension, write_table
from ._optional import require
from ._progress import Progress

# Flags in percent and the scenario key each sets (the value divided by 100).
PERCENT_FLAGS = {"cpr": "cpr", "smm": "smm", "cdr": "cdr", "mdr": "mdr", "severity": "severity"}


def _date(text: str) -> datetime.date:
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a date as YYYY-MM-DD, not {text!r}") from None


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, not {text!r}") from None


def _lag(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number of periods, not {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def register(sub: Any, add_tape_arguments: Any) -> None:
    """Adds the subcommand to the command's subparsers."""
    p = sub.add_parser(
        "project", help="projected cash flows under prepayment and default scenarios",
        description="Projects the book's cash flows under one scenario given by the flags, or several from "
                    "--scenarios FILE.json, from each loan's age on (an age column, or --map age=COLUMN), totalled "
                    "per scenario, --by segment and period. Rates and severity are in percent: --cpr 8 is 8% a "
                    "year, --smm 0.5 is 0.5% a period, --severity 35 loses 35% of a default; --psa and --sda "
                    "are speeds, 100 is 100% of the standard ramp (monthly periods only).",
        epilog="Defaulted principal pays nothing until it is liquidated --lag periods later, as loss (--severity) "
               "and recovery. A scenario file holds a list of mappings with the keys smm, cpr or psa; mdr, cdr or "
               "sda; severity; lag, in the units of the Python API: rates and severity as fractions (0.08 is 8%), "
               "psa and sda as speeds.")
    add_tape_arguments(p)
    p.add_argument("-o", "--output", required=True, help="output file: .csv, .parquet, or .arrow/.feather")
    add_scenario_arguments(p)
    p.add_argument("--by", action="append", metavar="COL", help="total by this tape column; repeatable")
    p.add_argument("--as-of", type=_date, metavar="DATE", help="date of period 0 (YYYY-MM-DD): adds a date column")
    p.add_argument("--plot", metavar="FILE",
                   help="draw balance curves per scenario and the first scenario's flows to FILE (.png, .svg, .pdf)")
    p.set_defaults(run=run)


def add_scenario_arguments(p: Any) -> None:
    """The scenario flags (percent) and --scenarios FILE.json."""
    s = p.add_argument_group("the scenario (percent; or --scenarios)")
    prepay = s.add_mutually_exclusive_group()
    prepay.add_argument("--cpr", type=_number, metavar="PCT", help="prepayment, annual percent (8 means 8%%)")
    prepay.add_argument("--smm", type=_number, metavar="PCT", help="prepayment, percent per period")
    prepay.add_argument("--psa", type=_number, metavar="SPEED", help="prepayment ramp speed (100 means 100%% PSA)")
    dflt = s.add_mutually_exclusive_group()
    dflt.add_argument("--cdr", type=_number, metavar="PCT", help="default, annual percent (2 means 2%%)")
    dflt.add_argument("--mdr", type=_number, metavar="PCT", help="default, percent per period")
    dflt.add_argument("--sda", type=_number, metavar="SPEED", help="default ramp speed (100 means 100%% SDA)")
    s.add_argument("--severity", type=_number, metavar="PCT", help="loss on a default, percent (35 means 35%%)")
    s.add_argument("--lag", type=_lag, metavar="N", help="periods from default to liquidation (default 0)")
    s.add_argument("--scenarios", metavar="FILE.json",
                   help="several scenarios: a JSON list of mappings (keys and units as in the Python API)")


def scenarios_of(args: argparse.Namespace) -> list[dict[str, Any]]:
    """The scenarios the flags or the file give, in the API's units."""
    flags = {key: getattr(args, key) for key in ("cpr", "smm", "psa", "cdr", "mdr", "sda", "severity", "lag")
             if getattr(args, key) is not None}
    if args.scenarios:
        if flags:
            raise CliError(None, f"--scenarios and --{next(iter(flags))} both set the scenario; give one or the other")
        try:
            with open(args.scenarios, encoding="utf-8") as f:
                loaded = json.load(f)
        except OSError as e:
            raise CliError(args.scenarios, e.strerror or str(e)) from None
        except ValueError as e:
            raise CliError(args.scenarios, f"not JSON: {e}") from None
        if isinstance(loaded, dict):
            loaded = [loaded]
        if not isinstance(loaded, list) or not loaded or not all(isinstance(s, dict) for s in loaded):
            raise CliError(args.scenarios, "expected a non-empty JSON list of mappings (or one mapping)")
        return loaded
    return [{key: value / 100.0 if key in PERCENT_FLAGS else value for key, value in flags.items()}]


def _segments(run: Any, by: list[str]) -> Any:
    """The --by columns of the rows the engine reads: the tape's rows less those it could not read."""
    pa = require("pyarrow", "project")
    np = require("numpy", "project")
    missing = [name for name in by if name not in run.tape.names]
    if missing:
        raise CliError(run.path, f"--by names column {missing[0]!r}, which the tape does not have "
                                 f"(it has {', '.join(run.tape.names)})")
    table = pa.Table.from_batches(list(run.tape.batches(by)))
    if run.dropped:
        keep = np.ones(table.num_rows, dtype=bool)
        keep[np.asarray(sorted(run.dropped), dtype=np.int64)] = False
        table = table.filter(pa.array(keep))
    return table


def _frequencies(loans: Any, errors: Any) -> dict[int, int]:
    """Loans by payment frequency, of the loans that were projected (a
    refused bullet loan's would widen every bar)."""
    np = require("numpy", "--plot")
    keep = np.ones(loans.num_rows, dtype=bool)
    keep[np.asarray([e[0] for e in errors], dtype=np.int64)] = False
    counts: dict[int, int] = {}
    for name in ("int_freq", "cap_freq"):
        values, n = np.unique(np.asarray(loans.column(name))[keep], return_counts=True)
        for f, c in zip(values.tolist(), n.tolist()):
            counts[f] = counts.get(f, 0) + c
    return counts


def _plot(proj: Any, path: str, fmt: str, title: str, frequencies: dict[int, int]) -> None:
    from ._plot import auto_every

    np = require("numpy", "--plot")
    matplotlib = require("matplotlib", "--plot")
    matplotlib.use("Agg")
    plt = require("matplotlib.pyplot", "--plot")
    df = proj.to_pandas()
    if "scenario" not in df.columns:
        df["scenario"] = 0
    totals = df.groupby(["scenario", "period"], sort=True)[
        ["balance", "scheduled_principal", "prepaid_principal", "recovery", "interest", "loss"]].sum()
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(11, 8), dpi=110, sharex=True)
    for scenario, rows in totals.groupby(level="scenario"):
        periods = rows.index.get_level_values("period")
        top.plot(periods, rows["balance"], linewidth=1.5, label=f"scenario {scenario}")
    top.set_ylabel("performing balance")
    top.legend(loc="upper right")
    first = totals.xs(totals.index.get_level_values("scenario")[0], level="scenario")
    # Bars over the payment frequencies' least common multiple, as the
    # cash-flow plot has them, so quarterly payers do not make every third
    # bar jump.
    every = auto_every(frequencies, int(first.index.max()) if len(first) else 0)
    first = first.groupby(np.maximum(first.index - 1, 0) // every * every + 1).sum()  # bars from period 1
    principal = first["scheduled_principal"] + first["prepaid_principal"] + first["recovery"]
    bottom.bar(first.index, principal, width=every, align="edge", label="principal", color="#2f6690")
    bottom.bar(first.index, first["interest"], width=every, align="edge", bottom=principal, label="interest",
               color="#d9a441")
    bottom.bar(first.index, first["loss"], width=every, align="edge", bottom=principal + first["interest"],
               label="loss", color="#9e2a2b")
    bottom.set_xlabel("period")
    bottom.set_ylabel(f"flows, first scenario ({every} period{'s' if every != 1 else ''} a bar)")
    bottom.legend(loc="upper right")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, format=fmt)
    plt.close(fig)


def _summary_lines(summary: Any, by: list[str]) -> list[str]:
    keys = (["scenario"] if "scenario" in summary.columns else []) + by
    head = [*keys, "start balance", "principal", "interest", "loss", "cum. loss", "WAL (years)"]
    rows = []
    for _, r in summary.iterrows():
        def ratio(x: float, fmt: str) -> str:
            return format(x, fmt) if x == x else "-"  # NaN: a segment whose loans all failed

        rows.append([*(str(r[k]) for k in keys), f"{r.start_balance:,.2f}", f"{r.principal:,.2f}",
                     f"{r.interest:,.2f}", f"{r.loss:,.2f}", ratio(r.cumulative_loss, ".4%"), ratio(r.wal, ",.2f")])
    widths = [max(len(h), *(len(row[i]) for row in rows)) if rows else len(h) for i, h in enumerate(head)]
    fmt = "  ".join(f"{{:<{w}}}" if i < len(keys) else f"{{:>{w}}}" for i, w in enumerate(widths))
    return [fmt.format(*head), "-" * (sum(widths) + 2 * (len(widths) - 1)), *(fmt.format(*row) for row in rows)]


def run(args: argparse.Namespace) -> int:
    from . import cli, project

    pa = cli.require_pyarrow()
    kind = kind_by_extension(args.output, OUTPUT_KINDS, "the output")
    fkind = kind_by_extension(args.failures, OUTPUT_KINDS, "--failures") if args.failures else ""
    pkind = kind_by_extension(args.plot, PLOT_KINDS, "--plot") if args.plot else ""
    scenarios = scenarios_of(args)
    by = args.by or []
    outputs = [args.output] + [p for p in (args.failures, args.plot) if p]
    tape_run = cli._open_run(args, outputs)
    progress = Progress("project", tape_run.total, args.progress)
    start = time.perf_counter()
    try:
        loans = tape_run.reader(progress).read_all()
        if by:
            segments = _segments(tape_run, by)
            for name in by:
                # An engine column (--by int_freq) is already there, as the engine reads it.
                if name not in loans.column_names:
                    loans = loans.append_column(name, segments.column(name))
        proj = project(loans, scenarios, by=by or None, as_of=args.as_of, periods_per_year=args.periods_per_year,
                       errors="skip", threads=args.threads)
    except BaseException as e:
        if tape_run.error is not None and e is not tape_run.error:
            raise tape_run.error from None
        if isinstance(e, (pa.ArrowException, TypeError, ValueError)) and not isinstance(e, CliError):
            raise CliError(args.loans, str(e).splitlines()[0] if str(e) else type(e).__name__) from None
        raise
    finally:
        progress.finish()
    failures = cli._all_failures(tape_run, proj.errors)
    if args.errors == "raise" and failures:
        raise cli._first_failure(tape_run, failures)
    if tape_run.loans and len(failures) == tape_run.loans:
        if args.failures:
            cli._write_failures(args.failures, fkind, failures)
        raise cli._nothing_scheduled(tape_run, failures)
    elapsed = time.perf_counter() - start
    write_table(proj.to_arrow(), args.output, kind)
    if args.plot:
        with atomic_output(args.plot) as tmp:
            _plot(proj, tmp, pkind, f"Projected cash flows of {os.path.basename(args.loans)}",
                  _frequencies(loans, proj.errors))
    if args.failures:
        cli._write_failures(args.failures, fkind, failures)
    rows = [
        ("loans", f"{tape_run.loans:,}"),
        ("failed loans", f"{len(failures):,}"),
        *cli._failure_rows(tape_run, failures),
        ("scenarios", f"{len(scenarios):,}"),
        ("rows written", f"{proj.num_rows:,}"),
        ("elapsed", f"{elapsed:.2f} s"),
        ("loans/s", f"{tape_run.loans / elapsed:,.0f}" if elapsed > 0 else "-"),
        ("output", os.path.relpath(args.output)),
        *([("failures", os.path.relpath(args.failures))] if args.failures else []),
        *([("plot", os.path.relpath(args.plot))] if args.plot else []),
        ("peak RSS", cli._peak_rss()),
    ]
    cli._print_table("project", rows)
    print()
    print("\n".join(_summary_lines(proj.summary(), by)))
    return 0
