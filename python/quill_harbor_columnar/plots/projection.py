"""The projection plot: the performing balance of every scenario, and the first scenario's flows as
stacked bars of principal, interest and loss."""

from __future__ import annotations

from typing import Any

from .._internal.deps import require
from .._internal.names import DATE
from .axes import auto_every


def plot_projection(proj: Any, path: str, fmt: str, title: str, frequencies: dict[int, int]) -> None:
    """Draws the balance of every scenario and the first scenario's flows of ``proj`` to ``path``."""
    np = require("numpy", "--plot")
    matplotlib = require("matplotlib", "--plot")
    matplotlib.use("Agg")
    plt = require("matplotlib.pyplot", "--plot")
    # The dates stay in Arrow: pandas holds dates as Python dates, which end in the year 9999.
    table = proj.to_arrow()
    df = table.select([name for name in table.column_names if name != DATE]).to_pandas()
    if "scenario" not in df.columns:
        df["scenario"] = 0
    totals = df.groupby(["scenario", "period"], sort=True)[
        ["balance", "scheduled_principal", "prepaid_principal", "recovery", "interest", "loss"]].sum()
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(11, 8), dpi=110, sharex=True)
    for scenario, rows in totals.groupby(level="scenario"):
        periods = rows.index.get_level_values("period")
        top.plot(periods, rows["balance"], linewidth=1.5, label=f"scenario {scenario}")
    top.set_ylabel("performing balance")
    top.legend(loc="upper right")
    first = totals.xs(totals.index.get_level_values("scenario")[0], level="scenario")
    # Bars over the payment frequencies' least common multiple, as the
    # cash-flow plot has them, so quarterly payers do not make every third
    # bar jump.
    every = auto_every(frequencies, int(first.index.max()) if len(first) else 0)
    first = first.groupby(np.maximum(first.index - 1, 0) // every * every + 1).sum()  # bars from period 1
    principal = first["scheduled_principal"] + first["prepaid_principal"] + first["recovery"]
    bottom.bar(first.index, principal, width=every, align="edge", label="principal", color="#2f6690")
    bottom.bar(first.index, first["interest"], width=every, align="edge", bottom=principal, label="interest",
               color="#d9a441")
    bottom.bar(first.index, first["loss"], width=every, align="edge", bottom=principal + first["interest"],
               label="loss", color="#9e2a2b")
    bottom.set_xlabel("period")
    bottom.set_ylabel(f"flows, first scenario ({every} period{'s' if every != 1 else ''} a bar)")
    bottom.legend(loc="upper right")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, format=fmt)
    plt.close(fig)
