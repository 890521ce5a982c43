"""The writer of each table format: batches to one CSV, Parquet or Arrow IPC file."""

from __future__ import annotations

import contextlib
from typing import Any

from .._internal.deps import require
from .formats import CSV, PARQUET
from .parquet import ParallelParquetWriter


def _plain_labels(batch: Any) -> Any:
    """CSV and the Arrow file format take one dictionary per file: labels go as plain text there."""
    pa = require("pyarrow", "writing outputs")
    if not any(pa.types.is_dictionary(f.type) for f in batch.schema):
        return batch
    arrays = [c.cast(c.type.value_type) if pa.types.is_dictionary(c.type) else c for c in batch.columns]
    return pa.RecordBatch.from_arrays(arrays, names=batch.schema.names)


def _plain_schema(schema: Any) -> Any:
    pa = require("pyarrow", "writing outputs")
    return pa.schema(
        [pa.field(f.name, f.type.value_type if pa.types.is_dictionary(f.type) else f.type) for f in schema]
    )


class TableSink:
    """Batches to one file of ``kind`` (a table format of ``formats``)."""

    def __init__(self, path: str, kind: str, schema: Any, *, threads: int = 2, parquet: dict | None = None) -> None:
        self.kind = kind
        self._file: Any = None
        if kind == PARQUET:
            self._file = open(path, "wb")
            self.writer: Any = ParallelParquetWriter(self._file, schema, threads=threads, **(parquet or {}))
        elif kind == CSV:
            pcsv = require("pyarrow.csv", "writing CSV")
            self.writer = pcsv.CSVWriter(path, _plain_schema(schema))
        else:
            pa = require("pyarrow", "writing Arrow files")
            self.writer = pa.ipc.new_file(path, _plain_schema(schema))

    def write(self, batch: Any) -> None:
        self.writer.write_batch(batch if self.kind == PARQUET else _plain_labels(batch))

    def close(self) -> None:
        self.writer.close()
        if self._file is not None:
            self._file.close()

    def abort(self) -> None:
        with contextlib.suppress(Exception):
            if self.kind == PARQUET:
                self.writer.abort()
            else:
                self.writer.close()
        if self._file is not None:
            self._file.close()


def decimal_cents(data: Any, names: tuple[str, ...]) -> Any:
    """A table or batch with its float64 (or list of float64) columns ``names``
    as ``decimal(18,2)``: each value a whole number of cents, the double
    nearest it rounded back to its cent."""
    pa = require("pyarrow", "decimal columns")
    cents = pa.decimal128(18, 2)
    arrays, fields = [], []
    for field, column in zip(data.schema, data.columns):
        t = field.type
        if field.name in names:
            if pa.types.is_large_list(t) or pa.types.is_list(t):
                t = (pa.large_list if pa.types.is_large_list(t) else pa.list_)(cents)
            else:
                t = cents
            column = column.cast(t)
        arrays.append(column)
        fields.append(pa.field(field.name, t, field.nullable))
    make = pa.Table.from_arrays if isinstance(data, pa.Table) else pa.RecordBatch.from_arrays
    return make(arrays, schema=pa.schema(fields))


def write_table(table: Any, path: str, kind: str, *, parquet: dict | None = None) -> None:
    """A whole table to ``path`` (the caller makes it a temporary file when the output must appear whole)."""
    sink = TableSink(path, kind, table.schema, threads=1, parquet=parquet)
    try:
        for batch in table.to_batches():
            sink.write(batch)
    except BaseException:
        sink.abort()
        raise
    sink.close()
