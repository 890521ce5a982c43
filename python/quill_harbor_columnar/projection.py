"""Projected cash flows of a book under prepayment and default scenarios.

Each loan's exact binary32 schedule is computed once by the engine, widened
exactly to float64 and run through every scenario; flows are summed per
scenario, segment and period in a fixed order, so the bits do not depend on
the thread count. See ``project``.
"""

from __future__ import annotations

import datetime as _dt
import math
import numbers
from collections.abc import Mapping, Sequence
from typing import Any, Iterator

from ._columns import FIELDS
from ._optional import require as _require

__all__ = ["project", "Projection", "ProjectionStream", "MEASURES", "parse_scenarios"]

# The float64 columns of a projection, in order.
MEASURES = (
    "balance",
    "scheduled_principal",
    "prepaid_principal",
    "defaulted_principal",
    "loss",
    "recovery",
    "interest",
    "cashflow",
)

_PREPAY = ("smm", "cpr", "psa")
_DEFAULT = ("mdr", "cdr", "sda")
_KEYS = (*_PREPAY, *_DEFAULT, "severity", "lag")


# ---------------------------------------------------------------- scenarios


class _Curve:
    """Per-period rates: by projection period (element 0 is period 1) or by
    the loan's age at the period (element A is age A); the last element
    holds beyond the end."""

    __slots__ = ("rates", "by_age")

    def __init__(self, rates: list[float], by_age: bool) -> None:
        self.rates = rates
        self.by_age = by_age


def _annual_to_period(x: float, periods_per_year: int) -> float:
    return 1.0 - (1.0 - x) ** (1.0 / periods_per_year)


def _psa_cpr(speed: float, age: int) -> float:
    return speed / 100.0 * 0.06 * min(age, 30) / 30.0


def _sda_cdr(speed: float, age: int) -> float:
    if age <= 30:
        r = 0.0002 * age
    elif age <= 60:
        r = 0.006
    elif age <= 120:
        r = 0.006 - 0.000095 * (age - 60)
    else:
        r = 0.0003
    return speed / 100.0 * r


def _rates(where: str, key: str, value: Any) -> list[float]:
    """A scalar or a non-empty 1-D sequence of rates in [0, 1]."""
    if isinstance(value, (str, bytes)) or isinstance(value, bool):
        raise ValueError(f"{where}: {key!r} must be a number or a sequence of numbers, not {value!r}")
    if isinstance(value, numbers.Real):
        values = [value]
    else:
        try:
            values = list(value)
        except TypeError:
            raise ValueError(f"{where}: {key!r} must be a number or a sequence of numbers, not {value!r}") from None
        if not values:
            raise ValueError(f"{where}: {key!r} is an empty sequence; give at least one rate")
    out = []
    for v in values:
        if isinstance(v, bool) or not isinstance(v, numbers.Real):
            raise ValueError(f"{where}: {key!r} must hold numbers, not {v!r}")
        f = float(v)
        if not 0.0 <= f <= 1.0:  # also refuses NaN
            raise ValueError(
                f"{where}: {key!r} must be between 0 and 1 (a fraction: 0.08 is 8%), not {v!r}"
            )
        out.append(f)
    return out


def _speed(where: str, key: str, value: Any, periods_per_year: int) -> float:
    if periods_per_year != 12:
        raise ValueError(
            f"{where}: {key!r} is a ramp over the loan's age in months and needs monthly periods "
            f"(periods_per_year=12), not periods_per_year={periods_per_year}; give "
            f"{'cpr' if key == 'psa' else 'cdr'} instead"
        )
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{where}: {key!r} must be a speed in percent (100 is 100%), not {value!r}")
    speed = float(value)
    # The annual rate at the ramp's peak must be a rate.
    peak = speed / 100.0 * (0.06 if key == "psa" else 0.006)
    if not (speed >= 0.0 and peak <= 1.0):
        raise ValueError(
            f"{where}: {key!r} must be a speed in percent between 0 and {100.0 / (0.06 if key == 'psa' else 0.006):g} "
            f"(its annual rate must stay within [0, 1]), not {value!r}"
        )
    return speed


