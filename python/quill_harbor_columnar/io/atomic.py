"""Outputs put in place together, or not at all.

Each output is written to a temporary file in its own folder (so the final
rename stays on one file system) and renamed into place only when every
output of the run has been written; on any failure, or Ctrl-C, the
temporary files are removed and whatever was at the output paths stays as
it was.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator, Sequence

# The suffix of a temporary output, so a person can tell one left by a killed process.
PARTIAL = ".partial"


class OutputError(Exception):
    """An output that cannot be written: ``path`` and the reason, as one line."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


def _temporary(path: str) -> str:
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=PARTIAL, dir=folder)
    except OSError as e:
        raise OutputError(path, f"cannot write here: {e.strerror or e}") from None
    os.close(fd)
    return tmp


def _usual_permissions(tmp: str) -> None:
    # mkstemp makes the file private; an output gets the usual permissions.
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(tmp, 0o666 & ~umask)


class Staged:
    """Temporary files for a run's outputs, keyed by output path; ``commit`` puts them all in place.

    Every temporary file is made up front, so an output folder that is
    missing or not writable stops the run before anything is computed.
    """

    def __init__(self, paths: Sequence[str]) -> None:
        self.temporary: dict[str, str] = {}
        try:
            for path in paths:
                self.temporary[path] = _temporary(path)
        except BaseException:
            self.discard()
            raise

    def __getitem__(self, path: str) -> str:
        return self.temporary[path]

    def commit(self, paths: Sequence[str] | None = None) -> None:
        """Renames the temporary files of ``paths`` (all by default) onto their outputs and drops the rest.

        Renames within a folder do not fail for want of space; the one
        failure left is a folder that changed under the run, and then the
        outputs not yet renamed stay as they were.
        """
        chosen = list(self.temporary) if paths is None else list(paths)
        try:
            for path in chosen:
                tmp = self.temporary[path]
                _usual_permissions(tmp)
                os.replace(tmp, path)
                del self.temporary[path]
        finally:
            self.discard()

    def discard(self) -> None:
        for tmp in self.temporary.values():
            with contextlib.suppress(OSError):
                os.unlink(tmp)
        self.temporary.clear()

    def __enter__(self) -> Staged:
        return self

    def __exit__(self, *exc: object) -> None:
        self.discard()


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[str]:
    """A temporary path beside ``path``, renamed onto it only if the block completes."""
    with Staged([path]) as staged:
        yield staged[path]
        staged.commit()
