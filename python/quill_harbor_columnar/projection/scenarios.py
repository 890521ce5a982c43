"""Scenarios of a projection: prepayment and default curves per period, severity and lag, checked and
turned into the rates the native side applies."""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping, Sequence
from typing import Any

from .. import _native

__all__ = ["Scenario", "parse_scenarios", "scenario_names", "checked_periods_per_year"]

_PREPAY = ("smm", "cpr", "psa")
_DEFAULT = ("mdr", "cdr", "sda")
_NAME = "name"
_KEYS = (*_PREPAY, *_DEFAULT, "severity", "lag", _NAME)


class _Curve:
    """Per-period rates: by projection period (element 0 is period 1) or by
    the loan's age at the period (element A is age A); the last element
    holds beyond the end."""

    __slots__ = ("rates", "by_age")

    def __init__(self, rates: list[float], by_age: bool) -> None:
        self.rates = rates
        self.by_age = by_age


def _annual_to_period(x: float, periods_per_year: int) -> float:
    # 1 - (1 - x)^(1/ppy), written so that a small x keeps its digits.
    return 1.0 if x == 1.0 else -math.expm1(math.log1p(-x) / periods_per_year)


def _psa_cpr(speed: float, age: int) -> float:
    return speed / 100.0 * 0.06 * min(age, 30) / 30.0


def _sda_cdr(speed: float, age: int) -> float:
    if age <= 30:
        r = 0.0002 * age
    elif age <= 60:
        r = 0.006
    elif age <= 120:
        r = 0.006 - 0.000095 * (age - 60)
    else:
        r = 0.0003
    return speed / 100.0 * r


def _rates(where: str, key: str, value: Any) -> list[float]:
    """A scalar or a non-empty 1-D sequence of rates in [0, 1]."""
    if isinstance(value, (str, bytes)) or isinstance(value, bool):
        raise ValueError(f"{where}: {key!r} must be a number or a sequence of numbers, not {value!r}")
    if isinstance(value, numbers.Real):
        values = [value]
    else:
        try:
            values = list(value)
        except TypeError:
            raise ValueError(f"{where}: {key!r} must be a number or a sequence of numbers, not {value!r}") from None
        if not values:
            raise ValueError(f"{where}: {key!r} is an empty sequence; give at least one rate")
    out = []
    for v in values:
        if isinstance(v, bool) or not isinstance(v, numbers.Real):
            raise ValueError(f"{where}: {key!r} must hold numbers, not {v!r}")
        f = float(v)
        if not 0.0 <= f <= 1.0:  # also refuses NaN
            raise ValueError(f"{where}: {key!r} must be between 0 and 1 (a fraction: 0.08 is 8%), not {v!r}")
        out.append(f)
    return out


def _speed(where: str, key: str, value: Any, periods_per_year: int) -> float:
    if periods_per_year != 12:
        raise ValueError(
            f"{where}: {key!r} is a ramp over the loan's age in months and needs monthly periods "
            f"(periods_per_year=12), not periods_per_year={periods_per_year}; give "
            f"{'cpr' if key == 'psa' else 'cdr'} instead"
        )
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{where}: {key!r} must be a speed in percent (100 is 100%), not {value!r}")
    speed = float(value)
    # The annual rate at the ramp's peak must be a rate.
    peak = speed / 100.0 * (0.06 if key == "psa" else 0.006)
    if not (speed >= 0.0 and peak <= 1.0):
        raise ValueError(
            f"{where}: {key!r} must be a speed in percent between 0 and {100.0 / (0.06 if key == 'psa' else 0.006):g} "
            f"(its annual rate must stay within [0, 1]), not {value!r}"
        )
    return speed


def _curve(where: str, key: str, value: Any, periods_per_year: int) -> _Curve:
    if key in ("smm", "mdr"):
        return _Curve(_rates(where, key, value), False)
    if key in ("cpr", "cdr"):
        return _Curve([_annual_to_period(x, periods_per_year) for x in _rates(where, key, value)], False)
    speed = _speed(where, key, value, periods_per_year)
    if key == "psa":
        return _Curve([_annual_to_period(_psa_cpr(speed, a), 12) for a in range(31)], True)
    return _Curve([_annual_to_period(_sda_cdr(speed, a), 12) for a in range(122)], True)


