"""``quill-harbor value``: what a loan tape is worth under prepayment and
default scenarios: price, yield, spread, WAL, durations and convexity, per
scenario (and segment, loan or price), with a table a person reads and an
optional plot."""

from __future__ import annotations

import argparse
import csv
import math
import os
import time
from typing import Any

from ._cli_io import OUTPUT_KINDS, PLOT_KINDS, CliError, atomic_output, kind_by_extension, write_table
from ._cli_project import _date, _number, _segments, add_scenario_arguments, scenarios_of
from ._optional import require
from ._progress import Progress

# Rows of the value table printed; the file holds them all.
_SHOWN = 20
# The columns that are not labels.
_VALUE_COLUMNS = ("id", "start_balance", "pv", "price", "yield", "spread", "wal", "macaulay_duration",
                  "modified_duration", "convexity")


def register(sub: Any, add_tape_arguments: Any) -> None:
    """Adds the subcommand to the command's subparsers."""
    p = sub.add_parser(
        "value", help="price, yield, spread, WAL and durations of the projected cash flows",
        description="Values the book's projected cash flows (as `project` projects them) under one scenario given "
                    "by the flags, or several from --scenarios FILE.json, per scenario and --by segment, or per loan. "
                    "Exactly one of --discount-rate, --curve or --price sets the discount; --curve takes --spread "
                    "or --price. Rates are in percent (--discount-rate 6 is 6%% a year, compounded once a period), "
                    "spreads in basis points, prices in percent of the balance at period 0 (100 is par).",
        epilog="A curve file has the columns years,rate: continuously compounded zero rates in percent, linear "
               "between the years and flat outside them. With a curve a price solves the spread; without one it "
               "solves the yield. --price is repeatable for a yield table.")
    add_tape_arguments(p)
    p.add_argument("-o", "--output", required=True, help="output file: .csv, .parquet, or .arrow/.feather")
    add_scenario_arguments(p)
    d = p.add_argument_group("the discount")
    d.add_argument("--discount-rate", type=_number, metavar="PCT", help="a yield, annual percent (6 means 6%%)")
    d.add_argument("--curve", metavar="FILE", help="zero curve: a CSV of years,rate (percent)")
    d.add_argument("--spread", type=_number, metavar="BP", help="spread over the curve, in basis points")
    d.add_argument("--price", type=_number, action="append", metavar="P",
                   help="price in percent of the start balance; repeatable for a yield table")
    d.add_argument("--price-column", metavar="NAME", help="each loan's price, from this tape column (with --per-loan)")
    p.add_argument("--per-loan", action="store_true", help="one row per loan (and scenario, and price)")
    p.add_argument("--by", action="append", metavar="COL", help="value by this tape column; repeatable")
    p.add_argument("--as-of", type=_date, metavar="DATE", help="date of period 0 (YYYY-MM-DD)")
    p.add_argument("--plot", metavar="FILE",
                   help="draw price against scenario, or the yield table, to FILE (.png, .svg, .pdf)")
    p.set_defaults(run=run)


def read_curve(path: str) -> dict[str, list[float]]:
    """A curve file's years and rates (percent) as the API's curve (fractions)."""
    try:
        with open(path, encoding="utf-8", newline="") as f:
            rows = list(csv.DictReader(f))
    except OSError as e:
        raise CliError(path, e.strerror or str(e)) from None
    except (UnicodeDecodeError, csv.Error) as e:
        raise CliError(path, f"not a CSV file: {e}") from None
    if not rows or not {"years", "rate"} <= set(rows[0]):
        raise CliError(path, "a curve file needs the columns years,rate (rate in percent) and at least one row")
    years, rates = [], []
    for i, row in enumerate(rows, start=2):
        try:
            years.append(float(row["years"]))
            rates.append(float(row["rate"]) / 100.0)
        except (TypeError, ValueError):
            raise CliError(path, f"line {i}: years and rate must be numbers, not {row['years']!r}, {row['rate']!r}") \
                from None
    return {"years": years, "rates": rates}


