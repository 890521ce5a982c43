"""The market's quoting conventions of a value, checked once: which yield the
durations and convexity are taken against (``basis``), the payment delay
(``delay``, days), the settlement date (``settle``) and the shift of the
effective measures (``shift``, basis points). They become the tail of the
native discount, where the values are computed; every caller (one machine,
Dask, Spark) passes the same bundle.

Days are counted on 30/360 (bond basis): a month is 30 days, a period
360 / periods_per_year.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import math
import numbers
from typing import Any

from .. import _native
from .dates import as_date, period_dates

__all__ = ["Conventions", "conventions", "days_30_360", "BASES"]

# The basis names and their native codes.
BASES = {
    "mortgage": _native.BASIS_MORTGAGE,
    "bond-equivalent": _native.BASIS_BOND_EQUIVALENT,
    "bey": _native.BASIS_BOND_EQUIVALENT,
}
# A century of days: a longer delay is a slip, not a convention.
_MAX_DELAY = 36_000


@dataclasses.dataclass(frozen=True)
class Conventions:
    """value()'s conventions, checked: the native discount's tail is
    ``native()``."""

    basis: int = 0
    delay: float = 0.0
    settle_days: float = 0.0
    shift: float = 0.0  # a rate: 25 bp is 0.0025; 0 for none
    settle: _dt.date | None = None

    def native(self) -> tuple[int, float, float, float]:
        return (self.basis, self.delay, self.settle_days, self.shift)


def days_30_360(start: _dt.date, end: _dt.date) -> int:
    """Days from ``start`` to ``end`` on 30/360, bond basis: a 31st counts as
    the 30th, and the end's 31st only when the start is on the 30th or 31st."""
    d1 = min(start.day, 30)
    d2 = end.day if end.day < 31 or d1 < 30 else 30
    return 360 * (end.year - start.year) + 30 * (end.month - start.month) + (d2 - d1)


def _settle_days(settle: Any, as_of: Any, ppy: int) -> tuple[_dt.date, float]:
    try:
        settle = as_date(settle)
    except (TypeError, ValueError):
        raise ValueError(f"settle must be a date (a datetime.date or YYYY-MM-DD), not {settle!r}") from None
    if 12 % ppy != 0:
        raise ValueError(
            f"settle needs periods that are whole calendar months (periods_per_year dividing 12), not {ppy}"
        )
    # Without as_of, the period settle falls in starts on the first of its month.
    start = as_date(as_of) if as_of is not None else settle.replace(day=1)
    end = period_dates(start, 2, ppy)[1].astype(_dt.date)
    if not start <= settle < end:
        raise ValueError(
            f"settle {settle.isoformat()} must fall in the first period, from as_of {start.isoformat()} "
            f"up to {end.isoformat()}"
        )
    return settle, float(min(days_30_360(start, settle), 360 // ppy))


def conventions(basis: Any, delay: Any, settle: Any, shift: Any, as_of: Any, ppy: int) -> Conventions:
    """The conventions checked: every ValueError names its argument."""
    if not isinstance(basis, str) or basis not in BASES:
        raise ValueError(f'basis must be "mortgage" or "bond-equivalent", not {basis!r}')
    if isinstance(delay, bool) or not isinstance(delay, numbers.Integral) or not 0 <= int(delay) <= _MAX_DELAY:
        raise ValueError(f"delay must be a whole number of days from 0 to {_MAX_DELAY:,}, not {delay!r}")
    settle_date, days = (None, 0.0) if settle is None else _settle_days(settle, as_of, ppy)
    bp = 0.0
    if shift is not None:
        if (
            isinstance(shift, bool)
            or not isinstance(shift, numbers.Real)
            or not math.isfinite(float(shift))
            or not 0 < float(shift) <= 10_000
        ):
            raise ValueError(f"shift must be a number of basis points above 0 (up to 10,000), not {shift!r}")
        bp = float(shift)
    return Conventions(BASES[basis], float(delay), days, bp / 1e4, settle_date)
