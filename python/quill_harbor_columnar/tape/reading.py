"""Reading a lender's loan tape into the engine's columns: ``book()``.

A tape names its columns its own way, quotes annual percentages, writes
amounts with thousands separators and currency signs, payment frequencies as
words and loan ages as dates. ``book()`` maps the names, turns rates into
rates per period (in float64, the nominal convention: annual / periods per
year), frequency words into periods between payments and dates into ages, and
hands back a pyarrow Table of the columns the engine reads (and the tape
columns asked to be kept). A tape already in engine units passes through with
the same bits: numbers are not touched, and decimal text is rounded so that
the engine's one narrowing to binary32 gives the value the engine would have
parsed from the text itself.

Rows that cannot be read are row failures with a code and a field, under the
same ``errors=`` rule as the engine's own failures. A tape whose rates are
implausible in the unit they were read in is refused whole.
"""

from __future__ import annotations

import copy
import datetime as _dt
import json
import os
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from .._internal import checks
from .._internal.deps import require
from .._internal.inputs import arrow_table
from .._internal.names import FIELDS as ENGINE_FIELDS
from .._internal.names import PAYMENTS_PER_YEAR
from ..errors import ErrorTable, LoanError
from . import dates, numbers, texts
from .columns import Rows, amounts, frequencies, ints, is_text, optional_ints, plain, rates
from .files import RowNumbers, Tape, kind_of
from .periods import OwnPeriods, per_period
from .rates import ImplausibleRates, RateCheck, first_refusal
from .steps import NO_LOAN, RateSteps, steps_type
from .words import FREQUENCY_WORDS  # noqa: F401 - the command lists the words

# The shape's optional whole-number fields: a null, or an empty cell, is the default.
SHAPE_FIELDS = ("io_pers", "amort_pers")
# age, the shape, and the book as it stands: the current balance and the servicing fee.
OUTPUT_FIELDS = (*ENGINE_FIELDS, "age", *SHAPE_FIELDS, "balance", "fee")
# What a tape may map: the columns above, and the remaining term, which gives the age (pers - remaining).
TAPE_FIELDS = (*OUTPUT_FIELDS, "remaining", PAYMENTS_PER_YEAR)
REQUIRED = ENGINE_FIELDS[1:]
RATE_UNITS = ("per-period", "annual", "annual-percent")
# How numeric frequencies read: periods between payments, or payments a year (as words always read).
FREQUENCY_UNITS = ("periods", "payments-per-year")
# The forms of age_from: the date a loan was made, or the date of its first payment.
AGE_FROM = ("origination", "first-payment")

# The schema metadata keys under which errors="skip" keeps the rows it
# dropped, and a CSV tape the lines its rows start on.
FAILURES_KEY = b"quill_harbor.book.failures"
LINES_KEY = b"quill_harbor.book.lines"
# A numeric frequency of 12 on a term this long is more likely 12 payments a year than one every 12 periods.
LONG_TERM = 120


def age_from_form(age_from: str, have: Sequence[str]) -> tuple[str, str]:
    """(form, column) of an ``age_from``: ``"COLUMN"`` or ``"origination=COLUMN"`` (the loan's date),
    ``"first-payment=COLUMN"`` (its first payment's date). A column named with an ``=`` is itself."""
    form, sep, column = age_from.partition("=")
    if sep and form.strip() in AGE_FROM and age_from not in have:
        return form.strip(), column.strip()
    return "origination", age_from


