"""The value plot: a yield table (several prices) as yield against price, one line per scenario and
segment; otherwise price and yield per scenario and segment as labelled bars (per loan, their means)."""

from __future__ import annotations

from typing import Any

from .._internal.deps import require
from .._internal.names import EFFECTIVE, ID, SCENARIO, SCENARIO_NAME, VALUES


def _label(key: Any, labels: list[str]) -> str:
    """A group's label: its scenario by name where named, then its segment values."""
    parts: list[str] = []
    for name, value in zip(labels, key if isinstance(key, tuple) else (key,)):
        if name == SCENARIO_NAME and value is not None and value == value:  # noqa: PLR0124 - NaN: unnamed
            parts[-1:] = [str(value)]
        elif name == SCENARIO:
            parts.append(f"scenario {value}")
        elif name != SCENARIO_NAME:
            parts.append(f"{name} {value}")
    return ", ".join(parts)


def _bars(ax: Any, names: list[str], values: Any, color: str, fmt: str) -> None:
    bars = ax.bar(range(len(names)), values, color=color)
    ax.set_xticks(
        range(len(names)), names, rotation=30 if len(names) > 4 else 0, ha="right" if len(names) > 4 else "center"
    )
    ax.bar_label(bars, labels=["-" if v != v else format(v, fmt) for v in values], padding=2, fontsize=8)  # noqa: PLR0124
    ax.margins(y=0.15)


def plot_values(table: Any, path: str, fmt: str, title: str) -> None:
    """Draws the value table ``table`` (a pyarrow Table) to ``path``."""
    matplotlib = require("matplotlib", "--plot")
    matplotlib.use("Agg")
    plt = require("matplotlib.pyplot", "--plot")
    df = table.to_pandas()
    if SCENARIO not in df.columns:
        df.insert(0, SCENARIO, 0)
    labels = [c for c in df.columns if c not in VALUES and c not in EFFECTIVE and c != ID]
    groups = df.groupby(labels, sort=False, dropna=False)
    per_loan = ID in df.columns
    several_prices = not per_loan and groups["price"].nunique().max() > 1 and df["yield"].notna().any()
    if several_prices:
        fig, ax = plt.subplots(figsize=(9, 5), dpi=110)
        for key, rows in groups:
            ax.plot(rows["price"], 100 * rows["yield"], marker="o", label=_label(key, labels))
        ax.set_xlabel("price (percent of the start balance)")
        ax.set_ylabel("yield (percent)")
        ax.legend(loc="upper right")
    else:
        means = groups[["price", "yield"]].mean()
        names = [_label(key, labels) for key in means.index]
        fig, (top, bottom) = plt.subplots(2, 1, figsize=(max(9, 0.9 * len(names)), 7), dpi=110, sharex=True)
        mean = ", mean over loans" if per_loan else ""
        _bars(top, names, means["price"].to_numpy(), "#2f6690", ",.2f")
        top.set_ylabel("price (percent of\nthe start balance" + mean + ")")
        _bars(bottom, names, 100 * means["yield"].to_numpy(dtype=float), "#d9a03f", ".2f")
        bottom.set_ylabel("yield (percent" + mean + ")")
        segments = [c for c in labels if c not in (SCENARIO, SCENARIO_NAME)]
        bottom.set_xlabel("scenario" + (" and segment" if segments else ""))
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, format=fmt)
    plt.close(fig)
