"""Opening a loan tape on disk: CSV, Parquet (a file or a folder of files) and Arrow IPC.

Every reader yields Arrow record batches in tape order, so that a row number
counted here is the row a user finds in the file. CSV is read as text: the
number grammars belong to the tape reader, not to a type guess over the
first block of the file.
"""

from __future__ import annotations

import csv
import os
import re
from collections.abc import Iterator, Sequence
from typing import Any

from .._internal.deps import require
from ..io.formats import CSV, IPC, PARQUET, extensions

#: The extensions read as each format (lower case).
CSV_EXTENSIONS = extensions(CSV)
PARQUET_EXTENSIONS = extensions(PARQUET)
IPC_EXTENSIONS = extensions(IPC)

_BOM = b"\xef\xbb\xbf"
_SNIFF_BYTES = 1 << 16
# A CSV field longer than a read block cannot be parsed; lines of real tapes
# are a few hundred bytes, so this bounds a malformed file, not a real one.
CSV_BLOCK_BYTES = 16 << 20


class TapeError(ValueError):
    """A tape that cannot be opened or read: ``path``, ``row`` (1-based data row) and ``column`` where known."""

    def __init__(self, path: str | None, reason: str, row: int | None = None, column: str | None = None) -> None:
        self.path = path
        self.reason = reason
        self.row = row
        self.column = column
        where = [
            p for p in (path, f"row {row}" if row is not None else None, f"column {column}" if column else None) if p
        ]
        super().__init__(": ".join([", ".join(where), reason]) if where else reason)


def kind_of(path: str) -> str:
    """'csv', 'parquet' or 'ipc' by extension (a folder is a Parquet dataset); TapeError otherwise."""
    if os.path.isdir(path):
        return "parquet"
    lower = path.lower()
    for kind, exts in (("csv", CSV_EXTENSIONS), ("parquet", PARQUET_EXTENSIONS), ("ipc", IPC_EXTENSIONS)):
        if lower.endswith(exts):
            return kind
    raise TapeError(path, "a tape must be .csv, .tsv, .parquet, .arrow or .feather, or a folder of .parquet files")


def _natural_key(name: str) -> list[Any]:
    # part.10.parquet after part.9.parquet, as Dask numbers its parts.
    return [int(t) if t.isdigit() else t for t in re.split(r"(\d+)", name)]


def dataset_files(folder: str) -> list[str]:
    """The .parquet files of a dataset folder, in the order their rows count."""
    files = []
    for root, dirs, names in os.walk(folder):
        dirs[:] = sorted((d for d in dirs if not d.startswith((".", "_"))), key=_natural_key)
        for name in sorted(names, key=_natural_key):
            if name.lower().endswith(PARQUET_EXTENSIONS) and not name.startswith((".", "_")):
                files.append(os.path.join(root, name))
    if not files:
        raise TapeError(folder, "the folder holds no .parquet files")
    return files