def _curve(where: str, key: str, value: Any, periods_per_year: int) -> _Curve:
    if key in ("smm", "mdr"):
        return _Curve(_rates(where, key, value), False)
    if key in ("cpr", "cdr"):
        return _Curve([_annual_to_period(x, periods_per_year) for x in _rates(where, key, value)], False)
    speed = _speed(where, key, value, periods_per_year)
    if key == "psa":
        return _Curve([_annual_to_period(_psa_cpr(speed, a), 12) for a in range(31)], True)
    return _Curve([_annual_to_period(_sda_cdr(speed, a), 12) for a in range(122)], True)


class _Scenario:
    __slots__ = ("prepay", "default", "severity", "lag")

    def __init__(self, prepay: _Curve | None, default: _Curve | None, severity: float, lag: int) -> None:
        self.prepay = prepay
        self.default = default
        self.severity = severity
        self.lag = lag

    def native(self) -> tuple:
        p = self.prepay or _Curve([], False)
        d = self.default or _Curve([], False)
        return (p.rates, p.by_age, d.rates, d.by_age, self.severity, self.lag)


def _one_scenario(index: int, scenario: Any, periods_per_year: int) -> _Scenario:
    where = f"scenario {index}"
    if not isinstance(scenario, Mapping):
        raise TypeError(f"{where} must be a mapping (a dict of smm/cpr/psa, mdr/cdr/sda, severity, lag), "
                        f"not {type(scenario).__name__}")
    for key in scenario:
        if key not in _KEYS:
            raise ValueError(f"{where}: unknown key {key!r}; the keys are {', '.join(_KEYS)}")
    for group, what in ((_PREPAY, "prepayment"), (_DEFAULT, "default")):
        given = [k for k in group if k in scenario]
        if len(given) > 1:
            raise ValueError(f"{where}: {given[0]!r} and {given[1]!r} both set the {what}; give one of "
                             f"{', '.join(group)}")
    prepay = next((_curve(where, k, scenario[k], periods_per_year) for k in _PREPAY if k in scenario), None)
    default = next((_curve(where, k, scenario[k], periods_per_year) for k in _DEFAULT if k in scenario), None)
    severity = _rates(where, "severity", scenario["severity"])[0] if "severity" in scenario else 0.0
    if "severity" in scenario and not isinstance(scenario["severity"], numbers.Real):
        raise ValueError(f"{where}: 'severity' must be one number between 0 and 1, not {scenario['severity']!r}")
    lag = scenario.get("lag", 0)
    if isinstance(lag, bool) or not isinstance(lag, numbers.Integral) or lag < 0:
        raise ValueError(f"{where}: 'lag' must be an int >= 0 (periods), not {lag!r}")
    lag = int(lag)
    if lag > 2**20:
        raise ValueError(f"{where}: 'lag' of {lag} periods is past any loan's term; give at most {2**20}")
    return _Scenario(prepay, default, severity, lag)


def parse_scenarios(scenarios: Any, periods_per_year: int = 12) -> list[_Scenario]:
    """Checks ``scenarios`` (one mapping or a sequence of them) and turns
    every rate into a per-period curve. Raises ValueError naming the key."""
    if isinstance(scenarios, Mapping):
        items = [scenarios]
    elif isinstance(scenarios, Sequence) and not isinstance(scenarios, (str, bytes)):
        items = list(scenarios)
        if not items:
            raise ValueError("scenarios is empty; give at least one mapping ({} projects the contractual flows)")
    else:
        raise TypeError(f"scenarios must be a mapping or a sequence of mappings, not {type(scenarios).__name__}")
    return [_one_scenario(i, s, periods_per_year) for i, s in enumerate(items)]


