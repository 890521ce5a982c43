"""A tape read through the mapping, batch by batch, for one run of the command.

The tape is read once. Everything the run needs besides the engine's
columns is gathered in that one pass: the rows that cannot be read (kept as
failures with their tape rows and dropped from the engine's input), rates
too high to be rates per period, loan terms past any real loan's, the
payment frequencies the plot's bars follow, and columns carried through for
the caller (the segments of ``project --by``). A broken file (a NUL byte, a
field past any real tape's) stops the run with a ``TapeError`` naming the
file, row and column.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any

from .._internal.deps import require
from .._internal.names import AGE
from ..errors import Failure
from . import texts
from .files import RowNumbers, Tape, TapeError
from .periods import in_book_periods
from .reading import (
    Converter,
    Spec,
    orphan_failures,
    read_rate_steps,
    row_numbers,
    steps_refusal,
    tape_row_mapper,
)
from .steps import NO_LOAN
from .words import FREQUENCY_WORDS

# A loan's shape, as the run's summary counts it (a loan may be of several).
SHAPES = ("plain", "interest-only", "balloon", "bullet", "stepped")

# No field of a real tape comes near this; a longer one is a broken file (a
# missing closing quote swallows the rest of the file into one field).
MAX_FIELD_BYTES = 1 << 20
# Terms longer than this (100 years) are flagged in the run's summary: a
# term in days or a typing slip, more likely than a real loan.
MAX_PLAIN_TERM_MONTHS = 1200


class LongTerms:
    """Loans whose term passes MAX_PLAIN_TERM_MONTHS: how many, the longest, and the first one's tape row."""

    def __init__(self) -> None:
        self.count = 0
        self.longest = 0
        self.first: int | None = None


