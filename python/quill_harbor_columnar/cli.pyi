import argparse
from collections.abc import Sequence

FIELDS: tuple[str, ...]
NUMERIC: tuple[str, ...]

class CliError(Exception):
    def __init__(self, file: str | None, reason: str, row: int | None = None, column: str | None = None) -> None: ...

class Progress:
    label: str
    total: int | None
    enabled: bool
    done: int
    start: float
    def __init__(self, label: str, total: int | None, enabled: bool) -> None: ...
    def advance(self, rows: int) -> None: ...
    def finish(self) -> None: ...

def build_parser() -> argparse.ArgumentParser: ...
def main(argv: Sequence[str] | None = None) -> int: ...
