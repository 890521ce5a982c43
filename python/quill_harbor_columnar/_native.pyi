# The compiled core of quill_harbor_columnar, as the package calls it;
# checked against the built module by stubtest.
from collections.abc import Sequence
from typing import Any, Final, final

_Terms = tuple[float, float, int, int, int]
# (index, id, code, field, value as read, the engine's message, terms)
_Failure = tuple[int, str | None, str, str | None, str | None, str, _Terms | None]

# Every failure code, in the order of the native enum.
FAILURE_CODES: Final[tuple[str, ...]]
# Every field a failure can blame, in the order of the native enum.
FAILURE_FIELDS: Final[tuple[str, ...]]
# The discount modes of _Discount.
DISCOUNT_RATE: Final[int]
DISCOUNT_CURVE: Final[int]
DISCOUNT_PRICE: Final[int]
DISCOUNT_CURVE_PRICE: Final[int]
# The yield bases of a discount's conventions.
BASIS_MORTGAGE: Final[int]
BASIS_BOND_EQUIVALENT: Final[int]
# An age that is not an integer at all (refused as bad_age, no value quoted).
NOT_AN_AGE: Final[int]
# The longest lag a scenario may give.
MAX_LAG: Final[int]
# Every text of the message catalogue, by its native constant's name.
_MESSAGES: Final[dict[str, str]]

@final
class Table:
    def __arrow_c_schema__(self) -> Any: ...
    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]: ...
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...
    def column(self, name: str, /) -> memoryview: ...
    @property
    def buffer_names(self) -> list[str]: ...
    @property
    def column_names(self) -> list[str]: ...
    @property
    def num_rows(self) -> int: ...
    @property
    def nbytes(self) -> int: ...

@final
class ScheduleStream:
    def __arrow_c_schema__(self) -> Any: ...
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...
    @property
    def failures(self) -> list[_Failure]: ...
    @property
    def errors_table(self) -> Table: ...
    @property
    def consumed(self) -> bool: ...

# ``source``: a dict of columns, an Arrow stream capsule, a (schema, array)
# capsule pair, or a record batch reader pulled through Python. The table is
# None when a failure stopped the call.
# ``strict`` (default True): False gives a piece the engine refuses for a
# zero rate or a single capital block the lender's schedule.
# ``ages`` (int64) and ``balances`` (float64), one a row, or None: each
# loan's schedule from its age on (with a balance, the loan as it stands).
# ``periods_per_year``: the call's calendar, which a loan's own
# ``payments_per_year`` column divides (here and in the projection calls).
def schedules(
    source: Any,
    list: bool,
    skip: bool,
    threads: int,
    strict: bool = ...,
    cents: bool = ...,
    ages: Any = ...,
    balances: Any = ...,
    periods_per_year: int = ...,
    /,
) -> tuple[Table | None, list[_Failure], Table]: ...
def cashflows(
    source: Any,
    skip: bool,
    threads: int,
    strict: bool = ...,
    cents: bool = ...,
    ages: Any = ...,
    balances: Any = ...,
    periods_per_year: int = ...,
    /,
) -> tuple[Table | None, list[_Failure], Table]: ...
def stream_schedules(
    source: Any,
    batch_rows: int,
    list: bool,
    skip: bool,
    threads: int,
    strict: bool = ...,
    cents: bool = ...,
    periods_per_year: int = ...,
    /,
) -> ScheduleStream: ...
def default_threads() -> int: ...

# The wanted fields (name, index, kind 'f' float64, 'i' int32 or 's' text) of
# a block of delimited records, or None when the block is not clean.
def read_fields(
    data: bytes,
    delimiter: str,
    field_count: int,
    fields: Sequence[tuple[str, int, str]],
    threads: int,
    /,
) -> Table | None: ...

# A scenario: (prepayment rates, read by age, default rates, read by age,
# severity, lag); rates per period, an empty list being 0.
_Scenario = tuple[list[float], bool, list[float], bool, float, int]

# ``ages``: int64 per loan or None; ``segments``: int32 codes in
# [0, segment_count) per loan or None. Returns the table of the eight
# measures (scenario, then segment, then period), each scenario's last period.
# ``row_bytes``: what the caller adds to each output row as it assembles the
# result, counted in the peak that is checked against memory up front.
def project(
    source: Any,
    ages: Any,
    segments: Any,
    segment_count: int,
    scenarios: list[_Scenario],
    skip: bool,
    threads: int,
    balances: Any,
    fees: Any,
    row_bytes: int,
    strict: bool = ...,
    cents: bool = ...,
    periods_per_year: int = ...,
    /,
) -> tuple[Table | None, list[int], list[_Failure], Table]: ...

# One row per loan, scenario and period: loan (the row in source), scenario,
# period and the measures; failure indices are offset by row_base.
def project_loans(
    source: Any,
    ages: Any,
    scenarios: list[_Scenario],
    skip: bool,
    threads: int,
    row_base: int,
    balances: Any,
    fees: Any,
    row_bytes: int,
    strict: bool = ...,
    cents: bool = ...,
    periods_per_year: int = ...,
    /,
) -> tuple[Table | None, list[_Failure], Table]: ...

# (mode, periods_per_year, rate, years, zero rates, spread), mode one of
# DISCOUNT_RATE, DISCOUNT_CURVE (and spread), DISCOUNT_PRICE,
# DISCOUNT_CURVE_PRICE; and optionally the conventions (basis, one of
# BASIS_MORTGAGE and BASIS_BOND_EQUIVALENT, delay days, settle days, shift).
_Discount = (
    tuple[int, int, float, list[float], list[float], float]
    | tuple[int, int, float, list[float], list[float], float, int, float, float, float]
)

# One row per loan, scenario and price: loan (the row in source), scenario,
# price_index, then the value columns.
def value_loans(
    source: Any,
    ages: Any,
    balances: Any,
    fees: Any,
    scenarios: list[_Scenario],
    discount: _Discount,
    prices: list[float],
    loan_prices: Any,
    skip: bool,
    threads: int,
    strict: bool = ...,
    cents: bool = ...,
    periods_per_year: int = ...,
    /,
) -> tuple[Table | None, list[_Failure], Table]: ...

# One row per run [bounds[2r], bounds[2r+1]) of the flows and price: run,
# price_index, solved, then the value columns.
def value_runs(
    net: Any, principal: Any, balance: Any, bounds: Any, discount: _Discount, prices: list[float], /
) -> Table: ...
