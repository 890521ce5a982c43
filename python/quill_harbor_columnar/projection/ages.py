"""The ``age`` column of a book: the periods each loan has already run, as the native side reads them."""

from __future__ import annotations

from dataclasses import replace
from typing import Any

from .._internal.standing import NOT_AN_AGE, ages
from ..errors import Failure

__all__ = ["NOT_AN_AGE", "ages", "quote_ages"]


def quote_ages(failures: list, ages: Any, column: Any, row_base: int = 0) -> list[Failure]:
    """The rows refused for an age that is not an integer, with that value as read."""
    records = [Failure.of(row) for row in failures]
    if ages is None:
        return records
    out = []
    for f in records:
        if f.code == "bad_age" and f.value is None and ages[f.index - row_base] == NOT_AN_AGE:
            v = column[f.index - row_base].as_py()
            f = replace(f, value=None if v is None else str(v))
        out.append(f)
    return out
