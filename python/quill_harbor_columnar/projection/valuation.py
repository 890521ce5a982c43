"""What a book is worth: present value, price, yield, spread, weighted average
life, durations and convexity of its projected cash flows.

Conventions. The flow of projection period k falls at t = k / periods_per_year
years from ``as_of``; period 0 has none. A yield (and ``discount_rate``) y is
a nominal annual rate compounded periods_per_year (N) times a year: the flow
of period k is discounted by (1 + y/N)^-k. A ``curve`` gives continuously
compounded zero rates z(t) at its ``years``, linear in t between them and flat
outside; with a ``spread`` s the discount is exp(-(z(t) + s) t). ``price`` is
percent of the start balance. Durations and convexity are taken with respect
to the yield of the basis r, compounded m times a year (m = N, or 2 for the
bond-equivalent yield): Macaulay sum(t cf B) / P, modified Macaulay /
(1 + r/m), convexity sum(cf B t (t + 1/m)) / (1 + r/m)^2 / P / 100. The
market's conventions (the basis, a payment delay, a settlement date, the
effective measures' shift) are checked in ``conventions`` and computed
natively with the sums. The value is that of ``net_cashflow``, the cash flow
less servicing.

Loan by loan, the flows are valued natively as each loan is projected;
book and segment values come from the projection's summed flows. Every sum
runs over the periods in a fixed order: the same bits for any thread count.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import math
import numbers
from collections.abc import Mapping, Sequence
from typing import Any

from .. import _native
from .._internal import checks
from .._internal.deps import require as _require
from .._internal.inputs import arrow_column, arrow_table, plain_column
from .._internal.names import AGE, BALANCE, EFFECTIVE, FEE, FIELDS, ID, SCENARIO, SHAPE, STANDING, VALUES
from .._internal.tables import HeldTable
from ..errors import ErrorTable
from ..scheduling import Precision
from . import derived
from .ages import ages as read_ages
from .ages import quote_ages
from .compute import project_partial, projection, reads
from .conventions import conventions
from .dates import as_date, period_dates
from .partials import Call, Operation, Partial, finish, partial, register
from .scenarios import checked_periods_per_year, parse_scenarios
from .segments import by_names
from .standing import quote_standing, standing
from .standing import values as standing_values

__all__ = ["value", "Valuation", "NoYieldError", "VALUES", "book_values", "checked_arguments"]

# The native discount modes, by name.
_RATE, _CURVE, _PRICE, _CURVE_PRICE = (
    _native.DISCOUNT_RATE,
    _native.DISCOUNT_CURVE,
    _native.DISCOUNT_PRICE,
    _native.DISCOUNT_CURVE_PRICE,
)


class NoYieldError(ValueError):
    """No yield (or, over a curve, no spread) gives the price asked for a
    row of a book or segment value: ``code`` is ``"no_yield"``, ``row`` the
    row of the value table, ``scenario`` its scenario and ``price`` the
    price."""

    code = "no_yield"

    def __init__(self, row: int, scenario: int, price: float | None) -> None:
        self.row, self.scenario, self.price = row, scenario, price
        asked = f"price {price!r}" if price is not None else "the curve's value"
        super().__init__(
            f"price: no yield gives {asked} for row {row} (scenario {scenario}) of the value table "
            "(no_yield); the price is beyond what these flows reach"
        )


class Valuation(HeldTable):
    """Values: one row per scenario (per segment with ``by``, per loan with
    ``per_loan``, per price of a list of prices). Arrow PyCapsule export,
    ``to_arrow()``, ``to_pandas()``, ``to_polars()``. ``errors`` lists the
    loans left out (and, loan by loan, those whose yield was not found:
    their rows are kept with the solved columns null); ``unsolved`` the rows
    whose solve did not converge."""

    __slots__ = ("errors", "by", "periods_per_year", "as_of", "unsolved")

    def __init__(
        self, table: Any, errors: Any, by: list[str], periods_per_year: int, as_of: Any, unsolved: list[int]
    ) -> None:
        super().__init__(table)
        self.errors = errors
        self.by = by
        self.periods_per_year = periods_per_year
        self.as_of = as_of
        self.unsolved = unsolved

    def __repr__(self) -> str:
        return f"<Valuation by={self.by} rows={self.num_rows} failed={len(self.errors)}>"


# ---------------------------------------------------------------- arguments


def _number(name: str, v: Any) -> float:
    if isinstance(v, bool) or not isinstance(v, numbers.Real) or not math.isfinite(float(v)):
        raise ValueError(f"{name} must be a finite number, not {v!r}")
    return float(v)


def _curve(curve: Any) -> tuple[list[float], list[float]]:
    try:
        years, rates = curve["years"], curve["rates"]
    except (TypeError, KeyError, IndexError):
        raise ValueError(
            'curve must be a mapping {"years": [...], "rates": [...]} of zero rates '
            "(continuously compounded) at strictly increasing years"
        ) from None
    try:
        years = [_number("curve years", y) for y in list(years)]
        rates = [_number("curve rates", r) for r in list(rates)]
    except TypeError:
        raise ValueError("curve years and rates must be sequences of numbers") from None
    except ValueError as e:
        raise ValueError(f"curve: {e}") from None
    if not years or len(years) != len(rates):
        raise ValueError(f"curve must give one rate a year, at least one: {len(years)} years, {len(rates)} rates")
    for a, b in zip(years, years[1:]):
        if not b > a:
            raise ValueError(f"curve years must be strictly increasing: {a!r} then {b!r}")
    return years, rates


def _prices(price: Any, per_loan: bool) -> list[float] | str:
    if isinstance(price, str):
        if not per_loan:
            raise ValueError(f"price names column {price!r}: a price column prices each loan, with per_loan=True")
        return price
    values = [price] if isinstance(price, numbers.Real) and not isinstance(price, bool) else price
    try:
        values = list(values)
    except TypeError:
        raise ValueError(f"price must be a number, a list of numbers or a column name, not {price!r}") from None
    if not values:
        raise ValueError("price is an empty list; give at least one price (percent of the start balance)")
    out = []
    for p in values:
        x = _number("price", p)
        if not x > 0:
            raise ValueError(f"price must be above 0 (percent of the start balance: 100 is par), not {p!r}")
        out.append(x)
    return out


def _discount(ppy: int, discount_rate: Any, curve: Any, spread: Any, price: Any, tail: tuple = ()) -> tuple:
    """The native discount (mode, periods_per_year, rate, years, rates, spread,
    then ``tail``: basis, delay days, settle days, shift)."""
    given = [n for n, v in (("discount_rate", discount_rate), ("curve", curve), ("price", price)) if v is not None]
    if not given:
        raise ValueError("discount_rate, curve or price must set the discount; give one of them")
    if discount_rate is not None and len(given) > 1:
        raise ValueError(f"discount_rate and {given[1]} both set the discount; give one of them")
    if spread is not None and curve is None:
        raise ValueError("spread is a spread over a curve; give curve too, or fold it into discount_rate")
    if spread is not None and price is not None:
        raise ValueError("spread and price both set the spread over the curve; a price solves the spread")
    if discount_rate is not None:
        y = _number("discount_rate", discount_rate)
        if not y > -ppy:
            raise ValueError(f"discount_rate must be above -periods_per_year ({-ppy}), not {discount_rate!r}")
        return (_RATE, ppy, y, [], [], 0.0, *tail)
    if curve is not None:
        years, rates = _curve(curve)
        s = _number("spread", spread) if spread is not None else 0.0
        return (_CURVE_PRICE if price is not None else _CURVE, ppy, 0.0, years, rates, s, *tail)
    return (_PRICE, ppy, 0.0, [], [], 0.0, *tail)


def _check_as_of(as_of: Any, ppy: int) -> Any:
    if as_of is None:
        return None
    as_of = as_date(as_of)
    period_dates(as_of, 0, ppy)  # a date, on periods of whole months
    return as_of


# ---------------------------------------------------------------- the operation


def value(
    loans: Any,
    scenarios: Any,
    *,
    discount_rate: float | None = None,
    curve: Mapping[str, Sequence[float]] | None = None,
    spread: float | None = None,
    price: float | Sequence[float] | str | None = None,
    by: str | Sequence[str] | None = None,
    as_of: _dt.date | None = None,
    periods_per_year: int = 12,
    per_loan: bool = False,
    errors: str = "raise",
    threads: int | None = None,
    strict: bool = True,
    precision: Precision = "binary32",
    basis: str = "mortgage",
    delay: int = 0,
    settle: _dt.date | str | None = None,
    shift: float | None = None,
) -> Valuation:
    """What the book is worth under each scenario (see the module for the
    conventions).

    Exactly one of ``discount_rate`` (a nominal annual yield), ``curve``
    (``{"years": [...], "rates": [...]}``, continuously compounded zero
    rates, optionally with ``spread``) or ``price`` (percent of the start
    balance: a number, a list for a yield table, or with ``per_loan=True`` the
    name of a column) sets the discount; ``curve`` with ``price`` solves the
    spread. ``scenarios``, ``by``, ``periods_per_year``, ``errors`` and
    ``threads`` are as for ``project``; the book may carry ``age``,
    ``balance`` and ``fee`` columns; ``precision="cent"`` values the cent
    schedules (see ``schedules``). Returns a ``Valuation``: ``scenario``
    (with more than one), the ``by`` columns, ``id`` (per loan), then
    ``start_balance``, ``pv``, ``price``, ``accrued``, ``clean_price``,
    ``yield``, ``bey``, ``spread`` (null without a curve), ``wal``,
    ``macaulay_duration``, ``modified_duration`` and ``convexity`` (years
    squared over 100, as the market quotes it).

    The market's conventions (see docs/valuation.md): ``yield`` is
    compounded with the payment frequency (the mortgage yield) and ``bey``
    semi-annually; ``basis`` ("mortgage" or "bond-equivalent") chooses the
    yield the durations and convexity are taken against. Each flow is paid
    ``delay`` days (30/360) after its period ends. ``settle`` (a date in the
    first period) moves the value date: ``accrued`` is the first period's
    interest to it per 100 of ``start_balance`` and ``clean_price`` is
    ``price`` (the full price) less ``accrued``. ``shift`` (basis points)
    adds ``effective_duration`` and ``effective_convexity``: the yield of
    the basis (or, with a curve, the whole curve) moved by -shift and +shift
    and the same flows revalued.
    """
    call = Call("value", scenarios, {k: v for k, v in locals().items() if k not in ("loans", "scenarios")})
    if per_loan:
        return _value_loans(loans, call.checked)
    # The whole book is one part of itself: its partial, finished.
    return finish(call, partial(call, loans))


def _finish(call: Call, p: Partial) -> Valuation:
    """The values of a combined partial: its projection's flows, valued once."""
    a = call.checked
    proj = projection(call, p, None)
    out, unsolved = book_values(proj.to_arrow(), proj.spans, proj.scenarios > 1, a)
    return Valuation(_require("pyarrow", "value()").table(out), proj.errors, a.names, a.ppy, a.as_of, unsolved)