class Tape:
    """An opened tape: its column names, its row count where cheap, and its batches."""

    def __init__(self, path: str, *, delimiter: str | None = None, batch_rows: int = 65536) -> None:
        self.path = path
        self.batch_rows = batch_rows
        if not os.path.exists(path):
            raise TapeError(path, "no such file")
        self.kind = kind_of(path)
        self.delimiter = delimiter
        self.num_rows: int | None = None
        if self.kind == "csv":
            self.names = self._csv_header()
        elif self.kind == "parquet":
            pq = require("pyarrow.parquet", "reading Parquet tapes")
            self.files = dataset_files(path) if os.path.isdir(path) else [path]
            try:
                first = pq.ParquetFile(self.files[0])
                self.names = [n.strip() for n in first.schema_arrow.names]
                self.num_rows = sum(pq.ParquetFile(f).metadata.num_rows for f in self.files)
            except Exception as e:  # noqa: BLE001 - Arrow and OS errors alike become one line
                raise TapeError(path, _first_line(e)) from None
            _refuse_repeated(self.files[0], self.names)
        else:
            self.names = [n.strip() for n in self._ipc_reader().schema.names]
            _refuse_repeated(path, self.names)

    # ------------------------------------------------------------ CSV

    def _csv_header(self) -> list[str]:
        with open(self.path, "rb") as f:
            head = f.read(_SNIFF_BYTES)
            # A header with no line break after it has no rows (and the CSV
            # reader cannot skip a line that does not end).
            self._header_only = not head.strip().count(b"\n") and not head.strip().count(b"\r") and not f.read(1)
        if head.startswith(_BOM):
            head = head[len(_BOM) :]
        if not head.strip():
            raise TapeError(self.path, "the file is empty: expected a header line naming the columns")
        text = head.decode("utf-8", errors="replace")
        if self.delimiter is None:
            self.delimiter = _sniff_delimiter(text)
        if len(self.delimiter) != 1:
            raise TapeError(self.path, f"the delimiter must be one character, not {self.delimiter!r}")
        first_line = text.splitlines()[0] if text.splitlines() else ""
        try:
            header = next(csv.reader([first_line], delimiter=self.delimiter), [])
        except csv.Error as e:
            raise TapeError(self.path, f"the header line does not parse: {e}", row=None) from None
        names = [h.strip() for h in header]
        seen: set[str] = set()
        for name in names:
            if name in seen:
                raise TapeError(self.path, f"the header names column {name!r} twice")
            seen.add(name)
        return names

    def _csv_batches(self, columns: list[str]) -> Iterator[Any]:
        pa = require("pyarrow", "reading CSV tapes")
        pcsv = require("pyarrow.csv", "reading CSV tapes")
        if self._header_only:
            return
        # Opened here, not by path, so that the bytes read so far say how far through the file the reader is.
        self._csv_file = pa.OSFile(self.path)
        reader = pcsv.open_csv(
            self._csv_file,
            read_options=pcsv.ReadOptions(column_names=self.names, skip_rows=1, block_size=CSV_BLOCK_BYTES),
            parse_options=pcsv.ParseOptions(delimiter=self.delimiter, newlines_in_values=True),
            convert_options=pcsv.ConvertOptions(
                column_types={c: pa.string() for c in columns},
                include_columns=columns,
                # An empty field is a missing value; "nan" and "NA" stay text for the number grammars.
                strings_can_be_null=True,
                null_values=[""],
                quoted_strings_can_be_null=False,
            ),
        )
        for batch in reader:
            yield from _slices(batch, self.batch_rows)

    def counted_rows(self) -> int | None:
        """About how many rows a CSV tape holds, from its line breaks (a blank line or a value spanning
        lines counts one too many): one read of the file, for a progress report's total. None for other
        tapes."""
        if self.kind != CSV:
            return None
        breaks, last = 0, b"\n"
        with open(self.path, "rb") as f:
            while block := f.read(CSV_BLOCK_BYTES):
                breaks += block.count(b"\n")
                last = block[-1:]
        lines = breaks + (last != b"\n")
        return max(lines - 1, 0)

    def estimated_rows(self, rows: int) -> int | None:
        """About how many rows a CSV tape holds, from the ``rows`` read so far and the bytes they took
        (the reader reads ahead, so early estimates fall short); None for other tapes and before reading."""
        source = getattr(self, "_csv_file", None)
        if self.kind != CSV or source is None or source.closed or not rows:
            return None
        read = source.tell()
        return max(rows, round(rows * source.size() / read)) if read else None

    # ------------------------------------------------------------ Arrow IPC

    def _ipc_reader(self) -> Any:
        pa = require("pyarrow", "reading Arrow IPC tapes")
        try:
            try:
                return pa.ipc.open_file(self.path)
            except pa.ArrowInvalid:
                return pa.ipc.open_stream(self.path)
        except Exception as e:  # noqa: BLE001
            raise TapeError(self.path, _first_line(e)) from None

    def _ipc_batches(self, columns: list[str]) -> Iterator[Any]:
        reader = self._ipc_reader()
        index = {n.strip(): i for i, n in enumerate(reader.schema.names)}
        if hasattr(reader, "num_record_batches"):
            batches: Any = (reader.get_batch(i) for i in range(reader.num_record_batches))
        else:
            batches = reader
        for batch in batches:
            yield from _slices(batch.select([index[c] for c in columns]).rename_columns(columns), self.batch_rows)

    # ------------------------------------------------------------ Parquet

    def _parquet_batches(self, columns: list[str]) -> Iterator[Any]:
        pq = require("pyarrow.parquet", "reading Parquet tapes")
        for path in self.files:
            pf = pq.ParquetFile(path)
            raw = pf.schema_arrow.names
            _refuse_repeated(path, [n.strip() for n in raw])
            by_trimmed = {n.strip(): n for n in raw}
            missing = [c for c in columns if c not in by_trimmed]
            if missing:
                raise TapeError(path, f"this part of the dataset has no column {missing[0]!r}", column=missing[0])
            for batch in pf.iter_batches(batch_size=self.batch_rows, columns=[by_trimmed[c] for c in columns]):
                yield batch.rename_columns(columns)

    # ------------------------------------------------------------ all

    def batches(self, columns: list[str]) -> Iterator[Any]:
        """Record batches of ``columns`` (trimmed header names), in tape order, at most batch_rows each."""
        pa = require("pyarrow", "reading tapes")
        source = {"csv": self._csv_batches, "parquet": self._parquet_batches, "ipc": self._ipc_batches}[self.kind]
        try:
            yield from source(columns)
        except TapeError:
            raise
        except (OSError, pa.ArrowException, csv.Error) as e:
            raise TapeError(self.path, _first_line(e)) from None

    def schema_of(self, columns: list[str]) -> Any:
        """The Arrow types ``columns`` are read with: text from CSV, the stored types otherwise."""
        pa = require("pyarrow", "reading tapes")
        if self.kind == CSV:
            return pa.schema([(c, pa.string()) for c in columns])
        if self.kind == PARQUET:
            pq = require("pyarrow.parquet", "reading Parquet tapes")
            stored = pq.ParquetFile(self.files[0]).schema_arrow
        else:
            stored = self._ipc_reader().schema
        types = {f.name.strip(): f.type for f in stored}
        return pa.schema([(c, types[c]) for c in columns])

    def read_all(self, columns: list[str]) -> Any:
        """The whole tape as one table. Parts of a folder may store a column in
        different widths (int32 in one, int64 in another): the table takes the
        widest, as batch by batch reading does; types that do not widen into
        each other are refused, naming the column."""
        pa = require("pyarrow", "reading tapes")
        batches = list(self.batches(columns))
        if not batches:
            return pa.table({c: pa.array([], pa.string()) for c in columns})
        schemas = list({b.schema: None for b in batches})
        if len(schemas) == 1:
            return pa.Table.from_batches(batches)
        try:
            schema = pa.unify_schemas(schemas, promote_options="permissive")
        except (pa.ArrowInvalid, pa.ArrowTypeError):
            column, types = next(
                (c, {str(s.field(c).type) for s in schemas})
                for c in columns
                if len({s.field(c).type for s in schemas}) > 1
            )
            raise TapeError(
                self.path,
                f"the parts store it as {' and '.join(sorted(types))}, which do not widen into one type",
                column=column,
            ) from None
        return pa.Table.from_batches([b.cast(schema) if b.schema != schema else b for b in batches], schema=schema)

    def row_numbers(self, rows: int | None = None) -> RowNumbers:
        """Where a person finds each row of this tape (``rows``: the tape's data
        rows, when known, which saves a full scan of a regular CSV file)."""
        if self.kind != "csv":
            return RowNumbers()
        assert self.delimiter is not None  # sniffed with the header
        return csv_row_numbers(self.path, self.delimiter, rows)


