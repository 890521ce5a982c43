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

from ._optional import require

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
_SEPARATORS = {".": r",", ",": r"[. \x{a0}\x{202f}]"}


def _number_body(decimal: str) -> str:
    mark = re_escape(decimal)
    return rf"(?:(?:{_GROUPED[decimal]}|[0-9]+)(?:{mark}[0-9]*)?|{mark}[0-9]+)"


def re_escape(mark: str) -> str:
    return r"\." if mark == "." else mark


def _amount_pattern(decimal: str) -> str:
    sign, cur = r"(?P<{}>[+-])?", rf"(?P<{{}}>[{CURRENCY_SIGNS}])?"
    return (r"^(?P<open>\()?\s*" + sign.format("s1") + r"\s*" + cur.format("c1") + r"\s*" + sign.format("s2")
            + r"\s*(?P<num>" + _number_body(decimal) + r")\s*" + cur.format("c2") + r"\s*(?P<close>\))?$")


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
    parts = pc.extract_regex(subset, _amount_pattern(decimal))
    found = np.asarray(parts.is_valid())

    def part(name: str) -> Any:
        return np.asarray(pc.fill_null(parts.field(name), ""), dtype=object)

    opened, closed = part("open") != "", part("close") != ""
    s1, s2, c1, c2 = part("s1"), part("s2"), part("c1"), part("c2")
    signs = (s1 != "").astype(int) + (s2 != "")
    currencies = (c1 != "").astype(int) + (c2 != "")
    # One sign at most, one currency sign at most, a sign or parentheses, not both.
    good = found & (opened == closed) & (signs <= 1) & (currencies <= 1) & ~(opened & (signs > 0))
    number = pc.replace_substring_regex(pc.fill_null(parts.field("num"), ""), _SEPARATORS[decimal], "")
    if decimal == ",":
        number = pc.replace_substring(number, ",", ".")
    negative = opened | (s1 == "-") | (s2 == "-")
    rebuilt = pc.binary_join_element_wise(pa.array(np.where(negative, "-", "")), number, "")
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
    mark = re_escape(decimal)
    return pc.replace_substring_regex(text, rf"^([+-]?[0-9]+){mark}0*$", r"\1")