def _reads(call: Call) -> list[str]:
    price = call.keywords.get("price")
    return [*reads(call), *([price] if isinstance(price, str) else [])]


@dataclasses.dataclass(frozen=True)
class _Arguments:
    """value()'s arguments, checked: every ValueError names its argument."""

    ppy: int
    parsed: list[Any]
    skip: bool
    n_threads: int
    discount: tuple
    prices: Any  # a list of prices, or the name of a price column
    names: list[str]
    as_of: Any
    strict: bool
    cents: bool = False  # precision="cent"


def checked_arguments(
    scenarios: Any,
    discount_rate: Any,
    curve: Any,
    spread: Any,
    price: Any,
    by: Any,
    as_of: Any,
    periods_per_year: Any,
    per_loan: Any,
    errors: Any,
    threads: Any,
    strict: Any,
    *,
    basis: Any = "mortgage",
    delay: Any = 0,
    settle: Any = None,
    shift: Any = None,
    precision: Any = "binary32",
) -> _Arguments:
    """value()'s arguments checked, before any computing."""
    ppy = checked_periods_per_year(periods_per_year)
    parsed = parse_scenarios(scenarios, ppy)
    skip = checks.skips(errors)
    n_threads = checks.threads(threads)
    if not isinstance(per_loan, bool):
        raise ValueError(f"per_loan must be True or False, not {per_loan!r}")
    if not isinstance(strict, bool):
        raise ValueError(f"strict must be True or False, not {strict!r}")
    as_of = _check_as_of(as_of, ppy)
    market = conventions(basis, delay, settle, shift, as_of, ppy)
    discount = _discount(ppy, discount_rate, curve, spread, price, market.native())
    prices = _prices(price, per_loan) if price is not None else []
    names = by_names(by)
    for n in names:
        if n in VALUES or n in EFFECTIVE or n == ID:
            raise ValueError(f"by column {n!r} has the name of a value column; rename it")
    return _Arguments(
        ppy=ppy,
        parsed=parsed,
        skip=skip,
        n_threads=n_threads,
        discount=discount,
        prices=prices,
        names=names,
        as_of=as_of,
        strict=strict,
        cents=checks.cents(precision),
    )


