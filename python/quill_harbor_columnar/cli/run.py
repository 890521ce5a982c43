"""The one run every command goes through.

1. Check every output path: its extension names a format, it is not the
   input, nor a file inside an input folder, nor another output.
2. Make a temporary file beside each output (so a missing or read-only
   folder stops the run before anything is computed).
3. Open the input and compute.
4. Stop on refused loans (the first with ``--errors raise``; every loan
   refused ends with status 3, the failures file alone put in place).
5. Write every output, the data file, ``--failures`` and ``--plot``, to its
   temporary file.
6. Put all of them in place, or, if anything above failed, none.
7. Report.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from collections.abc import Iterator
from typing import Any, NamedTuple

from .._internal.deps import require
from .._internal.names import AGE
from ..io.atomic import Staged
from ..io.formats import accepted, format_of
from ..scheduling import cashflows, stream_schedules
from ..tape.files import TapeError
from ..tape.stream import TapeRun
from . import interrupts
from .exits import CliError, Exit
from .failures import Refused, refused_loans, stop_on, write_refused
from .options import parse_map, reading_options
from .progress import Progress

# The tape's remaining term, which gives the age.
REMAINING = "remaining"
# The destinations of every flag, of any subcommand, that names a file the run reads besides the tape:
# a new input flag is added here, and every output of every subcommand is checked against it.
INPUT_FLAGS = ("rate_steps", "scenarios", "curve", "prices")


class Output(NamedTuple):
    path: str
    kind: str  # a format of ``io.formats``
    flag: str  # how the user named it, for messages: "the output", "--failures", "--plot"


def output(path: str, use: str, flag: str) -> Output:
    """An output path whose extension serves ``use`` ("table" or "plot")."""
    kind = format_of(path, use)
    if kind is None:
        raise CliError(path, f"{flag} must end in {accepted(use)}")
    return Output(path, kind, flag)


class Done(NamedTuple):
    """What a run leaves for its report."""

    run: TapeRun | None
    result: Any
    refused: list[Refused]
    elapsed: float


class Command:
    """One subcommand: what it writes, how it computes, what it writes, what it reports.

    ``compute`` may write the data file itself, batch by batch, to its
    temporary path (``staged[path]``); ``write`` writes what is left.
    """

    name = ""
    reads_tape = True
    # Whether the run's flows start from each loan's age; if not, they start
    # at origination and an age column is not read.
    reads_ages = False
    # What the progress line counts.
    unit = "loans"

    def outputs(self, args: argparse.Namespace) -> list[Output]:
        """Every output of the run, from the flags alone: the data file, and --failures and --plot where
        the command has them and they are given."""
        out = [output(args.output, "table", "the output")]
        if getattr(args, "failures", None):
            out.append(output(args.failures, "table", "--failures"))
        if getattr(args, "plot", None):
            out.append(output(args.plot, "plot", "--plot"))
        return out

    def inputs(self, args: argparse.Namespace) -> list[str]:
        """Every file the run reads, so that no output replaces one: the tape and each file an input flag
        of any subcommand names. An override adds to this list; it never replaces it."""
        files = [args.loans] if self.reads_tape else []
        return files + [getattr(args, dest) for dest in INPUT_FLAGS if getattr(args, dest, None)]

    def prepare(self, args: argparse.Namespace) -> None:
        """Checks of the flags that need no file of the run's (before anything is opened)."""
        if not self.reads_tape:
            return
        mapping = parse_map(args.map)
        given = [f"--map {name}=..." for name in (AGE, REMAINING) if name in mapping]
        given += ["--age-from"] if args.age_from is not None else []
        if given and not self.reads_ages:
            raise CliError(
                None,
                f"{given[0]} has no effect on {self.name}: its flows run from each loan's "
                "origination; `quill-harbor project` runs from the loans' ages",
            )
        reading_options(args)  # --age-from without --as-of, before anything is opened

    def compute(self, args: argparse.Namespace, run: TapeRun | None, progress: Progress, staged: Staged) -> Any:
        raise NotImplementedError

    def engine_errors(self, result: Any) -> Any:
        return result.errors

    def write(self, args: argparse.Namespace, done: Done, staged: Staged, writing: Any) -> None:
        """Writes the outputs ``compute`` did not, each inside ``writing(output path)``."""

    def report(self, args: argparse.Namespace, done: Done) -> None:
        raise NotImplementedError


_TAKES_AGES: dict[str, bool] = {}


def takes_ages(call: str) -> bool:
    """Whether the library's ``call`` ("schedules": the stream the schedules subcommand writes, or
    "cashflows") runs a loan that has an age from that age on, asked of the library itself with a
    two-period loan aged one: until it does, an age given to that subcommand would be dropped without a
    word, so it is refused."""

    def rows(loan: dict[str, list[Any]]) -> int:
        if call == "cashflows":
            return int(cashflows(loan).num_rows)
        return sum(batch.num_rows for batch in stream_schedules(loan).to_reader())

    if call not in _TAKES_AGES:
        loan: dict[str, list[Any]] = {"amt": [1.0], "rate": [0.01], "pers": [2], "int_freq": [1], "cap_freq": [1]}
        _TAKES_AGES[call] = rows({**loan, AGE: [1]}) != rows(loan)
    return _TAKES_AGES[call]


