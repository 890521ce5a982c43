"""What a projection adds up to: one row per scenario and segment, with the weighted average life."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

from .._internal.deps import require
from .._internal.names import MEASURES, PERIOD, SCENARIO, SCENARIO_NAME
from . import derived


def summary(
    table: Any,
    spans: Sequence[tuple[int, int]],
    by: Sequence[str],
    periods_per_year: int,
    amounts: Sequence[float] | None = None,
) -> Any:
    """The summary of a long table whose (scenario, segment) blocks lie at ``spans``, as a pandas.DataFrame:
    ``start_balance`` (the balance at period 0), the totals of every flow,
    ``principal`` (scheduled + prepaid + recovery), ``servicing`` and
    ``net_cashflow``, ``end_balance``, ``cumulative_loss`` (loss /
    start_balance), ``cumulative_loss_amt`` (loss / ``amounts``, the original
    amt of each block's loans) and ``wal``, the weighted average life in
    years: sum(period * principal) / sum(principal) / periods_per_year."""
    np = require("numpy", "summary()")
    pd = require("pandas", "summary()")
    t = table
    cols = {name: np.asarray(t.column(name)) for name in MEASURES}
    period = np.asarray(t.column(PERIOD), dtype=np.float64)
    starts = np.array([b for b, _ in spans], dtype=np.int64)
    ends = np.array([e for _, e in spans], dtype=np.int64)
    out: dict[str, Any] = {}
    if SCENARIO in t.column_names:
        out[SCENARIO] = np.asarray(t.column(SCENARIO))[starts] if len(starts) else np.zeros(0, np.int64)
    for name in ([SCENARIO_NAME] if SCENARIO_NAME in t.column_names else []) + list(by):
        column = t.column(name)
        if name == SCENARIO_NAME:
            column = column.cast(column.type.value_type)  # the names as text, not a categorical
        out[name] = column.take(starts).to_pandas() if len(starts) else column.to_pandas()

    def total(x: Any) -> Any:
        # Group sums in row order, one group after another.
        return np.array([math.fsum(x[b:e]) for b, e in spans], dtype=np.float64)

    start_balance = cols["balance"][starts] if len(starts) else np.zeros(0)
    out["start_balance"] = start_balance
    for name in ("scheduled_principal", "prepaid_principal", "defaulted_principal"):
        out[name] = total(cols[name])
    principal = derived.principal(cols)
    out["principal"] = total(principal)
    out["interest"] = total(cols["interest"])
    out["loss"] = total(cols["loss"])
    out["recovery"] = total(cols["recovery"])
    out["servicing"] = total(cols["servicing"])
    out["net_cashflow"] = total(cols["net_cashflow"])
    out["end_balance"] = cols["balance"][ends - 1] if len(ends) else np.zeros(0)
    original = np.asarray(amounts if amounts is not None else [math.nan] * len(starts), dtype=np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        out["cumulative_loss"] = out["loss"] / start_balance
        out["cumulative_loss_amt"] = out["loss"] / original
        out["wal"] = total(period * principal) / out["principal"] / periods_per_year
    return pd.DataFrame(out)