def _discount(args: argparse.Namespace) -> dict[str, Any]:
    """value()'s discount arguments from the flags, in the API's units."""
    if args.price_column is not None and args.price:
        raise CliError(None, "--price and --price-column both set the price; give one of them")
    if args.price_column is not None and not args.per_loan:
        raise CliError(None, "--price-column prices each loan: give --per-loan too")
    kw: dict[str, Any] = {}
    if args.discount_rate is not None:
        kw["discount_rate"] = args.discount_rate / 100.0
    if args.curve is not None:
        kw["curve"] = read_curve(args.curve)
    if args.spread is not None:
        kw["spread"] = args.spread / 1e4
    if args.price:
        kw["price"] = args.price if len(args.price) > 1 else args.price[0]
    if args.price_column is not None:
        kw["price"] = args.price_column
    return kw


def _flag_of(message: str) -> str:
    """A value() argument named in a message, spelled as the flag that sets it."""
    for name, flag in (("discount_rate", "--discount-rate"), ("curve", "--curve"), ("spread", "--spread"),
                       ("price", "--price")):
        message = message.replace(name, flag)
    return message


def _lines(table: Any, keys: list[str]) -> list[str]:
    head = [*keys, "price", "yield", "spread (bp)", "WAL (years)", "mod. duration"]

    def num(x: Any, fmt: str) -> str:
        return "-" if x is None or (isinstance(x, float) and math.isnan(x)) else format(x, fmt)

    rows = []
    for r in table.slice(0, _SHOWN).to_pylist():
        rows.append([*(str(r[k]) for k in keys), num(r["price"], ",.4f"), num(r["yield"], ".4%"),
                     num(None if r["spread"] is None else r["spread"] * 1e4, ",.1f"), num(r["wal"], ",.2f"),
                     num(r["modified_duration"], ",.3f")])
    widths = [max(len(h), *(len(row[i]) for row in rows)) if rows else len(h) for i, h in enumerate(head)]
    fmt = "  ".join(f"{{:<{w}}}" if i < len(keys) else f"{{:>{w}}}" for i, w in enumerate(widths))
    out = [fmt.format(*head), "-" * (sum(widths) + 2 * (len(widths) - 1)), *(fmt.format(*row) for row in rows)]
    if table.num_rows > _SHOWN:
        out.append(f"... {table.num_rows - _SHOWN:,} more rows in the output")
    return out


def _plot(table: Any, path: str, fmt: str, title: str) -> None:
    matplotlib = require("matplotlib", "--plot")
    matplotlib.use("Agg")
    plt = require("matplotlib.pyplot", "--plot")
    df = table.to_pandas()
    if "scenario" not in df.columns:
        df["scenario"] = 0
    fig, ax = plt.subplots(figsize=(9, 5), dpi=110)
    prices = df["price"].round(10)
    if prices.nunique() > 1 and not df["yield"].isna().all() and "id" not in df.columns:
        # A yield table: yield against price, one line per scenario (and segment).
        for key, rows in df.groupby([c for c in df.columns if c not in _VALUE_COLUMNS]):
            ax.plot(rows["price"], 100 * rows["yield"], marker="o", label=str(key))
        ax.set_xlabel("price (percent of the start balance)")
        ax.set_ylabel("yield (percent)")
        ax.legend(loc="upper right")
    else:
        means = df.groupby("scenario")["price"].mean()
        ax.bar(means.index.astype(str), means.values, color="#2f6690")
        ax.set_xlabel("scenario")
        ax.set_ylabel("price (percent of the start balance)" + (", mean over loans" if "id" in df.columns else ""))
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, format=fmt)
    plt.close(fig)


