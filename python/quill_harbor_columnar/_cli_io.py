"""The command's files: reading a tape through the mapping, and writing outputs safely.

An output is written to a temporary file in its own folder and renamed into
place only when the run succeeded; on any failure, or Ctrl-C, the temporary
file is removed and whatever was at the output path stays as it was. An
output that is the input is refused before anything is opened.
"""

from __future__ import annotations

import contextlib
import os
from collections import Counter
import tempfile
from typing import Any, Callable, Iterator

from ._book import FREQUENCY_WORDS, Converter, Spec, tape_row_mapper
from ._optional import require
from ._tape_io import Tape, TapeError

OUTPUT_KINDS = {".parquet": "parquet", ".pq": "parquet", ".csv": "csv", ".arrow": "ipc", ".feather": "ipc",
                ".ipc": "ipc"}
PLOT_KINDS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
# No field of a real tape comes near this; a longer one is a broken file (a
# missing closing quote swallows the rest of the file into one field).
MAX_FIELD_BYTES = 1 << 20


class CliError(Exception):
    """A user-facing failure: printed as one line, exit status 2 (or ``status``)."""

    def __init__(self, file: str | None, reason: str, row: int | None = None, column: str | None = None,
                 status: int = 2) -> None:
        parts = [p for p in (file, f"row {row}" if row is not None else None,
                             f"column {column}" if column else None) if p]
        super().__init__(": ".join([", ".join(parts), reason]) if parts else reason)
        self.status = status


def kind_by_extension(path: str, kinds: dict[str, str], what: str) -> str:
    ext = os.path.splitext(path)[1].lower()
    if ext not in kinds:
        raise CliError(path, f"{what} must end in {', '.join(sorted(set(kinds)))}")
    return kinds[ext]


def refuse_overwriting_input(inputs: list[str], output: str) -> None:
    """Refuses an output path that is an input (same file, through any link or spelling)."""
    if os.path.isdir(output):
        raise CliError(output, "is a folder; name a file to write")
    if not os.path.exists(output):
        return
    for path in inputs:
        if os.path.exists(path) and os.path.samefile(path, output):
            raise CliError(output, "is the input file; name another output so the input is kept")


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[str]:
    """A temporary path beside ``path``, renamed onto it only if the block completes."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".partial", dir=folder)
    except OSError as e:
        raise CliError(path, f"cannot write here: {e.strerror or e}") from None
    os.close(fd)
    try:
        yield tmp
        # mkstemp makes the file private; the output gets the usual permissions.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _plain_labels(batch: Any) -> Any:
    """CSV and the Arrow file format take one dictionary per file: labels go as plain text there."""
    pa = require("pyarrow", "writing outputs")
    if not any(pa.types.is_dictionary(f.type) for f in batch.schema):
        return batch
    arrays = [c.cast(c.type.value_type) if pa.types.is_dictionary(c.type) else c for c in batch.columns]
    return pa.RecordBatch.from_arrays(arrays, names=batch.schema.names)


def _plain_schema(schema: Any) -> Any:
    pa = require("pyarrow", "writing outputs")
    return pa.schema([pa.field(f.name, f.type.value_type if pa.types.is_dictionary(f.type) else f.type)
                      for f in schema])


class TableSink:
    """Batches to one file of ``kind`` (parquet, csv or ipc)."""

    def __init__(self, path: str, kind: str, schema: Any, *, threads: int = 2, parquet: dict | None = None) -> None:
        self.kind = kind
        self._file: Any = None
        if kind == "parquet":
            from ._parquet_parallel import ParallelParquetWriter

            self._file = open(path, "wb")
            self.writer: Any = ParallelParquetWriter(self._file, schema, threads=threads, **(parquet or {}))
        elif kind == "csv":
            pcsv = require("pyarrow.csv", "writing CSV")
            self.writer = pcsv.CSVWriter(path, _plain_schema(schema))
        else:
            pa = require("pyarrow", "writing Arrow files")
            self.writer = pa.ipc.new_file(path, _plain_schema(schema))

    def write(self, batch: Any) -> None:
        self.writer.write_batch(batch if self.kind == "parquet" else _plain_labels(batch))

    def close(self) -> None:
        self.writer.close()
        if self._file is not None:
            self._file.close()

    def abort(self) -> None:
        with contextlib.suppress(Exception):
            if self.kind == "parquet":
                self.writer.abort()
            else:
                self.writer.close()
        if self._file is not None:
            self._file.close()


def write_table(table: Any, path: str, kind: str, *, atomic: bool = True) -> None:
    """A whole (small) table to ``path``, through a temporary file unless the caller made one."""
    with atomic_output(path) if atomic else contextlib.nullcontext(path) as target:
        sink = TableSink(target, kind, table.schema, threads=1)
        try:
            for batch in table.to_batches():
                sink.write(batch)
        except BaseException:
            sink.abort()
            raise
        sink.close()


# ---------------------------------------------------------------- reading


def parse_map(items: list[str] | None) -> dict[str, str]:
    mapping: dict[str, str] = {}
    for item in items or []:
        target, sep, source = item.partition("=")
        if not sep or not target.strip() or not source.strip():
            raise CliError(None, f"--map takes TARGET=SOURCE (for example amt=principal), not {item!r}")
        mapping[target.strip()] = source.strip()
    return mapping


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
        try:
            self.tape = Tape(path, delimiter=delimiter, batch_rows=batch_rows)
            self.spec = Spec(mapping, rate_unit, periods_per_year, self.tape.names)
        except TapeError as e:
            raise CliError(None, str(e)) from None
        except (TypeError, ValueError) as e:
            raise CliError(path, str(e)) from None
        self.converter = Converter(self.spec)
        self.errors = errors
        self.failures: list[tuple] = []
        self.dropped: list[int] = []
        self.loans = 0
        self.frequencies: Counter[int] = Counter()  # loans by payment frequency, for the plot
        self.error: BaseException | None = None
        self.total = self.tape.num_rows

    def column_of(self, field: str | None) -> str | None:
        return self.spec.sources.get(field) if field else None

    def _fail(self, reason: str, row: int | None = None, field: str | None = None) -> CliError:
        return CliError(self.path, reason, row=row, column=self.column_of(field))

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
        except TapeError as e:
            raise CliError(None, str(e)) from None
        except TypeError as e:
            raise CliError(self.path, str(e), column=source) from None
        self.total = rows
        if high and not allow_high and first is not None:
            raise CliError(
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
                for f in failures:
                    if f[2] == "null":
                        raise self._fail("the value is missing" + (f" (id {f[1]})" if f[1] else ""),
                                         row=f[0] + 1, field=f[3])
                self.failures.extend(failures)
                self.dropped.extend(f[0] for f in failures)
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
        except CliError as e:
            self.error = e
            raise
        except TapeError as e:
            self.error = CliError(None, str(e))
            raise self.error from None
        except pa.ArrowException as e:
            self.error = CliError(self.path, str(e).splitlines()[0])
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
    from ._book import _floats, _Rows

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
