"""Loan-level histories: the agencies' files read (``history``), realized measures and roll rates
(``performance``, ``roll_rates``), and synthetic histories (``write_sample_history``)."""

from .backtest import Backtest, Fit, as_of, backtest, fit
from .failures import RecordError, RecordFailure
from .performance import Performance, RollRates, performance, roll_rates
from .reading import History, history
from .sample import write_sample_history

__all__ = [
    "history",
    "History",
    "performance",
    "roll_rates",
    "Performance",
    "RollRates",
    "RecordError",
    "RecordFailure",
    "write_sample_history",
    "as_of",
    "backtest",
    "fit",
    "Backtest",
    "Fit",
]
