"""Loan schedules for whole books, as NumPy buffers and Arrow columns.

The same engine as ``quill_harbor``, bit for bit, without a Python object per
value: results are flat binary32 columns owned by a native object and handed
to NumPy (buffer protocol), pyarrow, polars, pandas and duckdb (the Arrow
PyCapsule interface) without a copy.
"""

from importlib.metadata import PackageNotFoundError as _NotInstalled
from importlib.metadata import version as _version

# The module ``performance`` is loaded before the name is bound to the function of that name below (by the
# import from .history, which follows this one), so that importing the module later, in any order, finds it
# loaded and leaves ``quill_harbor_columnar.performance`` the function.
from . import performance as _performance_module  # noqa: F401
from .errors import ErrorTable, LoanError
from .history import (
    Backtest,
    Fit,
    History,
    Performance,
    RecordError,
    RollRates,
    as_of,
    backtest,
    fit,
    history,
    performance,
    roll_rates,
)
from .projection import NoYieldError, Projection, ProjectionStream, Valuation, project, value
from .scheduling import Cashflows, Schedules, ScheduleStream, cashflows, schedules, stream_schedules
from .tape.rates import ImplausibleRates
from .tape.reading import book, book_errors, tape_rows

__all__ = [
    "schedules",
    "stream_schedules",
    "cashflows",
    "project",
    "value",
    "Schedules",
    "Cashflows",
    "ScheduleStream",
    "Projection",
    "ProjectionStream",
    "Valuation",
    "NoYieldError",
    "ErrorTable",
    "LoanError",
    "book",
    "book_errors",
    "tape_rows",
    "ImplausibleRates",
    "history",
    "History",
    "performance",
    "roll_rates",
    "Performance",
    "RollRates",
    "RecordError",
    "as_of",
    "backtest",
    "fit",
    "Backtest",
    "Fit",
    "__version__",
]

try:
    __version__: str = _version("quill_harbor")
except _NotInstalled:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"
