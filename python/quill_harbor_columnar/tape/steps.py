"""A tape's rate steps: a table of (id, per, rate) rows joined to its loans by id, as each loan's
``rate_steps`` list.

A step's rate is read in the tape's ``rate_unit``, exactly as the loan's ``rate`` is, with the decimal
mark its own file writes. A step whose values do not read (quoted as written), a second step of a loan
for the same period, or a step outside 2..pers or not just after a period that is both an interest and
a capital date is a row failure of its loan (field ``rate_steps``); a step whose id names no loan of the
tape is a failure of its own, with no tape row (index -1).
"""

from __future__ import annotations

from collections import defaultdict
from typing import Any

from .._internal.deps import require

# The Arrow type of a book's rate_steps column.
STEP_FIELDS = (("per", "int32"), ("rate", "float64"))
NO_LOAN = -1  # the index of a failure that no tape row holds


def steps_type() -> Any:
    pa = require("pyarrow", "book()")
    return pa.list_(pa.struct([(name, getattr(pa, kind)()) for name, kind in STEP_FIELDS]))


class RateSteps:
    """Steps read once, handed out loan by loan. ``bad`` maps a step (its row in the steps table) to
    the failure code its values gave when read."""

    def __init__(
        self,
        ids: list[str | None],
        per: Any,
        rate: Any,
        bad: dict[int, str],
        written: dict[int, tuple[Any, Any, str]] | None = None,
    ) -> None:
        self.by_id: dict[str | None, list[int]] = defaultdict(list)
        self.ids, self.per, self.rate, self.bad = ids, per, rate, bad
        # A step that does not read: its per and rate as written, and the column that does not read.
        self.written = written or {}
        for i, loan_id in enumerate(ids):
            self.by_id[loan_id].append(i)  # a step without an id names no loan
        self.seen: set[str] = set()
        self.check: Any = None  # a RateCheck of the steps' rates, once read
        self.as_read: Any = None  # each step's rate as read, in the tape's unit

    def read_of(self, loan_id: str | None) -> list[float]:
        """The rates as read of a loan's steps that read, in the order ``column`` lists them."""
        rows = self.by_id.get(loan_id, []) if loan_id is not None else []
        return [float(self.as_read[i]) for i in rows if i not in self.bad]

    def unread(self, loan_id: str | None) -> tuple[int, str] | None:
        """(its row in the steps, the column) of a loan's first step that does not read, if any."""
        rows = self.by_id.get(loan_id, []) if loan_id is not None else []
        first = next((i for i in rows if i in self.bad and i in self.written), None)
        return None if first is None else (first, self.written[first][2])

    def _text(self, rows: list[int]) -> str:
        def step(i: int) -> str:
            if i not in self.bad:
                return f"({int(self.per[i])}, {float(self.rate[i])!r})"
            per, rate, _ = self.written.get(i, (None, None, ""))
            return f"({per!r}, {rate!r})"

        return "[" + ", ".join(step(i) for i in rows) + "]"

    def column(self, ids: Any, pers: Any, int_freq: Any, cap_freq: Any) -> tuple[Any, list[tuple[int, str, str]]]:
        """The batch's rate_steps column and its failing rows as (row, code, value)."""
        pa = require("pyarrow", "book()")
        cells: list[Any] = []
        failed: list[tuple[int, str, str]] = []
        for row, loan_id in enumerate(ids.to_pylist() if ids is not None else []):
            rows = self.by_id.get(loan_id, []) if loan_id is not None else []
            if loan_id is not None and rows:
                self.seen.add(loan_id)
            cells.append(
                [{"per": int(self.per[i]), "rate": float(self.rate[i])} for i in rows if i not in self.bad] or None
            )
            code = next((self.bad[i] for i in rows if i in self.bad), None)
            if code is None:
                p = [int(self.per[i]) for i in rows]
                f, cf, n = int(int_freq[row]), int(cap_freq[row]), int(pers[row])
                if (
                    len(set(p)) != len(p)
                    or any(not 2 <= x <= n for x in p)
                    or (f > 0 and cf > 0 and any((x - 1) % f or (x - 1) % cf for x in p))
                ):
                    code = "bad_shape"
            if code is not None:
                failed.append((row, code, self._text(rows)))
        return pa.array(cells, steps_type()), failed

    def orphans(self) -> list[tuple[str | None, str]]:
        """(id, steps as text) of every id of the steps that named no loan handed out so far."""
        return [(loan_id, self._text(rows)) for loan_id, rows in self.by_id.items() if loan_id not in self.seen]
