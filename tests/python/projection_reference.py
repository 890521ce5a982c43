"""The projection model written out literally, loan by loan, in plain Python
over schedules from quill_harbor.paywheel_fn: what the native projection is
checked against."""

from __future__ import annotations

import math

import numpy as np
import quill_harbor

MEASURES = ("balance", "scheduled_principal", "prepaid_principal", "defaulted_principal",
            "loss", "recovery", "interest", "cashflow", "servicing", "net_cashflow")


def _annual(x: float, ppy: int) -> float:
    return 1.0 if x == 1 else -math.expm1(math.log1p(-x) / ppy)


def f32(x: float) -> float:
    return float(np.float32(x))


def _sda(age: int) -> float:
    if age <= 30:
        return 0.0002 * age
    if age <= 60:
        return 0.006
    if age <= 120:
        return 0.006 - 0.000095 * (age - 60)
    return 0.0003


def rate(scenario: dict, keys: tuple[str, str, str], a: int, m: int, ppy: int) -> float:
    """The per-period rate of projection period m for a loan aged a."""
    per, annual, ramp = keys
    for key in (per, annual):
        if key in scenario:
            v = scenario[key]
            v = v[min(m - 1, len(v) - 1)] if isinstance(v, (list, tuple)) else v
            return v if key == per else _annual(v, ppy)
    if ramp in scenario:
        age = a + m
        speed = scenario[ramp] / 100
        return _annual(speed * 0.06 * min(age, 30) / 30 if ramp == "psa" else speed * _sda(age), ppy)
    return 0.0


def schedule(loan: dict) -> dict:
    """The engine's schedule of the loan: from origination, or with a
    current balance the schedule of (balance, rate, pers - age, int_freq,
    cap_freq)."""
    terms = {k: loan[k] for k in ("amt", "rate", "pers", "int_freq", "cap_freq")}
    if "balance" in loan:
        terms["amt"], terms["pers"] = f32(loan["balance"]), loan["pers"] - loan.get("age", 0)
    return quill_harbor.paywheel_fn([{"id": "x", **terms}])["x"]


def loan_flows(s: dict, a: int, scenario: dict, ppy: int, loan: dict | None = None) -> dict[str, list[float]]:
    """One loan aged a, its schedule s; `loan` (its int_freq, rate, fee and
    balance) for the accrual, the servicing and a schedule from its balance."""
    loan = loan or {}
    Cap, Int, Bal = s["Cap"], s["Int"], s["Bal"]
    start = 0 if "balance" in loan else a  # the schedule's entry of period 0
    freq = loan.get("int_freq", 1)
    fee, coupon = f32(loan.get("fee", 0.0)), f32(loan.get("rate", 1.0))
    R = len(Bal) - 1 - start
    lag, sev = scenario.get("lag", 0), scenario.get("severity", 0.0)
    f = {k: [0.0] * (R + lag + 1) for k in MEASURES}
    S = 1.0
    f["balance"][0] = Bal[start]
    for m in range(1, R + 1):
        t = start + m
        mdr = rate(scenario, ("mdr", "cdr", "sda"), a, m, ppy)
        smm = rate(scenario, ("smm", "cpr", "psa"), a, m, ppy)
        d = mdr * S * Bal[t - 1]
        live = S * (1 - mdr)
        f["scheduled_principal"][m] = live * Cap[t]
        # A balance prepaid between interest dates pays the next interest
        # payment times the months elapsed since the last one over int_freq.
        elapsed, nxt = t % freq, t - t % freq + freq
        accrued = Int[nxt] * elapsed / freq if elapsed and nxt < len(Int) else 0.0
        f["interest"][m] = live * Int[t] + smm * live * accrued
        f["prepaid_principal"][m] = smm * live * Bal[t]
        S = live * (1 - smm)
        f["balance"][m] = S * Bal[t]
        f["defaulted_principal"][m] = d
        f["loss"][m + lag] += sev * d
        f["recovery"][m + lag] += (1 - sev) * d
    for p in range(len(f["cashflow"])):
        f["cashflow"][p] = (f["scheduled_principal"][p] + f["prepaid_principal"][p] + f["recovery"][p]
                            + f["interest"][p])
        f["servicing"][p] = f["interest"][p] * fee / coupon if fee else 0.0
        f["net_cashflow"][p] = f["cashflow"][p] - f["servicing"][p]
    return f


def project(loans: list[dict], scenarios: list[dict], by: tuple[str, ...], ppy: int = 12) -> dict:
    """{(scenario, segment key): {measure: per-period totals}}; loans whose
    age is out of range are left out, as errors="skip" does."""
    kept = [(ln, schedule(ln)) for ln in loans if 0 <= ln.get("age", 0) < ln["pers"]]
    longest = max(ln["pers"] - ln.get("age", 0) for ln, _ in kept)
    keys = sorted({tuple(ln[b] for b in by) for ln, _ in kept})
    out = {}
    for j, sc in enumerate(scenarios):
        n = longest + sc.get("lag", 0) + 1
        for key in keys:
            out[j, key] = {k: [0.0] * n for k in MEASURES}
        for ln, s in kept:
            flows = loan_flows(s, ln.get("age", 0), sc, ppy, ln)
            tot = out[j, tuple(ln[b] for b in by)]
            for k in MEASURES:
                for p, v in enumerate(flows[k]):
                    tot[k][p] += v
        for key in keys:
            tot = out[j, key]
            tot["cashflow"] = [sum(tot[k][p] for k in ("scheduled_principal", "prepaid_principal", "recovery",
                                                         "interest")) for p in range(n)]
            tot["net_cashflow"] = [tot["cashflow"][p] - tot["servicing"][p] for p in range(n)]
    return out