class RowNumbers:
    """Where a person finds each tape row: for a CSV file its line in an
    editor (the header is line 1, and blank lines and the extra lines of a
    quoted value with line breaks count); for any other tape the row's
    position, from 0.

    Kept as the points where the line's distance from the row changes, so a
    regular file costs one pair: (first row, line - row).
    """

    def __init__(self, breaks: Sequence[tuple[int, int]] | None = None) -> None:
        self.breaks = [(int(r), int(d)) for r, d in breaks] if breaks is not None else None

    @property
    def lines(self) -> bool:
        """Whether the numbers are lines (a CSV file), not positions."""
        return self.breaks is not None

    def __call__(self, rows: Any) -> Any:
        """The number of each 0-based tape row in ``rows``, as an int64 array."""
        np = require("numpy", "numbering tape rows")
        k = np.asarray(rows, dtype=np.int64)
        if not self.breaks:
            return k.copy()
        starts = np.array([b[0] for b in self.breaks], dtype=np.int64)
        shifts = np.array([b[1] for b in self.breaks], dtype=np.int64)
        return k + shifts[np.maximum(np.searchsorted(starts, k, side="right") - 1, 0)]

    def of(self, row: int) -> int:
        return int(self([row])[0])


def csv_row_numbers(path: str, delimiter: str, rows: int | None = None) -> RowNumbers:
    """The editor lines of a CSV file's data rows. A file with one line per row
    (no blank line, no line break inside a quoted value, no lone carriage
    return) is known by counting its line breaks against ``rows``; any other
    is read record by record with the rules the tape reader parses by."""
    if rows is not None and _one_line_per_row(path, rows):
        return RowNumbers([(0, 2)])
    starts: list[int] = []
    limit = csv.field_size_limit()
    csv.field_size_limit(CSV_BLOCK_BYTES)
    try:
        with open(path, newline="", encoding="utf-8-sig", errors="replace") as f:
            # Without NUL bytes, which this csv module refuses (the tape reader reports them, by line).
            reader = csv.reader((line.replace("\x00", "") for line in f), delimiter=delimiter, strict=False)
            consumed, header = 0, False
            for record in reader:
                start, consumed = consumed + 1, reader.line_num
                if not record:
                    continue  # a blank line: the tape reader skips it too
                if header:
                    starts.append(start)
                header = True
    except csv.Error as e:
        raise TapeError(path, f"cannot count its lines: {e}") from None
    finally:
        csv.field_size_limit(limit)
    breaks = [(0, 2)]
    for row, line in enumerate(starts):
        if line - row != breaks[-1][1]:
            breaks.append((row, line - row))
    return RowNumbers(breaks)


