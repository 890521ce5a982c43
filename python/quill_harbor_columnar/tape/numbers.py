"""Numbers as lenders write them, turned into the plain decimal text the engine's grammar reads.

An amount may carry thousands separators, a currency sign and an accounting
negative: ``250,000.00``, ``$250000``, ``(250,000.00)``, ``-$1,200``,
``250 000,00 €``. A rate or a whole number may use the tape's decimal mark.
Each form is turned into plain text (``-250000.00``), and only then read as a
number, so a value in one of these forms gets the same bits as the same
value written plainly.

``decimal="."`` (the default): the thousands separator is ``,``.
``decimal=","``: the thousands separator is ``.`` or a space (also a no-break
or narrow no-break space). Thousands separators must group digits by three
(``1,000,000``; not ``1,00``), and only amounts take them: a rate of
``6.125`` on a ``decimal=","`` tape is refused, not read as 6125.
"""

from __future__ import annotations

from typing import Any

from .._internal.deps import require

DECIMALS = (".", ",")
_WORDS = r"^[+-]?(?i:inf|infinity|nan)$"
CURRENCY_SIGNS = "$€£¥"

# The engine's float grammar (and inf/infinity/nan), after trimming.
PLAIN_FLOAT = r"^[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))$"

# Digits grouped by three with one separator, or not grouped at all.
_GROUPED = {
    ".": r"[0-9]{1,3}(?:,[0-9]{3})+",
    ",": "|".join(rf"[0-9]{{1,3}}(?:{sep}[0-9]{{3}})+" for sep in (r"\.", " ", r"\x{a0}", r"\x{202f}")),
}


def _number_body(decimal: str) -> str:
    mark = _mark(decimal)
    return rf"(?:(?:{_GROUPED[decimal]}|[0-9]+)(?:{mark}[0-9]*)?|{mark}[0-9]+)"


def _mark(decimal: str) -> str:
    return r"\." if decimal == "." else decimal


def _amount_pattern(decimal: str) -> str:
    """An amount with at most one sign and one currency sign, or in
    parentheses without a sign. No captures, so that the match runs as a DFA."""
    num, cur = _number_body(decimal), rf"[{CURRENCY_SIGNS}]"
    signed = rf"[+-]?\s*(?:{cur}\s*)?{num}|{cur}\s*[+-]\s*{num}|[+-]?\s*{num}\s*{cur}"
    bracketed = rf"\(\s*(?:(?:{cur}\s*)?{num}|{num}\s*{cur})\s*\)"
    return rf"^(?:{signed}|{bracketed})$"


# An amount in parentheses, or with a minus before or after its currency sign.
_NEGATIVE = rf"^(?:\(|-|[{CURRENCY_SIGNS}]\s*-)"
# What stands at the ends of an amount, and what may stand inside it.
_DECORATION = "()+-" + CURRENCY_SIGNS + " \t\n\r\f\v"
_INNER = {".": (",",), ",": (".", " ", "\u00a0", "\u202f")}


def check_decimal(decimal: Any) -> str:
    if decimal not in DECIMALS:
        raise ValueError(f"decimal must be '.' or ',', not {decimal!r}")
    return str(decimal)


def amounts(text: Any, decimal: str) -> tuple[Any, Any]:
    """(plain decimal text, whether the row reads) for a trimmed text array of amounts."""
    pa = require("pyarrow", "book()")
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    # A dot-decimal tape's plain numbers need no work; on a comma-decimal
    # tape every row but the spelled-out words (inf, nan) does, since "1.500"
    # there is fifteen hundred.
    grammar = PLAIN_FLOAT if decimal == "." else _WORDS
    ok = np.asarray(pc.fill_null(pc.match_substring_regex(text, grammar), False))
    if ok.all():
        return text, ok
    todo = ~ok
    subset = text.filter(pa.array(todo))
    good = np.asarray(pc.fill_null(pc.match_substring_regex(subset, _amount_pattern(decimal)), False))
    negative = np.asarray(pc.fill_null(pc.match_substring_regex(subset, _NEGATIVE), False))
    # A valid amount's decorations stand at its ends; inside it, only digits,
    # the decimal mark and the thousands separators.
    number = pc.utf8_trim(subset, characters=_DECORATION)
    for separator in _INNER[decimal]:
        number = pc.replace_substring(number, separator, "")
    if decimal == ",":
        number = pc.replace_substring(number, ",", ".")
    rebuilt = pc.replace_with_mask(
        number, pa.array(negative), pc.utf8_replace_slice(number.filter(pa.array(negative)), 0, 0, "-")
    )
    ok[todo] = good
    return pc.replace_with_mask(text, pa.array(todo), rebuilt), ok


def decimals(text: Any, decimal: str) -> tuple[Any, Any]:
    """(plain decimal text, whether the row reads) for a trimmed text array of
    plain numbers written with the tape's decimal mark (rates)."""
    pc = require("pyarrow.compute", "book()")
    np = require("numpy", "book()")
    if decimal == ",":
        # A dot is no decimal mark here, and rates take no thousands separators.
        has_dot = np.asarray(pc.fill_null(pc.match_substring(text, "."), False))
        text = pc.replace_substring(text, ",", ".")
        ok = np.asarray(pc.fill_null(pc.match_substring_regex(text, PLAIN_FLOAT), False)) & ~has_dot
        return text, ok
    return text, np.asarray(pc.fill_null(pc.match_substring_regex(text, PLAIN_FLOAT), False))


def integral(text: Any, decimal: str) -> Any:
    """The text of whole numbers written with a zero fraction ("360.0", "360,00"
    with ``decimal=","``) without it; other text as it was."""
    pc = require("pyarrow.compute", "book()")
    mark = _mark(decimal)
    return pc.replace_substring_regex(text, rf"^([+-]?[0-9]+){mark}0*$", r"\1")