class Spec:
    """Where each engine field comes from, how its values read, and which
    tape columns are kept as they are.

    ``age_kind`` says how the ``age`` source reads: None (whole periods), "origination" or
    "first-payment" (a date, counted to ``as_of``), or "remaining" (the remaining term).
    """

    def __init__(
        self,
        columns: Mapping[str, str] | None,
        rate_unit: str,
        periods_per_year: int,
        available: Sequence[str],
        *,
        decimal: str = ".",
        age_from: str | None = None,
        as_of: Any = None,
        remaining: str | None = None,
        frequency_unit: str = "periods",
        keep: Sequence[str] | None = None,
        exact_amounts: bool = False,
    ) -> None:
        # Cent mode: an amount keeps the double nearest its text, which is
        # on its cent; a binary32 neighbour (what a text halfway between two
        # takes otherwise) would move it off.
        self.exact_amounts = exact_amounts
        if rate_unit not in RATE_UNITS:
            raise ValueError(f"rate_unit must be one of {', '.join(map(repr, RATE_UNITS))}, not {rate_unit!r}")
        if frequency_unit not in FREQUENCY_UNITS:
            raise ValueError(
                f"frequency_unit must be one of {', '.join(map(repr, FREQUENCY_UNITS))}, not {frequency_unit!r}"
            )
        if isinstance(periods_per_year, bool) or not isinstance(periods_per_year, int) or periods_per_year < 1:
            raise ValueError(f"periods_per_year must be a positive int, not {periods_per_year!r}")
        self.decimal = numbers.check_decimal(decimal)
        columns = dict(columns or {})
        unknown = [k for k in columns if k not in TAPE_FIELDS]
        if unknown:
            raise ValueError(f"columns maps unknown field {unknown[0]!r}; the fields are {', '.join(TAPE_FIELDS)}")
        for field, source in [*columns.items(), ("remaining", remaining), ("age_from", age_from)]:
            if source is not None and not isinstance(source, str):
                raise TypeError(f"{field} must be a column name (str), not {type(source).__name__}")
        have = list(available)
        if remaining is not None:
            if columns.get("remaining", remaining) != remaining:
                raise ValueError("remaining and columns['remaining'] name two columns; give one")
            columns["remaining"] = remaining
        self.as_of: _dt.date | None = None
        self.months_per_period = 0
        self.age_kind: str | None = None
        given = [
            n
            for n, v in (
                ("columns['age']", "age" in columns),
                ("age_from", age_from is not None),
                ("remaining", "remaining" in columns),
            )
            if v
        ]
        if len(given) > 1:
            raise ValueError(f"{given[0]} and {given[1]} both give the age: give one, not both")
        age_name = "age"
        if age_from is not None:
            if as_of is None:
                raise ValueError("age_from needs as_of, the date the ages are counted to")
            self.months_per_period = dates.check_periods(periods_per_year)
            self.as_of = dates.as_of_date(as_of)
            self.age_kind, columns["age"] = age_from_form(age_from, have)
            age_name = "age_from"
        elif as_of is not None:
            raise ValueError("as_of is the date ages are counted to from age_from's dates; give age_from too")
        elif "remaining" in columns:
            self.age_kind, columns["age"] = "remaining", columns["remaining"]
            age_name = "remaining"
        columns.pop("remaining", None)
        self.sources: dict[str, str] = {}
        for field in OUTPUT_FIELDS:
            source = columns.get(field, field)
            if source in have:
                self.sources[field] = source
            elif field in columns or field in REQUIRED:
                named = age_name if field == "age" else field
                raise ValueError(
                    f"the tape has no column {source!r}"
                    + (f" (for {named})" if source != named else "")
                    + f"; its columns are: {', '.join(have) if have else '(none)'}"
                )
        # A tape that says each loan's payments a year: read, and given out with the derived ones.
        own_source = columns.get(PAYMENTS_PER_YEAR, PAYMENTS_PER_YEAR)
        if own_source in have:
            self.sources[PAYMENTS_PER_YEAR] = own_source
        elif PAYMENTS_PER_YEAR in columns:
            raise ValueError(f"the tape has no column {own_source!r}; its columns are: {', '.join(have)}")
        self.keep = _kept(keep, have, [f for f in self.sources])
        self.rate_unit = rate_unit
        self.periods_per_year = periods_per_year
        self.frequency_unit = frequency_unit

    @property
    def source_columns(self) -> list[str]:
        """Tape columns to read, each once (one column may feed two fields, or be kept too)."""
        return list(dict.fromkeys([*self.sources.values(), *self.keep]))

    def schema(self, tape_schema: Any = None) -> Any:
        """The engine columns, then the kept ones with their types in ``tape_schema``."""
        pa = require("pyarrow", "book()")
        types = {
            "id": pa.string(),
            "amt": pa.float64(),
            "rate": pa.float64(),
            "pers": pa.int32(),
            "int_freq": pa.int32(),
            "cap_freq": pa.int32(),
            "age": pa.int32(),
            "io_pers": pa.int32(),
            "amort_pers": pa.int32(),
            "balance": pa.float64(),
            "fee": pa.float64(),
        }
        fields = [pa.field(f, types[f]) for f in OUTPUT_FIELDS if f in self.sources]
        if self.keep:
            if tape_schema is None:
                raise ValueError("keeping tape columns needs the tape's schema")
            fields += [tape_schema.field(c) for c in self.keep]
        return pa.schema(fields)

    def reason(self, code: str) -> str:
        return texts.reason(code, self.decimal, self.periods_per_year)


