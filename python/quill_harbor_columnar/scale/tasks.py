"""What every cluster engine's task shares."""

from __future__ import annotations

from collections.abc import Callable


def threads_here(threads: int | None, share: Callable[[], int | None]) -> int | None:
    """Engine threads for a task: as asked, else the task's ``share`` of its
    worker, so that N tasks at once on N cores keep N engine threads busy
    instead of each starting one per processor (None: the pool's own size)."""
    if threads is not None:
        return threads
    n = share()
    return n if isinstance(n, int) and n > 0 else None
