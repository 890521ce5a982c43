"""The conversions every table of the package offers, through its Arrow C stream."""

from __future__ import annotations

from typing import Any

from ._optional import require


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
