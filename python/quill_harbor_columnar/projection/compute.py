"""``project``: a book's projected cash flows, totalled per scenario, segment and period, or per loan."""

from __future__ import annotations

import dataclasses
import datetime as _dt
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from .. import _native
from .._internal import checks
from .._internal.deps import require
from .._internal.inputs import arrow_column, arrow_table, native_source, plain_column
from .._internal.names import (
    AGE,
    BALANCE,
    FEE,
    FIELDS,
    ID,
    LOAN,
    MEASURES,
    SCENARIO,
    SCENARIO_NAME,
    SHAPE,
    STANDING,
    SUMMED,
)
from ..errors import ErrorTable, Failure
from ..scheduling import Precision
from . import derived
from .ages import ages as read_ages
from .ages import quote_ages
from .assembly import block_rows, long_columns, long_schema, row_bytes
from .dates import as_date, period_dates
from .partials import Call, Operation, Partial, Sums, finish, partial, raise_first, register
from .results import Projection, ProjectionStream
from .scenarios import Scenario, checked_periods_per_year, parse_scenarios, scenario_names
from .segments import by_names, segment_codes
from .standing import amounts, quote_standing, standing

__all__ = ["Checked", "checked", "inputs", "names_column", "project", "project_partial", "projection"]


class Inputs:
    """What the projection calls read of a book: the native source, the ages
    (or None), the age column as read, the by columns as Arrow arrays, and
    the balance and fee columns (their values, and as read)."""

    __slots__ = ("source", "ages", "age_column", "by_columns", "table", "names", "standing", "standing_columns")

    def __init__(
        self, source: Any, ages: Any, age_column: Any, by_columns: list[Any], table: Any, names: list[str]
    ) -> None:
        self.source, self.ages, self.age_column, self.by_columns = source, ages, age_column, by_columns
        self.table, self.names = table, names
        self.standing, self.standing_columns = standing(table, names)

    def quote(self, failures: list) -> list[Failure]:
        """The native side's failures as records, the values it cannot quote quoted as read."""
        return quote_standing(quote_ages(failures, self.ages, self.age_column), self.standing_columns)


def inputs(loans: Any, by: list[str]) -> Inputs:
    if isinstance(loans, Mapping):
        source = native_source(loans)
        table: Any = loans
        names = list(loans.keys())
        lengths = {len(loans[k]) for k in FIELDS if k in loans}
        rows = lengths.pop() if len(lengths) == 1 else -1
    else:
        table = arrow_table(loans, "project()")
        source = table.__arrow_c_stream__()
        names = table.column_names
        rows = table.num_rows
    for n in by:
        if n not in names:
            raise ValueError(
                f"by names column {n!r}, which the loans do not have (they have {', '.join(names)}; "
                "book() keeps only the engine's columns: add a segment with append_column)"
            )
    age_column = arrow_column(table, AGE) if AGE in names else None
    ages = read_ages(age_column) if age_column is not None else None
    by_columns = [arrow_column(table, n) for n in by]
    got = Inputs(source, ages, age_column, by_columns, table, names)
    for col in ([ages] if ages is not None else []) + by_columns + list(got.standing.values()):
        if rows >= 0 and len(col) != rows:
            raise ValueError("the columns of loans differ in length")
    return got


def _raise_first(failed: ErrorTable) -> None:
    if len(failed):
        raise failed.exceptions()[0]


@dataclasses.dataclass(frozen=True)
class Checked:
    """project()'s keywords, checked: every ValueError names its keyword."""

    ppy: int
    parsed: list[Scenario]
    skip: bool
    n_threads: int
    names: list[str]
    as_of: _dt.date | None
    strict: bool
    batch_rows: int = 65536
    cents: bool = False  # precision="cent"


