"""Every column name the package reads or writes, defined here once."""

from __future__ import annotations

# A book's optional loan label.
ID = "id"
# A book's columns: the label, then the terms the engine reads.
FIELDS = (ID, "amt", "rate", "pers", "int_freq", "cap_freq")
# A schedule's value columns, after the loan label (``loan``).
SCHEDULE = ("Per", "Cap", "Int", "Pmt", "Bal")
# The float64 sums of a cash-flow table, between ``period`` and ``loans``.
TOTALS = ("Cap", "Int", "Pmt", "Bal")
# A cash-flow table, in order.
CASHFLOWS = ("period", *TOTALS, "loans")
# An error table, in order.
ERRORS = ("index", "id", "code", "field", "reason")