def _columns_of(values: Any, discount: tuple) -> dict[str, Any]:
    """The value columns of a native table as Arrow arrays, NaN as null."""
    np = _require("numpy", "value()")
    pa = _require("pyarrow", "value()")
    out = {}
    shifted = len(discount) > 9 and discount[9] > 0
    for name in (*VALUES, *EFFECTIVE) if shifted else VALUES:
        x = np.asarray(values.column(name), dtype=np.float64)
        nan = np.isnan(x)
        out[name] = pa.array(x, type=pa.float64(), mask=nan if nan.any() else None)
    if discount[0] in (_RATE, _PRICE):
        out["spread"] = pa.nulls(len(out["pv"]), pa.float64())
    return out


def book_values(t: Any, bounds: Any, multi: bool, a: _Arguments) -> tuple[dict[str, Any], list[int]]:
    """The value columns of a projection table ``t`` whose runs of one
    scenario and segment span ``bounds`` ((start, end) rows, in row order),
    and the rows whose solve did not converge; raises NoYieldError for the
    first of them unless errors are skipped."""
    np = _require("numpy", "value()")
    pa = _require("pyarrow", "value()")
    col = {
        n: np.ascontiguousarray(np.asarray(t.column(n), dtype=np.float64))
        for n in ("balance", "scheduled_principal", "prepaid_principal", "recovery", "net_cashflow")
    }
    principal = derived.principal(col)
    flat = np.asarray(bounds, dtype=np.int64).reshape(-1)
    runs = _native.value_runs(col["net_cashflow"], principal, col["balance"], flat, a.discount, a.prices)
    run = np.asarray(runs.column("run"), dtype=np.int64)
    starts = flat[0::2][run] if len(run) else np.zeros(0, np.int64)
    out: dict[str, Any] = {}
    if multi:
        out[SCENARIO] = pa.array(np.asarray(t.column(SCENARIO), dtype=np.int64)[starts])
    for n in a.names:
        out[n] = t.column(n).take(pa.array(starts))
    out.update(_columns_of(runs, a.discount))
    solved = np.asarray(runs.column("solved"), dtype=bool)
    unsolved = np.flatnonzero(~solved).tolist()
    if unsolved and not a.skip:
        row = unsolved[0]
        scenario = int(out[SCENARIO][row].as_py()) if SCENARIO in out else 0
        index = int(np.asarray(runs.column("price_index"))[row])
        raise NoYieldError(row, scenario, a.prices[index] if a.prices else None)
    return out, unsolved