def checked(
    scenarios: Any,
    *,
    by: Any = None,
    as_of: Any = None,
    periods_per_year: Any = 12,
    errors: Any = "raise",
    threads: Any = None,
    per_loan: Any = False,
    batch_rows: Any = 65536,
    strict: Any = True,
    precision: Any = "binary32",
) -> Checked:
    """project()'s keywords checked, before any computing."""
    ppy = checked_periods_per_year(periods_per_year)
    parsed = parse_scenarios(scenarios, ppy)
    skip = checks.skips(errors)
    n_threads = checks.threads(threads)
    strict = checks.strict(strict)
    names = by_names(by)
    if as_of is not None:
        as_of = as_date(as_of)
        period_dates(as_of, 0, ppy)  # checks as_of against the periods before any computing
    if per_loan:
        if names:
            raise ValueError(
                "per_loan=True gives one row per loan with its label; by= totals, so give one or the other"
            )
        checks.positive_int("batch_rows", batch_rows)
    return Checked(ppy, parsed, skip, n_threads, names, as_of, strict, batch_rows, checks.cents(precision))


def project(
    loans: Any,
    scenarios: Any,
    *,
    by: str | Sequence[str] | None = None,
    as_of: _dt.date | str | None = None,
    periods_per_year: int = 12,
    errors: str = "raise",
    threads: int | None = None,
    per_loan: bool = False,
    batch_rows: int = 65536,
    strict: bool = True,
    precision: Precision = "binary32",
) -> Any:
    """Projected cash flows of a book under one or more scenarios.

    ``scenarios``: one mapping or a sequence of them, each with at most one
    of ``smm`` / ``cpr`` / ``psa`` (prepayment), at most one of ``mdr`` /
    ``cdr`` / ``sda`` (default), ``severity`` (0 to 1), ``lag`` (periods) and
    ``name``, a label: once a scenario is named, the rows carry a
    ``scenario_name`` column beside ``scenario`` (null where unnamed).
    ``by``: input columns to total by. ``as_of`` (a date, or an ISO text such
    as ``"2024-12-31"``): adds a ``date`` column.
    An optional ``age`` column gives the periods each loan has already run.
    Returns a ``Projection``; with ``per_loan=True``, a ``ProjectionStream``
    of one row per loan, scenario and period, in batches of at most
    ``batch_rows`` rows (whole loans, at least one a batch). Shaped loans
    (``io_pers``, ``amort_pers``, ``rate_steps``) run their survivors through
    the shaped schedule; ``strict`` and ``precision`` are as for
    ``schedules``: with ``precision="cent"`` the cent schedules are the base,
    and the projected flows, expectations, are not rounded.
    """
    call = Call("project", scenarios, {k: v for k, v in locals().items() if k not in ("loans", "scenarios")})
    c = call.checked
    if per_loan:
        return _project_loans(loans, c.parsed, c.as_of, c.ppy, c.skip, c.n_threads, c.batch_rows, not c.strict, c.cents)
    # The whole book is one part of itself: its partial, finished.
    return finish(call, partial(call, loans))


def project_partial(call: Call, loans: Any, threads: int, offset: int) -> Partial:
    """A part's sums per scenario, segment and period (``partials.partial``), from the native projection."""
    np = require("numpy", "project()")
    a = call.checked
    got = inputs(loans, a.names)
    codes: Any = None
    keys: list[Any] = []
    count = 1
    if got.by_columns:
        codes, keys = segment_codes(got.by_columns)
        count = len(keys[0])
    dated = call.operation == "project" and a.as_of is not None
    named = scenario_names(a.parsed) is not None
    table, horizons, failures, errors_table = _native.project(
        got.source,
        got.ages,
        codes if count else None,
        max(count, 1),
        [s.native() for s in a.parsed],
        a.skip,
        threads,
        got.standing.get(BALANCE),
        got.standing.get(FEE),
        row_bytes(multi=len(a.parsed) > 1, dated=dated, blocks=True, keys=keys, named=named, derived=True),
        a.strict,
        a.cents,
        a.ppy,
    )
    failed = got.quote(failures)
    if not a.skip:
        raise_first(failed, offset)
    assert table is not None  # the native side leaves it out only for a failure raised above
    lengths = [max(h + 1, 0) for h in horizons]
    rows = count * sum(lengths)
    columns = {name: np.asarray(table.column(name))[:rows] for name in SUMMED}
    amt = amounts(got.table, got.names, codes, max(count, 1), [f.index for f in failed])[:count]
    return Partial(Sums(keys, lengths, columns, {"amt": amt}), failed, offset, errors_table)


