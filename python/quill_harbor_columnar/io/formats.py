"""The one table of file formats: which extension is which format, and whether a tape is read from it,
a table written to it or a plot drawn to it. The tape readers, the writers and the command all ask
here, so an extension means the same thing everywhere."""

from __future__ import annotations

import os
from typing import NamedTuple

# Format names: tables (the tape readers and the writers dispatch on these) and figures.
CSV, PARQUET, IPC = "csv", "parquet", "ipc"
PNG, SVG, PDF = "png", "svg", "pdf"


class Format(NamedTuple):
    name: str
    read: bool  # a tape may be read from it
    table: bool  # a table may be written to it
    plot: bool  # a figure may be drawn to it


FORMATS: dict[str, Format] = {
    ".csv": Format(CSV, read=True, table=True, plot=False),
    ".tsv": Format(CSV, read=True, table=False, plot=False),
    ".txt": Format(CSV, read=True, table=False, plot=False),
    ".parquet": Format(PARQUET, read=True, table=True, plot=False),
    ".pq": Format(PARQUET, read=True, table=True, plot=False),
    ".arrow": Format(IPC, read=True, table=True, plot=False),
    ".feather": Format(IPC, read=True, table=True, plot=False),
    ".ipc": Format(IPC, read=True, table=True, plot=False),
    ".png": Format(PNG, read=False, table=False, plot=True),
    ".svg": Format(SVG, read=False, table=False, plot=True),
    ".pdf": Format(PDF, read=False, table=False, plot=True),
}


def extensions(name: str, use: str = "read") -> tuple[str, ...]:
    """The extensions of format ``name`` that serve ``use`` ("read", "table" or "plot")."""
    return tuple(ext for ext, f in FORMATS.items() if f.name == name and getattr(f, use))


def format_of(path: str, use: str) -> str | None:
    """The format of ``path`` for ``use`` ("read", "table" or "plot"), by its extension; None if none."""
    f = FORMATS.get(os.path.splitext(path)[1].lower())
    return f.name if f is not None and getattr(f, use) else None


def accepted(use: str) -> str:
    """The extensions that serve ``use``, for a message."""
    return ", ".join(sorted(ext for ext, f in FORMATS.items() if getattr(f, use)))