def _one_line_per_row(path: str, rows: int) -> bool:
    newlines = returns = pairs = 0
    last = tail = b""
    with open(path, "rb") as f:
        while True:
            block = f.read(CSV_BLOCK_BYTES)
            if not block:
                break
            newlines += block.count(b"\n")
            returns += block.count(b"\r")
            pairs += block.count(b"\r\n") + (last == b"\r" and block[:1] == b"\n")
            last = block[-1:]
            tail = (tail + block)[-4096:]
    if returns != pairs:
        return False
    # Blank lines after the last row number nothing: only those before it count.
    ending = len(tail) - len(tail.rstrip(b"\r\n"))
    ends = tail[len(tail) - ending :].count(b"\n") if ending else 0
    records = rows + 1  # and the header
    return newlines - max(ends - 1, 0) == (records if ends else records - 1)


def _refuse_repeated(path: str, names: list[str]) -> None:
    """A column named twice would be read from one of the two by accident: refused, naming it."""
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise TapeError(path, f"the file names column {name!r} twice", column=name)
        seen.add(name)


def _slices(batch: Any, rows: int) -> Iterator[Any]:
    for start in range(0, batch.num_rows, rows):
        yield batch.slice(start, rows)


def _sniff_delimiter(text: str) -> str:
    lines = "\n".join(text.splitlines()[:50])
    try:
        return csv.Sniffer().sniff(lines, delimiters=",;\t|").delimiter
    except csv.Error:
        # One column, or a header only: the delimiter that appears in the header, else a comma.
        header = text.splitlines()[0] if text.splitlines() else ""
        counts = {d: header.count(d) for d in ",;\t|"}
        best = max(counts, key=lambda d: counts[d])
        return best if counts[best] else ","


def _first_line(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
