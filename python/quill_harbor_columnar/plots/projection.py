"""The projection plot: the performing balance of every scenario (and segment), the first scenario's
cash flows as stacked bars, and the loss of every scenario on a panel of its own.

Loss is not money received, so it is not stacked on the cash-flow bars: it
has its own panel and its own scale. With segments, the balance panel draws
a line per segment, colour by segment and line style by scenario; past
MAX_SEGMENTS segments the smallest are drawn together as one line. With
dates (``as_of``), the x axis is the calendar, as long as the dates stay
within the years matplotlib draws; past them it is the period.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from .._internal.deps import require
from .._internal.names import DATE, PERIOD, SCENARIO
from ..projection import derived
from .axes import auto_every, formatter, scale

# More segments than this stop being told apart by colour.
MAX_SEGMENTS = 8
STYLES = ("-", "--", ":", "-.")
COLOURS = ("#2f6690", "#d9a441", "#3a7d44", "#9e2a2b", "#6c4f77", "#3c6e71", "#c06c84", "#7f7f7f")
PRINCIPAL, INTEREST = "#2f6690", "#d9a441"
LAST_DRAWN_DATE = "9999-12-31"  # matplotlib's calendar ends with this year


def scenario_labels(count: int, names: Sequence[str | None] | None) -> list[str]:
    """What the legend calls each scenario: its name, else its number."""
    return [
        names[s] if names is not None and names[s] is not None else f"scenario {s}"  # type: ignore[misc]
        for s in range(count)
    ]


def _units(ax: Any, values: Any, what: str) -> None:
    """Round units on the axis, named in its label (never an offset above the axis)."""
    factor, name = scale(values)
    ax.yaxis.set_major_formatter(formatter(factor))
    ax.set_ylabel(what + (f" ({name})" if name else ""))


def _segments(table: Any, by: Sequence[str]) -> tuple[list[str], Any]:
    """The segment labels and each row's segment (0 for a book without segments)."""
    np = require("numpy", "--plot")
    pa = require("pyarrow", "--plot")
    pc = require("pyarrow.compute", "--plot")
    if not by:
        return ["book"], np.zeros(table.num_rows, np.int64)
    keys = [pc.fill_null(pc.cast(table.column(name), pa.string()), "(missing)") for name in by]
    label = keys[0] if len(keys) == 1 else pc.binary_join_element_wise(*keys, " / ")
    names, segment = np.unique(np.asarray(label.to_pylist(), dtype=object), return_inverse=True)
    return [str(n) for n in names], segment.reshape(-1)


def _dates(table: Any, period: Any, horizon: int) -> Any:
    """The date of each period 0..horizon - 1 (datetime64[D]), or None without dates or past the drawn years."""
    np = require("numpy", "--plot")
    pa = require("pyarrow", "--plot")
    if DATE not in table.column_names or not table.num_rows:
        return None
    days = np.asarray(table.column(DATE).cast(pa.int32()), dtype=np.int64).astype("datetime64[D]")
    if days.max() > np.datetime64(LAST_DRAWN_DATE):
        return None
    dates = np.zeros(horizon, "datetime64[D]")
    dates[period] = days
    return dates


