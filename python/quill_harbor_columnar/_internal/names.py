"""Every column name the package reads or writes, defined here once."""

from __future__ import annotations

# A book's optional loan label.
ID = "id"
# A book's columns: the label, then the terms the engine reads.
FIELDS = (ID, "amt", "rate", "pers", "int_freq", "cap_freq")
# A loan's own payment period, as payments a year (12, 4, 2 or 1; absent or
# null: the call's periods_per_year): its pers, rate and frequencies count
# its own periods, and its flows fall on the call's calendar.
PAYMENTS_PER_YEAR = "payments_per_year"
# A loan's optional shape: interest-only periods, the amortization term and
# rate steps (a list of (per, rate) a row), with its payment period.
SHAPE = ("io_pers", "amort_pers", "rate_steps", PAYMENTS_PER_YEAR)
# The periods a loan has already run, read by projections.
AGE = "age"
# A schedule's loan label (the id, or the row), then its value columns.
LOAN = "loan"
SCHEDULE = ("Per", "Cap", "Int", "Pmt", "Bal")
# A cash-flow table: the period, the float64 sums, and how many loans reach
# the period.
PERIOD = "period"
TOTALS = ("Cap", "Int", "Pmt", "Bal")
LOANS = "loans"
CASHFLOWS = (PERIOD, *TOTALS, LOANS)
# An error table, in order.
ERRORS = ("index", "id", "code", "field", "reason")
# A projection: the scenario (with several), the period's date (with as_of),
# and the float64 measures, in order.
SCENARIO = "scenario"
# A scenario's name, where the scenarios are named.
SCENARIO_NAME = "scenario_name"
DATE = "date"
MEASURES = (
    "balance",
    "scheduled_principal",
    "prepaid_principal",
    "defaulted_principal",
    "loss",
    "recovery",
    "interest",
    "cashflow",
    "servicing",
    "net_cashflow",
)
# The measures that add across parts of a book; loss, recovery, the cash
# flow and the net cash flow are formed from them once they are combined
# (projection.derived).
SUMMED = ("balance", "scheduled_principal", "prepaid_principal", "defaulted_principal", "interest", "servicing")
# The book as it stands, read by projections: the principal balance at
# period 0 and the servicing fee (in the unit of the rate).
BALANCE = "balance"
FEE = "fee"
STANDING = (BALANCE, FEE)
# A value table's columns after its labels, in order.
VALUES = (
    "start_balance",
    "pv",
    "price",
    "accrued",
    "clean_price",
    "yield",
    "bey",
    "spread",
    "wal",
    "macaulay_duration",
    "modified_duration",
    "convexity",
)
# The value columns a shift adds, after them.
EFFECTIVE = ("effective_duration", "effective_convexity")
# The command's failures file: the tape row a person finds in the file, and
# the value as read.
FAILURE_FILE = ("row", ID, "code", "field", "value", "reason")