class TapeRun:
    """A tape read through the mapping, batch by batch, for one command.

    Rows that cannot be read are kept as failures with their tape rows (0-based
    ``index``) and dropped from the engine's input; ``to_tape`` maps a row of
    the engine's input back to its tape row. A NUL byte, a field past 1 MiB, a
    dictionary-encoded id or a column of the wrong type stops the run: these
    are a broken file, not a loan to skip. ``ages=False`` leaves an ``age``
    column unread, for runs whose flows start at origination.
    """

    def __init__(
        self,
        path: str,
        *,
        mapping: dict[str, str],
        rate_unit: str,
        periods_per_year: int,
        delimiter: str | None,
        batch_rows: int,
        errors: str,
        rate_steps: str | None = None,
        allow_high_rates: bool = False,
        ages: bool = True,
        reading: Mapping[str, Any] | None = None,
    ) -> None:
        self.path = path
        self.tape = Tape(path, delimiter=delimiter, batch_rows=batch_rows)
        try:
            # ``reading``: Spec's other options (decimal, age_from, as_of, remaining, frequency_unit,
            # exact_amounts).
            self.spec = Spec(mapping, rate_unit, periods_per_year, self.tape.names, **(reading or {}))
        except (TypeError, ValueError) as e:
            raise TapeError(path, str(e)) from None
        if not ages:
            self.spec.sources.pop(AGE, None)
        steps = None
        if rate_steps is not None:
            try:
                # --delimiter names the tape's; the steps file is a file of its own, its delimiter sniffed.
                steps = read_rate_steps(rate_steps, self.spec)
            except (TypeError, ValueError) as e:
                raise TapeError(rate_steps, str(e)) from None
            refusal = None if allow_high_rates else steps_refusal(steps, rate_steps, texts.COMMAND)
            if refusal is not None:
                raise TapeError(rate_steps, str(refusal))
        self.converter = Converter(self.spec, steps=steps)
        self.steps_path = rate_steps
        # Loans by shape, once the tape has shape columns or steps.
        self.shapes: Counter[str] | None = (
            Counter() if steps is not None or any(f in self.spec.sources for f in ("io_pers", "amort_pers")) else None
        )
        self.errors = errors
        self.allow_high_rates = allow_high_rates
        self.failures: list[Failure] = []
        self.dropped: list[int] = []
        self.loans = 0
        self.frequencies: Counter[int] = Counter()  # loans by payment frequency, for the plot
        self.long_terms = LongTerms()
        self.error: BaseException | None = None
        self.total = self.tape.num_rows
        self._batches: Iterator[Any] | None = None
        self._numbers: RowNumbers | None = None
        self._numbered_whole = False  # whether the numbers were made knowing the row count
        self._read = False  # whether every row has been read (so the row count is known)

    def column_of(self, field: str | None) -> str | None:
        return self.spec.sources.get(field) if field else None

    def row_of(self, index: int) -> int:
        """The number a person finds tape row ``index`` (from 0) by, as ``book()`` numbers it: a CSV
        file's line in an editor, another tape's position. Made once the row count is known, which
        spares a regular CSV file a record-by-record read."""
        return int(self.rows_of([index])[0])

    def rows_of(self, indices: Sequence[int]) -> Any:
        """``row_of`` of many tape rows at once (an int64 array)."""
        if self._numbers is None or (self._read and not self._numbered_whole):
            self._numbered_whole = self._read
            self._numbers = self.tape.row_numbers(self.loans if self._read else None)
        return self._numbers(indices)

    def unread_step(self, loan_id: str | None) -> tuple[str, int, str] | None:
        """(the steps' file, its row as a person finds it, the column) of a loan's first step that does not
        read, if any."""
        steps = self.converter.steps
        if steps is None or self.steps_path is None:
            return None
        where = steps.unread(loan_id)
        if where is None:
            return None
        return self.steps_path, row_numbers(self.steps_path, len(steps.ids)).of(where[0]), where[1]

    def _fail(self, reason: str, row: int | None = None, field: str | None = None) -> TapeError:
        return TapeError(self.path, reason, row=row, column=self.column_of(field))

    def batches(self, progress: Any, keep: Sequence[str] = ()) -> Iterator[Any]:
        """The engine's columns batch by batch, then the tape columns ``keep`` as read, of the rows kept."""
        pa = require("pyarrow", "reading tapes")
        extra = [name for name in keep if name not in self.converter.schema.names]
        columns = list(dict.fromkeys([*self.spec.source_columns, *extra]))
        raws = self.tape.batches(columns)
        try:
            for raw in raws:
                batch, dropped = self._convert(raw)
                if not self.allow_high_rates and self.converter.high:
                    # Every loan of the tape would be computed wrongly: stop here, and read
                    # on only to count the rates for the refusal.
                    for rest in raws:
                        self._convert(rest)
                    self._refuse_rates()
                self._observe(batch, dropped, self.loans - raw.num_rows)
                if self.shapes is not None:
                    self._count_shapes(batch)
                if extra:
                    batch = _with_columns(batch, raw, extra, dropped)
                if self.total is None:
                    progress.estimate(self.tape.estimated_rows(self.loans))
                progress.advance(raw.num_rows)
                yield batch
                if self.errors == "raise" and self.failures:
                    return  # the engine finishes this batch; the earliest failure is then known
            # Steps for ids no batch held fail on their own, at no tape row.
            self.failures.extend(
                Failure.of(f) for f in orphan_failures(self.converter.steps, self.spec.periods_per_year)
            )
            if not self.allow_high_rates:
                self._refuse_rates()
            self._read = True
        except TapeError as e:
            self.error = e
            raise
        except pa.ArrowException as e:
            self.error = TapeError(self.path, str(e).splitlines()[0])
            raise self.error from None

    def _count_shapes(self, batch: Any) -> None:
        np = require("numpy", "reading tapes")
        assert self.shapes is not None
        names = batch.schema.names
        pers = np.asarray(batch.column("pers"), dtype=np.int64)

        def ints(name: str, default: Any) -> Any:
            if name not in names:
                return default
            column = batch.column(name)
            return np.where(np.asarray(column.is_null()), default, np.asarray(column.fill_null(0), dtype=np.int64))

        io = ints("io_pers", np.zeros_like(pers))
        amort = ints("amort_pers", pers - io)
        stepped = (
            np.asarray(batch.column("rate_steps").is_valid()) if "rate_steps" in names else np.zeros(len(pers), bool)
        )
        kinds = {
            "interest-only": (io > 0) & (io < pers),
            "balloon": (amort > pers - io) & (io < pers),
            "bullet": io == pers,
            "stepped": stepped,
        }
        kinds["plain"] = ~np.logical_or.reduce(list(kinds.values())) if len(pers) else np.zeros(0, bool)
        for name in SHAPES:
            self.shapes[name] += int(kinds[name].sum())

    def _convert(self, raw: Any) -> tuple[Any, list[int]]:
        """One tape batch as the engine's columns, its failures kept; the dropped rows, from the batch's first."""
        offset = self.loans
        self._refuse_broken(raw, offset)
        try:
            batch, failures = self.converter.convert(raw, offset)
        except (TypeError, ValueError) as e:
            raise self._fail(str(e)) from None
        records = [Failure.of(f) for f in failures]
        self.failures.extend(records)
        self.dropped.extend(f.index for f in records)
        self.loans += raw.num_rows
        return batch, [f.index - offset for f in records]

    def _refuse_rates(self) -> None:
        """Stops a tape whose rates are implausible in their unit (unless allowed), as ``book()`` does;
        called once every row is read."""
        self._read = True
        refusal = self.converter.refusal(self.row_of, texts.COMMAND)
        if refusal is not None:
            raise TapeError(self.path, str(refusal))

    def _observe(self, batch: Any, dropped: list[int], offset: int) -> None:
        """The payment frequencies and the terms past MAX_PLAIN_TERM_MONTHS of the batch's loans."""
        np = require("numpy", "reading tapes")
        ppy = self.spec.periods_per_year
        for name in ("int_freq", "cap_freq"):
            values, counts = np.unique(in_book_periods(batch, name, ppy), return_counts=True)
            for value, n in zip(values.tolist(), counts.tolist()):
                self.frequencies[value] += n
        pers = in_book_periods(batch, "pers", ppy)
        long = np.flatnonzero(pers * 12 > MAX_PLAIN_TERM_MONTHS * self.spec.periods_per_year)
        if len(long):
            terms = self.long_terms
            if terms.first is None:
                terms.first = offset + int(tape_row_mapper(dropped)([int(long[0])])[0])
            terms.count += len(long)
            terms.longest = max(terms.longest, int(pers[long].max()))

    def _refuse_broken(self, raw: Any, offset: int) -> None:
        pa = require("pyarrow", "reading tapes")
        pc = require("pyarrow.compute", "reading tapes")
        np = require("numpy", "reading tapes")
        for field, source in self.spec.sources.items():
            column = raw.column(source)
            if field == "id" and pa.types.is_dictionary(column.type):
                raise self._fail(
                    "the id column is dictionary-encoded (categorical); write the ids as plain text", field="id"
                )
            if pa.types.is_dictionary(column.type):
                column = column.dictionary_decode()
            if not (pa.types.is_string(column.type) or pa.types.is_large_string(column.type)):
                continue
            # Both checks look at the column's buffers first: a clean column, the
            # usual case, costs one scan of its bytes and no per-row work.
            offsets, data = _text_buffers(column)
            if data is not None and data.find(b"\x00") >= 0:
                nul = np.flatnonzero(np.asarray(pc.fill_null(pc.match_substring(column, "\x00"), False)))
                if len(nul):
                    raise self._fail("the value holds a NUL byte", row=self.row_of(offset + int(nul[0])), field=field)
            if len(offsets) > 1 and int(np.diff(offsets).max()) > MAX_FIELD_BYTES:
                long = np.flatnonzero(np.asarray(pc.fill_null(pc.binary_length(column), 0)) > MAX_FIELD_BYTES)
                if len(long):
                    size = len(column[int(long[0])].as_py().encode())
                    raise self._fail(
                        f"a field of {size:,} bytes is longer than the 1 MiB a tape field may hold",
                        row=self.row_of(offset + int(long[0])),
                        field=field,
                    )

    def reader(self, progress: Any, keep: Sequence[str] = ()) -> Any:
        """The batches as a pyarrow RecordBatchReader (``keep``: tape columns carried through)."""
        pa = require("pyarrow", "reading tapes")
        schema = self.converter.schema
        extra = [name for name in keep if name not in schema.names]
        if extra:
            kept = self.tape.schema_of(extra)
            schema = pa.schema([*schema, *(kept.field(name) for name in extra)])
        # The run holds the generator, so that it is not closed when the engine's
        # stream lets go of the reader: an interrupt the engine passes back to
        # this thread is then raised in the run's own code, not lost inside the
        # generator's close.
        self._batches = self.batches(progress, keep)
        return pa.RecordBatchReader.from_batches(schema, self._batches)

    def to_tape(self) -> Callable[[Any], Any]:
        return tape_row_mapper(sorted(i for i in self.dropped if i != NO_LOAN))


