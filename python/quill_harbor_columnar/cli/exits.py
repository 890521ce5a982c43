"""The command's exit statuses, named once, and the one error a run ends with."""

from __future__ import annotations

from enum import IntEnum


class Exit(IntEnum):
    OK = 0  # everything that could be computed was written (refused loans are listed)
    FAILED = 2  # bad usage or bad input, as one line naming the file, row, column and value where known
    NOTHING = 3  # not a single loan could be scheduled
    INTERRUPTED = 130  # Ctrl-C or SIGTERM: nothing was written


class CliError(Exception):
    """A user-facing failure: printed as one line, exit status ``status``."""

    def __init__(
        self,
        file: str | None,
        reason: str,
        row: int | None = None,
        column: str | None = None,
        status: Exit = Exit.FAILED,
        *,
        line: int | None = None,
        field: str | None = None,
    ) -> None:
        # A row and column of a table; a line and field of a text record (a loan-level history's).
        where = (
            f"row {row}" if row is not None else None,
            f"column {column}" if column else None,
            f"line {line}" if line is not None else None,
            f"field {field}" if field else None,
        )
        parts = [p for p in (file, *where) if p]
        super().__init__(": ".join([", ".join(parts), reason]) if parts else reason)
        self.status = status
