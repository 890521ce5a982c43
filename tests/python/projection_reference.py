"""The projection model written out literally, loan by loan, in plain Python
over schedules from quill_harbor.paywheel_fn: what the native projection is
checked against."""

from __future__ import annotations

import quill_harbor

MEASURES = ("balance", "scheduled_principal", "prepaid_principal", "defaulted_principal",
            "loss", "recovery", "interest", "cashflow")


def _annual(x: float, ppy: int) -> float:
    return 1 - (1 - x) ** (1 / ppy)


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
        cpr = 0.06 * min(age, 30) / 30 if ramp == "psa" else _sda(age)
        return _annual(scenario[ramp] / 100 * cpr, ppy)
    return 0.0


def schedule(loan: dict) -> dict:
    terms = {k: loan[k] for k in ("amt", "rate", "pers", "int_freq", "cap_freq")}
    return quill_harbor.paywheel_fn([{"id": "x", **terms}])["x"]


def loan_flows(s: dict, a: int, scenario: dict, ppy: int) -> dict[str, list[float]]:
    Cap, Int, Bal = s["Cap"], s["Int"], s["Bal"]
    R = len(Bal) - 1 - a
    lag, sev = scenario.get("lag", 0), scenario.get("severity", 0.0)
    f = {k: [0.0] * (R + lag + 1) for k in MEASURES}
    S = 1.0
    f["balance"][0] = Bal[a]
    for m in range(1, R + 1):
        t = a + m
        mdr = rate(scenario, ("mdr", "cdr", "sda"), a, m, ppy)
        smm = rate(scenario, ("smm", "cpr", "psa"), a, m, ppy)
        d = mdr * S * Bal[t - 1]
        live = S * (1 - mdr)
        f["scheduled_principal"][m] = live * Cap[t]
        f["interest"][m] = live * Int[t]
        f["prepaid_principal"][m] = smm * live * Bal[t]
        S = live * (1 - smm)
        f["balance"][m] = S * Bal[t]
        f["defaulted_principal"][m] = d
        f["loss"][m + lag] += sev * d
        f["recovery"][m + lag] += (1 - sev) * d
    for p in range(len(f["cashflow"])):
        f["cashflow"][p] = (f["scheduled_principal"][p] + f["prepaid_principal"][p] + f["recovery"][p]
                            + f["interest"][p])
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
            flows = loan_flows(s, ln.get("age", 0), sc, ppy)
            tot = out[j, tuple(ln[b] for b in by)]
            for k in MEASURES[:-1]:
                for p, v in enumerate(flows[k]):
                    tot[k][p] += v
        for key in keys:
            tot = out[j, key]
            tot["cashflow"] = [sum(tot[k][p] for k in ("scheduled_principal", "prepaid_principal", "recovery",
                                                         "interest")) for p in range(n)]
    return out