def _kept(keep: Sequence[str] | None, have: list[str], outputs: list[str]) -> list[str]:
    if keep is None:
        return []
    if isinstance(keep, str):
        keep = [keep]
    names = list(keep)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"keep names tape columns (str), not {name!r}")
        if name not in have:
            raise ValueError(
                f"keep names column {name!r}, which the tape does not have; its columns are: "
                f"{', '.join(have) if have else '(none)'}"
            )
        if name in outputs:
            raise ValueError(
                f"keep names column {name!r}, which is also a column book() makes; the tape's "
                "column would be lost under it"
            )
    if len(set(names)) != len(names):
        raise ValueError(f"keep names a column twice: {names}")
    return names


def read_rate_steps(source: Any, spec: Spec, delimiter: str | None = None) -> RateSteps:
    """A table or file of steps (the tape's id column, per, rate) read in the tape's units and its own decimal
    mark; ``checked`` on the result says whether their rates are plausible in that unit."""
    np = require("numpy", "book()")
    table = _table_of(source, delimiter)
    id_name = spec.sources.get("id")
    if id_name is None:
        raise ValueError("rate_steps joins steps to loans by id, and the tape has no id column")
    id_name = id_name if id_name in table.column_names else "id"
    missing = [c for c in (id_name, "per", "rate") if c not in table.column_names]
    if missing:
        raise ValueError(f"the rate steps have no column {missing[0]!r}; they need {id_name}, per and rate")
    n = table.num_rows
    rows = Rows(n)
    ids = plain(table.column(id_name))
    raw_per = plain(table.column("per"))
    per = ints(raw_per, "rate_steps", "per", rows)
    per_bad = rows.failed.copy()
    raw = plain(table.column("rate"))
    own = copy.copy(spec)
    own.decimal = _written_decimal(raw, spec.decimal)
    as_read, rate, signed = rates(raw, "rate_steps", "rate", rows, own)
    code = np.full(n, "", dtype=object)
    for mask, c, _, _ in rows.found:
        code[mask] = "bad_shape" if c == "null" else c
    bad = {int(i): str(code[i]) for i in np.flatnonzero(rows.failed)}
    text = ids.cast(require("pyarrow", "book()").string()).to_pylist()
    # Each step that does not read, as written, and the column that does not read.
    written = {i: (raw_per[i].as_py(), raw[i].as_py(), "per" if per_bad[i] else "rate") for i in bad}
    steps = RateSteps(text, per, rate, bad, written)
    steps.as_read = as_read
    steps.check = RateCheck(spec.rate_unit, spec.periods_per_year)
    steps.check.observe(as_read, rate, raw, 0, signed)
    return steps


def _written_decimal(rate: Any, decimal: str) -> str:
    """The decimal mark a file of steps writes its rates with: the one every marked rate uses (a file whose
    fields a comma separates writes a dot, or a quoted comma), else the tape's."""
    pc = require("pyarrow.compute", "book()")
    if not is_text(rate.type):
        return decimal
    comma, dot = (bool(pc.any(pc.fill_null(pc.match_substring(rate, m), False)).as_py()) for m in (",", "."))
    return "," if comma and not dot else "." if dot and not comma else decimal


def steps_refusal(
    steps: RateSteps | None, source: Any, spelling: Mapping[str, str] = texts.PYTHON
) -> ImplausibleRates | None:
    """The refusal of steps whose rates are implausible in the tape's unit, their rows numbered as a person
    finds them in the steps' own file."""
    if steps is None or steps.check is None:
        return None
    return steps.check.refusal("rate of the rate steps", row_numbers(source, len(steps.ids)), spelling)