def projection(call: Call, p: Partial, as_of: Any) -> Projection:
    """The ``Projection`` of a combined partial, its measures formed from the sums."""
    np = require("numpy", "project()")
    pa = require("pyarrow", "project()")
    a, s = call.checked, p.sums
    g = s.segments
    runs = [(start, g, n, scenario) for (start, _), n, scenario in zip(s.runs(), s.lengths, a.parsed)]
    measures = derived.measures(s.columns, runs)
    # Blocks run scenario by scenario, segment by segment; every segment of a
    # scenario runs to the scenario's horizon.
    lengths = np.repeat(np.array(s.lengths, dtype=np.int64), g)
    block, period, spans = block_rows(lengths)
    multi, names_of = len(a.parsed) > 1, scenario_names(a.parsed)
    leading: list[tuple[str, Any]] = []
    scenario = np.floor_divide(block, max(g, 1), dtype=np.int64) if multi or names_of is not None else None
    if multi:
        leading.append((SCENARIO, scenario))
    if names_of is not None:
        leading.append((SCENARIO_NAME, names_column(names_of, scenario)))
    del scenario
    if a.names:
        segment = pa.array(np.remainder(block, max(g, 1)))
        leading += [(name, key.take(segment)) for name, key in zip(a.names, s.keys)]
        del segment
    del block
    columns = long_columns(leading, period, measures, as_of, a.ppy)
    # The original amt of each span's loans, for the summary's loss share.
    amt = s.per_segment["amt"]
    starting = [float(amt[i % g]) for i, n in enumerate(lengths.tolist()) if n]
    return Projection(pa.table(columns), p.errors(), a.names, a.ppy, len(a.parsed), spans, names_of, starting)


def reads(call: Call) -> list[str]:
    """The book's columns a projection reads besides the terms and the shape."""
    return [AGE, *STANDING, *call.checked.names]


def names_column(names: list[str | None], scenario: Any) -> Any:
    """Each row's scenario name, dictionary-encoded (a few names over many rows)."""
    pa = require("pyarrow", "project()")
    np = require("numpy", "project()")
    # Each name once in the dictionary (pandas refuses repeated categories);
    # an unnamed scenario's rows are null.
    distinct = list(dict.fromkeys(n for n in names if n is not None))
    code = np.array([-1 if n is None else distinct.index(n) for n in names], dtype=np.int32)[scenario]
    unnamed = code < 0
    indices = pa.array(np.maximum(code, 0), type=pa.int32(), mask=unnamed if unnamed.any() else None)
    return pa.DictionaryArray.from_arrays(indices, pa.array(distinct, type=pa.string()))


