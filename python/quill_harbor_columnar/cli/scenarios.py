"""The scenarios of ``quill-harbor project``: from the percent flags or from a scenario file, checked
before the tape is opened, each refusal naming the flag or the file it came from."""

from __future__ import annotations

import argparse
import json
import math
import sys
from typing import Any, NamedTuple

from ..projection.scenarios import parse_scenarios
from .exits import CliError


class Flag(NamedTuple):
    key: str  # the scenario key it sets
    what: str  # what it is, for messages
    top: float  # the largest percent it takes
    warn_below_one: bool  # whether a value below 1 is worth a warning (a fraction given for a percent)


# The percent flags; rates and severity are divided by 100 into the API's fractions,
# the ramp speeds stay percent (100 is the standard ramp), as the API reads them.
FLAGS = {
    "cpr": Flag("cpr", "the yearly prepayment rate in percent (8 means 8%)", 100.0, True),
    "smm": Flag("smm", "the prepayment rate per period in percent (0.5 means 0.5%)", 100.0, False),
    "psa": Flag("psa", "a prepayment ramp speed in percent (100 is the standard ramp)", 100.0 / 0.06, False),
    "cdr": Flag("cdr", "the yearly default rate in percent (2 means 2%)", 100.0, True),
    "mdr": Flag("mdr", "the default rate per period in percent (0.2 means 0.2%)", 100.0, False),
    "sda": Flag("sda", "a default ramp speed in percent (100 is the standard ramp)", 100.0 / 0.006, False),
    "severity": Flag("severity", "the share of a defaulted balance lost, in percent (35 means 35%)", 100.0, True),
}
SPEEDS = ("psa", "sda")
# Keys of a scenario file that take rates: a fraction (0.08) or a percent text ("8%").
RATE_KEYS = ("cpr", "smm", "cdr", "mdr", "severity")


def percent_text(text: str) -> float | None:
    """The number of a percent as typed, ``35`` or ``35%``; None when it is not one."""
    body = text.strip()
    if body.endswith("%"):
        body = body[:-1].rstrip()
    try:
        value = float(body)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def percent(text: str) -> float:
    """An argument type: a percent, ``35`` or ``35%``."""
    value = percent_text(text)
    if value is None:
        raise argparse.ArgumentTypeError(f"expected a percent such as 35 or 35%, not {text!r}")
    return value


def _from_flags(args: argparse.Namespace) -> dict[str, Any]:
    scenario: dict[str, Any] = {}
    for name, flag in FLAGS.items():
        value = getattr(args, name)
        if value is None:
            continue
        if not 0.0 <= value <= flag.top:
            raise CliError(None, f"--{name} {value:g}% is outside 0% to {flag.top:,.6g}%: --{name} is {flag.what}")
        if name in SPEEDS and args.periods_per_year != 12:
            raise CliError(
                None,
                f"--{name} is a ramp over the loans' ages in months and needs monthly periods "
                f"(--periods-per-year 12); give --{'cpr' if name == 'psa' else 'cdr'} instead",
            )
        if flag.warn_below_one and 0.0 < value < 1.0:
            print(
                f"quill-harbor: warning: --{name} {value:g} is read as {value:g}%, since --{name} is {flag.what}; "
                f"for {value * 100:g}% give --{name} {value * 100:g}",
                file=sys.stderr,
            )
        scenario[flag.key] = value if name in SPEEDS else value / 100.0
    if args.lag is not None:
        scenario["lag"] = args.lag
    return scenario


def _fraction(path: str, where: str, key: str, value: Any) -> Any:
    """A scenario file's rate: a fraction as it is, a percent text ("35%") as its fraction; lists item by item."""
    if isinstance(value, list):
        return [_fraction(path, where, key, v) for v in value]
    if not isinstance(value, str):
        return value
    number = percent_text(value) if value.strip().endswith("%") else None
    if number is None:
        raise CliError(
            path, f'{where}: {key!r} must be a fraction such as 0.35 or a percent text such as "35%", not {value!r}'
        )
    if key not in SPEEDS and not 0.0 <= number <= 100.0:
        raise CliError(path, f"{where}: {key!r} of {value!r} is outside 0% to 100%")
    return number if key in SPEEDS else number / 100.0


def _from_file(path: str) -> list[dict[str, Any]]:
    try:
        with open(path, encoding="utf-8") as f:
            loaded = json.load(f)
    except OSError as e:
        raise CliError(path, e.strerror or str(e)) from None
    except ValueError as e:
        raise CliError(path, f"not JSON: {e}") from None
    if isinstance(loaded, dict):
        loaded = [loaded]
    if not isinstance(loaded, list) or not loaded or not all(isinstance(s, dict) for s in loaded):
        raise CliError(path, "expected a non-empty JSON list of mappings (or one mapping)")
    return [
        {
            key: _fraction(path, f"scenario {i}", key, value) if key in (*RATE_KEYS, *SPEEDS) else value
            for key, value in scenario.items()
        }
        for i, scenario in enumerate(loaded)
    ]


def scenarios_of(args: argparse.Namespace) -> list[dict[str, Any]]:
    """The scenarios the flags or the file give, in the API's units, checked as ``project`` checks them."""
    given = [f"--{name}" for name in (*FLAGS, "lag") if getattr(args, name) is not None]
    if args.scenarios:
        if given:
            raise CliError(None, f"--scenarios and {given[0]} both set the scenario; give one or the other")
        scenarios = _from_file(args.scenarios)
        where = args.scenarios
    else:
        scenarios = [_from_flags(args)]
        where = None
    try:
        parse_scenarios(scenarios, args.periods_per_year)
    except (TypeError, ValueError) as e:
        raise CliError(where, str(e)) from None
    return scenarios
