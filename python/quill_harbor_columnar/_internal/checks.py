"""The checks of the arguments every operation shares; each raises ValueError naming the argument."""

from __future__ import annotations

from typing import Any


def threads(value: int | None) -> int:
    """Engine threads for the native side: 0 is the pool's own size."""
    if value is None:
        return 0
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"threads must be a positive int or None, not {value!r}")
    return value


def is_list_layout(layout: str) -> bool:
    if layout not in ("long", "list"):
        raise ValueError(f"layout must be 'long' or 'list', not {layout!r}")
    return layout == "list"


def skips(errors: str) -> bool:
    """True for errors="skip", False for "raise"."""
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    return errors == "skip"


def strict(value: Any) -> bool:
    """strict=: True keeps the engine's refusals; False gives a zero rate or a single capital block the
    lender's schedule."""
    if not isinstance(value, bool):
        raise TypeError(f"strict must be True or False, not {value!r}")
    return value


PRECISIONS = ("binary32", "cent")


def cents(precision: Any) -> bool:
    """precision=: "binary32" (the engine's bits) or "cent" (amounts in whole cents,
    docs/schedules.md); True for "cent"."""
    if precision not in PRECISIONS:
        raise ValueError(f"precision must be 'binary32' or 'cent', not {precision!r}")
    return bool(precision == "cent")


def positive_int(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive int, not {value!r}")
    return value