def _blank_is_zero(column: Any) -> Any:
    """A fee column whose empty cells (and nulls) are no fee: 0."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    if is_text(column.type):
        blank = pc.fill_null(pc.equal(pc.utf8_trim_whitespace(column), ""), True)
        return pc.if_else(blank, pa.scalar("0", column.type), column)
    if pa.types.is_null(column.type):
        return pa.array([0.0] * len(column), pa.float64())
    return pc.fill_null(column, pa.scalar(0, column.type))


class Converter:
    """Turns tape batches into engine batches, row failures kept apart.

    ``checks`` see every batch's rates and fees, so that after the last batch it
    knows whether they are plausible in their unit (``refusal``). ``tape_schema``
    gives the types of the kept columns. With ``steps``, each loan's rate steps
    join it as its rate_steps column. ``twelves`` counts the loans whose numeric
    frequency 12 is read as one payment every 12 periods on a term of 120 periods
    or more (``twelve``: the first one's tape row).
    """

    def __init__(self, spec: Spec, tape_schema: Any = None, steps: RateSteps | None = None) -> None:
        self.spec = spec
        self.steps = steps
        self.schema = spec.schema(tape_schema)
        if steps is not None:
            self.schema = self.schema.append(require("pyarrow", "book()").field("rate_steps", steps_type()))
        # Each loan in its own payment periods.
        at = self.schema.get_field_index("cap_freq") + 1
        pa = require("pyarrow", "book()")
        self.schema = self.schema.insert(at, pa.field(PAYMENTS_PER_YEAR, pa.int32()))
        self.rates = RateCheck(spec.rate_unit, spec.periods_per_year)
        self.fees = RateCheck(spec.rate_unit, spec.periods_per_year, fractions=False)
        self.twelves = 0
        self.twelve: int | None = None

    @property
    def high(self) -> bool:
        """Whether a rate or fee seen so far is above 1 (100%): the tape is refused whatever follows."""
        return bool(self.rates.high or self.fees.high)

    def refusal(
        self, row_number: Callable[[int], int] = lambda i: i, spelling: Mapping[str, str] = texts.PYTHON
    ) -> ImplausibleRates | None:
        """The refusal of the rates, then the fees, seen so far, or None."""
        checks = {self.spec.sources["rate"]: self.rates}
        if "fee" in self.spec.sources:
            checks.setdefault(self.spec.sources["fee"], self.fees)
        return first_refusal(checks, row_number, spelling)

    def convert(self, batch: Any, offset: int) -> tuple[Any, list[tuple]]:
        """(engine columns with failing rows dropped, failure rows with tape indices from ``offset``)."""
        pa = require("pyarrow", "book()")
        np = require("numpy", "book()")
        spec = self.spec
        n = batch.num_rows
        rows = Rows(n)
        cols = {field: plain(batch.column(source)) for field, source in spec.sources.items()}
        out: dict[str, Any] = {}
        ids = None
        if "id" in cols:
            ids = cols["id"] if pa.types.is_string(cols["id"].type) else cols["id"].cast(pa.string())
            rows.add(np.asarray(ids.is_null()), "null", "id", cols["id"])
        amt = amounts(cols["amt"], "amt", spec.sources["amt"], rows, spec)
        as_read, rate, signed = rates(cols["rate"], "rate", spec.sources["rate"], rows, spec)
        self.rates.observe(as_read, rate, cols["rate"], offset, signed)
        terms = {"pers": ints(cols["pers"], "pers", spec.sources["pers"], rows, decimal=spec.decimal)}
        numeric = {}
        for field in ("int_freq", "cap_freq"):
            terms[field], numeric[field] = frequencies(
                cols[field],
                field,
                spec.sources[field],
                rows,
                spec.periods_per_year,
                spec.decimal,
                spec.frequency_unit == "payments-per-year",
            )
        if spec.frequency_unit == "periods":
            self._count_twelves(terms, numeric, rows, offset)
        if "age" in cols:
            age = self._ages(cols["age"], terms, rows)
            rows.add(~rows.failed & ((age < 0) | (age >= terms["pers"])), "bad_age", "age", cols["age"])
        shape = {f: optional_ints(cols[f], f, spec.sources[f], rows) for f in SHAPE_FIELDS if f in cols}
        # Payments a year the tape gives a loan: its terms, age and shape are then in its own periods
        # already, its rate per its own period (or a year's rate over them); a null is as if not given.
        stated = None
        if PAYMENTS_PER_YEAR in cols:
            stated = optional_ints(cols[PAYMENTS_PER_YEAR], PAYMENTS_PER_YEAR, spec.sources[PAYMENTS_PER_YEAR], rows)
        if self.steps is not None:
            steps, bad_steps = self.steps.column(ids, terms["pers"], terms["int_freq"], terms["cap_freq"])
            text: list[str | None] = [None] * n
            for r, _, v in bad_steps:
                text[r] = v
            for code in sorted({c for _, c, _ in bad_steps}):
                mask = np.zeros(n, dtype=bool)
                mask[[r for r, c, _ in bad_steps if c == code]] = True
                rows.add(mask, code, "rate_steps", pa.array(text, pa.string()))
        # The fee is in the rate's unit; the projection checks both against the rate.
        standing = {}
        if "balance" in cols:
            standing["balance"] = amounts(cols["balance"], "balance", spec.sources["balance"], rows, spec)
        if "fee" in cols:
            fee = _blank_is_zero(cols["fee"])
            fee_read, standing["fee"], _ = rates(fee, "fee", spec.sources["fee"], rows, spec)
            self.fees.observe(fee_read, standing["fee"], cols["fee"], offset)
        failures = rows.rows(offset, ids, spec.reason)
        keep = ~rows.failed
        everything = not failures
        per_year = spec.frequency_unit == "payments-per-year"
        worded = np.ones(n, bool) if per_year else ~numeric["int_freq"] & ~numeric["cap_freq"]
        given = np.zeros(n, bool) if stated is None else ~stated[1]
        own = OwnPeriods(spec.periods_per_year, terms, worded & ~given, keep, shape)
        for field in ("pers", "int_freq", "cap_freq"):
            terms[field] = own.whole(terms[field])
        if "age" in cols:
            age = own.whole(age)
        shape = {f: (own.whole(values), null) for f, (values, null) in shape.items()}
        rate = np.where(own.own, per_period(as_read, spec.rate_unit, rate, own.per_year, own.step), rate)
        if stated is not None:  # the loan's own period rate as read; a year's rate over its payments
            rate = np.where(given, per_period(as_read, spec.rate_unit, as_read, stated[0], 1), rate)
        if "fee" in standing:
            fee = standing["fee"]
            standing["fee"] = np.where(own.own, per_period(fee_read, spec.rate_unit, fee, own.per_year, own.step), fee)
            if stated is not None:
                standing["fee"] = np.where(
                    given, per_period(fee_read, spec.rate_unit, fee_read, stated[0], 1), standing["fee"]
                )
        if self.steps is not None:
            assert ids is not None  # steps join loans by id
            read_of = self.steps.read_of
            steps = own.steps(steps, spec.rate_unit, lambda row: read_of(ids[row].as_py()))
        column = own.column()
        if stated is not None:
            column = pa.array(
                np.where(given, stated[0], own.per_year).astype(np.int32), pa.int32(), mask=~(own.own | given)
            )
        out[PAYMENTS_PER_YEAR] = column if everything else column.filter(pa.array(keep))
        if ids is not None:
            out["id"] = ids if everything else ids.filter(pa.array(keep))
        out["amt"] = pa.array(amt if everything else amt[keep], pa.float64())
        out["rate"] = pa.array(rate if everything else rate[keep], pa.float64())
        for field in ("pers", "int_freq", "cap_freq"):
            out[field] = pa.array((terms[field] if everything else terms[field][keep]).astype(np.int32), pa.int32())
        if "age" in cols:
            out["age"] = pa.array((age if everything else age[keep]).astype(np.int32), pa.int32())
        for name in spec.keep:
            column = batch.column(name)
            out[name] = column if everything else column.filter(pa.array(keep))
        for f, (values, null) in shape.items():
            out[f] = (
                pa.array(values.astype(np.int32), pa.int32(), mask=null)
                if everything
                else pa.array(values[keep].astype(np.int32), pa.int32(), mask=null[keep])
            )
        if self.steps is not None:
            out["rate_steps"] = steps if everything else steps.filter(pa.array(keep))
        for name, values in standing.items():
            out[name] = pa.array(values if everything else values[keep], pa.float64())
        return pa.RecordBatch.from_arrays([out[f] for f in self.schema.names], schema=self.schema), failures

    def _ages(self, column: Any, terms: dict[str, Any], rows: Rows) -> Any:
        """Each row's age in periods: a whole number; the whole periods from its origination date to as_of;
        from its first payment's date, the periods of the payments made, that date's own included (the
        whole periods from it to as_of, and the int_freq periods before it, since the loan began one
        payment earlier); or pers less its remaining term."""
        np = require("numpy", "book()")
        spec = self.spec
        if spec.as_of is None:
            age = ints(column, "age", spec.sources["age"], rows, decimal=spec.decimal)
            return terms["pers"] - age if spec.age_kind == "remaining" else age
        rows.add(np.asarray(column.is_null()), "null", "age", column)
        age, dated = dates.ages(column, spec.sources["age"], spec.as_of, spec.months_per_period)
        rows.add(~dated, "bad_date", "age", column)
        return age + terms["int_freq"] if spec.age_kind == "first-payment" else age

    def _count_twelves(self, terms: dict[str, Any], numeric: dict[str, Any], rows: Rows, offset: int) -> None:
        np = require("numpy", "book()")
        long = ~rows.failed & (terms["pers"] >= LONG_TERM)
        twelve = long & (
            (numeric["int_freq"] & (terms["int_freq"] == 12)) | (numeric["cap_freq"] & (terms["cap_freq"] == 12))
        )
        found = np.flatnonzero(twelve)
        if len(found):
            self.twelves += len(found)
            if self.twelve is None:
                self.twelve = offset + int(found[0])


def tape_row_mapper(dropped: Sequence[int]) -> Callable[[Any], Any]:
    """Maps row indices of a converted book back to tape rows, given the sorted
    tape rows that were dropped: kept row k is tape row k + (dropped rows before it)."""
    np = require("numpy", "book()")
    d = np.asarray(dropped, dtype=np.int64)
    shifted = d - np.arange(len(d), dtype=np.int64)

    def to_tape(indices: Any) -> Any:
        k = np.asarray(indices, dtype=np.int64)
        return k + np.searchsorted(shifted, k, side="right")

    return to_tape


# ---------------------------------------------------------------- sources


def _table_of(source: Any, delimiter: str | None = None) -> Any:
    if isinstance(source, (str, os.PathLike)):
        tape = Tape(os.fspath(source), delimiter=delimiter)
        return tape.read_all(tape.names)
    return arrow_table(source, "book()", paths=True)


def _loan_error(row: tuple) -> Exception:
    return LoanError(*row)


def orphan_failures(steps: RateSteps | None, ppy: int) -> list[tuple]:
    """Failure rows of the steps whose id names no loan handed out: no tape row holds them."""
    return [
        (NO_LOAN, loan_id, "bad_shape", "rate_steps", text, texts.reason("bad_shape", ".", ppy), None)
        for loan_id, text in (steps.orphans() if steps is not None else [])
    ]


def book(
    source: Any,
    *,
    columns: Mapping[str, str] | None = None,
    rate_unit: str = "per-period",
    periods_per_year: int = 12,
    errors: str = "raise",
    decimal: str = ".",
    age_from: str | None = None,
    as_of: Any = None,
    remaining: str | None = None,
    frequency_unit: str = "periods",
    keep: Sequence[str] | None = None,
    allow_high_rates: bool = False,
    rate_steps: Any = None,
    precision: str = "binary32",
) -> Any:
    """A loan tape as the engine's columns: a pyarrow Table of ``id`` (string,
    when the tape has one), ``amt`` and ``rate`` (float64, rate per period),
    ``pers``, ``int_freq`` and ``cap_freq`` (int32), ``age`` (int32) when the
    tape has one or ``age_from`` makes it, ``balance`` (float64, the current
    principal balance) and ``fee`` (float64, the servicing fee, converted like
    the rate) when the tape has them, then the ``keep`` columns as they are.
    Every other function accepts it.

    ``source``: anything ``schedules`` reads, or a CSV, Parquet (file or
    folder) or Arrow IPC path. ``columns`` maps engine names to the tape's
    (``{"amt": "principal", ...}``; one tape column may feed two fields).

    How values read:

    - ``amt``: numbers, or text such as ``250000``, ``250,000.00``,
      ``$250,000``, ``(250,000.00)`` (an accounting negative) or
      ``-$1,200``; the signs $ € £ ¥ go before or after the number.
      ``decimal=","`` reads European tapes: ``250.000,00``, ``250 000,00 €``
      (``.`` or a space groups the thousands, ``,`` is the decimal mark).
      Thousands separators must group digits by three.
    - ``rate``: a plain number with the tape's decimal mark (``6.125``, or
      ``6,125`` with ``decimal=","``), and a trailing ``%`` with
      ``rate_unit="annual-percent"``. ``rate_unit``: ``"per-period"``,
      ``"annual"`` (divided by ``periods_per_year``) or ``"annual-percent"``
      (divided by 100, then by ``periods_per_year``), in float64.
    - ``pers``, ``int_freq``, ``cap_freq``, ``age``: whole numbers, also
      with a zero fraction (``360.0``; ``360.5`` is refused).
      ``int_freq`` and ``cap_freq`` also take frequency words and their
      abbreviations, in any case, spaces and hyphens aside: M, Mo, Month,
      Monthly; Q, Qtr, Quarterly; S, SA, Semi-Annual, Semiannual, Semi
      Annually; A, Y, Annual, Annually, Yearly; and Semi-Monthly, Biweekly,
      Fortnightly, Weekly where ``periods_per_year`` allows them. A number
      is the periods between payments, or with
      ``frequency_unit="payments-per-year"`` the payments a year (12, 4, 2,
      1). A numeric 12 read as one payment every 12 periods on a term of
      120 periods or more warns once (UserWarning).
    - ``age_from`` names a date column and ``as_of`` (a date, or an ISO text
      such as ``"2024-12-31"``) the date to count to (periods must be whole
      months: ``periods_per_year`` dividing 12). ``age_from="COLUMN"`` (or
      ``"origination=COLUMN"``), the date each loan was made: ``age`` is the
      whole periods from it to ``as_of``. ``"first-payment=COLUMN"``, the
      date of its first payment: ``age`` counts the payments made, that
      date's own included (the whole periods from it, and the ``int_freq``
      periods before it). Dates read as ISO (``2024-01-31``), ``M/D/YYYY``
      or ``M/D/YY`` (``1/31/2024``, ``3/15/19``), ``DD-Mon-YY``
      (``15-Mar-19``), ``YYYYMM`` (``202401``, text or number: the first of
      the month), Excel serial day numbers (``43539``, a number or a text of
      up to five digits), or as Arrow dates and timestamps.
    - ``remaining`` names a column of remaining terms (or
      ``columns={"remaining": ...}``): ``age`` is ``pers`` less it.
    - ``fee``: in the rate's unit; an empty cell is no fee (0).

    ``keep`` names tape columns carried through unchanged, after the engine
    columns (``project(book(tape, keep=["Product"]), by="Product")``).

    A tape whose rates are implausible in ``rate_unit`` is refused whole with
    ImplausibleRates (a ValueError): rates above 1 (100%) per period (a
    year, with ``"annual"``); with ``"per-period"``, rates mostly above 50%
    a year, which look like yearly fractions; with ``"annual-percent"``
    rates mostly below 1 written without a % sign, which look like
    fractions. Step rates are held to the same, and fees to the first two.
    ``allow_high_rates=True`` keeps the rates as read.

    ``io_pers`` and ``amort_pers`` (int32, a null the default) come along
    when the tape has them (or ``columns`` maps them). ``rate_steps``: a
    path or table of steps with the tape's id column, ``per`` and ``rate``
    (in ``rate_unit``), joined to the loans as a ``rate_steps`` column; see
    docs/shapes.md.

    ``errors="raise"`` raises LoanError for the earliest row that cannot be
    read; ``"skip"`` drops those rows and records them, with their tape rows,
    for ``book_errors(table)``. A tape row is numbered where a person finds
    it: in a CSV file, its line in an editor (the header is line 1; blank
    lines and the lines of a quoted value count); otherwise its position from 0.
    ``precision="cent"``: for ``schedules(..., precision="cent")``, every
    amount the double nearest its text, so on its cent (by default an amount
    halfway between two binary32 values takes the one the engine's reading
    of the text gives).
    """
    pa = require("pyarrow", "book()")
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    table = _table_of(source)
    spec = Spec(
        columns,
        rate_unit,
        periods_per_year,
        table.column_names,
        decimal=decimal,
        age_from=age_from,
        as_of=as_of,
        remaining=remaining,
        frequency_unit=frequency_unit,
        keep=keep,
        exact_amounts=checks.cents(precision),
    )
    steps = None if rate_steps is None else read_rate_steps(rate_steps, spec)
    refusal = None if allow_high_rates else steps_refusal(steps, rate_steps)
    if refusal is not None:
        raise refusal
    converter = Converter(spec, table.schema, steps)
    needed = table.select(spec.source_columns)
    batch = needed.combine_chunks().to_batches()
    merged = pa.concat_batches(batch) if len(batch) > 1 else (batch[0] if batch else None)
    if merged is None:
        empty = pa.RecordBatch.from_pylist([], schema=pa.schema([needed.schema.field(c) for c in needed.column_names]))
        merged = empty
    result, failures = converter.convert(merged, 0)
    numbering = row_numbers(source, table.num_rows)
    refusal = None if allow_high_rates else converter.refusal(numbering.of)
    if refusal is not None:
        raise refusal
    if converter.twelve is not None:
        warnings.warn(
            texts.twelves(converter.twelves, numbering.of(converter.twelve), spec.sources["int_freq"]),
            UserWarning,
            stacklevel=2,
        )
    failures = orphan_failures(converter.steps, periods_per_year) + failures
    if failures and errors == "raise":
        first = failures[0]
        raise _loan_error((first[0] if first[0] == NO_LOAN else numbering.of(first[0]), *first[1:]))
    out = pa.Table.from_batches([result], schema=converter.schema)
    meta = {}
    if failures:
        meta[FAILURES_KEY] = json.dumps([list(r[:6]) for r in failures]).encode()
    if numbering.breaks is not None:
        meta[LINES_KEY] = json.dumps(numbering.breaks).encode()
    return out.replace_schema_metadata(meta) if meta else out


def row_numbers(source: Any, rows: int | None = None) -> RowNumbers:
    """How the rows of a tape are numbered for a person: for a CSV path, the
    lines an editor shows; for anything else, positions from 0. ``rows``,
    the tape's data rows when known, spares a regular CSV file a full read."""
    if isinstance(source, (str, os.PathLike)) and kind_of(os.fspath(source)) == "csv":
        return Tape(os.fspath(source)).row_numbers(rows)
    return RowNumbers()


