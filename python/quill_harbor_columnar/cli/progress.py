"""The command's progress report on standard error, counted in loans (or, reading a history, records).

On a terminal it is one bar redrawn in place; in a log (no terminal) it is a
plain line every few seconds, never a carriage return. A rate and a time
left are shown only once enough time has passed for them to mean something.
"""

from __future__ import annotations

import sys
import time
from typing import TextIO

# Before this much time the rate is mostly start-up cost (imports, the first
# batch, the pool starting), and a time left computed from it misleads.
SETTLED_SECONDS = 2.0
TERMINAL_INTERVAL = 0.2
LOG_INTERVAL = 5.0


def _duration(seconds: float) -> str:
    seconds = int(round(seconds))
    if seconds < 60:
        return f"{seconds} s"
    minutes, seconds = divmod(seconds, 60)
    if minutes < 60:
        return f"{minutes} min {seconds:02d} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min"


class Progress:
    """Loans (or the ``unit`` counted) done out of ``total`` (None when unknown), reported while ``enabled``."""

    def __init__(
        self,
        label: str,
        total: int | None,
        enabled: bool,
        stream: TextIO | None = None,
        terminal: bool | None = None,
        unit: str = "loans",
    ) -> None:
        self.label = label
        self.unit = unit
        self.total = total
        self.enabled = enabled
        self.stream = stream if stream is not None else sys.stderr
        self.terminal = self.stream.isatty() if terminal is None else terminal
        self.interval = TERMINAL_INTERVAL if self.terminal else LOG_INTERVAL
        self.done = 0
        self.start = time.perf_counter()
        self._last = self.start
        self._width = 0

    def estimate(self, total: int | None) -> None:
        """A new estimate of the total, for an input whose size shows only as it is read."""
        if total:
            self.total = total

    def advance(self, count: int) -> None:
        self.done += count
        now = time.perf_counter()
        if self.enabled and now - self._last >= self.interval:
            self._last = now
            self._emit(self.line(now))

    def line(self, now: float) -> str:
        elapsed = now - self.start
        unit = self.unit
        parts = [f"{self.done:,} {unit}" if self.total is None else f"{self.done:,} of {self.total:,} {unit}"]
        if self.total:
            parts[0] += f" ({min(self.done / self.total, 1.0):.0%})"
        if elapsed >= SETTLED_SECONDS and self.done > 0:
            rate = self.done / elapsed
            parts.append(f"{rate:,.0f} {unit}/s")
            if self.total and self.done < self.total:
                parts.append(f"about {_duration((self.total - self.done) / rate)} left")
        return f"{self.label}: " + ", ".join(parts)

    def _emit(self, text: str) -> None:
        if self.terminal:
            pad = max(self._width - len(text), 0)
            self._width = len(text)
            self.stream.write("\r" + text + " " * pad)
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def finish(self) -> None:
        if not self.enabled:
            return
        now = time.perf_counter()
        self._emit(f"{self.label}: {self.done:,} {self.unit} in {_duration(now - self.start)}")
        if self.terminal:
            self.stream.write("\n")
            self.stream.flush()
