"""The results of ``project``: a ``Projection`` (the long table and its summary) and a
``ProjectionStream`` (per-loan rows, batch by batch)."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from .._internal.deps import require
from .._internal.tables import HeldTable
from ..errors import ErrorTable, Failure
from .measures import summary

__all__ = ["Projection", "ProjectionStream"]


class Projection(HeldTable):
    """Projected cash flows: a long table with a row per scenario, segment
    and period. Arrow PyCapsule export, ``to_arrow()``, ``to_pandas()``,
    ``to_polars()``; ``summary()``; ``errors`` lists the loans left out."""

    __slots__ = ("errors", "by", "periods_per_year", "scenarios", "spans", "scenario_names", "amounts")

    def __init__(
        self,
        table: Any,
        errors: ErrorTable,
        by: list[str],
        periods_per_year: int,
        scenarios: int,
        spans: list[tuple[int, int]],
        scenario_names: list[str | None] | None = None,
        amounts: list[float] | None = None,
    ) -> None:
        super().__init__(table)
        self.errors = errors
        self.by = by
        self.periods_per_year = periods_per_year
        self.scenarios = scenarios
        # Each scenario's name (None where unnamed), or None when none is named.
        self.scenario_names = scenario_names
        # The row span of each (scenario, segment) block, in row order, and the
        # original amt of its loans.
        self.spans = spans
        self.amounts = amounts

    def summary(self) -> Any:
        """One row per scenario and segment, as a pandas.DataFrame (with
        ``scenario_name`` where the scenarios are named): ``start_balance``
        (the balance at period 0), the totals of every flow,
        ``principal`` (scheduled + prepaid + recovery), ``servicing`` and
        ``net_cashflow``, ``end_balance``, ``cumulative_loss`` (loss /
        start_balance), ``cumulative_loss_amt`` (loss / the loans' original
        ``amt``) and ``wal``, the weighted average life in years:
        sum(period * principal) / sum(principal) / periods_per_year."""
        return summary(self._table, self.spans, self.by, self.periods_per_year, self.amounts)

    def __repr__(self) -> str:
        return f"<Projection scenarios={self.scenarios} by={self.by} rows={self.num_rows} failed={len(self.errors)}>"


class ProjectionStream:
    """Per-loan projected flows, batch by batch, as a one-shot Arrow C stream
    (``__arrow_c_stream__``, ``to_reader()``). ``errors`` lists the loans
    left out in the batches read so far."""

    __slots__ = ("_schema", "_batches", "_failures", "_consumed")

    def __init__(self, schema: Any, batches: Iterator[Any], failures: list[Failure]) -> None:
        self._schema = schema
        self._batches = batches
        self._failures = failures  # filled as the batches are read
        self._consumed = False

    def __arrow_c_schema__(self) -> Any:
        return self._schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self.to_reader().__arrow_c_stream__(requested_schema)

    @property
    def consumed(self) -> bool:
        return self._consumed

    @property
    def errors(self) -> ErrorTable:
        return ErrorTable(None, list(self._failures))

    def to_reader(self) -> Any:
        """A pyarrow.RecordBatchReader over the stream (consumes it)."""
        pa = require("pyarrow", "to_reader()")
        if self._consumed:
            raise RuntimeError(
                "this projection stream was already consumed; a stream is read once "
                "(call project(..., per_loan=True) again)"
            )
        self._consumed = True
        return pa.RecordBatchReader.from_batches(self._schema, self._batches)
