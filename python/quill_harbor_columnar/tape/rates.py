"""Whether a tape's rates are plausible in the unit they were read in.

A rate above 1 (100%) per period is an annual percentage read as a rate per
period (8.25 per period, where 8.25% a year was meant); with
``rate_unit="annual"``, one above 1 a year is a percentage read as a
fraction. Read per period, a column whose rates are mostly more than 50% a
year (0.06125 a month is 73.5% a year) holds yearly fractions. With
``rate_unit="annual-percent"``, a tape whose rates are mostly below 1 holds
fractions read as percentages (0.06125 read as 0.06% a year); a value
written with its percent sign ("0.475%") is a percentage whatever its size,
and is not counted. Each is refused for the whole tape before any loan is
scheduled, since every loan of it would be computed wrongly and none would
fail. The loans' rates, their rate steps and their fees are each checked so
(a fee, a fraction of a percent, is not held to the fraction rule).

The check sees the tape batch by batch, as it is converted, so that a reader
in one pass over the tape knows the verdict when the pass ends.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

from .._internal.deps import require
from . import texts


class ImplausibleRates(ValueError):
    """A tape refused for the unit its rates were read in.

    ``count`` rates are implausible, the first at tape row ``row`` of column
    ``column``, read from ``value``; ``rate_unit`` is the unit the rates look
    like they are in (None when no unit would make them plausible).
    """

    def __init__(self, message: str, *, count: int, row: int, column: str, value: Any, rate_unit: str | None) -> None:
        super().__init__(message)
        self.count = count
        self.row = row
        self.column = column
        self.value = value
        self.rate_unit = rate_unit


# Read per period, a rate above this a year is no loan's: the column holds yearly fractions.
PER_PERIOD_TOP = 0.5


class RateCheck:
    """Counts implausible rates over the batches of one column of one tape (``fractions``: whether the
    annual-percent fraction rule applies, as it does to rates and not to fees)."""

    def __init__(self, rate_unit: str, periods_per_year: int = 12, *, fractions: bool = True) -> None:
        self.rate_unit = rate_unit
        self.periods_per_year = periods_per_year
        self.fractions = fractions
        self.high = 0
        self.first_high: tuple[int, Any] | None = None
        self.read = 0  # rates that read as a non-zero number (and, annual-percent, without a % sign)
        self.low = 0  # of those, below 1 (annual-percent) or above PER_PERIOD_TOP a year (per-period)
        self.first_low: tuple[int, Any, float] | None = None  # (row, value as read, that rate a year)

    def observe(self, as_read: Any, per_period: Any, raw: Any, offset: int, signed: Any = None) -> None:
        """One batch: rates in the tape's unit, the same per period (NaN where a
        row did not read), the column as read, the batch's first tape row, and
        which values carried a percent sign."""
        np = require("numpy", "book()")
        with np.errstate(invalid="ignore"):
            over = per_period > 1.0 if self.rate_unit != "annual" else as_read > 1.0
            high = np.flatnonzero(over)
            if len(high):
                self.high += len(high)
                if self.first_high is None:
                    self.first_high = (offset + int(high[0]), raw[int(high[0])].as_py())
            size = np.abs(as_read)
            read = (size > 0) & np.isfinite(size)
            if self.rate_unit == "annual-percent" and self.fractions:
                if signed is not None:
                    read &= ~signed
                low = read & (size < 1.0)
            elif self.rate_unit == "per-period":
                low = read & (size * self.periods_per_year > PER_PERIOD_TOP)
            else:
                return
            low_at = np.flatnonzero(low)
            self.read += int(read.sum())
            if len(low_at):
                self.low += len(low_at)
                if self.first_low is None:
                    at = int(low_at[0])
                    self.first_low = (offset + at, raw[at].as_py(), float(per_period[at]) * self.periods_per_year)

    def refusal(
        self, column: str, row_number: Callable[[int], int] = lambda i: i, spelling: Mapping[str, str] = texts.PYTHON
    ) -> ImplausibleRates | None:
        """The refusal of the rates seen so far, or None; ``row_number`` turns a
        tape row into the number a person finds it by."""
        if self.high and self.first_high is not None:
            row, value = row_number(self.first_high[0]), self.first_high[1]
            hint = None if self.rate_unit == "annual-percent" else "annual-percent"
            return ImplausibleRates(
                texts.high_rates(self.rate_unit, self.high, row, column, value, spelling),
                count=self.high,
                row=row,
                column=column,
                value=value,
                rate_unit=hint,
            )
        if 2 * self.low > self.read and self.first_low is not None:
            row, value, yearly = row_number(self.first_low[0]), self.first_low[1], self.first_low[2]
            if self.rate_unit == "per-period":
                text = texts.yearly_rates(self.low, self.read, row, column, value, yearly, spelling)
            else:
                text = texts.fraction_rates(self.low, self.read, row, column, value, spelling)
            return ImplausibleRates(text, count=self.low, row=row, column=column, value=value, rate_unit="annual")
        return None


def first_refusal(
    checks: Mapping[str, RateCheck],
    row_number: Callable[[int], int] = lambda i: i,
    spelling: Mapping[str, str] = texts.PYTHON,
) -> ImplausibleRates | None:
    """The refusal of the first of several columns' checks (by column name) that refuses, or None."""
    for column, check in checks.items():
        refusal = check.refusal(column, row_number, spelling)
        if refusal is not None:
            return refusal
    return None