def _numbers_of(table: Any) -> RowNumbers:
    raw = (table.schema.metadata or {}).get(LINES_KEY)
    return RowNumbers(json.loads(raw)) if raw else RowNumbers()


def _recorded(table: Any) -> list[tuple]:
    meta = table.schema.metadata or {}
    raw = meta.get(FAILURES_KEY)
    return [(*row, None) for row in json.loads(raw)] if raw else []


def book_errors(table: Any) -> Any:
    """The rows ``book(..., errors="skip")`` dropped, as an ErrorTable;
    ``index`` is the tape row, numbered as ``tape_rows`` numbers it."""
    numbering = _numbers_of(table)
    # A rate step whose id no loan holds stays at NO_LOAN: no tape row holds it.
    return ErrorTable.from_rows([(r[0] if r[0] == NO_LOAN else numbering.of(r[0]), *r[1:]) for r in _recorded(table)])


def tape_rows(table: Any, indices: Any) -> list[int]:
    """Tape rows of row indices of a ``book()`` table (for example
    ``schedules(...).errors`` indices): for a tape read from a CSV file, the
    lines an editor shows them on (the header is line 1); otherwise their
    positions in the tape, from 0."""
    to_tape = tape_row_mapper([r[0] for r in _recorded(table) if r[0] != NO_LOAN])
    return [int(i) for i in _numbers_of(table)(to_tape(list(indices)))]
