"""The cash-flow plot: payments as stacked bars, the outstanding balance as a line.

Bars sum ``every`` periods each. A book that mixes monthly and quarterly
loans pays its quarterly loans in every third period only, so bars of one
period jump by the quarterly share; bars over the least common multiple of
the book's payment frequencies hold one payment of every loan (and several of
the monthly ones), so their height follows the book's cash flow rather than
the calendar of its payment dates.
"""

from __future__ import annotations

from typing import Any

from .._internal.deps import require
from .axes import align_zero, formatter, scale


def plot_cashflows(table: dict[str, Any], path: str, *, every: int, fmt: str, title: str) -> None:
    """Draws ``table`` (period, Cap, Int, Bal as NumPy arrays) to ``path`` in format ``fmt``."""
    matplotlib = require("matplotlib", "plots")
    matplotlib.use("Agg")
    np = require("numpy", "plots")
    plt = require("matplotlib.pyplot", "plots")

    period = np.asarray(table["period"], dtype=np.int64)
    last = int(period[-1]) if len(period) else 0
    # Bar k sums periods (k*every, (k+1)*every]; period 0 pays nothing.
    bucket = np.maximum(period - 1, 0) // every
    count = int(bucket[-1]) + 1 if len(bucket) else 0
    cap = np.bincount(bucket, weights=np.asarray(table["Cap"]), minlength=count)
    interest = np.bincount(bucket, weights=np.asarray(table["Int"]), minlength=count)
    left = np.arange(count) * every + 0.5

    fig, ax = plt.subplots(figsize=(11, 5.5), dpi=110)
    ax.bar(left, cap, width=every, align="edge", label="capital", color="#2f6690", linewidth=0)
    ax.bar(left, interest, width=every, align="edge", bottom=cap, label="interest", color="#d9a441", linewidth=0)
    bal = ax.twinx()
    bal.plot(period, np.asarray(table["Bal"]), color="#9e2a2b", linewidth=1.6, label="outstanding balance")

    pay_factor, pay_name = scale(cap + interest)
    bal_factor, bal_name = scale(table["Bal"])
    ax.yaxis.set_major_formatter(formatter(pay_factor))
    bal.yaxis.set_major_formatter(formatter(bal_factor))
    ax.xaxis.set_major_formatter(formatter(1.0))
    per = "period" if every == 1 else f"{every} periods"
    ax.set_ylabel(f"payments per {per}" + (f" ({pay_name})" if pay_name else ""))
    bal.set_ylabel("outstanding balance" + (f" ({bal_name})" if bal_name else ""))
    ax.set_xlabel("time (periods)")
    ax.set_xlim(0, max(last, 1) + 0.5)
    ax.set_ylim(bottom=0)
    bal.set_ylim(bottom=0)
    align_zero(ax, bal)
    handles = ax.get_legend_handles_labels()[0] + bal.get_legend_handles_labels()[0]
    ax.legend(handles, [h.get_label() for h in handles], loc="upper right")
    ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path, format=fmt)
    plt.close(fig)
