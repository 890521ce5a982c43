"""The files of a history: a file, a list of files, a folder or a glob, each plain, ``.gz`` or ``.zip``
text, read as blocks of whole lines with the number of the first line of each.

A ``.zip`` holds one or more text files; each member is read as a file of its own, named
``archive.zip:member``.
"""

from __future__ import annotations

import glob
import gzip
import io
import os
import zipfile
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import IO, Any

# Bytes read at a time; a block ends at the last whole line in it.
DEFAULT_BLOCK_BYTES = 32 << 20


@dataclass(frozen=True)
class Source:
    """One text file of a history: its path and, for a member of a zip archive, the member."""

    path: str
    member: str | None = None

    @property
    def name(self) -> str:
        return self.path if self.member is None else f"{self.path}:{self.member}"

    def open(self) -> Any:
        if self.member is not None:
            archive = zipfile.ZipFile(self.path)
            return _ZipMember(archive, archive.open(self.member))
        if self.path.endswith(".gz"):
            return gzip.open(self.path, "rb")
        return open(self.path, "rb")  # noqa: SIM115 - the caller closes it

    def size(self) -> int:
        """Bytes on disk (compressed for an archive), for progress."""
        return os.path.getsize(self.path)


class _ZipMember(io.RawIOBase):
    """A member stream that closes its archive with it."""

    def __init__(self, archive: zipfile.ZipFile, member: IO[bytes]) -> None:
        self._archive = archive
        self._member = member

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        return self._member.read(size)

    def readinto(self, b: bytearray | memoryview) -> int:  # type: ignore[override]
        data = self._member.read(len(b))
        b[: len(data)] = data
        return len(data)

    def close(self) -> None:
        self._member.close()
        self._archive.close()
        super().close()


def _expand_one(item: str) -> list[str]:
    if os.path.isdir(item):
        return sorted(
            os.path.join(item, name)
            for name in os.listdir(item)
            if not name.startswith(".") and os.path.isfile(os.path.join(item, name))
        )
    if any(c in item for c in "*?["):
        found = sorted(glob.glob(item))
        if not found:
            raise FileNotFoundError(2, "no file matches the pattern", item)
        return found
    if not os.path.exists(item):
        raise FileNotFoundError(2, "No such file or directory", item)
    return [item]


def sources(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[Source]:
    """Every text file ``paths`` names, in order: a folder's files and a glob's matches sorted by name,
    a zip archive's members in the archive's order."""
    items = [os.fspath(paths)] if isinstance(paths, (str, os.PathLike)) else [os.fspath(p) for p in paths]
    if not items:
        raise ValueError("no history files given")
    out: list[Source] = []
    for item in items:
        for path in _expand_one(item):
            if path.endswith(".zip"):
                with zipfile.ZipFile(path) as archive:
                    out.extend(Source(path, info.filename) for info in archive.infolist() if not info.is_dir())
            else:
                out.append(Source(path))
    return out


@dataclass(frozen=True)
class Block:
    """Whole lines of one file: ``data`` (ending in a newline) and the number of its first line, from 1."""

    data: bytes
    first_line: int
    lines: int


def blocks(source: Source, block_bytes: int = DEFAULT_BLOCK_BYTES) -> Iterator[Block]:
    """The file's lines, a block at a time (memory held to about two blocks)."""
    line = 1
    rest = b""
    with source.open() as f:
        while True:
            chunk = f.read(block_bytes)
            if not chunk:
                break
            cut = chunk.rfind(b"\n") + 1
            if cut == 0:
                rest += chunk
                continue
            # One copy of the chunk's whole lines, joined to the part line before them.
            body = b"".join((rest, memoryview(chunk)[:cut]))
            rest = chunk[cut:]
            n = body.count(b"\n")
            yield Block(body, line, n)
            line += n
    if rest.strip(b"\r\n"):
        yield Block(rest + b"\n", line, 1)
