"""What the plots share: bar widths over the book's payment frequencies, and axes in round units."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

from .._internal.deps import require

# More bars than this stop reading as bars at the plot's width.
MAX_BARS = 400
SCALES = ((1e9, "billions"), (1e6, "millions"), (1e3, "thousands"), (1.0, ""))


def auto_every(frequencies: Mapping[int, int], periods: int) -> int:
    """Periods per bar: the least common multiple of the payment frequencies
    (loans per frequency; a frequency of under 1% of the loans does not
    count), when it is short next to the book, widened to keep at most
    MAX_BARS bars."""
    every = 1
    total = sum(frequencies.values())
    for f, n in frequencies.items():
        if f > 0 and n * 100 >= total:
            every = every * f // math.gcd(every, f)
    if every > max(periods // 10, 1):
        every = 1
    while periods / every > MAX_BARS:
        every *= 2
    return every


def scale(values: Any) -> tuple[float, str]:
    top = float(max((abs(float(v)) for v in values), default=0.0))
    for factor, name in SCALES:
        if top >= factor * 10 or factor == 1.0:
            return factor, name
    return 1.0, ""


def formatter(factor: float) -> Any:
    ticker = require("matplotlib.ticker", "plots")

    def fmt(value: float, _pos: Any) -> str:
        scaled = value / factor
        if abs(scaled - round(scaled)) < 1e-9 * max(abs(scaled), 1.0):
            return f"{round(scaled):,}"
        return f"{scaled:,.2f}".rstrip("0")

    return ticker.FuncFormatter(fmt)


def align_zero(a: Any, b: Any) -> None:
    """Both y axes put zero at the same height, so the balance line and the bars share a baseline."""
    limits = []
    for ax in (a, b):
        lo, hi = ax.get_ylim()
        limits.append((min(lo, 0.0), max(hi, 0.0)))
    frac = max(-lo / (hi - lo) if hi > lo else 0.0 for lo, hi in limits)
    for ax, (lo, hi) in zip((a, b), limits):
        if frac >= 1.0:
            ax.set_ylim(lo, 0.0)
        else:
            ax.set_ylim(min(lo, -frac * hi / (1.0 - frac)) if frac > 0 else 0.0, hi)
