"""A run's refused loans: the tape reader's and the engine's together, in tape order, as the command
lists them, stops on them and writes them."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass
from typing import Any

from .._internal.deps import require
from .._internal.names import FAILURE_FILE
from ..errors import ErrorTable, explain
from ..io.writers import write_table
from ..tape.steps import NO_LOAN
from ..tape.stream import TapeRun
from .exits import CliError, Exit
from .report import by_code


@dataclass(frozen=True, slots=True)
class Refused:
    """A refused loan as the command reports it."""

    index: int  # the tape row, from 0
    id: str | None
    code: str
    field: str | None
    value: str | None
    words: str  # the explanation in words, made from the code
    engine: str | None  # the engine's own message, for an engine refusal


def refused_loans(run: TapeRun, engine_errors: ErrorTable) -> list[Refused]:
    """Tape failures and engine failures together, in tape order."""
    rows = [
        Refused(f.index, f.id, f.code, f.field, f.value, explain(f.code, f.field, f.terms), None) for f in run.failures
    ]
    errors = engine_errors.failures
    if errors:
        tape_index = run.to_tape()([e.index for e in errors])
        for e, index in zip(errors, tape_index.tolist()):
            rows.append(Refused(index, e.id, e.code, e.field, e.value, explain(e.code, e.field, e.terms), e.reason))
    rows.sort(key=lambda r: r.index)
    return rows


def _unread_step(run: TapeRun, r: Refused) -> tuple[str, int, str] | None:
    """Where the steps' own file writes a step of a refused loan that does not read."""
    return run.unread_step(r.id) if r.field == "rate_steps" and r.engine is None and r.index != NO_LOAN else None


def first_refusal(run: TapeRun, refused: list[Refused]) -> CliError:
    r = refused[0]
    where = _unread_step(run, r)
    detail = []
    if r.value is not None:
        detail.append(f"value {r.value!r}")
    if r.id is not None:
        detail.append(f"id {r.id}")
    text = (
        r.words
        + (f" ({', '.join(detail)})" if detail else "")
        + (f" [{r.code}; engine: {r.engine}]" if r.engine else f" [{r.code}]")
    )
    if where is not None:
        # The loan fails for a step that does not read: named where its own file writes it.
        return CliError(where[0], text, row=where[1], column=where[2])
    return CliError(
        run.path, text, row=run.row_of(r.index) if r.index != NO_LOAN else None, column=run.column_of(r.field)
    )


def nothing_scheduled(run: TapeRun, refused: list[Refused]) -> CliError:
    counts = ", ".join(f"{c} {n:,}" for c, n in Counter(r.code for r in refused).most_common())
    return CliError(
        run.path, f"not a single loan could be scheduled: all {run.loans:,} failed ({counts})", status=Exit.NOTHING
    )


def _rows(run: TapeRun, refused: list[Refused]) -> list[int]:
    """Each refusal's row as a person finds it; 0 for a rate step that no tape row holds."""
    held = [r.index for r in refused if r.index != NO_LOAN]
    rows = iter(run.rows_of(held).tolist() if held else [])
    return [0 if r.index == NO_LOAN else next(rows) for r in refused]


def _place(where: tuple[str, int, str] | None) -> str:
    return "" if where is None else f" (the rate steps' {where[0]}, row {where[1]}, column {where[2]})"


def write_refused(path: str, kind: str, run: TapeRun, refused: list[Refused]) -> None:
    """The failures file: a row per refused loan, its row as a person finds it in the file, and the value as
    read (row 0 for a rate step whose id no loan of the tape holds)."""
    pa = require("pyarrow", "the quill-harbor command")
    row, loan_id, code, field, value, reason = FAILURE_FILE
    table = pa.table(
        {
            row: pa.array(_rows(run, refused), pa.int64()),
            loan_id: pa.array([r.id for r in refused], pa.string()),
            code: pa.array([r.code for r in refused], pa.string()),
            field: pa.array([r.field for r in refused], pa.string()),
            value: pa.array([r.value for r in refused], pa.string()),
            reason: pa.array([r.words + _place(_unread_step(run, r)) for r in refused], pa.string()),
        }
    )
    write_table(table, path, kind)


def loans_refused(refused: list[Refused]) -> int:
    """Refused loans: a rate step for an id the tape does not hold is listed, but is no loan."""
    return sum(1 for r in refused if r.index != NO_LOAN)


def refusal_rows(refused: list[Refused]) -> list[tuple[str, str]]:
    """The summary's rows of refused loans, by code, and of rate steps that named no loan."""
    orphans = len(refused) - loans_refused(refused)
    return [
        ("failed loans", f"{loans_refused(refused):,}"),
        *by_code(r.code for r in refused if r.index != NO_LOAN),
        *([("rate steps for no loan", f"{orphans:,}")] if orphans else []),
    ]


def stop_on(args: Any, run: TapeRun, refused: list[Refused]) -> CliError | None:
    """The error that ends the run before its outputs are kept: the first refused loan with --errors raise,
    or every loan refused; None when the run goes on."""
    if args.errors == "raise" and refused:
        return first_refusal(run, refused)
    if not run.loans:
        return CliError(run.path, "the tape holds no loans, only its header: nothing to compute", status=Exit.NOTHING)
    if loans_refused(refused) == run.loans:
        return nothing_scheduled(run, refused)
    return None
