"""Cent-exact schedules by Python's decimal, one loan at a time, sharing
nothing with the native code: the reference precision="cent" is held to."""

from __future__ import annotations

from decimal import ROUND_HALF_UP, Decimal, localcontext


def half_up(x: Decimal) -> Decimal:
    return x.quantize(Decimal(1), rounding=ROUND_HALF_UP)


def schedule(cents: int, rate: float, pers: int, k: int, io_pers: int = 0, amort_pers=None, steps=(), age=0,
             balance=None):
    """(Cap, Int, Pmt, Bal) in whole cents for periods 0..pers of a loan paying
    every k periods: pers / k payments at the double k x rate a payment. Given
    the `balance` in cents it owes `age` periods into its contract (a payment
    date), the periods from age on: its shape still counts from origination,
    and its payment is figured afresh on that balance."""
    with localcontext() as ctx:
        ctx.prec = 120
        n, io, made = pers // k, io_pers // k, age // k
        amort = (pers - io_pers if amort_pers is None else amort_pers) // k
        step_at = {(p - 1) // k + 1: Decimal(float(k) * r) for p, r in steps}
        r = Decimal(float(k) * rate)
        for at in sorted(a for a in step_at if a <= made + 1):
            r = step_at[at]
        balance = Decimal(cents if balance is None else balance)
        rows = [(0, 0, 0, balance)]
        payment, refigure = Decimal(0), made > 0
        for j in range(made + 1, n + 1):
            if j in step_at:
                r, refigure = step_at[j], True
            refigure = refigure or j == io + 1
            interest = half_up(balance * r)
            principal = Decimal(0)
            if j > io:
                if refigure:
                    R = amort - (j - 1 - io)
                    payment = half_up(balance / R if r == 0 else balance * r / (1 - (1 + r) ** -R))
                    refigure = False
                principal = min(max(payment - interest, Decimal(0)), balance)
            if j == n:
                principal = balance
            rows += [(0, 0, 0, balance)] * (k - 1)
            balance -= principal
            rows.append((principal, interest, principal + interest, balance))
        return [tuple(int(v) for v in row) for row in rows]
