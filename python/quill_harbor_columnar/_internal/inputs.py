"""The one coercer of the package's inputs: any book, as the native side reads it or as a pyarrow Table.

A book is a mapping of column name to array or list, or an object that exports Arrow data (pyarrow,
polars, pandas, duckdb: ``__arrow_c_stream__`` / ``__arrow_c_array__``). Both targets refuse a book that
names a column twice, since which of the two columns is read would otherwise be an accident of the
reader. Text held as a dictionary (a polars Categorical, a pandas category) reads as its strings.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from .deps import require
from .names import FIELDS, SHAPE

ACCEPTED = (
    "a mapping of column name to array or list, or an object with __arrow_c_stream__ "
    "or __arrow_c_array__ (pyarrow, polars, pandas, duckdb)"
)


def _refused(what: str, loans: Any, paths: bool) -> TypeError:
    where = "a CSV, Parquet or Arrow path, " if paths else ""
    return TypeError(f"{what} reads {where}{ACCEPTED}, not {type(loans).__name__}")


def column_names(loans: Any) -> list[Any] | None:
    """The book's column names where they can be read without reading its data, else None."""
    if isinstance(loans, Mapping):
        return list(loans)
    try:
        names = getattr(getattr(loans, "schema", None), "names", None)
        if callable(names):  # polars' schema
            names = names()
        if names is None:
            names = getattr(loans, "columns", None)  # pandas, duckdb
        return None if names is None or callable(names) else list(names)
    except Exception:  # noqa: BLE001 - the names are a check the reader repeats, never a reason to fail
        return None


def refuse_duplicates(names: Any, where: str = "the loans") -> None:
    """ValueError naming the first column that appears twice in ``names``."""
    seen: set[Any] = set()
    for name in names or ():
        if name in seen:
            raise ValueError(f"{where} name column {name!r} twice; give every column its own name")
        seen.add(name)


def plain_column(value: Any) -> Any:
    """A column of a mapping as the native side reads it: lists and buffers as they are, array-likes
    (pandas, NumPy scalars' containers) through NumPy."""
    if isinstance(value, (list, tuple)):
        return value
    try:
        memoryview(value).release()
        return value
    except TypeError:
        pass
    if hasattr(value, "__array__"):
        np = require("numpy", "reading this column")
        return np.asarray(value)
    return value


def native_source(loans: Any, fields: tuple[str, ...] = (*FIELDS, *SHAPE), what: str = "loans") -> Any:
    """The book as the native calls take it: a dict of the engine's columns, an Arrow stream capsule, a
    (schema, array) capsule pair, or a record batch reader pulled through Python (its producer's
    exceptions then come through as raised)."""
    if isinstance(loans, Mapping):
        return {k: plain_column(loans[k]) for k in fields if k in loans}
    refuse_duplicates(column_names(loans))
    if hasattr(loans, "read_next_batch") and hasattr(loans, "schema"):
        return loans
    if hasattr(loans, "__arrow_c_stream__"):
        return loans.__arrow_c_stream__()
    if hasattr(loans, "__arrow_c_array__"):
        return tuple(loans.__arrow_c_array__())
    if hasattr(loans, "fetch_arrow_reader"):  # older duckdb relations
        return loans.fetch_arrow_reader().__arrow_c_stream__()
    raise TypeError(f"{what} must be {ACCEPTED}, not {type(loans).__name__}")


def arrow_table(loans: Any, what: str, *, paths: bool = False) -> Any:
    """Any book as a pyarrow Table (Arrow data is not copied; text dictionaries are decoded)."""
    pa = require("pyarrow", what)
    if isinstance(loans, pa.Table):
        table = loans
    elif isinstance(loans, pa.RecordBatch):
        table = pa.Table.from_batches([loans])
    elif isinstance(loans, Mapping):
        table = pa.table({k: _arrow_ready(v) for k, v in loans.items()})
    elif hasattr(loans, "read_next_batch") and hasattr(loans, "schema"):
        refuse_duplicates(column_names(loans))
        table = loans.read_all()
    elif hasattr(loans, "__arrow_c_stream__"):
        refuse_duplicates(column_names(loans))
        table = pa.RecordBatchReader.from_stream(loans).read_all()
    elif hasattr(loans, "__arrow_c_array__"):
        table = pa.Table.from_batches([pa.record_batch(loans)])
    elif hasattr(loans, "fetch_arrow_reader"):  # older duckdb relations
        table = loans.fetch_arrow_reader().read_all()
    else:
        raise _refused(what, loans, paths)
    refuse_duplicates(table.column_names)
    return _text_dictionaries_decoded(table)


def _arrow_ready(value: Any) -> Any:
    pa = require("pyarrow", "reading this column")
    if isinstance(value, (pa.Array, pa.ChunkedArray, list, tuple)):
        return value
    return require("numpy", "reading this column").asarray(value)


def _is_text(t: Any) -> bool:
    pa = require("pyarrow", "reading text")
    return (
        pa.types.is_string(t) or pa.types.is_large_string(t) or getattr(pa.types, "is_string_view", lambda _: False)(t)
    )


def decoded(column: Any) -> Any:
    """A dictionary column of text as its strings (polars' dictionaries hold string views, which the
    dictionary kernels of pyarrow do not take)."""
    pa = require("pyarrow", "reading text")
    if isinstance(column, pa.ChunkedArray):
        return (
            pa.chunked_array([decoded(c) for c in column.chunks], type=pa.large_string())
            if pa.types.is_dictionary(column.type) and _is_text(column.type.value_type)
            else column
        )
    if not (pa.types.is_dictionary(column.type) and _is_text(column.type.value_type)):
        return column
    return column.dictionary.cast(pa.large_string()).take(column.indices)


def _text_dictionaries_decoded(table: Any) -> Any:
    pa = require("pyarrow", "reading text")
    for i, field in enumerate(table.schema):
        if pa.types.is_dictionary(field.type) and _is_text(field.type.value_type):
            table = table.set_column(i, pa.field(field.name, pa.large_string()), decoded(table.column(i)))
    return table


def arrow_column(loans: Any, name: str) -> Any:
    """One column of a book (a pyarrow Table or a mapping) as one plain pyarrow Array."""
    pa = require("pyarrow", "reading a column")
    col = loans[name]
    if isinstance(col, pa.ChunkedArray):
        col = col.combine_chunks() if col.num_chunks != 1 else col.chunk(0)
    elif not isinstance(col, pa.Array):
        if hasattr(col, "__arrow_c_array__") or hasattr(col, "__arrow_c_stream__"):
            col = pa.chunked_array(pa.array(col)) if not hasattr(col, "__arrow_c_array__") else pa.array(col)
        else:
            np = require("numpy", "reading a column")
            col = pa.array(np.asarray(col) if not isinstance(col, (list, tuple)) else col)
        if isinstance(col, pa.ChunkedArray):
            col = col.combine_chunks()
    col = decoded(col)
    if pa.types.is_dictionary(col.type):
        col = col.dictionary_decode()
    if getattr(pa.types, "is_string_view", lambda _: False)(col.type):
        col = col.cast(pa.large_string())  # polars' text: sortable and matchable once cast
    return col
