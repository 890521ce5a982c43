"""Partial sums: a book computed part by part, the parts' sums combined, the result formed once.

A part is a run of a book's rows: the whole book on one machine, a
partition on a cluster. For ``project``, ``value`` (book and segment values)
and ``cashflows``:

- ``Call``: the call's keywords, checked once where the call is made and
  carried whole to every part (it pickles), so a keyword added to the
  single-machine function reaches every engine through it;
- ``partial(call, loans, ...)``: a part's ``Partial``, its summable measures
  per scenario, segment and period (``Sums``), its segment keys, its
  failures (rows of the part, with the part's ``offset`` in the book) and,
  per segment, the loans' original ``amt``;
- ``combine(a, b)``: two parts' partials, ``a``'s rows first;
- ``tree(parts)``: the parts combined pairwise up one tree in part order;
- ``finish(call, p)``: the ``Projection``, ``Valuation`` or cash-flow table.

The single-machine calls are the one-part case, so a book of one part has
their bits; for a given cut into parts, every engine that applies ``tree``
to the same parts gets the same bits. Every measure formed from sums (loss,
recovery, principal, the cash flows) is formed by ``finish``, after the
parts are combined (``projection.derived``).
"""

from __future__ import annotations

import dataclasses
import inspect
import types
from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypeVar

from .._internal import checks
from .._internal.deps import require
from .._internal.names import AGE, BALANCE, FIELDS, LOANS, PERIOD, SHAPE, TOTALS
from ..errors import ErrorTable, Failure, LoanError
from ..scheduling import cashflows
from .segments import segment_codes

__all__ = ["Call", "Operation", "Partial", "Sums", "combine", "finish", "partial", "raise_first", "register", "tree"]


@dataclasses.dataclass(frozen=True)
class Operation:
    """What partial sums need of one operation: ``function``, the
    single-machine call (its signature binds a cluster call's keywords);
    ``check(scenarios, keywords)``, the keywords checked; ``partial(call,
    loans, threads, offset)`` and ``finish(call, p)``; ``reads(call)``, the
    book's columns it reads besides the terms and the shape; and whether it
    takes scenarios."""

    function: Callable[..., Any]
    check: Callable[[Any, Mapping[str, Any]], Any]
    partial: Callable[[Any, Any, int, int], Any]
    finish: Callable[[Any, Any], Any]
    reads: Callable[[Any], Sequence[str]] = lambda call: ()
    scenarios: bool = True


# Every operation with partial sums, registered by the module that defines it.
OPERATIONS: dict[str, Operation] = {}


def register(name: str, operation: Operation) -> None:
    OPERATIONS[name] = operation


def _operation(name: str) -> Operation:
    if name not in OPERATIONS:
        raise ValueError(f"no partial sums for {name!r}; there are {', '.join(OPERATIONS)}")
    return OPERATIONS[name]


class Call:
    """One call of ``project``, ``value`` or ``cashflows``: ``keywords`` as
    the single-machine function takes them, and ``checked``, those keywords
    checked (every ValueError raised here, before any part runs)."""

    __slots__ = ("operation", "scenarios", "keywords", "checked")

    def __init__(self, operation: str, scenarios: Any, keywords: Mapping[str, Any]) -> None:
        self.operation, self.scenarios, self.keywords = operation, scenarios, dict(keywords)
        self.checked = _operation(operation).check(scenarios, self.keywords)

    @classmethod
    def of(cls, operation: str, scenarios: Any = None, /, **keywords: Any) -> Call:
        """The call with ``keywords`` bound as the single-machine function
        binds them: an unknown keyword refused, the others given defaults."""
        op = _operation(operation)
        leading = (scenarios,) if op.scenarios else ()
        try:
            bound = inspect.signature(op.function).bind(None, *leading, **keywords)
        except TypeError as e:
            raise TypeError(f"{operation}(): {e}") from None
        bound.apply_defaults()
        given = dict(bound.arguments)
        for name in list(given)[: 1 + len(leading)]:  # the loans, and the scenarios
            del given[name]
        return cls(operation, scenarios, given)

    @property
    def per_loan(self) -> bool:
        """Whether the call gives a row per loan: no sums, each part's rows are the call's rows."""
        return bool(self.keywords.get("per_loan", False))

    def columns(self, have: Sequence[str]) -> list[str]:
        """The columns of a book with columns ``have`` that the call reads, in the book's order."""
        wanted = {*FIELDS, *SHAPE, *_operation(self.operation).reads(self)}
        return [name for name in have if name in wanted]

    def run(self, loans: Any, threads: int | None = None) -> Any:
        """The single-machine call on ``loans``, on ``threads`` engine
        threads (a task's share of its worker) unless the call asks for a
        number."""
        keywords = dict(self.keywords)
        if keywords.get("threads") is None:
            keywords["threads"] = threads
        op = _operation(self.operation)
        return op.function(loans, *((self.scenarios,) if op.scenarios else ()), **keywords)

    def threads(self, threads: int | None) -> int:
        asked = self.keywords.get("threads")
        return checks.threads(asked if asked is not None else threads)


