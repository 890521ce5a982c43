"""Whether a tape's rates are plausible in the unit they were read in.

A rate above 1 (100%) per period is an annual percentage read as a rate per
period (8.25 per period, where 8.25% a year was meant); with
``rate_unit="annual"``, one above 1 a year is a percentage read as a
fraction. With ``rate_unit="annual-percent"``, a tape whose rates are mostly
below 1 holds fractions read as percentages (0.06125 read as 0.06% a year).
Both are refused for the whole tape before any loan is scheduled, since
every loan of it would be computed wrongly and none would fail.

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


class RateCheck:
    """Counts implausible rates over the batches of one tape."""

    def __init__(self, rate_unit: str) -> None:
        self.rate_unit = rate_unit
        self.high = 0
        self.first_high: tuple[int, Any] | None = None
        self.read = 0  # rates that read as a non-zero number (annual-percent only)
        self.low = 0  # of those, below 1
        self.first_low: tuple[int, Any] | None = None

    def observe(self, as_read: Any, per_period: Any, raw: Any, offset: int) -> None:
        """One batch: rates in the tape's unit, the same per period (NaN where a
        row did not read), the column as read, and the batch's first tape row."""
        np = require("numpy", "book()")
        with np.errstate(invalid="ignore"):
            over = per_period > 1.0 if self.rate_unit != "annual" else as_read > 1.0
            high = np.flatnonzero(over)
            if len(high):
                self.high += len(high)
                if self.first_high is None:
                    self.first_high = (offset + int(high[0]), raw[int(high[0])].as_py())
            if self.rate_unit == "annual-percent":
                size = np.abs(as_read)
                read = (size > 0) & np.isfinite(size)
                low = np.flatnonzero(read & (size < 1.0))
                self.read += int(read.sum())
                if len(low):
                    self.low += len(low)
                    if self.first_low is None:
                        self.first_low = (offset + int(low[0]), raw[int(low[0])].as_py())

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
            row, value = row_number(self.first_low[0]), self.first_low[1]
            return ImplausibleRates(
                texts.fraction_rates(self.low, self.read, row, column, value, spelling),
                count=self.low,
                row=row,
                column=column,
                value=value,
                rate_unit="annual",
            )
        return None
