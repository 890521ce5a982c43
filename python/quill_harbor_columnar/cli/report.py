"""What a run prints when it is done: one table of what was read, computed and written."""

from __future__ import annotations

import os
import resource
import sys
from collections import Counter
from collections.abc import Iterable, Sequence

from ..tape import texts
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
    """Rows of the table for terms that look mistyped: loans whose term passes MAX_PLAIN_TERM_MONTHS, and
    loans of 120 periods or more paying once every 12 periods by a numeric frequency of 12 (none when no
    loan is either). The second is also said once on standard error."""
    rows = []
    terms = run.long_terms
    if terms.count and terms.first is not None:
        rows.append(
            (
                f"terms over {MAX_PLAIN_TERM_MONTHS:,} months",
                f"{terms.count:,} (longest {terms.longest:,} periods; first at row {run.row_of(terms.first)})",
            )
        )
    converter = run.converter
    if converter.twelve is not None:
        row = run.row_of(converter.twelve)
        rows.append(("paid every 12 periods", f"{converter.twelves:,} (120 periods or more; first at row {row})"))
        text = texts.twelves(converter.twelves, row, run.spec.sources["int_freq"], texts.COMMAND)
        print(f"quill-harbor: warning: {text}", file=sys.stderr)
    return rows
