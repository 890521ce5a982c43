"""Every column name the package reads or writes, defined here once."""

from __future__ import annotations

# A book's optional loan label.
ID = "id"
# A book's columns: the label, then the terms the engine reads.
FIELDS = (ID, "amt", "rate", "pers", "int_freq", "cap_freq")
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
)
# The measures that add across parts of a book; the cash flow is formed from
# them once they are combined.
SUMMED = MEASURES[:-1]
# The command's failures file: the tape row a person finds in the file.
FAILURE_FILE = ("row", ID, "code", "field", "reason")