class Sums:
    """Columns that add across parts. Run r (a scenario) holds a block of
    ``lengths[r]`` periods for each segment, one after another, in segment
    order; ``keys`` are the key columns' values of each segment (sorted,
    nulls last; none without segments: one segment); ``per_segment``
    columns hold one value a segment."""

    __slots__ = ("keys", "lengths", "columns", "per_segment")

    def __init__(
        self, keys: list[Any], lengths: list[int], columns: dict[str, Any], per_segment: dict[str, Any]
    ) -> None:
        self.keys, self.lengths, self.columns, self.per_segment = keys, lengths, columns, per_segment

    @property
    def segments(self) -> int:
        return len(self.keys[0]) if self.keys else 1

    def runs(self) -> list[tuple[int, int]]:
        """(first row, rows) of each run."""
        out, start = [], 0
        for n in self.lengths:
            out.append((start, self.segments * n))
            start += self.segments * n
        return out


def _plain(key: Any, other: Any) -> Any:
    """A key column ready to join another part's: dictionaries read as
    their values, a column of nulls alone typed as the other part's."""
    pa = require("pyarrow", "combine()")
    if pa.types.is_dictionary(key.type):
        key = key.dictionary_decode()
    if pa.types.is_dictionary(other.type):
        other = other.type.value_type
    else:
        other = other.type
    return key.cast(other) if pa.types.is_null(key.type) else key


def _add(a: Sums, b: Sums) -> Sums:
    """``a`` and ``b`` cell by cell: the segments of both, in key order,
    each run as long as the longer part's; a cell of one part alone is that
    part's, plus zero."""
    np = require("numpy", "combine()")
    pa = require("pyarrow", "combine()")
    keys: list[Any] = []
    into_a: Any = np.zeros(1, np.int64)
    into_b: Any = into_a
    if a.keys:
        joined = [pa.concat_arrays([_plain(x, y), _plain(y, x)]) for x, y in zip(a.keys, b.keys)]
        codes, keys = segment_codes(joined)
        into_a, into_b = codes[: a.segments], codes[a.segments :]
    g = len(keys[0]) if keys else 1
    lengths = [max(x, y) for x, y in zip(a.lengths, b.lengths)]
    columns = {}
    for name, column in a.columns.items():
        out = np.zeros(g * sum(lengths), dtype=column.dtype)
        start = 0
        for n, (sa, na), (sb, nb), la, lb in zip(lengths, a.runs(), b.runs(), a.lengths, b.lengths):
            block = out[start : start + g * n].reshape(g, n)
            block[into_a, :la] = column[sa : sa + na].reshape(a.segments, la)
            block[into_b, :lb] += b.columns[name][sb : sb + nb].reshape(b.segments, lb)
            start += g * n
        columns[name] = out
    per_segment = {}
    for name, values in a.per_segment.items():
        out = np.zeros(g, dtype=values.dtype)
        out[into_a] = values
        out[into_b] += b.per_segment[name]
        per_segment[name] = out
    return Sums(keys, lengths, columns, per_segment)


