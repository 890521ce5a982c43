"""A deterministic synthetic loan book for demonstrations and benchmarks.

The mix is what a retail and commercial lender might hold: mortgages and car
loans paid monthly, business loans paid quarterly, and a small share of loan
shapes the engine refuses (bullet loans, one-period loans, zero rates,
negative amounts), so that failure handling is exercised too. Rates are per
period: an annual rate divided by twelve, since every period is a month.
"""

from __future__ import annotations

from typing import Any

from .._internal import checks
from .._internal.deps import require
from .._internal.names import FIELDS
from .._internal.rounding import half_up_cents
from ..io.formats import PARQUET, accepted, format_of
from ..io.writers import write_table

# Share of each kind, in this order; the rest are refused shapes.
_MORTGAGE = 0.55
_CAR = 0.30
_BUSINESS = 0.145


def sample_book(loans: int, seed: int = 20261208, precision: str = "binary32") -> dict[str, Any]:
    """Columns of a synthetic book of ``loans`` loans; the same for the same seed. Amounts are round
    hundreds or thousands; with ``precision="cent"``, the same draws rounded half-up to the cent instead
    (every other column the same), amounts binary32 cannot hold and a cent schedule keeps."""
    np = require("numpy", "sample_book()")

    if loans < 0:
        raise ValueError("the number of loans must not be negative")
    cents = checks.cents(precision)

    def amount(draws: Any, places: int) -> Any:
        return half_up_cents(draws) if cents else np.round(draws, places)

    rng = np.random.default_rng(seed)
    kind = rng.random(loans)
    mortgage = kind < _MORTGAGE
    car = (kind >= _MORTGAGE) & (kind < _MORTGAGE + _CAR)
    business = (kind >= _MORTGAGE + _CAR) & (kind < _MORTGAGE + _CAR + _BUSINESS)
    refused = ~(mortgage | car | business)

    amt = np.empty(loans)
    annual = np.empty(loans)
    pers = np.empty(loans, dtype=np.int64)
    freq = np.ones(loans, dtype=np.int64)

    m = int(mortgage.sum())
    amt[mortgage] = amount(rng.uniform(80_000, 900_000, m), -3)
    annual[mortgage] = np.round(rng.uniform(0.02, 0.075, m), 4)
    pers[mortgage] = rng.choice([120, 180, 240, 300, 360], m, p=[0.05, 0.15, 0.2, 0.1, 0.5])

    c = int(car.sum())
    amt[car] = amount(rng.uniform(5_000, 75_000, c), -2)
    annual[car] = np.round(rng.uniform(0.03, 0.12, c), 4)
    pers[car] = rng.choice([24, 36, 48, 60, 72, 84], c)

    b = int(business.sum())
    amt[business] = amount(rng.uniform(25_000, 2_500_000, b), -3)
    annual[business] = np.round(rng.uniform(0.04, 0.14, b), 4)
    pers[business] = rng.choice([12, 24, 36, 60, 84, 120], b)
    freq[business] = 3  # quarterly interest and capital on a monthly axis

    # Ordinary-looking loans the engine refuses, one shape in four each.
    r = int(refused.sum())
    shape = rng.integers(0, 4, r)
    amt[refused] = amount(rng.uniform(10_000, 200_000, r), -3)
    annual[refused] = np.round(rng.uniform(0.03, 0.08, r), 4)
    pers[refused] = 60
    bad_freq = np.ones(r, dtype=np.int64)
    bad_pers = pers[refused]
    bad_amt = amt[refused]
    bad_annual = annual[refused]
    bad_freq[shape == 0] = 60  # a bullet loan: all capital at the end
    bad_pers[shape == 1] = 1  # a single period
    bad_annual[shape == 2] = 0.0  # an interest-free loan
    bad_amt[shape == 3] = -bad_amt[shape == 3]  # a negative amount
    pers[refused] = bad_pers
    amt[refused] = bad_amt
    annual[refused] = bad_annual

    prefix = np.where(mortgage, "MTG", np.where(car, "CAR", np.where(business, "BIZ", "ODD")))
    ids = [f"{p}-{i:07d}" for i, p in enumerate(prefix.tolist())]
    int_freq = freq.copy()
    cap_freq = freq.copy()
    cap_freq[refused] = bad_freq
    # A segment to total projections by, from the draws above only, so the
    # other columns keep their bits.
    product = np.where(mortgage, "mortgage", np.where(car, "car", np.where(business, "business", "other")))
    return {**dict(zip(FIELDS, (ids, amt, annual / 12.0, pers, int_freq, cap_freq))), "product": product.tolist()}


def write_book(columns: dict[str, Any], path: str, kind: str | None = None) -> None:
    """Writes the book to ``path`` in table format ``kind`` (by default the one of the path's extension)."""
    pa = require("pyarrow", "write_book()")

    names = [*FIELDS, *(name for name in columns if name not in FIELDS)]
    table = pa.table({name: columns[name] for name in names})
    kind = kind or format_of(path, "table")
    if kind is None:
        raise ValueError(f"{path}: the output must end in {accepted('table')}")
    # Row groups of 2^18 loans: a Dask reader splitting by row group gets partitions of a useful size.
    write_table(table, path, kind, parquet={"row_group_rows": 262_144} if kind == PARQUET else None)
