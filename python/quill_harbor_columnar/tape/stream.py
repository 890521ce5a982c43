"""A tape read through the mapping, batch by batch, for one run of the command.

Rows that cannot be read are kept as failures with their tape rows and
dropped from the engine's input; a broken file (a missing value, a NUL byte,
a field past any real tape's) stops the run with a ``TapeError`` naming the
file, row and column.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Iterator
from typing import Any

from .._internal.deps import require
from ..errors import Failure
from .files import Tape, TapeError
from .reading import FREQUENCY_WORDS, Converter, Spec, _floats, _Rows, tape_row_mapper

# No field of a real tape comes near this; a longer one is a broken file (a
# missing closing quote swallows the rest of the file into one field).
MAX_FIELD_BYTES = 1 << 20


class TapeRun:
    """A tape read through the mapping, batch by batch, for one command.

    Rows that cannot be read are kept as failures with their tape rows (0-based
    ``index``) and dropped from the engine's input; ``to_tape`` maps a row of
    the engine's input back to its tape row. A missing value, a NUL byte, a
    dictionary-encoded id or a column of the wrong type stops the run: these
    are a broken file, not a loan to skip.
    """

    def __init__(self, path: str, *, mapping: dict[str, str], rate_unit: str, periods_per_year: int,
                 delimiter: str | None, batch_rows: int, errors: str) -> None:
        self.path = path
        self.tape = Tape(path, delimiter=delimiter, batch_rows=batch_rows)
        try:
            self.spec = Spec(mapping, rate_unit, periods_per_year, self.tape.names)
        except (TypeError, ValueError) as e:
            raise TapeError(path, str(e)) from None
        self.converter = Converter(self.spec)
        self.errors = errors
        self.failures: list[Failure] = []
        self.dropped: list[int] = []
        self.loans = 0
        self.frequencies: Counter[int] = Counter()  # loans by payment frequency, for the plot
        self.error: BaseException | None = None
        self.total = self.tape.num_rows

    def column_of(self, field: str | None) -> str | None:
        return self.spec.sources.get(field) if field else None

    def _fail(self, reason: str, row: int | None = None, field: str | None = None) -> TapeError:
        return TapeError(self.path, reason, row=row, column=self.column_of(field))

    def check_rates(self, allow_high: bool) -> None:
        """Counts the tape's rows and, unless allowed, stops on rates above 1 (100%) per period."""
        np = require("numpy", "reading tapes")
        source = self.spec.sources["rate"]
        spec = Spec({"amt": source, "rate": source, "pers": source, "int_freq": source, "cap_freq": source},
                    self.spec.rate_unit, self.spec.periods_per_year, [source])
        rows, high, first = 0, 0, None
        try:
            for batch in self.tape.batches([source]):
                rate = _rates(batch.column(0), spec)
                with np.errstate(invalid="ignore"):
                    over = np.flatnonzero(rate > 1.0)
                if len(over) and first is None:
                    first = (rows + int(over[0]), batch.column(0)[int(over[0])].as_py())
                high += len(over)
                rows += batch.num_rows
        except TypeError as e:
            raise TapeError(self.path, str(e), column=source) from None
        self.total = rows
        if high and not allow_high and first is not None:
            raise TapeError(
                self.path,
                f"{high:,} loan{'s' if high != 1 else ''} {'have' if high != 1 else 'has'} a rate above 1 (100%) per "
                f"period, the first at row {first[0] + 1}, column {source}: {first[1]!r}; rates are read per period: "
                "for annual percentages add --rate-unit annual-percent (or --allow-high-rates to keep them)")

    def batches(self, progress: Any, stop: Callable[[], bool] = lambda: False) -> Iterator[Any]:
        pa = require("pyarrow", "reading tapes")
        pc = require("pyarrow.compute", "reading tapes")
        offset = 0
        try:
            for raw in self.tape.batches(self.spec.source_columns):
                if stop():
                    return
                self._refuse_broken(raw, offset)
                try:
                    batch, failures = self.converter.convert(raw, offset)
                except (TypeError, ValueError) as e:
                    raise self._fail(str(e)) from None
                records = [Failure.of(f) for f in failures]
                for f in records:
                    if f.code == "null":
                        raise self._fail("the value is missing" + (f" (id {f.id})" if f.id else ""),
                                         row=f.index + 1, field=f.field)
                self.failures.extend(records)
                self.dropped.extend(f.index for f in records)
                for name in ("int_freq", "cap_freq"):
                    counts = pc.value_counts(batch.column(name))
                    for value, n in zip(counts.field("values").to_pylist(), counts.field("counts").to_pylist()):
                        self.frequencies[value] += n
                offset += raw.num_rows
                self.loans += raw.num_rows
                progress.advance(raw.num_rows)
                yield batch
                if self.errors == "raise" and self.failures:
                    return  # the engine finishes this batch; the earliest failure is then known
        except TapeError as e:
            self.error = e
            raise
        except pa.ArrowException as e:
            self.error = TapeError(self.path, str(e).splitlines()[0])
            raise self.error from None

    def _refuse_broken(self, raw: Any, offset: int) -> None:
        pa = require("pyarrow", "reading tapes")
        pc = require("pyarrow.compute", "reading tapes")
        np = require("numpy", "reading tapes")
        for field, source in self.spec.sources.items():
            column = raw.column(source)
            if field == "id" and pa.types.is_dictionary(column.type):
                raise self._fail("the id column is dictionary-encoded (categorical); write the ids as plain text",
                                 field="id")
            if pa.types.is_dictionary(column.type):
                column = column.dictionary_decode()
            if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
                nul = np.flatnonzero(np.asarray(pc.fill_null(pc.match_substring(column, "\x00"), False)))
                if len(nul):
                    raise self._fail("the value holds a NUL byte", row=offset + int(nul[0]) + 1, field=field)
                long = np.flatnonzero(np.asarray(pc.fill_null(pc.binary_length(column), 0)) > MAX_FIELD_BYTES)
                if len(long):
                    size = len(column[int(long[0])].as_py().encode())
                    raise self._fail(f"a field of {size:,} bytes is longer than the 1 MiB a tape field may hold",
                                     row=offset + int(long[0]) + 1, field=field)

    def reader(self, progress: Any, stop: Callable[[], bool] = lambda: False) -> Any:
        pa = require("pyarrow", "reading tapes")
        return pa.RecordBatchReader.from_batches(self.converter.schema, self.batches(progress, stop))

    def to_tape(self) -> Callable[[Any], Any]:
        return tape_row_mapper(sorted(self.dropped))


def _rates(column: Any, spec: Spec) -> Any:
    """Rates per period of one tape column (NaN where a row does not read)."""
    unit = spec.rate_unit
    rows = _Rows(len(column))
    pa = require("pyarrow", "reading tapes")
    if pa.types.is_dictionary(column.type):
        column = column.dictionary_decode()
    values = _floats(column, "rate", spec.sources["rate"], rows, percent=unit == "annual-percent",
                     code="bad_rate", engine_units=False)
    if unit == "annual":
        values = values / spec.periods_per_year
    elif unit == "annual-percent":
        values = values / 100.0 / spec.periods_per_year
    return values


FREQUENCY_HELP = ", ".join(FREQUENCY_WORDS)
