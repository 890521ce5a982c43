"""The ``quill-harbor`` command: sample books, schedules, cash flows, projections and values of a loan tape.

Exit statuses (``Exit``): 0 when everything that could be scheduled was
written (loans refused under ``--errors skip`` are listed in the summary), 2
for bad usage or bad input, as one line naming the file, row, column and
value where known, 3 when not a single loan could be scheduled, and 130 when
interrupted. No run prints a traceback, and no failed run leaves an output
behind.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence
from importlib.metadata import PackageNotFoundError, version
from typing import Any

from .._internal.deps import optional
from ..io.atomic import OutputError
from ..tape.files import TapeError
from . import backtest, cashflows, interrupts, performance, project, sample, sample_history, schedules, value
from .exits import CliError, Exit
from .options import TAPE_HELP, Parser
from .run import execute


def _version() -> str:
    try:
        return version("quill_harbor")
    except PackageNotFoundError:  # pragma: no cover - running from a source tree
        return "unknown"


def build_parser() -> Parser:
    parser = Parser(
        prog="quill-harbor",
        description="Loan repayment schedules and cash flows for whole books, exact to the bit in binary32. "
        + TAPE_HELP,
        epilog=f"Exit status: {Exit.OK:d} done (refused loans listed), {Exit.FAILED:d} bad usage or bad input, "
        f"{Exit.NOTHING:d} no loan could be scheduled.",
    )
    parser.add_argument("--version", action="version", version=f"quill-harbor {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in (sample, schedules, cashflows, project, value, sample_history, performance, backtest):
        command.register(sub)
    return parser


def _failed(text: str, status: int) -> int:
    """The one line of a failed run; a failure that followed an interrupt (a reader or writer that met it
    first and reported its own error) is the interrupt."""
    if interrupts.received():
        return _interrupted()
    print(f"quill-harbor: error: {text}", file=sys.stderr)
    return status


def _interrupted() -> int:
    print("quill-harbor: interrupted; no output was written", file=sys.stderr)
    return Exit.INTERRUPTED


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    # SIGTERM unwinds like Ctrl-C, so temporary outputs are removed.
    with interrupts.watching():
        return _run(args)


def _run(args: Any) -> int:
    try:
        # pyarrow imports pandas lazily, from compiled code that drops the
        # exceptions it meets: a Ctrl-C or SIGTERM landing in that import
        # would be lost (the run then finishes, or fails on a half-imported
        # pandas). Imported here first, an interrupt stays an interrupt.
        optional("pandas")
        return execute(args.run, args)
    except CliError as e:
        return _failed(str(e), e.status)
    except (TapeError, OutputError) as e:
        return _failed(str(e), Exit.FAILED)
    except KeyboardInterrupt:
        return _interrupted()
    except MemoryError:
        return _failed("out of memory", Exit.FAILED)
    except ImportError as e:
        return _failed(str(e), Exit.FAILED)
    except OSError as e:
        where = f"{e.filename}: " if getattr(e, "filename", None) else ""
        return _failed(f"{where}{e.strerror or e}", Exit.FAILED)
    except Exception as e:  # noqa: BLE001 - the promise is one line, never a traceback
        first = str(e).strip().splitlines()[0] if str(e).strip() else ""
        return _failed(f"{type(e).__name__}: {first}", Exit.FAILED)
