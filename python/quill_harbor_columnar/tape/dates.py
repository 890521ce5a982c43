"""A tape's dates turned into loan ages: whole periods from each date to ``as_of``.

Dates read as ISO (``2024-01-31``, also with a time after it), ``MM/DD/YYYY``
(``1/31/2024``: the month first, as US tapes write it) or ``YYYYMM``
(``202401``, as a text or a number: the first of that month), and Arrow dates
and timestamps as they are. Periods must be whole calendar months
(``periods_per_year`` dividing 12). A period is whole once its day of the
month is reached: from 2024-01-15, one month has passed on 2024-02-15, and
from 2024-01-31 on 2024-02-29, the end of a shorter month.
"""

from __future__ import annotations

import datetime as _dt
from typing import Any

from .._internal.deps import require

_ISO = r"(?P<iy>[0-9]{4})-(?P<im>[0-9]{1,2})-(?P<id>[0-9]{1,2})(?:[T ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]*)?)?)?"
_US = r"(?P<um>[0-9]{1,2})/(?P<ud>[0-9]{1,2})/(?P<uy>[0-9]{4})"
_MONTH = r"(?P<cy>[0-9]{4})(?P<cm>[0-9]{2})"
_DATE = rf"^(?:{_ISO}|{_US}|{_MONTH})$"
DATE_TEXTS = "YYYY-MM-DD, MM/DD/YYYY or YYYYMM"


def check_periods(periods_per_year: int) -> int:
    """Months in a period; ValueError unless periods are whole calendar months."""
    if 12 % periods_per_year:
        raise ValueError(
            "age_from counts whole calendar months: periods_per_year must divide 12 (1, 2, 3, 4, 6 "
            f"or 12), not {periods_per_year}"
        )
    return 12 // periods_per_year


def as_of_date(value: Any) -> _dt.date:
    """``as_of`` as a date: a date, a datetime (its date), a NumPy datetime64 or an ISO text."""
    np = require("numpy", "book(as_of=...)")
    if isinstance(value, _dt.datetime):
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if isinstance(value, np.datetime64):
        value = value.astype("datetime64[D]").item()
        if isinstance(value, _dt.date):
            return value
    if isinstance(value, str):
        for read in (_dt.date.fromisoformat, lambda text: _dt.datetime.fromisoformat(text).date()):
            try:
                return read(value.strip())
            except ValueError:
                pass
    raise ValueError(f"as_of must be a date or an ISO date text (YYYY-MM-DD), not {value!r}")


def _days_in_month(year: Any, month: Any) -> Any:
    np = require("numpy", "book()")
    start = ((year - 1970) * 12 + month - 1).astype("datetime64[M]")
    following = start + np.timedelta64(1, "M")
    return (following.astype("datetime64[D]") - start.astype("datetime64[D]")).astype(np.int64)


def _parts(column: Any, source: str) -> tuple[Any, Any, Any, Any]:
    """(year, month, day, whether the value reads as a date) of each row; day 1 for a YYYYMM date."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    n = len(column)
    t = column.type
    if pa.types.is_date(t) or pa.types.is_timestamp(t):
        year, month, day = (
            np.asarray(pc.fill_null(f(column), 1)).astype(np.int64) for f in (pc.year, pc.month, pc.day)
        )
        return year, month, day, np.asarray(column.is_valid())
    if pa.types.is_integer(t) or pa.types.is_floating(t):
        raw = np.asarray(pc.fill_null(pc.cast(column, pa.float64(), safe=False), np.nan))
        with np.errstate(invalid="ignore"):
            good = (raw == np.floor(raw)) & (raw >= 100001) & (raw <= 999912)
        whole = np.where(good, raw, 197001).astype(np.int64)
        return whole // 100, whole % 100, np.ones(n, dtype=np.int64), good
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        parts = pc.extract_regex(pc.utf8_trim_whitespace(column), _DATE)
        found = np.asarray(parts.is_valid())

        def number(*names: str) -> Any:
            text = pc.binary_join_element_wise(*(pc.fill_null(parts.field(k), "") for k in names), "")
            text = pc.if_else(pc.equal(text, ""), "0", text)
            return np.asarray(pc.fill_null(pc.cast(text, pa.int64()), 0)).astype(np.int64)

        month_only = np.asarray(pc.fill_null(pc.not_equal(parts.field("cm"), ""), False))
        day = np.where(month_only, 1, number("id", "ud"))
        return number("iy", "uy", "cy"), number("im", "um", "cm"), day, found
    raise TypeError(
        f"column {source!r} (for age_from) holds {t}; a date column holds dates, timestamps, "
        f"YYYYMM numbers or text ({DATE_TEXTS})"
    )


def ages(column: Any, source: str, as_of: _dt.date, months_per_period: int) -> tuple[Any, Any]:
    """(whole periods from each row's date to ``as_of``, whether the row reads as a date)."""
    np = require("numpy", "book()")
    year, month, day, found = _parts(column, source)
    valid = found & (year >= 1) & (month >= 1) & (month <= 12)
    year, month = np.where(valid, year, 1970), np.where(valid, month, 1)
    month_end = _days_in_month(year, month)
    valid &= (day >= 1) & (day <= month_end)
    months = (as_of.year * 12 + as_of.month) - (year * 12 + month)
    # The month is whole once the date's day is reached, or the end of a shorter month.
    end = int(_days_in_month(np.array([as_of.year]), np.array([as_of.month]))[0])
    months = months - (as_of.day < np.minimum(day, end))
    return np.where(valid, months // months_per_period, 0), valid