def plot_projection(proj: Any, path: str, fmt: str, title: str, frequencies: Mapping[int, int]) -> None:
    """Draws ``proj`` (a Projection) to ``path`` in format ``fmt``; ``frequencies`` (loans by payment
    frequency) sets the periods each bar sums."""
    np = require("numpy", "--plot")
    matplotlib = require("matplotlib", "--plot")
    matplotlib.use("Agg")
    plt = require("matplotlib.pyplot", "--plot")

    table = proj.to_arrow()
    n = table.num_rows
    scenario = np.asarray(table.column(SCENARIO)) if SCENARIO in table.column_names else np.zeros(n, np.int64)
    period = np.asarray(table.column(PERIOD), dtype=np.int64)
    horizon = int(period.max()) + 1 if n else 1
    labels = scenario_labels(proj.scenarios, proj.scenario_names)
    segment_names, segment = _segments(table, proj.by)
    shape = (len(labels), len(segment_names), horizon)

    def grid(measure: str) -> Any:
        """A measure summed per (scenario, segment, period)."""
        out = np.zeros(shape)
        np.add.at(out, (scenario, segment, period), np.asarray(table.column(measure)))
        return out

    # Segments by their starting balance, the largest first; the smallest drawn as one.
    balance = grid("balance")
    order = np.argsort(-balance[0, :, 0], kind="stable")
    kept, rest = order[: MAX_SEGMENTS - 1], order[MAX_SEGMENTS - 1 :]
    if len(segment_names) > MAX_SEGMENTS:
        balance = np.concatenate([balance[:, kept], balance[:, rest].sum(axis=1, keepdims=True)], axis=1)
        lines = [segment_names[i] for i in kept] + [f"{len(rest)} other segments"]
    else:
        balance, lines = balance[:, order], [segment_names[i] for i in order]

    # Bars of ``every`` periods from period 1 (period 0 pays nothing).
    every = auto_every(frequencies, horizon - 1)
    bucket = np.maximum(np.arange(horizon) - 1, 0) // every
    edges = np.arange(int(bucket[-1]) + 2) * every + 1  # bar k: periods edges[k] to edges[k + 1] - 1
    dates = _dates(table, period, horizon)
    if dates is not None:
        # A bar spans its periods' dates, months of unequal length and all.
        step = np.timedelta64(round(365.25 / proj.periods_per_year), "D")
        known = np.minimum(edges, horizon - 1)
        at = dates[known] + (edges - known) * step
        x, left, width = dates, at[:-1], (at[1:] - at[:-1]).astype(np.float64)
    else:
        x, left, width = np.arange(horizon), edges[:-1] - 0.5, every

    def bars(values: Any) -> Any:
        return np.bincount(bucket, weights=values, minlength=len(left))

    fig, (top, middle, bottom) = plt.subplots(
        3, 1, figsize=(11, 10), dpi=110, sharex=True, gridspec_kw={"height_ratios": [3, 3, 2]}
    )
    segmented = len(lines) > 1
    for s, label in enumerate(labels):
        for g, line in enumerate(lines):
            top.plot(
                x,
                balance[s, g],
                linewidth=1.5,
                color=COLOURS[(g if segmented else s) % len(COLOURS)],
                linestyle=STYLES[s % len(STYLES)] if segmented else "-",
                label=(f"{line}, {label}" if len(labels) > 1 else line) if segmented else label,
            )
    _units(top, balance.ravel(), "performing balance")
    top.legend(loc="upper right", fontsize="small", ncol=2 if len(labels) * len(lines) > 6 else 1)

    first = {
        name: grid(name)[0].sum(axis=0) for name in ("scheduled_principal", "prepaid_principal", "recovery", "interest")
    }
    principal = bars(derived.principal(first))
    interest = bars(first["interest"])
    middle.bar(left, principal, width=width, align="edge", label="principal", color=PRINCIPAL, linewidth=0)
    middle.bar(
        left, interest, width=width, align="edge", bottom=principal, label="interest", color=INTEREST, linewidth=0
    )
    per = "period" if every == 1 else f"{every} periods"
    _units(middle, principal + interest, f"cash flow per {per}")
    middle.set_title(f"cash flows of {labels[0]}", fontsize="medium", loc="left")
    middle.legend(loc="upper right", fontsize="small")

    loss = grid("loss").sum(axis=1)
    losses = np.array([bars(loss[s]) for s in range(len(labels))])
    for s, label in enumerate(labels):
        bottom.step(
            left,
            losses[s],
            where="post",
            linewidth=1.4,
            label=label,
            color="#444444" if segmented else COLOURS[s % len(COLOURS)],
            linestyle=STYLES[s % len(STYLES)] if segmented else "-",
        )
    _units(bottom, losses.ravel(), f"loss per {per}")
    bottom.set_title("losses on defaults", fontsize="medium", loc="left")
    bottom.legend(loc="upper right", fontsize="small")
    bottom.set_xlabel("date" if dates is not None else "period")
    if dates is None:
        bottom.xaxis.set_major_formatter(formatter(1.0))
    for ax in (top, middle, bottom):
        ax.set_ylim(bottom=0)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, format=fmt)
    plt.close(fig)
