"""A tape's dates turned into loan ages: whole periods from each date to ``as_of``.

Dates read as ISO (``2024-01-31``, also with a time after it), ``M/D/YYYY``
or ``M/D/YY`` (``1/31/2024``, ``3/15/19``: the month first, as US tapes
write it), ``DD-Mon-YY`` or ``DD-Mon-YYYY`` (``15-Mar-19``, the month's
English name or its first three letters, in any case), ``YYYYMM``
(``202401``, as a text or a number: the first of that month), Excel serial
day numbers (``43539``, as a number or a text of up to five digits, a
fraction of a day ignored: day 1 is 1900-01-01 and, as Excel counts it, day
60 a 29 February 1900 that never was, so day 61 is 1900-03-01), and Arrow
dates and timestamps as they are. A two-digit year is 2000-2068 for 00-68
and 1969-1999 for 69-99. Periods must be whole calendar months
(``periods_per_year`` dividing 12). A period is whole once its day of the
month is reached: from 2024-01-15, one month has passed on 2024-02-15, and
from 2024-01-31 on 2024-02-29, the end of a shorter month.
"""

from __future__ import annotations

import datetime as _dt
from typing import Any

from .._internal.deps import require

_ISO = r"(?P<iy>[0-9]{4})-(?P<im>[0-9]{1,2})-(?P<id>[0-9]{1,2})(?:[T ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]*)?)?)?"
_US = r"(?P<um>[0-9]{1,2})/(?P<ud>[0-9]{1,2})/(?P<uy>[0-9]{4}|[0-9]{2})"
_NAMED = r"(?P<nd>[0-9]{1,2})[- ](?P<nm>[A-Za-z]{3,9})[- ](?P<ny>[0-9]{4}|[0-9]{2})"
_MONTH = r"(?P<cy>[0-9]{4})(?P<cm>[0-9]{2})"
_SERIAL = r"(?P<xs>[0-9]{1,5})(?:\.[0-9]*)?"
_DATE = rf"^(?:{_ISO}|{_US}|{_NAMED}|{_MONTH}|{_SERIAL})$"
DATE_TEXTS = "YYYY-MM-DD, M/D/YYYY, M/D/YY, DD-Mon-YY, YYYYMM or an Excel serial day number"
_MONTHS = ("jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec")
_MONTH_NAMES = (
    "january", "february", "march", "april", "may", "june", "july", "august", "september", "october",
    "november", "december",
)  # fmt: skip
# Excel's day 0 as it counts days past 28 February 1900 (it holds a 29 February 1900 as day 60).
_EXCEL_EPOCH = "1899-12-30"
# YYYYMM numbers, and the Excel serial days (up to 99999, the year 2173) below them.
_YYYYMM = (100001, 999912)


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


def _two_digit(year: Any, digits: Any) -> Any:
    """A year written with two digits (``digits`` == 2) as 2000-2068 or 1969-1999."""
    np = require("numpy", "book()")
    return np.where(digits == 2, np.where(year < 69, 2000 + year, 1900 + year), year)


def _serial_days(days: Any) -> tuple[Any, Any, Any]:
    """(year, month, day) of Excel serial day numbers (whole, 1 or more)."""
    np = require("numpy", "book()")
    # Before day 61 Excel counts from 1899-12-31, for its 29 February 1900; day 60 itself is no date and
    # reads as 1900-02-28's successor, 1 March, the day the schedule would take.
    offset = np.where(days < 61, 1, 0)
    when = np.datetime64(_EXCEL_EPOCH) + (days + offset).astype("timedelta64[D]")
    months = when.astype("datetime64[M]")
    year = months.astype(np.int64) // 12 + 1970
    month = months.astype(np.int64) % 12 + 1
    day = (when - months.astype("datetime64[D]")).astype(np.int64) + 1
    return year, month, day


def _numbers(raw: Any) -> tuple[Any, Any, Any, Any]:
    """(year, month, day, whether it reads) of numeric dates: YYYYMM, else an Excel serial day number."""
    np = require("numpy", "book()")
    with np.errstate(invalid="ignore"):
        finite = np.isfinite(raw)
        whole = finite & (raw == np.floor(raw))
        yyyymm = whole & (raw >= _YYYYMM[0]) & (raw <= _YYYYMM[1])
        serial = finite & ~yyyymm & (raw >= 1) & (raw < _YYYYMM[0])
    code = np.where(yyyymm, raw, 197001).astype(np.int64)
    year, month, day = _serial_days(np.where(serial, np.floor(np.where(serial, raw, 1)), 1).astype(np.int64))
    return (
        np.where(yyyymm, code // 100, year),
        np.where(yyyymm, code % 100, month),
        np.where(yyyymm, 1, day),
        yyyymm | serial,
    )


def _parts(column: Any, source: str) -> tuple[Any, Any, Any, Any]:
    """(year, month, day, whether the value reads as a date) of each row; day 1 for a YYYYMM date."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    t = column.type
    if pa.types.is_date(t) or pa.types.is_timestamp(t):
        year, month, day = (
            np.asarray(pc.fill_null(f(column), 1)).astype(np.int64) for f in (pc.year, pc.month, pc.day)
        )
        return year, month, day, np.asarray(column.is_valid())
    if pa.types.is_integer(t) or pa.types.is_floating(t):
        return _numbers(np.asarray(pc.fill_null(pc.cast(column, pa.float64(), safe=False), np.nan)))
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        parts = pc.extract_regex(pc.utf8_trim_whitespace(column), _DATE)
        found = np.asarray(parts.is_valid())

        def text(name: str) -> Any:
            return pc.fill_null(parts.field(name), "")

        def number(*names: str) -> Any:
            joined = pc.binary_join_element_wise(*(text(k) for k in names), "")
            joined = pc.if_else(pc.equal(joined, ""), "0", joined)
            return np.asarray(pc.fill_null(pc.cast(joined, pa.int64()), 0)).astype(np.int64)

        digits = np.asarray(pc.utf8_length(pc.binary_join_element_wise(text("uy"), text("ny"), ""))).astype(np.int64)
        year = _two_digit(number("iy", "uy", "ny", "cy"), digits)
        month = number("im", "um", "cm")
        day = number("id", "ud", "nd")
        named = np.asarray(pc.utf8_length(text("nm"))) > 0
        if named.any():
            word = pc.utf8_lower(text("nm"))
            short = np.asarray(pc.fill_null(pc.index_in(word, value_set=pa.array(_MONTHS)), -1))
            full = np.asarray(pc.fill_null(pc.index_in(word, value_set=pa.array(_MONTH_NAMES)), -1))
            index = np.maximum(short, full)
            month = np.where(named, index + 1, month)
            found &= ~named | (index >= 0)
        month_only = np.asarray(pc.utf8_length(text("cm"))) > 0
        day = np.where(month_only, 1, day)
        serial = np.asarray(pc.utf8_length(text("xs"))) > 0
        if serial.any():
            s_year, s_month, s_day, s_ok = _numbers(np.where(serial, number("xs"), 1).astype(np.float64))
            year, month, day = (np.where(serial, a, b) for a, b in ((s_year, year), (s_month, month), (s_day, day)))
            found &= ~serial | s_ok
        return year, month, day, found
    raise TypeError(
        f"column {source!r} (for age_from) holds {t}; a date column holds dates, timestamps, "
        f"YYYYMM numbers, Excel serial day numbers or text ({DATE_TEXTS})"
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
