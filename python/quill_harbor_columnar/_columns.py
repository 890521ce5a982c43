"""Every column name the package reads or writes, defined here once."""

from __future__ import annotations

# A book's optional loan label.
ID = "id"
# A book's columns: the label, then the terms the engine reads.
FIELDS = (ID, "amt", "rate", "pers", "int_freq", "cap_freq")
# A loan's optional shape: interest-only periods, the amortization term and
# rate steps (a list of (per, rate) a row).
SHAPE = ("io_pers", "amort_pers", "rate_steps")
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
