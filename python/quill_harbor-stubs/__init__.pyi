"""Type stubs for quill_harbor: loan schedules computed natively in binary32."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict, type_check_only

__all__ = ["paywheel_fn", "paywheel_par", "paywheel_gil"]

@type_check_only
class Schedule(TypedDict):
    """One loan's schedule: five columns of pers + 1 floats (binary32 values
    widened exactly). Look columns up by name; the key order is not part of
    the contract."""

    Per: list[float]
    Cap: list[float]
    Int: list[float]
    Pmt: list[float]
    Bal: list[float]

@type_check_only
class Loan(TypedDict):
    """A typed loan for paywheel_fn. Numbers may be any object the
    interpreter converts (``__float__`` / ``__index__``); further keys are
    ignored."""

    id: str
    amt: float | SupportsFloat | SupportsIndex
    rate: float | SupportsFloat | SupportsIndex
    pers: int | SupportsIndex
    int_freq: int | SupportsIndex
    cap_freq: int | SupportsIndex

@type_check_only
class TextLoan(TypedDict):
    """A text loan for paywheel_par and paywheel_gil: every key and value a
    str, numbers in the strict decimal grammars."""

    id: str
    amt: str
    rate: str
    pers: str
    int_freq: str
    cap_freq: str

def paywheel_fn(incoming: list[Loan]) -> dict[str, Schedule]:
    """Schedules by loan id, computed in order on the calling thread."""

def paywheel_par(incoming: Sequence[TextLoan]) -> list[Schedule]:
    """Schedules in input order, computed on the worker pool with the lock held."""

def paywheel_gil(incoming: Sequence[TextLoan]) -> list[Schedule]:
    """Schedules in input order, computed on the worker pool with the lock released."""
