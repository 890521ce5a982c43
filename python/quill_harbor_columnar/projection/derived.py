"""The measures formed from summed ones, written here once and formed only
after the parts of a book are combined: they are not added across parts.

The defaults of period p - lag are liquidated in period p: ``loss`` is
severity times them and ``recovery`` 1 - severity times them; ``principal``
is scheduled + prepaid + recovery; ``cashflow`` is principal plus interest
and ``net_cashflow`` the cash flow less servicing. Each is one float64
operation in the order written, the order the native projection forms them
in, so a book of one part has the bits the engine gives.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from .._internal.deps import require
from .._internal.names import MEASURES

__all__ = ["measures", "principal"]


def principal(m: Mapping[str, Any]) -> Any:
    """Principal repaid: scheduled + prepaid + recovery, of arrays (or numbers) named as the measures."""
    return m["scheduled_principal"] + m["prepaid_principal"] + m["recovery"]


def measures(sums: Mapping[str, Any], runs: Sequence[tuple[int, int, int, Any]]) -> dict[str, Any]:
    """Every measure, in order, of summed flows laid out in runs of rows
    ``(start, segments, length, scenario)``: one scenario (its ``severity``
    and ``lag``), ``segments`` blocks one after another, each its periods
    0..length - 1."""
    np = require("numpy", "project()")
    defaulted = sums["defaulted_principal"]
    liquidated = np.zeros_like(defaulted)
    loss, recovery = np.empty_like(defaulted), np.empty_like(defaulted)
    for start, segments, n, scenario in runs:
        rows = slice(start, start + segments * n)
        lag = min(scenario.lag, n)
        liquidated[rows].reshape(segments, n)[:, lag:] = defaulted[rows].reshape(segments, n)[:, : n - lag]
        loss[rows] = scenario.severity * liquidated[rows]
        recovery[rows] = (1.0 - scenario.severity) * liquidated[rows]
    out = {**sums, "loss": loss, "recovery": recovery}
    out["cashflow"] = principal(out) + out["interest"]
    out["net_cashflow"] = out["cashflow"] - out["servicing"]
    return {name: out[name] for name in MEASURES}