def _project_loans(
    loans: Any,
    parsed: list[Scenario],
    as_of: _dt.date | None,
    ppy: int,
    skip: bool,
    n_threads: int,
    batch_rows: int,
    lenient: bool,
    cents: bool = False,
) -> ProjectionStream:
    np = require("numpy", "project(per_loan=True)")
    pa = require("pyarrow", "project(per_loan=True)")
    pc = require("pyarrow.compute", "project(per_loan=True)")
    if isinstance(loans, Mapping):
        table = arrow_table(
            {k: plain_column(loans[k]) if k in FIELDS else loans[k] for k in loans}, "project(per_loan=True)"
        )
    else:
        table = arrow_table(loans, "project(per_loan=True)")
    missing = [f for f in FIELDS[1:] if f not in table.column_names]
    if missing:
        raise ValueError(f"loans has no column {missing[0]!r}")
    table = table.select([c for c in (*FIELDS, *SHAPE, AGE, *STANDING) if c in table.column_names])
    age_column = arrow_column(table, AGE) if AGE in table.column_names else None
    ages = read_ages(age_column) if age_column is not None else None
    values, standing_columns = standing(table, table.column_names)
    balances, fees = values.get(BALANCE), values.get(FEE)
    has_id = ID in table.column_names
    ids = arrow_column(table, ID).cast(pa.string()) if has_id else None
    # Output rows per loan, to cut batches of whole loans within batch_rows.
    pers_column = arrow_column(table, "pers")
    if pa.types.is_string(pers_column.type) or pa.types.is_large_string(pers_column.type):
        readable = pc.fill_null(pc.match_substring_regex(pers_column, r"^[+-]?[0-9]{1,9}$"), False)
        pers_column = pc.if_else(readable, pers_column, pa.scalar("0", pers_column.type))
    pers = pc.cast(pers_column, pa.float64(), safe=False)
    pers = np.nan_to_num(np.asarray(pc.fill_null(pers, 0.0), dtype=np.float64))
    age = ages if ages is not None else np.zeros(len(pers), np.int64)
    remaining = np.where((age >= 0) & (age < pers), pers - age, 0.0)
    weights = len(parsed) * remaining + sum(s.lag + 1 for s in parsed) * (remaining > 0)
    # Whole loans, as many as stay within batch_rows, at least one a batch.
    ends = np.cumsum(weights)
    cuts = [0]
    while cuts[-1] < len(weights):
        start = cuts[-1]
        before = ends[start - 1] if start else 0.0
        stop = int(np.searchsorted(ends, before + batch_rows, side="right"))
        cuts.append(max(stop, start + 1))
    multi = len(parsed) > 1
    native_scenarios = [s.native() for s in parsed]
    added = row_bytes(multi=multi, dated=as_of is not None, loans=True)

    label_types = [(LOAN, pa.dictionary(pa.int32(), pa.string()) if has_id else pa.int64())]
    if multi:
        label_types.append((SCENARIO, pa.int64()))
    names_of = scenario_names(parsed)
    if names_of is not None:
        label_types.append((SCENARIO_NAME, pa.dictionary(pa.int32(), pa.string())))
    schema = long_schema(label_types, as_of)
    failures: list[Failure] = []

    def batches() -> Iterator[Any]:
        for b, e in zip(cuts[:-1], cuts[1:]):
            if b == e:
                continue
            part = table.slice(b, e - b)
            out, fails, errors_table = _native.project_loans(
                part.__arrow_c_stream__(),
                None if ages is None else ages[b:e],
                native_scenarios,
                skip,
                n_threads,
                b,
                None if balances is None else balances[b:e],
                None if fees is None else fees[b:e],
                added,
                not lenient,
                cents,
                ppy,
            )
            failed = ErrorTable(errors_table, quote_standing(quote_ages(fails, ages, age_column), standing_columns))
            failures.extend(failed.failures)
            if not skip:
                _raise_first(failed)
            assert out is not None  # the native side leaves it out only for a failure raised above
            loan = np.asarray(out.column(LOAN))
            leading: list[tuple[str, Any]] = []
            if ids is not None:
                leading.append(
                    (LOAN, pa.DictionaryArray.from_arrays(pa.array(loan, type=pa.int32()), ids.slice(b, e - b)))
                )
            else:
                leading.append((LOAN, pa.array(loan + b, type=pa.int64())))
            scenario = np.asarray(out.column(SCENARIO)).astype(np.int64) if multi else None
            if scenario is not None:
                leading.append((SCENARIO, pa.array(scenario)))
            if names_of is not None:
                rows = len(np.asarray(out.column("period")))
                leading.append(
                    (
                        SCENARIO_NAME,
                        names_column(names_of, scenario if scenario is not None else np.zeros(rows, np.int64)),
                    )
                )
            measures = {name: out.column(name) for name in MEASURES}
            columns = long_columns(leading, np.asarray(out.column("period")), measures, as_of, ppy)
            yield pa.RecordBatch.from_arrays(list(columns.values()), schema=schema)

    return ProjectionStream(schema, batches(), failures)


def _finish(call: Call, p: Partial) -> Projection:
    return projection(call, p, call.checked.as_of)


def _check(scenarios: Any, keywords: Mapping[str, Any]) -> Checked:
    return checked(scenarios, **keywords)


register("project", Operation(project, _check, project_partial, _finish, reads))
