"""Realized performance of a loan-level history, as a module: ``performance`` and ``roll_rates`` (the
realized measures and the delinquency transitions), ``as_of``, ``backtest`` and ``fit`` (a projection
beside what happened), and their result types.

``from quill_harbor_columnar.performance import performance, roll_rates`` works as an import of a module
does, while ``quill_harbor_columnar.performance`` itself stays the function ``performance()``: the package
imports this module before it binds the name to the function, so no later import rebinds it.
"""

from .history.backtest import Backtest, Fit, as_of, backtest, fit
from .history.performance import Performance, RollRates, performance, roll_rates

__all__ = ["performance", "roll_rates", "as_of", "backtest", "fit", "Performance", "RollRates", "Backtest", "Fit"]
