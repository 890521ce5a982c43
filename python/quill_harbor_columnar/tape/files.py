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
from typing import Any, Iterator

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
        where = [p for p in (path, f"row {row}" if row is not None else None,
                             f"column {column}" if column else None) if p]
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
        if head.startswith(_BOM):
            head = head[len(_BOM):]
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
        reader = pcsv.open_csv(
            self.path,
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

    def read_all(self, columns: list[str]) -> Any:
        pa = require("pyarrow", "reading tapes")
        batches = list(self.batches(columns))
        if not batches:
            return pa.table({c: pa.array([], pa.string()) for c in columns})
        return pa.Table.from_batches(batches)


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