def _inside(folder: str, path: str) -> bool:
    real_folder = os.path.realpath(folder)
    real = os.path.join(os.path.realpath(os.path.dirname(os.path.abspath(path))), os.path.basename(path))
    return os.path.commonpath([real_folder, real]) == real_folder


def check_outputs(outputs: list[Output], inputs: list[str]) -> None:
    """Refuses an output that is a folder, is an input (through any link or spelling), lies inside an input
    folder (a Parquet dataset), or names the same file as another output."""
    for out in outputs:
        if os.path.isdir(out.path):
            raise CliError(out.path, "is a folder; name a file to write")
        for path in inputs:
            if os.path.isdir(path):
                if _inside(path, out.path):
                    raise CliError(
                        out.path, f"is inside the input folder {path}; name an output outside it so the input is kept"
                    )
            elif os.path.exists(path) and os.path.exists(out.path) and os.path.samefile(path, out.path):
                raise CliError(out.path, "is the input file; name another output so the input is kept")
    real = [os.path.realpath(out.path) for out in outputs]
    if len(set(real)) != len(real):
        raise CliError(None, "two outputs name the same file")


def open_tape(command: Command, args: argparse.Namespace) -> TapeRun:
    """The tape through the mapping (its header only: the rows are read once, as the run computes)."""
    return TapeRun(
        args.loans,
        mapping=parse_map(args.map),
        rate_unit=args.rate_unit,
        periods_per_year=args.periods_per_year,
        delimiter=args.delimiter,
        batch_rows=args.batch_rows,
        errors=args.errors,
        rate_steps=args.rate_steps,
        allow_high_rates=args.allow_high_rates,
        ages=command.reads_ages,
        # Cent mode keeps every amount on its cent (Spec's exact_amounts).
        reading={**reading_options(args), "exact_amounts": getattr(args, "precision", "binary32") == "cent"},
    )


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


@contextlib.contextmanager
def _computing(args: argparse.Namespace, run: TapeRun | None) -> Iterator[None]:
    """A failure while computing as the one line the command prints: the tape's own error when reading it
    failed under the engine, else the library's refusal against the tape."""
    pa = require("pyarrow", "the quill-harbor command")
    try:
        yield
    except (CliError, TapeError):
        raise
    except BaseException as e:
        if run is not None and run.error is not None and e is not run.error:
            raise run.error from None
        if isinstance(e, (pa.ArrowException, TypeError, ValueError)):
            tape = getattr(args, "loans", None)
            raise CliError(tape if isinstance(tape, str) else None, _first_line(e)) from None
        raise


@contextlib.contextmanager
def _writing(path: str) -> Iterator[None]:
    """A failure while writing one output, as one line naming it."""
    try:
        yield
    except (CliError, KeyboardInterrupt, MemoryError):
        raise
    except OSError as e:  # a full disk, a folder gone
        raise CliError(path, f"cannot be written: {e.strerror or _first_line(e)}") from None
    except Exception as e:  # noqa: BLE001 - a plot or writer refusing its data ends the run as one line
        raise CliError(path, f"cannot be written: {_first_line(e)}") from None


def _first_conversion() -> None:
    """pyarrow imports pandas, when it is installed, on its first conversion. Made here, before the tape is
    read, an interrupt during that long import stops the run as any interrupt does, instead of leaving a
    half-imported pandas under the engine's next call."""
    require("pyarrow", "the quill-harbor command").array([0])


def execute(command: Command, args: argparse.Namespace) -> int:
    _first_conversion()
    outputs = command.outputs(args)
    # The base class's inputs whatever a subcommand's own list says: no input flag is ever left unchecked.
    check_outputs(outputs, list(dict.fromkeys([*Command.inputs(command, args), *command.inputs(args)])))
    command.prepare(args)
    failures = next((o for o in outputs if o.flag == "--failures"), None)
    with Staged([o.path for o in outputs]) as staged:
        run = open_tape(command, args) if command.reads_tape else None
        show = args.progress if getattr(args, "progress", None) is not None else sys.stderr.isatty()
        if show and run is not None and run.total is None:
            # A CSV tape's rows show only as it is read: counted first, so the report has a real total.
            run.total = run.tape.counted_rows()
        progress = Progress(command.name, run.total if run is not None else None, show, unit=command.unit)
        start = time.perf_counter()
        try:
            with _computing(args, run):
                result = command.compute(args, run, progress, staged)
        finally:
            progress.finish()
        elapsed = time.perf_counter() - start
        refused: list[Refused] = []
        if run is not None:
            refused = refused_loans(run, command.engine_errors(result))
            stop = stop_on(args, run, refused)
            if stop is not None:
                if stop.status == Exit.NOTHING and failures is not None and refused:
                    # Nothing was computed: the listing of why is the run's one output.
                    with _writing(failures.path):
                        write_refused(staged[failures.path], failures.kind, run, refused)
                    interrupts.check()
                    staged.commit([failures.path])
                raise stop
        done = Done(run, result, refused, elapsed)
        if failures is not None:
            assert run is not None  # only a run of a tape lists refused loans
            with _writing(failures.path):
                write_refused(staged[failures.path], failures.kind, run, refused)
        command.write(args, done, staged, _writing)
        interrupts.check()
        staged.commit()
    command.report(args, done)
    return Exit.OK
