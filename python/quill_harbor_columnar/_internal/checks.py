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


def positive_int(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive int, not {value!r}")
    return value
