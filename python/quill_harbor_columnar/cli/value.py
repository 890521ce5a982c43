"""``quill-harbor value``: what a loan tape is worth under prepayment and default scenarios: price,
yield, spread, WAL, durations and convexity per scenario (and segment, loan or price), with a table a
person reads and an optional plot."""

from __future__ import annotations

import argparse
import csv
import math
import os
import re
from typing import Any

from .._internal.deps import require
from .._internal.names import ID, SCENARIO, SCENARIO_NAME
from ..errors import ErrorTable
from ..io.atomic import Staged
from ..io.writers import write_table
from ..plots.valuation import plot_values
from ..projection import value
from ..projection.scenarios import parse_scenarios, scenario_names
from ..projection.standing import values as standing_values
from ..tape.stream import TapeRun
from .exits import CliError
from .options import TAPE_HELP, add_tape_arguments, date, number
from .progress import Progress
from .project import add_scenario_arguments, check_columns
from .report import by_code, long_terms, peak_rss, print_table, shown
from .run import Command, Done
from .scenarios import scenarios_of

# Rows of the value table printed; the output holds them all.
_SHOWN = 20
# A row of the value table that no yield solves (kept, its yield null).
NO_YIELD = "no_yield"
# value()'s arguments as the flags that set them, for its messages.
_FLAGS = (
    ("discount_rate", "--discount-rate"),
    ("curve", "--curve"),
    ("spread", "--spread"),
    ("price", "--price"),
    *((name, f"--{name}") for name in ("basis", "delay", "settle", "shift")),
)


def read_curve(path: str) -> dict[str, list[float]]:
    """A curve file's years and rates (percent) as value()'s curve (fractions); a value that is no finite
    number is refused with its line."""
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
    for line, row in enumerate(rows, start=2):
        try:
            year, rate = float(row["years"]), float(row["rate"])
        except (TypeError, ValueError):
            year = rate = math.nan
        if not (math.isfinite(year) and math.isfinite(rate)):
            raise CliError(
                path, f"line {line}: years and rate must be finite numbers, not {row['years']!r}, {row['rate']!r}"
            )
        years.append(year)
        rates.append(rate / 100.0)
    return {"years": years, "rates": rates}


def discount_of(args: argparse.Namespace) -> dict[str, Any]:
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


# The summary's columns after the keys: (heading, column, format, scale).
_SHOWN_VALUES = (
    ("price (full)", "price", ",.4f", 1),
    ("clean price", "clean_price", ",.4f", 1),
    ("yield", "yield", ".4%", 1),
    ("BEY", "bey", ".4%", 1),
    ("spread (bp)", "spread", ",.1f", 1e4),
    ("WAL (years)", "wal", ",.2f", 1),
    ("Mac. duration", "macaulay_duration", ",.3f", 1),
    ("mod. duration", "modified_duration", ",.3f", 1),
    ("convexity", "convexity", ",.4f", 1),
    ("eff. duration", "effective_duration", ",.3f", 1),
    ("eff. convexity", "effective_convexity", ",.4f", 1),
)


def _check_prices(run: TapeRun, loans: Any, column: str) -> None:
    """Refuses a --price-column value that is no price above 0, naming the row where the tape holds it."""
    np = require("numpy", "value")
    prices = standing_values(loans.column(column), column)
    bad = np.flatnonzero(~(prices > 0) | ~np.isfinite(prices))
    if len(bad):
        k = int(bad[0])
        row = int(run.to_tape()([k])[0])
        held = loans.column(column)[k].as_py()
        raise CliError(
            run.path,
            f"--price-column must hold prices above 0 (percent of the start balance), not {held!r}",
            row=run.row_of(row),
            column=column,
        )


def _refusal(args: argparse.Namespace, error: ValueError) -> CliError:
    """value()'s refusal of an argument, named by its flag, against the file it came from: the curve's to
    the curve file, a flag's to no file, anything else to the tape."""
    text = str(error).splitlines()[0]
    file = args.loans
    for name, flag in _FLAGS:
        if re.match(rf"{name}\b", text):
            file = args.curve if name == "curve" else None
        text = re.sub(rf"\b{name}\b(?! points)", flag, text)  # "basis points" is a unit, not --basis
    return CliError(file, text)