def _value_loans(loans: Any, a: _Arguments) -> Valuation:
    parsed, discount, prices, names = a.parsed, a.discount, a.prices, a.names
    np = _require("numpy", "value(per_loan=True)")
    pa = _require("pyarrow", "value(per_loan=True)")
    if isinstance(loans, Mapping):
        table = arrow_table(
            {k: plain_column(loans[k]) if k in FIELDS else loans[k] for k in loans}, "value(per_loan=True)"
        )
    else:
        table = arrow_table(loans, "value(per_loan=True)")
    have = table.column_names
    missing = [f for f in FIELDS[1:] if f not in have]
    if missing:
        raise ValueError(f"loans has no column {missing[0]!r}")
    for n in names:
        if n not in have:
            raise ValueError(f"by names column {n!r}, which the loans do not have (they have {', '.join(have)})")
    loan_prices = None
    if isinstance(prices, str):
        if prices not in have:
            raise ValueError(
                f"price names column {prices!r}, which the loans do not have (they have {', '.join(have)})"
            )
        loan_prices = standing_values(arrow_column(table, prices), prices)
        bad = ~(loan_prices > 0) | ~np.isfinite(loan_prices)
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise ValueError(
                f"price column {prices!r} must hold prices above 0 (percent of the start balance); "
                f"row {row} holds {arrow_column(table, prices)[row].as_py()!r}"
            )
        prices = []
    engine = table.select([c for c in (*FIELDS, *SHAPE, AGE, *STANDING) if c in have])
    age_column = arrow_column(engine, AGE) if AGE in have else None
    ages = read_ages(age_column) if age_column is not None else None
    values, standing_columns = standing(engine, engine.column_names)
    native_scenarios = [s.native() for s in parsed]
    out_table, failures, errors_table = _native.value_loans(
        engine.__arrow_c_stream__(),
        ages,
        values.get(BALANCE),
        values.get(FEE),
        native_scenarios,
        discount,
        prices,
        loan_prices,
        a.skip,
        a.n_threads,
        a.strict,
        a.cents,
        a.ppy,
    )
    failed = ErrorTable(errors_table, quote_standing(quote_ages(failures, ages, age_column), standing_columns))
    if not a.skip and len(failed):
        raise failed.exceptions()[0]
    assert out_table is not None  # the native side leaves it out only for a failure raised above
    loan = pa.array(np.asarray(out_table.column("loan"), dtype=np.int64))
    out: dict[str, Any] = {}
    if len(parsed) > 1:
        out[SCENARIO] = pa.array(np.asarray(out_table.column(SCENARIO)).astype(np.int64))
    for n in names:
        out[n] = arrow_column(table, n).take(loan)
    out[ID] = arrow_column(table, ID).cast(pa.string()).take(loan) if ID in have else loan
    out.update(_columns_of(out_table, discount))
    unsolved = np.flatnonzero(np.isnan(np.asarray(out_table.column("yield")))).tolist()
    return Valuation(pa.table(out), failed, names, a.ppy, a.as_of, unsolved)


register(
    "value",
    Operation(value, lambda scenarios, kw: checked_arguments(scenarios, **kw), project_partial, _finish, _reads),
)
