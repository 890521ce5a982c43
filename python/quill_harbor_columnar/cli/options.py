"""The command's options: the argument types, the flags every tape command shares, and the parser's
one-line usage errors."""

from __future__ import annotations

import argparse
import datetime
from typing import Any, NoReturn

from .._internal.checks import PRECISIONS
from ..tape.numbers import DECIMALS
from ..tape.reading import FREQUENCY_UNITS, RATE_UNITS, REQUIRED, TAPE_FIELDS
from ..tape.stream import FREQUENCY_HELP
from .exits import CliError, Exit


class Parser(argparse.ArgumentParser):
    """Usage errors as one line, exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(Exit.FAILED, f"quill-harbor: error: {message} (see {self.prog} --help)\n")


def count(text: str) -> int:
    """A whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def thread_count(text: str) -> int:
    try:
        return count(text)
    except argparse.ArgumentTypeError as e:
        raise argparse.ArgumentTypeError(f"{e}; leave --threads out to use every processor") from None


def number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, not {text!r}") from None


def lag(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number of periods, not {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def date(text: str) -> datetime.date:
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a date as YYYY-MM-DD, not {text!r}") from None


def reading_options(args: argparse.Namespace) -> dict[str, Any]:
    """The tape reader's options the flags give, as ``book()`` takes them."""
    options: dict[str, Any] = {"decimal": args.decimal, "frequency_unit": args.frequency_unit}
    if args.age_from is not None:
        if args.as_of is None:
            raise CliError(None, "--age-from counts ages to a date: give --as-of DATE too")
        options.update(age_from=args.age_from, as_of=args.as_of)
    return options


def parse_map(items: list[str] | None) -> dict[str, str]:
    mapping: dict[str, str] = {}
    for item in items or []:
        target, sep, source = item.partition("=")
        if not sep or not target.strip() or not source.strip():
            raise CliError(None, f"--map takes TARGET=SOURCE (for example amt=principal), not {item!r}")
        target, source = target.strip(), source.strip()
        if target in mapping and mapping[target] != source:
            raise CliError(
                None, f"--map gives {target} twice ({target}={mapping[target]} and {target}={source}); give one"
            )
        mapping[target] = source
    return mapping


TAPE_HELP = (
    "The tape needs the columns " + ", ".join(REQUIRED) + " (and optionally id, and an age: a column, the "
    "remaining term or --age-from a date), named as the engine names "
    "them or mapped with --map TARGET=SOURCE, e.g. --map amt=principal --map int_freq=payment_frequency. Rates are "
    "per period (0.004 is 0.4%% a period) unless --rate-unit says annual or annual-percent; frequencies are periods "
    f"between payments (payments a year with --frequency-unit payments-per-year), or one of the words "
    f"{FREQUENCY_HELP}."
).replace("%%", "%")  # descriptions are printed as they are, unlike help strings


def add_precision(p: Any, binary32: str, cent: str) -> None:
    """--precision, which every subcommand takes: the texts say what each choice means to the subcommand."""
    p.add_argument(
        "--precision", choices=PRECISIONS, default="binary32", help=f"binary32 (default): {binary32}; cent: {cent}"
    )


def add_decimal_columns(p: argparse.ArgumentParser) -> None:
    """--decimal-columns, for the commands that write amounts."""
    p.add_argument(
        "--decimal-columns",
        action="store_true",
        help="with --precision cent, write the amount columns as decimal(18,2) instead of float64 (Parquet DOUBLE)",
    )


def check_decimal_columns(args: argparse.Namespace) -> None:
    if args.decimal_columns and args.precision != "cent":
        raise CliError(None, "--decimal-columns needs --precision cent: binary32 amounts are not whole cents")


def add_tape_arguments(p: argparse.ArgumentParser) -> None:
    """The input flags every subcommand that reads a tape shares."""
    p.add_argument(
        "loans",
        metavar="LOANS",
        help="the tape: .csv (or .tsv), .parquet, .arrow/.feather, or a folder of .parquet files",
    )
    g = p.add_argument_group("reading the tape")
    g.add_argument(
        "--map",
        action="append",
        metavar="TARGET=SOURCE",
        help=f"take TARGET ({', '.join(TAPE_FIELDS)}) from tape column SOURCE; remaining is the remaining "
        "term, which gives the age (pers - remaining); repeatable, and one SOURCE may feed two targets",
    )
    g.add_argument(
        "--rate-steps",
        metavar="FILE",
        help="rate steps: a file of the tape's id column, per and rate (in --rate-unit); from period per "
        "on the loan pays rate, the rest re-amortized",
    )
    g.add_argument(
        "--rate-unit",
        choices=RATE_UNITS,
        default="per-period",
        help="per-period (default): the rate per period as a fraction; annual: a yearly fraction; "
        "annual-percent: a yearly percentage such as 5.5 or '5.5%%' (both divided by "
        "--periods-per-year)",
    )
    g.add_argument(
        "--periods-per-year",
        type=count,
        default=12,
        help="periods in a year, for annual rates and frequency words (default 12: monthly periods)",
    )
    g.add_argument(
        "--frequency-unit",
        choices=FREQUENCY_UNITS,
        default="periods",
        help="periods (default): a numeric int_freq or cap_freq is the periods between payments; "
        "payments-per-year: 12, 4, 2 or 1 payments a year (words such as Quarterly read either way)",
    )
    g.add_argument(
        "--age-from",
        metavar="[first-payment=]COLUMN",
        help="each loan's age from a date column, counted to --as-of: COLUMN (or origination=COLUMN), the "
        "loan's date, gives the whole periods since; first-payment=COLUMN, its first payment's date, gives "
        "the payments made (that date's own included)",
    )
    g.add_argument(
        "--as-of",
        type=date,
        metavar="DATE",
        help="the date (YYYY-MM-DD) of period 0: --age-from counts the ages to it, and project and value "
        "add a date column",
    )
    g.add_argument(
        "--decimal",
        choices=DECIMALS,
        default=".",
        help="the decimal mark of the tape's numbers (default .; with , amounts group thousands by . or a space)",
    )
    g.add_argument("--delimiter", help="the CSV delimiter of the tape (default: sniffed from the file)")
    g.add_argument(
        "--allow-high-rates",
        action="store_true",
        help="compute a tape whose rates, step rates or fees look implausible in --rate-unit (above 1, that is "
        "100%%, a period; read per period, mostly above 50%% a year) instead of stopping",
    )
    r = p.add_argument_group("running")
    r.add_argument(
        "--errors",
        choices=("raise", "skip"),
        default="skip",
        help="skip (default): leave loans that fail out and list them; raise: stop at the first",
    )
    r.add_argument(
        "--failures",
        metavar="FILE",
        help="write every refused loan (row, id, code, field, reason) to FILE, .csv or .parquet",
    )
    r.add_argument(
        "--threads",
        type=thread_count,
        default=None,
        help="engine threads (default: the pool's size, RAYON_NUM_THREADS or one per processor)",
    )
    r.add_argument("--batch-rows", type=count, default=65536, help="rows per batch read and written")
    r.add_argument(
        "--strict",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="--no-strict: a zero rate or a single capital block gets the lender's schedule (equal "
        "capital, a bullet) instead of a refusal (default: --strict)",
    )
    add_precision(
        r,
        "the engine's single-precision schedules",
        "every amount in whole cents, as a servicer books the loan (a loan paid every k periods is scheduled in "
        "its own payment period)",
    )
    # No default in the parser: the run asks whether standard error is a
    # terminal when it starts (and the help states the default in words).
    r.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="report progress on standard error (default: only on a terminal; in a log, a line every few seconds)",
    )
