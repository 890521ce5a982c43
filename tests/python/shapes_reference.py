"""Loan shapes composed the plain way: quill_harbor.paywheel_fn schedules cut
and joined by the written rules (interest-only pieces, amortizing pieces,
balloons, rate steps, the strict=False lender schedules, standing loans
scheduled from their age on a balance), one loan at a time, sharing nothing
with the columnar code."""

from __future__ import annotations

import numpy as np
import quill_harbor
from columnar_reference import quiet_stderr

COLUMNS = ("Per", "Cap", "Int", "Pmt", "Bal")
f32 = np.float32


class Refused(Exception):
    """A loan the rules give no schedule: code (None where any refusal code
    will do) and the field to blame (None where any will do)."""

    def __init__(self, code: str | None, field: str | None = None) -> None:
        super().__init__(code, field)
        self.code, self.field = code, field


def engine(B, r, R, f, cf):
    """The engine's schedule as float32 arrays, or None when it refuses."""
    loan = {"id": "p", "amt": float(B), "rate": float(r), "pers": int(R), "int_freq": int(f), "cap_freq": int(cf)}
    try:
        with quiet_stderr():  # every refusal writes its report there
            s = quill_harbor.paywheel_fn([loan])["p"]
    except BaseException as e:  # PanicException derives from BaseException
        if type(e).__name__ != "PanicException":
            raise
        return None
    return {c: np.array(s[c], dtype=np.float32) for c in COLUMNS}


def _interest_only(out, b, e, B, r, f, bullet):
    x = f32(B * r)
    due = f32(0.0)
    for _ in range(f):
        due = f32(due + x)
    for k in range(b + 1, e + 1):
        out["Cap"][k] = 0.0
        out["Int"][k] = due if k % f == 0 else f32(0.0)
        out["Pmt"][k] = f32(out["Cap"][k] + out["Int"][k])
        out["Bal"][k] = B
    if bullet:
        out["Cap"][e] = B
        out["Pmt"][e] = f32(B + out["Int"][e])
        out["Bal"][e] = 0.0


def _equal_capital(out, b, e, B, R, cf):
    dates = R // cf
    each = f32(B / f32(dates))
    bal = B
    for k in range(1, e - b + 1):
        c = f32(0.0)
        if k % cf == 0 and k <= dates * cf:
            c = bal if k == dates * cf else each
            bal = f32(bal - c)
        out["Cap"][b + k], out["Int"][b + k], out["Pmt"][b + k], out["Bal"][b + k] = c, 0.0, c, bal


def _standing_plain(balance, rate, age, rest, f, cf, strict):
    """A loan without a shape from its age on: the engine's schedule of its
    balance over what remains; with one capital date left (or less than a
    capital period) its bullet, interest dated from origination."""
    if cf < rest:
        return compose(balance, rate, rest, f, cf, strict=strict)
    out = {c: np.zeros(age + rest + 1, dtype=np.float32) for c in COLUMNS}
    _interest_only(out, age, age + rest, f32(balance), f32(rate), f, True)
    out = {c: out[c][age:] for c in COLUMNS}
    out["Per"][:] = np.arange(rest + 1, dtype=np.float32)
    out["Bal"][0] = f32(balance)
    return out


def compose(amt, rate, pers, f, cf, io=None, amort=None, steps=(), strict=True, age=0):
    """The loan's five columns (float32 arrays), or Refused. With an age,
    amt is the balance owed then and the rows are periods age..pers, counted
    again from 0: the contract's pieces cut where they are from origination,
    the piece the age falls in run afresh on the balance."""
    amt, rate = f32(amt), f32(rate)
    io = 0 if io is None else io
    amort = pers - io if amort is None else amort
    steps = sorted((p, f32(r)) for p, r in steps)
    out = {c: np.zeros(pers + 1, dtype=np.float32) for c in COLUMNS}
    neutral = io == 0 and amort == pers and not steps
    if neutral and age:
        return _standing_plain(amt, rate, age, pers - age, f, cf, strict)
    if neutral:
        pieces = [(0, pers, rate, False)]
    else:
        if not 0 <= io <= pers:
            raise Refused("bad_shape", "io_pers")
        if amort < pers - io:
            raise Refused("bad_shape", "amort_pers")
        pers_of = [p for p, _ in steps]
        if any(not 2 <= p <= pers for p in pers_of) or len(set(pers_of)) != len(pers_of):
            raise Refused("bad_shape", "rate_steps")

        def aligned(c):
            return c % f == 0 and c % cf == 0

        if io > 0 and not aligned(io):
            raise Refused("bad_shape", "io_pers")
        if any(not aligned(p - 1) for p in pers_of):
            raise Refused("bad_shape", "rate_steps")
        if amort > pers - io and not aligned(pers):
            raise Refused("bad_shape", "amort_pers")
        if amt < 0:
            raise Refused("decreasing_blocks", "amt")
        cuts = sorted({io} - {0} | {p - 1 for p in pers_of} | {pers})
        pieces, b = [], 0
        for e in cuts:
            r = ([rate] + [sr for p, sr in steps if p <= b + 1])[-1]
            pieces.append((b, e, r, e <= io))
            b = e
    out["Bal"][age] = amt
    B = amt
    for n, (b, e, r, io_piece) in enumerate(pieces):
        if e <= age:
            continue
        b = max(b, age)
        last, L = e == pers, e - b
        if io_piece:
            _interest_only(out, b, e, B, r, f, last)
            B = out["Bal"][e]
            continue
        R = amort - (b - io)
        s = None if R < cf and not neutral else engine(B, r, R, f, cf)
        if s is not None and not strict and r == 0 and np.isnan(s["Pmt"][:L + 1]).any():
            s = None  # a zero rate the engine runs to NaN
        if s is None:
            if strict and not (age and b == age and (R == 1 or cf >= R)):
                raise Refused(None)
            if neutral and amt < 0:
                raise Refused("decreasing_blocks", "amt")
            if r == 0:
                _equal_capital(out, b, e, B, R, cf)
            elif R == 1 or cf >= R:
                _interest_only(out, b, e, B, r, f, last)
            else:
                raise Refused(None)
            owed = out["Bal"][e - 1]
        else:
            owed = s["Bal"][L - 1]
            for c in COLUMNS[1:]:
                out[c][b + 1:e + 1] = s[c][1:L + 1]
                if n == 0 and not age:
                    out[c][0] = s[c][0]
        if last and R > L:  # the balloon
            out["Cap"][e] = owed
            out["Pmt"][e] = f32(owed + out["Int"][e])
            out["Bal"][e] = 0.0
        B = out["Bal"][e]
    out = {c: out[c][age:].copy() for c in COLUMNS}
    out["Per"][:] = np.arange(pers - age + 1, dtype=np.float32)
    if any(np.isnan(out[c]).any() for c in COLUMNS):
        raise Refused("nan_schedule")
    return out