def _named(table: Any, args: argparse.Namespace) -> Any:
    """The value table with a scenario_name column beside the scenario where the scenarios are named."""
    pa = require("pyarrow", "value")
    names = scenario_names(parse_scenarios(args.scenario_list, args.periods_per_year))
    if names is None or SCENARIO_NAME in table.column_names:
        return table
    if SCENARIO in table.column_names:
        index = table.column(SCENARIO).to_numpy()
        column = pa.array([names[int(i)] for i in index], pa.string())
        return table.add_column(table.column_names.index(SCENARIO) + 1, SCENARIO_NAME, column)
    return table.add_column(0, SCENARIO_NAME, pa.array([names[0]] * table.num_rows, pa.string()))


def _lines(table: Any, keys: list[str]) -> list[str]:
    shown = [c for c in _SHOWN_VALUES if c[1] in table.column_names]
    head = [*keys, *(c[0] for c in shown)]

    def num(x: Any, fmt: str) -> str:
        return "-" if x is None or (isinstance(x, float) and math.isnan(x)) else format(x, fmt)

    rows = []
    for r in table.slice(0, _SHOWN).to_pylist():
        rows.append(
            [
                *("-" if r[k] is None else str(r[k]) for k in keys),
                *(num(None if r[c] is None else r[c] * x, f) for _, c, f, x in shown),
            ]
        )
    widths = [max(len(h), *(len(row[i]) for row in rows)) if rows else len(h) for i, h in enumerate(head)]
    fmt = "  ".join(f"{{:<{w}}}" if i < len(keys) else f"{{:>{w}}}" for i, w in enumerate(widths))
    out = [fmt.format(*head), "-" * (sum(widths) + 2 * (len(widths) - 1)), *(fmt.format(*row) for row in rows)]
    if table.num_rows > _SHOWN:
        out.append(f"... {table.num_rows - _SHOWN:,} more rows in the output")
    return out


class Value(Command):
    name = "value"
    reads_ages = True  # loans are valued from their ages, as project projects them

    def prepare(self, args: argparse.Namespace) -> None:
        super().prepare(args)
        args.scenario_list = scenarios_of(args)
        args.discount = discount_of(args)

    def compute(self, args: argparse.Namespace, run: TapeRun | None, progress: Progress, staged: Staged) -> Any:
        assert run is not None
        pa = require("pyarrow", "value")
        by = args.by or []
        check_columns(run, by, "--by")
        price = [args.price_column] if args.price_column is not None else []
        check_columns(run, price, "--price-column")
        # One pass over the tape: the engine's columns with the --by and --price-column columns beside them.
        loans = run.reader(progress, keep=[*by, *price]).read_all()
        if price:
            _check_prices(run, loans, args.price_column)
        try:
            v = value(
                loans,
                args.scenario_list,
                by=by or None,
                as_of=args.as_of,
                periods_per_year=args.periods_per_year,
                per_loan=args.per_loan,
                errors="skip",
                threads=args.threads,
                strict=args.strict,
                precision=args.precision,
                basis=args.basis,
                delay=args.delay,
                settle=args.settle,
                shift=args.shift,
                **args.discount,
            )
        except ValueError as e:
            raise _refusal(args, e) from None
        if args.errors == "raise" and v.unsolved:
            raise CliError(args.loans, f"row {v.unsolved[0]} of the values: no yield (or spread) gives the price")
        table = v.to_arrow()
        if args.per_loan and ID not in loans.column_names:
            # Without ids a loan is its tape row.
            rows = run.to_tape()(table.column(ID).to_numpy())
            table = table.set_column(table.column_names.index(ID), ID, pa.array(rows, pa.int64()))
        table = _named(table, args)
        return type(v)(table, v.errors, v.by, v.periods_per_year, v.as_of, v.unsolved)

    def engine_errors(self, result: Any) -> Any:
        # A row no yield solves is kept, its yield null, and counted apart; it is no refused loan.
        return ErrorTable(None, [f for f in result.errors.failures if f.code != NO_YIELD])

    def write(self, args: argparse.Namespace, done: Done, staged: Staged, writing: Any) -> None:
        kinds = {o.path: o.kind for o in self.outputs(args)}
        table = done.result.to_arrow()
        with writing(args.output):
            write_table(table, staged[args.output], kinds[args.output])
        if args.plot:
            with writing(args.plot):
                plot_values(table, staged[args.plot], kinds[args.plot], f"Value of {os.path.basename(args.loans)}")

    def report(self, args: argparse.Namespace, done: Done) -> None:
        assert done.run is not None
        v = done.result
        table = v.to_arrow()
        print_table(
            "value",
            [
                ("loans", f"{done.run.loans:,}"),
                ("failed loans", f"{len(done.refused):,}"),
                *by_code(r.code for r in done.refused),
                *long_terms(done.run),
                ("scenarios", f"{len(args.scenario_list):,}"),
                ("rows written", f"{table.num_rows:,}"),
                *([("rows without a yield", f"{len(v.unsolved):,}")] if v.unsolved else []),
                ("elapsed", f"{done.elapsed:.2f} s"),
                ("output", shown(args.output)),
                *([("failures", shown(args.failures))] if args.failures else []),
                *([("plot", shown(args.plot))] if args.plot else []),
                ("peak RSS", peak_rss()),
            ],
        )
        print()
        keys = [k for k in (SCENARIO, SCENARIO_NAME, *(args.by or []), ID) if k in table.column_names]
        print("\n".join(_lines(table, keys)))


