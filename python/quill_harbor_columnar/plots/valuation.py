"""The value plot: a yield table as yield against price, one line per scenario and segment, or else the
price of every scenario as bars."""

from __future__ import annotations

from typing import Any

from .._internal.deps import require
from .._internal.names import EFFECTIVE, ID, SCENARIO, VALUES


def plot_values(table: Any, path: str, fmt: str, title: str) -> None:
    """Draws the value table ``table`` (a pyarrow Table) to ``path``."""
    matplotlib = require("matplotlib", "--plot")
    matplotlib.use("Agg")
    plt = require("matplotlib.pyplot", "--plot")
    df = table.to_pandas()
    if SCENARIO not in df.columns:
        df[SCENARIO] = 0
    fig, ax = plt.subplots(figsize=(9, 5), dpi=110)
    labels = [c for c in df.columns if c not in VALUES and c not in EFFECTIVE and c != ID]
    if ID not in df.columns and df["price"].round(10).nunique() > 1 and df["yield"].notna().any():
        for key, rows in df.groupby(labels):
            ax.plot(rows["price"], 100 * rows["yield"], marker="o", label=", ".join(map(str, key)))
        ax.set_xlabel("price (percent of the start balance)")
        ax.set_ylabel("yield (percent)")
        ax.legend(loc="upper right", title=", ".join(labels))
    else:
        means = df.groupby(SCENARIO)["price"].mean()
        ax.bar(means.index.astype(str), means.to_numpy(), color="#2f6690")
        ax.set_xlabel("scenario")
        ax.set_ylabel("price (percent of the start balance)" + (", mean over loans" if ID in df.columns else ""))
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, format=fmt)
    plt.close(fig)
