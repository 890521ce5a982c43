"""Books held in Spark: the engine adapter is ``scale.spark``."""

from .scale.history import spark_performance as performance
from .scale.spark import MEASURES, VALUES, cashflows, failures, project, schedules, value

__all__ = ["MEASURES", "VALUES", "cashflows", "failures", "performance", "project", "schedules", "value"]