def register(sub: Any) -> None:
    """Adds the subcommand to the command's subparsers."""
    p = sub.add_parser(
        "value",
        help="price, yield, spread, WAL and durations of the projected cash flows",
        description="Values the book's projected cash flows (as project projects them) under one scenario given "
        "by the flags, or several from --scenarios FILE.json, per scenario and --by segment, or per "
        "loan. Exactly one of --discount-rate, --curve or --price sets the discount; --curve takes "
        "--spread or --price. Rates are in percent (--discount-rate 6 is 6% a year, compounded once a "
        "period), spreads in basis points, prices in percent of the balance at period 0 (100 is par). " + TAPE_HELP,
        epilog="A curve file has the columns years,rate: continuously compounded zero rates in percent, linear "
        "between the years and flat outside them. With a curve a price solves the spread; without one it "
        "solves the yield. --price is repeatable for a yield table.",
    )
    add_tape_arguments(p)
    p.add_argument("-o", "--output", required=True, help="output file: .csv, .parquet, or .arrow/.feather")
    add_scenario_arguments(p)
    d = p.add_argument_group("the discount")
    d.add_argument("--discount-rate", type=number, metavar="PCT", help="a yield, annual percent (6 means 6%%)")
    d.add_argument("--curve", metavar="FILE", help="zero curve: a CSV of years,rate (percent)")
    d.add_argument("--spread", type=number, metavar="BP", help="spread over the curve, in basis points")
    d.add_argument(
        "--price",
        type=number,
        action="append",
        metavar="P",
        help="price in percent of the start balance; repeatable for a yield table",
    )
    d.add_argument("--price-column", metavar="NAME", help="each loan's price, from this tape column (with --per-loan)")
    c = p.add_argument_group("the market's conventions")
    c.add_argument(
        "--basis",
        choices=("mortgage", "bey", "bond-equivalent"),
        default="mortgage",
        help="the yield the durations and convexity are taken against: mortgage (compounded each period, the "
        "default) or bey (bond-equivalent, compounded semi-annually); both yields are reported",
    )
    c.add_argument(
        "--delay", type=int, default=0, metavar="DAYS", help="days (30/360) from a period's end to its payment"
    )
    c.add_argument(
        "--settle",
        type=date,
        metavar="DATE",
        help="settlement date in the first period (YYYY-MM-DD): the value date, for accrued interest and clean price",
    )
    c.add_argument(
        "--shift",
        type=number,
        metavar="BP",
        help="effective duration and convexity: the yield (or curve) shifted by -BP and +BP basis points",
    )
    p.add_argument("--per-loan", action="store_true", help="one row per loan (and scenario, and price)")
    p.add_argument("--by", action="append", metavar="COL", help="value by this tape column; repeatable")
    p.add_argument(
        "--plot", metavar="FILE", help="draw the yield table, or the price of each scenario, to FILE (.png, .svg, .pdf)"
    )
    p.set_defaults(run=Value())
