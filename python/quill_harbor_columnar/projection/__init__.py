"""Projected cash flows of a book under prepayment and default scenarios.

Each loan's exact binary32 schedule is computed once by the engine, widened
exactly to float64 and run through every scenario; flows are summed per
scenario, segment and period in a fixed order, so the bits do not depend on
the thread count. See ``project``; ``value`` prices the flows.
"""

from .._internal.names import MEASURES
from .compute import project
from .dates import period_dates
from .results import Projection, ProjectionStream
from .scenarios import parse_scenarios
from .valuation import VALUES, NoYieldError, Valuation, value

__all__ = [
    "project",
    "Projection",
    "ProjectionStream",
    "MEASURES",
    "parse_scenarios",
    "period_dates",
    "value",
    "Valuation",
    "NoYieldError",
    "VALUES",
]
