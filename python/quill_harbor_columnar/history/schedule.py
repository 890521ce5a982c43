"""The scheduled principal of a month, from a loan's own level-payment schedule: its balance at the start
of the month, its note rate a month and its remaining months. One formula, used by the measures and by
the synthetic histories alike; with ``precision="cent"``, the first payment of the loan's cent schedule,
as a servicer books it."""

from __future__ import annotations

from typing import Any

from .._internal import checks
from .._internal.deps import require
from ..errors import LoanError
from ..scheduling import Precision, schedules


def scheduled_principal(balance: Any, monthly_rate: Any, remaining: Any, precision: Precision = "binary32") -> Any:
    """The principal part of the level payment that pays ``balance`` off over ``remaining`` months at
    ``monthly_rate``, the whole balance in the last month (n <= 1). float64, element by element.

    ``"binary32"``: the closed form balance * r / ((1 + r)^n - 1), balance / n at a zero rate.
    ``"cent"``: the principal of the first payment of the cent schedule (``schedules(...,
    precision="cent")``): the level payment rounded half-up to the cent less the interest, balance x r
    rounded half-up to the cent."""
    np = require("numpy", "scheduled_principal()")
    b = np.asarray(balance, dtype=np.float64)
    r = np.asarray(monthly_rate, dtype=np.float64)
    n = np.asarray(remaining, dtype=np.float64)
    last = n <= 1
    if checks.cents(precision):
        return np.where(last, b, _cent_first_principal(b, r, n, ~last))
    safe_n = np.where(last, 1.0, n)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        growth = np.expm1(safe_n * np.log1p(r))
        level = np.where(r == 0.0, b / safe_n, b * r / growth)
    return np.where(last, b, np.minimum(level, b))


def _cent_first_principal(b: Any, r: Any, n: Any, rows: Any) -> Any:
    """The cent schedule's first principal for the ``rows`` marked (0 elsewhere). Its first payment needs
    only the level payment over n months, so each loan is scheduled as two payments with the level payment
    figured over n (a balloon at the second): three rows a loan, not n + 1."""
    np = require("numpy", "scheduled_principal()")
    b, r, n = np.broadcast_arrays(b, r, n)
    at = np.flatnonzero(np.broadcast_to(rows, b.shape) & (b != 0.0))
    out = np.zeros(b.shape, dtype=np.float64)
    if not at.size:
        return out
    ones = np.ones(at.size, dtype=np.int32)
    book = {"amt": b.ravel()[at], "rate": r.ravel()[at], "pers": 2 * ones, "amort_pers": n.ravel()[at].astype(np.int32),
            "int_freq": ones, "cap_freq": ones}  # fmt: skip
    # strict=False: a 0% month repays equal cents, as the closed form repays equal parts.
    try:
        table = schedules(book, strict=False, precision="cent").to_arrow()
    except LoanError as e:  # the row of this internal book means nothing to the caller: name the loan's terms
        amt, rate, months = float(book["amt"][e.index]), float(book["rate"][e.index]), int(book["amort_pers"][e.index])
        raise ValueError(
            f"precision='cent' cannot schedule a balance of {amt!r} at {rate!r} a month over {months} months "
            f"({e.code}: {e.reason})"
        ) from e
    first = np.asarray(table.column("Per")) == 1
    out.ravel()[at[np.asarray(table.column("loan"))[first]]] = np.asarray(table.column("Cap"))[first]
    return out