def _text_buffers(column: Any) -> tuple[Any, Any]:
    """A text column's value offsets (NumPy) and the bytes they index (a memoryview, or None when empty)."""
    np = require("numpy", "reading tapes")
    pa = require("pyarrow", "reading tapes")
    _, offsets, data = column.buffers()
    width = np.int64 if pa.types.is_large_string(column.type) else np.int32
    offsets = (
        np.frombuffer(offsets, dtype=width, count=len(column) + 1, offset=column.offset * width().itemsize)
        if offsets is not None
        else np.zeros(1, dtype=width)
    )
    if data is None or not len(column):
        return offsets, None
    return offsets, memoryview(data)[int(offsets[0]) : int(offsets[-1])].tobytes()


def _with_columns(batch: Any, raw: Any, names: list[str], dropped: list[int]) -> Any:
    """``batch`` with the tape columns ``names`` of ``raw`` appended, less the ``dropped`` rows."""
    pa = require("pyarrow", "reading tapes")
    np = require("numpy", "reading tapes")
    arrays, fields = list(batch.columns), list(batch.schema)
    mask = None
    if dropped:
        mask = np.ones(raw.num_rows, dtype=bool)
        mask[np.asarray(dropped, dtype=np.int64)] = False
        mask = pa.array(mask)
    for name in names:
        column = raw.column(name)
        arrays.append(column.filter(mask) if mask is not None else column)
        fields.append(raw.schema.field(name))
    return pa.RecordBatch.from_arrays(arrays, schema=pa.schema(fields))


FREQUENCY_HELP = ", ".join(FREQUENCY_WORDS)
