"""The conversions every table of the package offers, through its Arrow C stream, the wrapper of a
native table, and the base of results held as a pyarrow Table."""

from __future__ import annotations

from typing import Any

from .. import _native
from .deps import require


class ArrowConversions:
    """``to_arrow``, ``to_pandas`` and ``to_polars`` for a class with ``__arrow_c_stream__``:
    each library reads the table's own buffers, so a result is never copied on its way out."""

    __slots__ = ()

    def to_arrow(self) -> Any:
        """A pyarrow.Table over the same buffers."""
        pa = require("pyarrow", "to_arrow()")
        return pa.RecordBatchReader.from_stream(self).read_all()

    def to_pandas(self) -> Any:
        """A pandas.DataFrame (through pyarrow)."""
        require("pandas", "to_pandas()")
        return self.to_arrow().to_pandas()

    def to_polars(self) -> Any:
        """A polars.DataFrame over the same buffers."""
        pl = require("polars", "to_polars()")
        return pl.DataFrame(self)


class NativeTable(ArrowConversions):
    """A native table: Arrow PyCapsule exports, flat buffers, conversions."""

    __slots__ = ("_table",)

    def __init__(self, table: _native.Table) -> None:
        self._table = table

    def __arrow_c_schema__(self) -> Any:
        return self._table.__arrow_c_schema__()

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]:
        return self._table.__arrow_c_array__(requested_schema)

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self._table.__arrow_c_stream__(requested_schema)

    @property
    def num_rows(self) -> int:
        return self._table.num_rows

    def __len__(self) -> int:
        return self._table.num_rows

    @property
    def column_names(self) -> list[str]:
        return self._table.column_names

    @property
    def nbytes(self) -> int:
        """Bytes of memory the result holds."""
        return self._table.nbytes

    def column(self, name: str) -> memoryview:
        """A read-only flat buffer (``np.asarray`` takes it without a copy)."""
        return self._table.column(name)

    def to_numpy(self) -> dict[str, Any]:
        """The flat columns as NumPy arrays sharing this object's memory."""
        np = require("numpy", "to_numpy()")
        return {name: np.asarray(self._table.column(name)) for name in self._table.buffer_names if name != "offsets"}


class HeldTable:
    """A result held as a pyarrow Table (a projection, a value table): the Arrow PyCapsule exports and
    ``to_arrow``/``to_pandas``/``to_polars`` over it."""

    __slots__ = ("_table",)

    def __init__(self, table: Any) -> None:
        self._table = table

    def __arrow_c_schema__(self) -> Any:
        return self._table.schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self._table.__arrow_c_stream__(requested_schema)

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]:
        pa = require("pyarrow", "__arrow_c_array__()")
        batch = (
            pa.RecordBatch.from_struct_array(self._table.to_struct_array().combine_chunks())
            if self._table.num_rows
            else pa.RecordBatch.from_pylist([], schema=self._table.schema)
        )
        return batch.__arrow_c_array__(requested_schema)

    def __len__(self) -> int:
        return self._table.num_rows

    @property
    def num_rows(self) -> int:
        return self._table.num_rows

    @property
    def column_names(self) -> list[str]:
        return self._table.column_names

    def to_arrow(self) -> Any:
        """The rows as a pyarrow.Table."""
        return self._table

    def to_pandas(self) -> Any:
        """The rows as a pandas.DataFrame."""
        require("pandas", "to_pandas()")
        return self._table.to_pandas()

    def to_polars(self) -> Any:
        """The rows as a polars.DataFrame."""
        pl = require("polars", "to_polars()")
        return pl.from_arrow(self._table)
