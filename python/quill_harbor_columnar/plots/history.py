"""The history plots: realized CPR and CDR by age, a line per cohort; projected against realized balance."""

from __future__ import annotations

from typing import Any

from .._internal.deps import require
from .axes import formatter, scale

COLOURS = ("#2f6690", "#d9a441", "#3a7d44", "#9e2a2b", "#6c4f77", "#3c6e71", "#c06c84", "#7f7f7f")


def _figure() -> Any:
    matplotlib = require("matplotlib", "--plot")
    matplotlib.use("Agg", force=False)
    return require("matplotlib.pyplot", "--plot")


def plot_performance(table: Any, by: list[str], path: str, kind: str, title: str) -> None:
    """Realized CPR and CDR (percent) against the cohort's balance-weighted age, a line per cohort."""
    plt = _figure()
    frame = table.to_pandas()
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 7), sharex=True)
    groups = frame.groupby(by, sort=True, dropna=False) if by else [("all loans", frame)]
    for i, (label, rows) in enumerate(groups):
        rows = rows.sort_values("age")
        name = " / ".join(str(v) for v in label) if isinstance(label, tuple) else str(label)
        colour = COLOURS[i % len(COLOURS)]
        top.plot(rows["age"], 100 * rows["cpr"], color=colour, label=name)
        bottom.plot(rows["age"], 100 * rows["cdr"], color=colour, label=name)
    top.set_ylabel("CPR (%)")
    bottom.set_ylabel("CDR (%)")
    bottom.set_xlabel("age (months, balance-weighted)")
    top.set_title(title)
    top.legend(fontsize="small", ncol=2)
    for ax in (top, bottom):
        ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, format=kind)
    plt.close(fig)


def plot_backtest(table: Any, path: str, kind: str, title: str) -> None:
    """Projected and realized balance by month, a pair of lines per scenario."""
    plt = _figure()
    frame = table.to_pandas()
    fig, ax = plt.subplots(figsize=(10, 5))
    factor, unit = scale(frame["projected_balance"].tolist() + frame["realized_balance"].tolist())
    first = True
    for i, (scenario, rows) in enumerate(frame.groupby("scenario", sort=True)):
        named = "scenario_name" in rows and rows["scenario_name"].notna().any()
        label = rows["scenario_name"].iloc[0] if named else f"scenario {scenario}"
        rows = rows.groupby("month", sort=True)[["projected_balance", "realized_balance"]].sum()
        colour = COLOURS[i % len(COLOURS)]
        ax.plot(rows.index, rows["projected_balance"], color=colour, linestyle="--", label=f"projected: {label}")
        if first:
            ax.plot(rows.index, rows["realized_balance"], color="black", label="realized")
            first = False
    ax.yaxis.set_major_formatter(formatter(factor))
    ax.set_ylabel("balance" + (f" ({unit})" if unit else ""))
    ax.set_title(title)
    ax.legend(fontsize="small")
    ax.grid(alpha=0.3)
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path, format=kind)
    plt.close(fig)
