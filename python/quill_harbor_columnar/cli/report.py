"""What a run prints when it is done: one table of what was read, computed and written."""

from __future__ import annotations

import os
import resource
from collections import Counter
from collections.abc import Iterable, Sequence

from ..tape.stream import MAX_PLAIN_TERM_MONTHS, TapeRun


def print_table(title: str, rows: Sequence[tuple[str, str]]) -> None:
    width = max(len(k) for k, _ in rows)
    vwidth = max(len(v) for _, v in rows)
    rule = "-" * (width + vwidth + 3)
    print(title)
    print(rule)
    for key, value in rows:
        print(f"{key:<{width}}   {value:>{vwidth}}")
    print(rule)


def human_bytes(n: int) -> str:
    size = float(n)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{n:,} B" if unit == "B" else f"{size:,.1f} {unit}"
        size /= 1024
    return f"{n:,} B"


def peak_rss() -> str:
    return human_bytes(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)


def by_code(codes: Iterable[str]) -> list[tuple[str, str]]:
    """Refused loans by failure code, the most common first, as rows of the table."""
    return [(f"  {code}", f"{n:,}") for code, n in Counter(codes).most_common()]


def by_shape(shapes: Counter[str] | None) -> list[tuple[str, str]]:
    """The loans read by shape (a loan may be of several), as rows of the table under "loans"; none for a tape
    without shapes."""
    if shapes is None:
        return []
    return [(f"  {name}", f"{n:,}") for name, n in shapes.items()]


def rate(loans: int, elapsed: float) -> str:
    return f"{loans / elapsed:,.0f}" if elapsed > 0 else "-"


def shown(path: str) -> str:
    return os.path.relpath(path)


def long_terms(run: TapeRun) -> list[tuple[str, str]]:
    """A row of the table for loans whose term passes MAX_PLAIN_TERM_MONTHS (none when no loan's does)."""
    terms = run.long_terms
    if not terms.count or terms.first is None:
        return []
    return [
        (
            f"terms over {MAX_PLAIN_TERM_MONTHS:,} months",
            f"{terms.count:,} (longest {terms.longest:,} periods; first at row {run.row_of(terms.first)})",
        )
    ]