def run(args: argparse.Namespace) -> int:
    from . import cli, value

    pa = cli.require_pyarrow()
    kind = kind_by_extension(args.output, OUTPUT_KINDS, "the output")
    fkind = kind_by_extension(args.failures, OUTPUT_KINDS, "--failures") if args.failures else ""
    pkind = kind_by_extension(args.plot, PLOT_KINDS, "--plot") if args.plot else ""
    scenarios = scenarios_of(args)
    discount = _discount(args)
    by = args.by or []
    outputs = [args.output] + [p for p in (args.failures, args.plot) if p]
    tape_run = cli._open_run(args, outputs)
    if args.price_column is not None and args.price_column not in tape_run.tape.names:
        raise CliError(args.loans, f"--price-column names column {args.price_column!r}, which the tape does not have "
                                   f"(it has {', '.join(tape_run.tape.names)})")
    progress = Progress("value", tape_run.total, args.progress)
    start = time.perf_counter()
    try:
        loans = tape_run.reader(progress).read_all()
        extra = [*by, *([args.price_column] if args.price_column else [])]
        if extra:
            columns = _segments(tape_run, extra)
            for name in dict.fromkeys(extra):
                if name not in loans.column_names:
                    loans = loans.append_column(name, columns.column(name))
        v = value(loans, scenarios, by=by or None, as_of=args.as_of, periods_per_year=args.periods_per_year,
                  per_loan=args.per_loan, errors="skip", threads=args.threads, **discount)
    except BaseException as e:
        if tape_run.error is not None and e is not tape_run.error:
            raise tape_run.error from None
        if isinstance(e, (pa.ArrowException, TypeError, ValueError)) and not isinstance(e, CliError):
            raise CliError(args.loans, _flag_of(str(e).splitlines()[0]) if str(e) else type(e).__name__) from None
        raise
    finally:
        progress.finish()
    failures = cli._all_failures(tape_run, v.errors)
    if args.errors == "raise" and failures:
        raise cli._first_failure(tape_run, failures)
    if args.errors == "raise" and v.unsolved:
        raise CliError(args.loans, f"row {v.unsolved[0]} of the values: no yield (or spread) gives the price")
    if tape_run.loans and len({f[0] for f in failures if f[2] != "no_yield"}) == tape_run.loans:
        if args.failures:
            cli._write_failures(args.failures, fkind, failures)
        raise cli._nothing_scheduled(tape_run, failures)
    table = v.to_arrow()
    if args.per_loan and "id" not in loans.column_names:
        # Without ids a loan is its tape row.
        rows = tape_run.to_tape()(table.column("id").to_numpy())
        table = table.set_column(table.column_names.index("id"), "id", pa.array(rows, pa.int64()))
    elapsed = time.perf_counter() - start
    write_table(table, args.output, kind)
    if args.plot:
        with atomic_output(args.plot) as tmp:
            _plot(table, tmp, pkind, f"Value of {os.path.basename(args.loans)}")
    if args.failures:
        cli._write_failures(args.failures, fkind, failures)
    rows = [
        ("loans", f"{tape_run.loans:,}"),
        ("failed loans", f"{len({f[0] for f in failures if f[2] != 'no_yield'}):,}"),
        *cli._failure_rows(tape_run, failures),
        ("scenarios", f"{len(scenarios):,}"),
        ("rows written", f"{table.num_rows:,}"),
        *([("rows without a yield", f"{len(v.unsolved):,}")] if v.unsolved else []),
        ("elapsed", f"{elapsed:.2f} s"),
        ("output", os.path.relpath(args.output)),
        *([("failures", os.path.relpath(args.failures))] if args.failures else []),
        *([("plot", os.path.relpath(args.plot))] if args.plot else []),
        ("peak RSS", cli._peak_rss()),
    ]
    cli._print_table("value", rows)
    print()
    keys = [k for k in ("scenario", *by, "id") if k in table.column_names]
    print("\n".join(_lines(table, keys)))
    return 0
