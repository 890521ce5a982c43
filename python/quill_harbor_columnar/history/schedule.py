"""The scheduled principal of a month, from a loan's own level-payment schedule: its balance at the start
of the month, its note rate a month and its remaining months. One formula, used by the measures and by
the synthetic histories alike."""

from __future__ import annotations

from typing import Any

from .._internal.deps import require


def scheduled_principal(balance: Any, monthly_rate: Any, remaining: Any) -> Any:
    """The principal part of the level payment that pays ``balance`` off over ``remaining`` months at
    ``monthly_rate``: balance * r / ((1 + r)^n - 1), balance / n at a zero rate, the whole balance in the
    last month (n <= 1). float64, element by element."""
    np = require("numpy", "scheduled_principal()")
    b = np.asarray(balance, dtype=np.float64)
    r = np.asarray(monthly_rate, dtype=np.float64)
    n = np.asarray(remaining, dtype=np.float64)
    last = n <= 1
    safe_n = np.where(last, 1.0, n)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        growth = np.expm1(safe_n * np.log1p(r))
        level = np.where(r == 0.0, b / safe_n, b * r / growth)
    return np.where(last, b, np.minimum(level, b))
