"""Payment frequencies as lenders write them: words and abbreviations, in any case.

A word names how many payments fall in a year; the tape reader turns it into
periods between payments by dividing ``periods_per_year``. A word is compared
after lower-casing and dropping spaces, hyphens, underscores and dots, so
"Semi Annually", "semi-annually" and "SEMIANNUALLY" are one word, and "Qtr."
is "qtr".
"""

from __future__ import annotations

import re

# Payments per year of each word, as the docs list them.
FREQUENCY_WORDS: dict[str, int] = {
    "M": 12,
    "Mo": 12,
    "Month": 12,
    "Monthly": 12,
    "Q": 4,
    "Qtr": 4,
    "Quarterly": 4,
    "S": 2,
    "SA": 2,
    "Semi-Annual": 2,
    "Semiannual": 2,
    "Semi Annually": 2,
    "A": 1,
    "Y": 1,
    "Annual": 1,
    "Annually": 1,
    "Yearly": 1,
    # Real frequencies that only some period lengths divide: with monthly
    # periods they are refused as not dividing, not as unknown words.
    "Semi-Monthly": 24,
    "Biweekly": 26,
    "Fortnightly": 26,
    "Weekly": 52,
}

# What every spelling folds to before the lookup.
_FOLDED = r"[\s._-]+"


def fold(word: str) -> str:
    """The key a frequency word is looked up by."""
    return re.sub(_FOLDED, "", word).lower()


#: Folded word -> payments per year.
PAYMENTS_PER_YEAR: dict[str, int] = {fold(w): n for w, n in FREQUENCY_WORDS.items()}

#: The pattern (for the Arrow text kernels) that folds a word.
FOLD_PATTERN = _FOLDED