class Scenario:
    __slots__ = ("prepay", "default", "severity", "lag", "name")

    def __init__(
        self, prepay: _Curve | None, default: _Curve | None, severity: float, lag: int, name: str | None = None
    ) -> None:
        self.prepay = prepay
        self.default = default
        self.severity = severity
        self.lag = lag
        self.name = name  # the label outputs carry, or None

    def native(self) -> tuple:
        p = self.prepay or _Curve([], False)
        d = self.default or _Curve([], False)
        return (p.rates, p.by_age, d.rates, d.by_age, self.severity, self.lag)


def _one_scenario(index: int, scenario: Any, periods_per_year: int) -> Scenario:
    where = f"scenario {index}"
    if not isinstance(scenario, Mapping):
        raise TypeError(
            f"{where} must be a mapping (a dict of smm/cpr/psa, mdr/cdr/sda, severity, lag), "
            f"not {type(scenario).__name__}"
        )
    for key in scenario:
        if key not in _KEYS:
            raise ValueError(f"{where}: unknown key {key!r}; the keys are {', '.join(_KEYS)}")
    for group, what in ((_PREPAY, "prepayment"), (_DEFAULT, "default")):
        given = [k for k in group if k in scenario]
        if len(given) > 1:
            raise ValueError(
                f"{where}: {given[0]!r} and {given[1]!r} both set the {what}; give one of {', '.join(group)}"
            )
    prepay = next((_curve(where, k, scenario[k], periods_per_year) for k in _PREPAY if k in scenario), None)
    default = next((_curve(where, k, scenario[k], periods_per_year) for k in _DEFAULT if k in scenario), None)
    severity = _rates(where, "severity", scenario["severity"])[0] if "severity" in scenario else 0.0
    if "severity" in scenario and not isinstance(scenario["severity"], numbers.Real):
        raise ValueError(f"{where}: 'severity' must be one number between 0 and 1, not {scenario['severity']!r}")
    lag = scenario.get("lag", 0)
    if isinstance(lag, bool) or not isinstance(lag, numbers.Integral) or lag < 0:
        raise ValueError(f"{where}: 'lag' must be an int >= 0 (periods), not {lag!r}")
    lag = int(lag)
    if lag > _native.MAX_LAG:
        raise ValueError(f"{where}: 'lag' of {lag} periods is past any loan's term; give at most {_native.MAX_LAG}")
    name = scenario.get(_NAME)
    if name is not None and (not isinstance(name, str) or not name.strip()):
        raise ValueError(f"{where}: 'name' must be a non-empty text, not {name!r}")
    return Scenario(prepay, default, severity, lag, name)


def parse_scenarios(scenarios: Any, periods_per_year: int = 12) -> list[Scenario]:
    """Checks ``scenarios`` (one mapping or a sequence of them) and turns
    every rate into a per-period curve. Raises ValueError naming the key."""
    if isinstance(scenarios, Mapping):
        items = [scenarios]
    elif isinstance(scenarios, Sequence) and not isinstance(scenarios, (str, bytes)):
        items = list(scenarios)
        if not items:
            raise ValueError("scenarios is empty; give at least one mapping ({} projects the contractual flows)")
    else:
        raise TypeError(f"scenarios must be a mapping or a sequence of mappings, not {type(scenarios).__name__}")
    parsed = [_one_scenario(i, s, periods_per_year) for i, s in enumerate(items)]
    names = [s.name for s in parsed if s.name is not None]
    repeated = next((n for n in names if names.count(n) > 1), None)
    if repeated is not None:
        raise ValueError(f"two scenarios are named {repeated!r}; a name labels one scenario")
    return parsed


def scenario_names(parsed: Sequence[Scenario]) -> list[str | None] | None:
    """Each scenario's name (None where unnamed), or None when no scenario is named."""
    names = [s.name for s in parsed]
    return names if any(n is not None for n in names) else None


def checked_periods_per_year(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise ValueError(f"periods_per_year must be a positive int, not {value!r}")
    return int(value)
