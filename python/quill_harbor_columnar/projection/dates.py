"""The calendar of a projection: the date of each period from ``as_of``."""

from __future__ import annotations

import datetime as _dt
from typing import Any

from .._internal.deps import require

__all__ = ["as_date", "period_dates"]


def as_date(as_of: Any) -> _dt.date:
    """``as_of`` as a date: a datetime.date, a datetime (or a pandas Timestamp: its date), or an ISO text
    such as "2024-12-31"."""
    if isinstance(as_of, str):
        try:
            return _dt.date.fromisoformat(as_of.strip())
        except ValueError:
            raise ValueError(f"as_of must be a date as YYYY-MM-DD, not {as_of!r}") from None
    if isinstance(as_of, _dt.datetime):
        return as_of.date()
    if not isinstance(as_of, _dt.date):
        raise TypeError(f"as_of must be a datetime.date or an ISO date text, not {type(as_of).__name__}")
    return as_of


def period_dates(as_of: Any, periods: int, periods_per_year: int) -> Any:
    """Dates of periods 0..periods - 1: ``as_of`` advanced by m * 12 /
    periods_per_year calendar months, the day clamped to the month's end."""
    np = require("numpy", "dates")
    as_of = as_date(as_of)
    if 12 % periods_per_year != 0:
        raise ValueError(
            f"as_of needs periods that are whole calendar months (periods_per_year dividing 12: 1, 2, 3, 4, 6 or 12), "
            f"not periods_per_year={periods_per_year}"
        )
    step = 12 // periods_per_year
    start = np.datetime64(as_of.replace(day=1), "M")
    # Month steps as timedelta64[M]: NumPy is retiring bare integers added to dates.
    months = start + (np.arange(periods, dtype=np.int64) * step).astype("timedelta64[M]")
    first = months.astype("datetime64[D]")
    last = (months + np.timedelta64(1, "M")).astype("datetime64[D]") - np.timedelta64(1, "D")
    days = np.minimum(np.int64(as_of.day - 1), (last - first).astype(np.int64))
    return first + days.astype("timedelta64[D]")