class Partial:
    """A part's sums, its failures (``index`` the row in the part) and
    ``offset``, the part's first row in the book. ``errors_table`` is the
    native table of a part's failures, kept for a one-part finish only."""

    __slots__ = ("sums", "failures", "offset", "errors_table")

    def __init__(self, sums: Sums, failures: list[Failure], offset: int = 0, errors_table: Any = None) -> None:
        self.sums, self.failures, self.offset, self.errors_table = sums, failures, offset, errors_table

    def __reduce__(self) -> tuple[Any, ...]:
        # The native errors table stays behind: a part that travels is combined.
        return (Partial, (self.sums, self.failures, self.offset))

    def errors(self) -> ErrorTable:
        """The failures, each at its row in the book."""
        moved = [dataclasses.replace(f, index=f.index + self.offset) for f in self.failures]
        native = self.errors_table if self.offset == 0 else None
        return ErrorTable(native, moved)


def combine(a: Partial, b: Partial) -> Partial:
    """The partial of ``a``'s rows and then ``b``'s."""
    shift = b.offset - a.offset
    failures = a.failures + [dataclasses.replace(f, index=f.index + shift) for f in b.failures]
    return Partial(_add(a.sums, b.sums), failures, a.offset)


T = TypeVar("T")


def tree(parts: Sequence[T], combine: Callable[[T, T], T] = combine) -> T:  # type: ignore[assignment]
    """``parts`` combined pairwise up one tree in their order: neighbours,
    then neighbouring pairs, and so on, so a cut into the same parts groups
    every float64 addition the same way, whoever calls ``combine`` (an
    engine may pass its own wrapper of it, such as a delayed one)."""
    if not parts:
        raise ValueError("no parts to combine")
    level = list(parts)
    while len(level) > 1:
        level = [combine(level[i], level[i + 1]) if i + 1 < len(level) else level[i] for i in range(0, len(level), 2)]
    return level[0]


def raise_first(failures: list[Failure], offset: int) -> None:
    """Raises the first of a part's failures, at its row in the book."""
    if failures:
        raise dataclasses.replace(failures[0], index=failures[0].index + offset).error()


def partial(call: Call, loans: Any, *, threads: int | None = None, offset: int = 0) -> Partial:
    """The partial of a part of a book: ``loans`` are its rows, from row
    ``offset`` of the book; ``threads`` the engine threads of the part's
    task unless the call asks for a number. With errors="raise" a failure
    is raised at once, as a ``LoanError`` at its row in the book."""
    if call.per_loan:
        raise ValueError("per_loan=True gives rows per loan, not sums: run the call on each part")
    return _operation(call.operation).partial(call, loans, call.threads(threads), offset)


def _cashflow_partial(call: Call, loans: Any, threads: int, offset: int) -> Partial:
    np = require("numpy", "cashflows()")
    try:
        result = call.run(loans, threads or None)
    except LoanError as e:
        raise LoanError(e.index + offset, e.id, e.code, e.field, e.value, e.reason, e.terms) from None
    t = result.to_numpy()
    columns = {name: np.asarray(t[name], dtype=np.float64) for name in TOTALS}
    columns[LOANS] = np.asarray(t[LOANS], dtype=np.int64)
    return Partial(Sums([], [len(columns[LOANS])], columns, {}), list(result.errors.failures), offset)


def finish(call: Call, p: Partial) -> Any:
    """What the call gives for the combined partial ``p``: a ``Projection``,
    a ``Valuation``, or the cash-flow totals as a pyarrow Table."""
    return _operation(call.operation).finish(call, p)


def _cashflow_table(p: Partial) -> Any:
    np = require("numpy", "cashflows()")
    pa = require("pyarrow", "cashflows()")
    s = p.sums
    return pa.table(
        {
            PERIOD: pa.array(np.arange(s.lengths[0], dtype=np.int32)),
            **{name: pa.array(s.columns[name]) for name in (*TOTALS, LOANS)},
        }
    )


def _cashflow_checks(scenarios: Any, keywords: Mapping[str, Any]) -> Any:
    return types.SimpleNamespace(
        names=[],  # no segments
        skip=checks.skips(keywords["errors"]),
        n_threads=checks.threads(keywords["threads"]),
        strict=checks.strict(keywords["strict"]),
        cents=checks.cents(keywords.get("precision", "binary32")),
    )


register(
    "cashflows",
    # Cash flows and schedules run a loan from its age on its balance: a task carries both.
    Operation(
        cashflows,
        _cashflow_checks,
        _cashflow_partial,
        lambda call, p: _cashflow_table(p),
        reads=lambda call: (AGE, BALANCE),
        scenarios=False,
    ),
)
