"""Books that outgrow one machine, on a Dask cluster: the engine adapter is ``scale.dask``."""

from .scale.dask import (
    ONE_PARTITION_ROWS,
    PartitionWarning,
    _threads_here,  # noqa: F401 - a task's engine threads, as the tests ask the module
    cashflows,
    project,
    schedules,
    schedules_meta,
    value,
)
from .scale.history import dask_performance as performance

__all__ = [
    "ONE_PARTITION_ROWS",
    "PartitionWarning",
    "cashflows",
    "performance",
    "project",
    "schedules",
    "schedules_meta",
    "value",
]