def _periods_per_year(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise ValueError(f"periods_per_year must be a positive int, not {value!r}")
    return int(value)


# ---------------------------------------------------------------- dates


def period_dates(as_of: _dt.date, periods: int, periods_per_year: int) -> Any:
    """Dates of periods 0..periods - 1: ``as_of`` advanced by m * 12 /
    periods_per_year calendar months, the day clamped to the month's end."""
    np = _require("numpy", "dates")
    if isinstance(as_of, _dt.datetime):  # a datetime (or a pandas Timestamp): its date
        as_of = as_of.date()
    if not isinstance(as_of, _dt.date):
        raise TypeError(f"as_of must be a datetime.date, not {type(as_of).__name__}")
    if 12 % periods_per_year != 0:
        raise ValueError(
            f"as_of needs periods that are whole calendar months (periods_per_year dividing 12: 1, 2, 3, 4, 6 or 12), "
            f"not periods_per_year={periods_per_year}"
        )
    step = 12 // periods_per_year
    start = np.datetime64(as_of.replace(day=1), "M")
    months = start + np.arange(periods, dtype=np.int64) * step
    first = months.astype("datetime64[D]")
    last = (months + 1).astype("datetime64[D]") - np.timedelta64(1, "D")
    days = np.minimum(np.int64(as_of.day - 1), (last - first).astype(np.int64))
    return first + days.astype("timedelta64[D]")


# ---------------------------------------------------------------- input columns


def _arrow_table(loans: Any) -> Any:
    """Any Arrow-exporting book as a pyarrow Table (without copying Arrow data)."""
    pa = _require("pyarrow", "project() on this input")
    if isinstance(loans, pa.Table):
        return loans
    if isinstance(loans, pa.RecordBatch):
        return pa.Table.from_batches([loans])
    if hasattr(loans, "__arrow_c_stream__"):
        return pa.RecordBatchReader.from_stream(loans).read_all()
    if hasattr(loans, "__arrow_c_array__"):
        return pa.Table.from_batches([pa.record_batch(loans)])
    if hasattr(loans, "fetch_arrow_reader"):  # older duckdb relations
        return loans.fetch_arrow_reader().read_all()
    raise TypeError(
        "loans must be a mapping of column name to array or list, or an object with __arrow_c_stream__ "
        f"or __arrow_c_array__ (pyarrow, polars, pandas, duckdb), not {type(loans).__name__}"
    )


def _arrow_column(loans: Any, name: str) -> Any:
    pa = _require("pyarrow", "project()")
    col = loans[name]
    if isinstance(col, pa.ChunkedArray):
        col = col.combine_chunks() if col.num_chunks != 1 else col.chunk(0)
    elif not isinstance(col, pa.Array):
        if hasattr(col, "__arrow_c_array__") or hasattr(col, "__arrow_c_stream__"):
            col = pa.chunked_array(pa.array(col)) if not hasattr(col, "__arrow_c_array__") else pa.array(col)
        else:
            np = _require("numpy", "project()")
            col = pa.array(np.asarray(col) if not isinstance(col, (list, tuple)) else col)
        if isinstance(col, pa.ChunkedArray):
            col = col.combine_chunks()
    if pa.types.is_dictionary(col.type):
        col = col.dictionary_decode()
    if getattr(pa.types, "is_string_view", lambda _: False)(col.type):
        col = col.cast(pa.large_string())  # polars' text: sortable and matchable once cast
    return col


# An age that is not an integer at all: refused as bad_age, its text quoted
# from the column (the native side has only the number).
_NOT_AN_AGE = -(2**63)


def _ages(col: Any) -> Any:
    """int64 ages; _NOT_AN_AGE where a value is null or not an integer."""
    np = _require("numpy", "project()")
    pa = _require("pyarrow", "project()")
    pc = _require("pyarrow.compute", "project()")
    t = col.type
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        # Text reads by the integer grammar of the text operations: an optional
        # sign and digits, nothing trimmed.
        ok = pc.fill_null(pc.match_substring_regex(col, r"^[+-]?[0-9]{1,18}$"), False)
        text = pc.if_else(ok, col, pa.scalar(str(_NOT_AN_AGE), col.type))
        return np.asarray(pc.cast(text, pa.int64()), dtype=np.int64)
    if pa.types.is_integer(t) or pa.types.is_boolean(t):
        if pa.types.is_unsigned_integer(t) and t.bit_width == 64:
            col = pc.if_else(pc.greater(col, 2**62), 2**62, col)
        return np.asarray(pc.fill_null(pc.cast(col, pa.int64()), _NOT_AN_AGE), dtype=np.int64)
    if pa.types.is_floating(t):
        x = np.asarray(pc.fill_null(pc.cast(col, pa.float64()), math.nan), dtype=np.float64)
        with np.errstate(invalid="ignore"):
            ok = np.isfinite(x) & (np.floor(x) == x) & (np.abs(x) < 2.0**62)
        out = np.full(len(x), _NOT_AN_AGE, dtype=np.int64)
        out[ok] = x[ok].astype(np.int64)
        return out
    raise TypeError(f"column 'age' must hold integers (periods elapsed), not {t}")


def _quote_ages(failures: list, ages: Any, column: Any, row_base: int = 0) -> list:
    """The rows refused for an age that is not an integer, with that value as read."""
    if ages is None:
        return failures
    out = []
    for row in failures:
        index, id_, code, field, value, reason, terms = row
        if code == "bad_age" and value is None and ages[index - row_base] == _NOT_AN_AGE:
            v = column[index - row_base].as_py()
            row = (index, id_, code, field, None if v is None else str(v), reason, terms)
        out.append(row)
    return out


def _segments(columns: list[Any]) -> tuple[Any, list[Any]]:
    """Dense int32 segment codes in sorted order of the key columns' values
    (nulls last, as a segment of their own), and each column's key per segment."""
    np = _require("numpy", "project(by=...)")
    pa = _require("pyarrow", "project(by=...)")
    pc = _require("pyarrow.compute", "project(by=...)")
    codes: Any = None
    uniques: list[Any] = []
    for col in columns:
        u = pc.unique(col)
        u = u.take(pc.array_sort_indices(u, null_placement="at_end"))
        c = np.asarray(pc.index_in(col, value_set=u, skip_nulls=False).fill_null(0), dtype=np.int64)
        codes = c if codes is None else codes * len(u) + c
        uniques.append(u)
    if len(columns) == 1:  # already dense, in sorted order
        return codes.astype(np.int32), uniques
    combos, dense = np.unique(codes, return_inverse=True)
    keys = []
    radix = 1
    for u in reversed(uniques):
        keys.append(u.take(pa.array((combos // radix) % len(u))))
        radix *= len(u)
    keys.reverse()
    return dense.astype(np.int32).reshape(-1), keys


# ---------------------------------------------------------------- results


class Projection:
    """Projected cash flows: a long table with a row per scenario, segment
    and period. Arrow PyCapsule export, ``to_arrow()``, ``to_pandas()``,
    ``to_polars()``; ``summary()``; ``errors`` lists the loans left out."""

    __slots__ = ("_table", "errors", "by", "periods_per_year", "scenarios", "_bounds")

    def __init__(self, table: Any, errors: Any, by: list[str], periods_per_year: int, scenarios: int,
                 bounds: list[tuple[int, int]]) -> None:
        self._table = table
        self.errors = errors
        self.by = by
        self.periods_per_year = periods_per_year
        self.scenarios = scenarios
        self._bounds = bounds  # row spans of each (scenario, segment), in row order

    def __arrow_c_schema__(self) -> Any:
        return self._table.schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self._table.__arrow_c_stream__(requested_schema)

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]:
        pa = _require("pyarrow", "__arrow_c_array__()")
        batch = pa.RecordBatch.from_struct_array(self._table.to_struct_array().combine_chunks()) \
            if self._table.num_rows else pa.RecordBatch.from_pylist([], schema=self._table.schema)
        return batch.__arrow_c_array__(requested_schema)

    def __len__(self) -> int:
        return self._table.num_rows

    @property
    def num_rows(self) -> int:
        return self._table.num_rows

    @property
    def column_names(self) -> list[str]:
        return self._table.column_names

    def to_arrow(self) -> Any:
        """The rows as a pyarrow.Table."""
        return self._table

    def to_pandas(self) -> Any:
        """The rows as a pandas.DataFrame."""
        _require("pandas", "to_pandas()")
        return self._table.to_pandas()

    def to_polars(self) -> Any:
        """The rows as a polars.DataFrame."""
        pl = _require("polars", "to_polars()")
        return pl.from_arrow(self._table)

    def summary(self) -> Any:
        """One row per scenario and segment, as a pandas.DataFrame:
        ``start_balance`` (the balance at period 0), the totals of every flow,
        ``principal`` (scheduled + prepaid + recovery), ``end_balance``,
        ``cumulative_loss`` (loss / start_balance) and ``wal``, the weighted
        average life in years: sum(period * principal) / sum(principal) /
        periods_per_year."""
        np = _require("numpy", "summary()")
        pd = _require("pandas", "summary()")
        t = self._table
        cols = {name: np.asarray(t.column(name)) for name in MEASURES}
        period = np.asarray(t.column("period"), dtype=np.float64)
        starts = np.array([b for b, _ in self._bounds], dtype=np.int64)
        ends = np.array([e for _, e in self._bounds], dtype=np.int64)
        out: dict[str, Any] = {}
        if "scenario" in t.column_names:
            out["scenario"] = np.asarray(t.column("scenario"))[starts] if len(starts) else np.zeros(0, np.int64)
        for name in self.by:
            out[name] = t.column(name).take(starts).to_pandas() if len(starts) else t.column(name).to_pandas()

        def total(x: Any) -> Any:
            # Group sums in row order, one group after another.
            return np.array([math.fsum(x[b:e]) for b, e in self._bounds], dtype=np.float64)

        start_balance = cols["balance"][starts] if len(starts) else np.zeros(0)
        out["start_balance"] = start_balance
        for name in ("scheduled_principal", "prepaid_principal", "defaulted_principal"):
            out[name] = total(cols[name])
        principal = cols["scheduled_principal"] + cols["prepaid_principal"] + cols["recovery"]
        out["principal"] = total(principal)
        out["interest"] = total(cols["interest"])
        out["loss"] = total(cols["loss"])
        out["recovery"] = total(cols["recovery"])
        out["end_balance"] = cols["balance"][ends - 1] if len(ends) else np.zeros(0)
        with np.errstate(invalid="ignore", divide="ignore"):
            out["cumulative_loss"] = out["loss"] / start_balance
            out["wal"] = total(period * principal) / out["principal"] / self.periods_per_year
        return pd.DataFrame(out)

    def __repr__(self) -> str:
        return (f"<Projection scenarios={self.scenarios} by={self.by} rows={self.num_rows} "
                f"failed={len(self.errors)}>")


class ProjectionStream:
    """Per-loan projected flows, batch by batch, as a one-shot Arrow C stream
    (``__arrow_c_stream__``, ``to_reader()``). ``errors`` lists the loans
    left out in the batches read so far."""

    __slots__ = ("_schema", "_batches", "_failures", "_consumed", "_errors_table")

    def __init__(self, schema: Any, batches: Iterator[Any], failures: list, errors_table: Any) -> None:
        self._schema = schema
        self._batches = batches
        self._failures = failures
        self._errors_table = errors_table
        self._consumed = False

    def __arrow_c_schema__(self) -> Any:
        return self._schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self.to_reader().__arrow_c_stream__(requested_schema)

    @property
    def consumed(self) -> bool:
        return self._consumed

    @property
    def errors(self) -> Any:
        return self._errors_table(self._failures)

    def to_reader(self) -> Any:
        """A pyarrow.RecordBatchReader over the stream (consumes it)."""
        pa = _require("pyarrow", "to_reader()")
        if self._consumed:
            raise RuntimeError("this projection stream was already consumed; a stream is read once "
                               "(call project(..., per_loan=True) again)")
        self._consumed = True
        return pa.RecordBatchReader.from_batches(self._schema, self._batches)


# ---------------------------------------------------------------- the operation


def _by_names(by: Any) -> list[str]:
    if by is None:
        return []
    names = [by] if isinstance(by, str) else list(by)
    for n in names:
        if not isinstance(n, str):
            raise TypeError(f"by must name columns (str), not {n!r}")
    if len(set(names)) != len(names):
        raise ValueError(f"by names a column twice: {names}")
    for n in names:
        if n in MEASURES or n in ("scenario", "period", "date"):
            raise ValueError(f"by column {n!r} has the name of an output column; rename it")
    return names


def _inputs(loans: Any, by: list[str], fields: tuple[str, ...]) -> tuple[Any, Any, Any, list[Any]]:
    """(the native source, ages or None, the age column as read, the by columns as Arrow arrays)."""
    if isinstance(loans, Mapping):
        from . import _column

        source = {k: _column(loans[k]) for k in fields if k in loans}
        table: Any = loans
        names = list(loans.keys())
        lengths = {len(loans[k]) for k in fields if k in loans}
        rows = lengths.pop() if len(lengths) == 1 else -1
    else:
        table = _arrow_table(loans)
        source = table.__arrow_c_stream__()
        names = table.column_names
        rows = table.num_rows
    for n in by:
        if n not in names:
            raise ValueError(f"by names column {n!r}, which the loans do not have (they have {', '.join(names)}; "
                             "book() keeps only the engine's columns: add a segment with append_column)")
    age_column = _arrow_column(table, "age") if "age" in names else None
    ages = _ages(age_column) if age_column is not None else None
    by_columns = [_arrow_column(table, n) for n in by]
    for col in ([ages] if ages is not None else []) + by_columns:
        if rows >= 0 and len(col) != rows:
            raise ValueError("the columns of loans differ in length")
    return source, ages, age_column, by_columns


def project(
    loans: Any,
    scenarios: Any,
    *,
    by: str | Sequence[str] | None = None,
    as_of: _dt.date | None = None,
    periods_per_year: int = 12,
    errors: str = "raise",
    threads: int | None = None,
    per_loan: bool = False,
    batch_rows: int = 65536,
) -> Any:
    """Projected cash flows of a book under one or more scenarios.

    ``scenarios``: one mapping or a sequence of them, each with at most one
    of ``smm`` / ``cpr`` / ``psa`` (prepayment), at most one of ``mdr`` /
    ``cdr`` / ``sda`` (default), ``severity`` (0 to 1) and ``lag`` (periods).
    ``by``: input columns to total by. ``as_of``: adds a ``date`` column.
    An optional ``age`` column gives the periods each loan has already run.
    Returns a ``Projection``; with ``per_loan=True``, a ``ProjectionStream``
    of one row per loan, scenario and period, in batches of at most
    ``batch_rows`` rows (whole loans, at least one a batch).
    """
    from . import _errors, _native, _threads

    ppy = _periods_per_year(periods_per_year)
    parsed = parse_scenarios(scenarios, ppy)
    skip = _errors(errors)
    n_threads = _threads(threads)
    names = _by_names(by)
    if as_of is not None:
        period_dates(as_of, 0, ppy)  # checks as_of before any computing
    if per_loan:
        if names:
            raise ValueError("per_loan=True gives one row per loan with its label; by= totals, so give one or the other")
        if isinstance(batch_rows, bool) or not isinstance(batch_rows, int) or batch_rows < 1:
            raise ValueError(f"batch_rows must be a positive int, not {batch_rows!r}")
        return _project_loans(loans, parsed, as_of, ppy, skip, n_threads, batch_rows)

    np = _require("numpy", "project()")
    pa = _require("pyarrow", "project()")
    source, ages, age_column, by_columns = _inputs(loans, names, FIELDS)
    codes: Any = None
    keys: list[Any] = []
    segment_count = 1
    if by_columns:
        codes, keys = _segments(by_columns)
        segment_count = len(keys[0])
        if segment_count == 0:  # no loans: no rows either way
            codes, segment_count = None, 1
    native_scenarios = [s.native() for s in parsed]
    multi = len(parsed) > 1
    table, horizons, failures, errors_table = _native.project(
        source, ages, codes, segment_count, native_scenarios, skip, n_threads,
        _assembly_bytes(multi, bool(names), as_of is not None, keys),
    )
    failed = _failures(errors_table, _quote_ages(failures, ages, age_column))
    if not skip and len(failed):
        raise failed.exceptions()[0]
    assert table is not None  # the native side leaves it out only for a failure raised above

    columns: dict[str, Any] = {}
    lengths = [max(h + 1, 0) for h in horizons]
    scenario, seg_index, period = _long_index(lengths, segment_count, multi, bool(names))
    if scenario is not None:
        columns["scenario"] = pa.array(scenario)
    for name, key in zip(names, keys):
        columns[name] = key.take(pa.array(seg_index))
    del seg_index
    columns["period"] = pa.array(period, type=pa.int32())
    if as_of is not None:
        dates = period_dates(as_of, max(lengths, default=0), ppy)
        columns["date"] = pa.array(dates[period], type=pa.date32())
    for name in MEASURES:
        columns[name] = pa.array(np.asarray(table.column(name)), type=pa.float64())
    bounds = []
    row = 0
    for n in lengths:
        for _ in range(segment_count):
            if n:
                bounds.append((row, row + n))
            row += n
    return Projection(pa.table(columns), failed, names, ppy, len(parsed), bounds)


def _assembly_bytes(multi: bool, labelled: bool, dated: bool, keys: list[Any]) -> int:
    """The bytes ``project`` adds to each output row beside the native measures,
    at most at once: the period (int32), a segment index while the labels are
    taken (int32), the scenario (int64), the date (int64 while indexed, then
    date32) and each label: its share of the keys' bytes (every segment has
    the same rows), twice, as a take of text may grow its buffer by doubling."""
    row = 4 + (4 if labelled else 0) + (8 if multi else 0) + (12 if dated else 0)
    return row + sum(2 * -(-key.nbytes // max(len(key), 1)) for key in keys)


def _long_index(lengths: list[int], segments: int, multi: bool, labelled: bool) -> tuple[Any, Any, Any]:
    """The scenario (int64, or None for one), segment (int32, or None without
    labels) and period (int32) of every row: scenario, then segment, then
    period 0..lengths[scenario] - 1. Each is written once in place: no
    per-scenario pieces concatenated, no second copy of the long columns."""
    np = _require("numpy", "project()")
    total = sum(lengths) * segments
    period = np.empty(total, dtype=np.int32)
    segment = np.empty(total, dtype=np.int32) if labelled else None
    scenario = np.empty(total, dtype=np.int64) if multi else None
    row = 0
    for s, n in enumerate(lengths):
        span = slice(row, row + n * segments)
        period[span].reshape(segments, n)[:] = np.arange(n, dtype=np.int32)
        if segment is not None:
            segment[span].reshape(segments, n)[:] = np.arange(segments, dtype=np.int32)[:, None]
        if scenario is not None:
            scenario[span] = s
        row += n * segments
    return scenario, segment, period


def _project_loans(loans: Any, parsed: list[_Scenario], as_of: Any, ppy: int, skip: bool, n_threads: int,
                   batch_rows: int) -> ProjectionStream:
    np = _require("numpy", "project(per_loan=True)")
    pa = _require("pyarrow", "project(per_loan=True)")
    pc = _require("pyarrow.compute", "project(per_loan=True)")
    from . import _native
    from .errors import ErrorTable

    if isinstance(loans, Mapping):
        from . import _column

        table = pa.table({k: _column(loans[k]) if k in FIELDS else loans[k] for k in loans})
    else:
        table = _arrow_table(loans)
    missing = [f for f in FIELDS[1:] if f not in table.column_names]
    if missing:
        raise ValueError(f"loans has no column {missing[0]!r}")
    table = table.select([c for c in (*FIELDS, "age") if c in table.column_names])
    age_column = _arrow_column(table, "age") if "age" in table.column_names else None
    ages = _ages(age_column) if age_column is not None else None
    has_id = "id" in table.column_names
    ids = _arrow_column(table, "id").cast(pa.string()) if has_id else None
    # Output rows per loan, to cut batches of whole loans within batch_rows.
    pers_column = _arrow_column(table, "pers")
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
    # Added to each native row below: the loan (int64, or int32 codes of the
    # ids), the scenario as int64, the date (int64 while indexed, then date32).
    row_bytes = 8 + (8 if multi else 0) + (12 if as_of is not None else 0)

    fields = [pa.field("loan", pa.dictionary(pa.int32(), pa.string()) if has_id else pa.int64())]
    if multi:
        fields.append(pa.field("scenario", pa.int64()))
    fields.append(pa.field("period", pa.int32()))
    if as_of is not None:
        fields.append(pa.field("date", pa.date32()))
    fields += [pa.field(name, pa.float64()) for name in MEASURES]
    schema = pa.schema(fields)
    failures: list = []

    def batches() -> Iterator[Any]:
        dates = None
        for b, e in zip(cuts[:-1], cuts[1:]):
            if b == e:
                continue
            part = table.slice(b, e - b)
            out, fails, errors_table = _native.project_loans(
                part.__arrow_c_stream__(), None if ages is None else ages[b:e], native_scenarios, skip, n_threads, b,
                row_bytes,
            )
            failed = _failures(errors_table, _quote_ages(fails, ages, age_column))
            failures.extend(failed._rows)
            if not skip and len(failed):
                raise failed.exceptions()[0]
            assert out is not None  # the native side leaves it out only for a failure raised above
            loan = np.asarray(out.column("loan"))
            cols: list[Any] = []
            if ids is not None:
                cols.append(pa.DictionaryArray.from_arrays(pa.array(loan, type=pa.int32()), ids.slice(b, e - b)))
            else:
                cols.append(pa.array(loan + b, type=pa.int64()))
            if multi:
                cols.append(pa.array(np.asarray(out.column("scenario")).astype(np.int64)))
            period = np.asarray(out.column("period"))
            cols.append(pa.array(period, type=pa.int32()))
            if as_of is not None:
                need = int(period.max()) + 1 if len(period) else 0
                if dates is None or len(dates) < need:
                    dates = period_dates(as_of, max(need, 1), ppy)
                cols.append(pa.array(dates[period], type=pa.date32()))
            cols += [pa.array(np.asarray(out.column(name)), type=pa.float64()) for name in MEASURES]
            yield pa.RecordBatch.from_arrays(cols, schema=schema)

    return ProjectionStream(schema, batches(), failures, lambda rows: ErrorTable(None, list(rows)))


def _failures(errors_table: Any, failures: list) -> Any:
    """A call's failures as an ErrorTable: the native table and the rows."""
    from .errors import ErrorTable

    return ErrorTable(errors_table, failures)
