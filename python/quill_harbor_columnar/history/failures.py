"""Records of a history that did not read, as data: the file, the line, the loan, the failure code, the
field and the value as read. ``RecordError`` is the ``LoanError`` that ``errors="raise"`` gives."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from .._internal.deps import require
from ..errors import LoanError, explain

__all__ = ["RecordFailure", "RecordError", "failure_table", "FAILURE_COLUMNS"]

FAILURE_COLUMNS = ("file", "line", "id", "code", "field", "value", "reason")


@dataclass(frozen=True, slots=True)
class RecordFailure:
    """One record that did not read (or, for an origination record, one loan left without one)."""

    file: str
    line: int  # from 1; 0 for a loan whose failure has no one line (none so far)
    id: str | None  # the loan, where its id read
    code: str  # one of errors.CODES
    field: str | None  # the layout field to blame, by its lower-case name
    value: str | None  # that field as read (the field count, for bad_field_count)

    @property
    def reason(self) -> str:
        return explain(self.code, self.field)

    def error(self) -> RecordError:
        return RecordError(self.file, self.line, self.id, self.code, self.field, self.value)


class RecordError(LoanError):
    """A history record that did not read: ``file``, ``line`` (from 1), ``id``, ``code``, ``field`` and
    ``value``; ``index`` is the line too."""

    def __init__(self, file: str, line: int, id: str | None, code: str, field: str | None, value: str | None) -> None:
        super().__init__(line, id, code, field, value, explain(code, field))
        self.file = file
        self.line = line
        where = f"{file}, line {line}" + (f", field {field}" if field else "")
        read = f" (read as {value!r})" if value is not None else ""
        ValueError.__init__(self, f"{where}: {explain(code, field)}{read} [{code}]")

    def __reduce__(self) -> tuple[Any, ...]:
        return (RecordError, (self.file, self.line, self.id, self.code, self.field, self.value))


def failure_table(failures: list[RecordFailure]) -> Any:
    """The failures as a pyarrow Table with the columns FAILURE_COLUMNS."""
    pa = require("pyarrow", "history failures")
    return pa.table(
        {
            "file": pa.array([f.file for f in failures], pa.string()),
            "line": pa.array([f.line for f in failures], pa.int64()),
            "id": pa.array([f.id for f in failures], pa.string()),
            "code": pa.array([f.code for f in failures], pa.string()),
            "field": pa.array([f.field for f in failures], pa.string()),
            "value": pa.array([f.value for f in failures], pa.string()),
            "reason": pa.array([f.reason for f in failures], pa.string()),
        }
    )
