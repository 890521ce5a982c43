"""Ctrl-C and SIGTERM as the command sees them, wherever in the run they land.

Python raises an interrupt in whatever code is running when the signal is
handled. Landing in a generator being closed, a finalizer or a callback from
compiled code, the raised interrupt is only reported as "ignored" and the run
goes on to write its outputs as if nothing had happened. So every interrupt
is also recorded, and ``check`` stops the run before any output is put in
place; the ignored report itself is kept quiet, as the interrupt is not lost.
"""

from __future__ import annotations

import signal
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

_received: list[int] = []


def _interrupt(signum: int, frame: Any) -> None:
    _received.append(signum)
    raise KeyboardInterrupt


@contextmanager
def watching() -> Iterator[None]:
    """Ctrl-C and SIGTERM recorded and raised for the length of the block (from the main thread only)."""
    _received.clear()
    previous: dict[signal.Signals, Any] = {}
    try:
        for signum in (signal.SIGINT, signal.SIGTERM):
            previous[signum] = signal.signal(signum, _interrupt)
    except ValueError:  # not the main thread: signals stay the caller's
        pass
    hook = sys.unraisablehook

    def quiet_when_recorded(unraisable: Any) -> None:
        if not (isinstance(unraisable.exc_value, KeyboardInterrupt) and _received):
            hook(unraisable)

    sys.unraisablehook = quiet_when_recorded
    try:
        yield
    finally:
        sys.unraisablehook = hook
        for restored, handler in previous.items():
            signal.signal(restored, handler)


def received() -> bool:
    return bool(_received)


def check() -> None:
    """Raises the interrupt a run received, even if the code it landed in dropped it."""
    if _received:
        raise KeyboardInterrupt
