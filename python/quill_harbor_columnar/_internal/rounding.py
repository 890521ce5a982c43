"""Amounts rounded to whole cents in Python, as cent mode rounds them: half-up (half away from zero) on
the double's exact binary value, as a decimal reference decides, not on a product already rounded."""

from __future__ import annotations

from typing import Any

from .deps import require


def half_up_cents(amounts: Any) -> Any:
    """Each amount rounded half-up to the cent on its exact value, as the float64 nearest that cent.

    A double is m x 2^e with m a 53-bit integer, so its value in cents is the integer m x 100 (below 2^60)
    times 2^e: shifting that right by -e with half the last place added rounds it exactly. Amounts of 2^53
    cents or more (where doubles are further apart than a cent), NaN and infinities stay as they are."""
    np = require("numpy", "half_up_cents()")
    x = np.asarray(amounts, dtype=np.float64)
    finite = np.isfinite(x)
    fraction, exponent = np.frexp(np.where(finite, np.abs(x), 0.0))
    hundred = (fraction * 2.0**53).astype(np.int64) * 100  # exact: fraction has 53 bits
    shift = 53 - exponent.astype(np.int64)  # the amount in cents is hundred / 2^shift
    small = finite & (np.abs(x) < 2.0**53 / 100) & (shift <= 62)
    s = np.where(small, shift, 1)
    cents = (hundred + (np.int64(1) << (s - 1))) >> s
    # Past 62 places the amount is below a hundredth of 2^-2: zero cents.
    rounded = np.where(shift > 62, 0.0, np.copysign(cents / 100.0, x))
    return np.where(small | (shift > 62), rounded, x)
