"""A loan in its own payment periods: the ``payments_per_year`` column ``book()`` gives a loan whose
frequencies are written as words (or, with ``frequency_unit="payments-per-year"``, as payments a year).

A loan paid quarterly on a monthly book is scheduled in quarters: its term, age, interest-only and
amortization periods and rate steps in quarters, its rate and fee per quarter (the year's rate over 4),
and ``int_freq``/``cap_freq`` in quarters. Where interest and capital are paid at different
frequencies, the loan's periods are the finer one's and the other counts in them (interest monthly,
capital quarterly: ``payments_per_year`` 12, ``int_freq`` 1, ``cap_freq`` 3). A loan keeps the book's
periods (``payments_per_year`` null) where its frequencies are numbers of periods, its payments a year
are not one of 12, 4, 2 and 1, or a term, age or shape does not fall on its payment dates.
"""

from __future__ import annotations

from typing import Any

from .._internal.deps import require
from .._internal.names import PAYMENTS_PER_YEAR

OWN = (12, 4, 2, 1)


def per_period(as_read: Any, unit: str, book_per_period: Any, per_year: Any, step: Any) -> Any:
    """Rates as read in ``unit``, per the loan's own period: the year's rate over its payments a year, or a
    rate per book period times the book periods in one of its periods."""
    np = require("numpy", "book()")
    with np.errstate(invalid="ignore", divide="ignore"):
        if unit == "annual":
            return as_read / per_year
        if unit == "annual-percent":
            return as_read / 100.0 / per_year
        return book_per_period * step


class OwnPeriods:
    """Which loans of a batch pay in their own periods, and the terms recounted in them."""

    def __init__(
        self, ppy: int, terms: dict[str, Any], worded: Any, ok: Any, shapes: dict[str, tuple[Any, Any]]
    ) -> None:
        np = require("numpy", "book()")
        int_freq, cap_freq, pers = terms["int_freq"], terms["cap_freq"], terms["pers"]
        valid = worded & ok & (int_freq > 0) & (cap_freq > 0)
        finer = np.where(valid, np.minimum(int_freq, cap_freq), 1)
        per_year = np.where(valid & (ppy % finer == 0), ppy // finer, 0)
        own = valid & np.isin(per_year, OWN)
        step = np.where(own, finer, 1)
        own &= (pers % step == 0) & (int_freq % step == 0) & (cap_freq % step == 0)
        for values, null in shapes.values():
            own &= null | (values % step == 0)
        self.own = own
        self.step = np.where(own, step, 1)
        self.per_year = np.where(own, per_year, 0)

    def whole(self, values: Any) -> Any:
        """Whole book periods (a term, an age, a shape's periods) as the loan's own periods, floored."""
        return values // self.step

    def column(self) -> Any:
        pa = require("pyarrow", "book()")
        np = require("numpy", "book()")
        return pa.array(self.per_year.astype(np.int32), pa.int32(), mask=~self.own)

    def steps(self, column: Any, unit: str, per_year_of: Any) -> Any:
        """A rate_steps column recounted: a step from book period p is from the loan's period
        (p - 1) / step + 1, its rate per the loan's period (``per_year_of``: each step's rate as read)."""
        pa = require("pyarrow", "book()")
        cells = column.to_pylist()
        for row in [int(i) for i in (self.own & (self.step > 1)).nonzero()[0]]:
            if cells[row] is None:
                continue
            step, n = int(self.step[row]), int(self.per_year[row])
            cells[row] = [
                {
                    "per": (s["per"] - 1) // step + 1,
                    "rate": float(per_period(read, unit, s["rate"], n, step)),
                }
                for s, read in zip(cells[row], per_year_of(row))
            ]
        return pa.array(cells, column.type)


def in_book_periods(table: Any, name: str, periods_per_year: int) -> Any:
    """A column of whole periods (a frequency, a term) of a book's batch or table in the book's periods,
    where a loan counts in its own (int64)."""
    np = require("numpy", "book()")
    values = np.asarray(table.column(name), dtype=np.int64)
    if PAYMENTS_PER_YEAR not in table.schema.names:
        return values
    own = table.column(PAYMENTS_PER_YEAR)
    per_year = np.asarray(own.fill_null(periods_per_year), dtype=np.int64)
    return values * np.where(per_year > 0, periods_per_year // np.maximum(per_year, 1), 1)
