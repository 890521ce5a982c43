"""value()'s market conventions: the worked example, yields, 30/360 accrual, effective measures, QuantLib."""

import subprocess
import sys

import numpy as np
import pyarrow as pa
import pyarrow.csv as csv
import pytest
import quill_harbor_columnar as qc
from quill_harbor_columnar.projection.valuation import book_values, checked_arguments

# 9.5% loans, a 0.5% fee (a 9% pass-through), 360 months.
POOL = {"id": ["pool"], "amt": [1e6], "rate": [0.095 / 12], "pers": [360], "int_freq": [1], "cap_freq": [1],
        "fee": [0.005 / 12]}
PUBLISHED = {"bey": (9.10675, 1e-5), "yield": (8.93863, 1e-5), "wal": (9.77844, 1e-5),
             "macaulay_duration": (5.73147, 1e-5), "modified_duration": (5.48186, 1e-5), "convexity": (0.544326, 1e-6)}


def rows(*args, **kwargs):
    return qc.value(*args, **kwargs).to_arrow().to_pylist()


def test_the_worked_example_to_the_published_digits():
    # The pool's flows computed exactly in float64 (level payment, PSA 150), valued as every engine values sums.
    r, bal, flows = 0.095 / 12, 1e6, [(1e6, 0.0, 0.0)]
    for m in range(1, 361):
        sched = bal * r / (1 - (1 + r) ** (m - 361)) - bal * r
        pre = (bal - sched) * (1 - (1 - min(m, 30) * 0.003) ** (1 / 12))
        flows.append((bal - sched - pre, sched + pre, sched + pre + bal * 0.09 / 12))
        bal -= sched + pre
    bal, prin, net = map(np.array, zip(*flows))
    t = pa.table({"balance": bal, "scheduled_principal": prin, "prepaid_principal": 0 * prin,
                  "recovery": 0 * prin, "net_cashflow": net})
    a = checked_arguments({"psa": 150}, None, None, None, 100, None, None, 12, False, "raise", None, True,
                          basis="bond-equivalent", delay=14)
    exact = {k: v[0].as_py() for k, v in book_values(t, [(0, 361)], False, a)[0].items()}
    mine = rows(POOL, {"psa": 150}, price=100, delay=14, basis="bond-equivalent")[0]  # the binary32 schedule's
    for name, (published, digit) in PUBLISHED.items():
        assert round(exact[name] * (100 if name in ("bey", "yield") else 1) / digit) == round(published / digit), name
        assert mine[name] == pytest.approx(exact[name], rel=1e-6), name


@pytest.mark.parametrize("ppy", [12, 4, 2, 1])
def test_bey_and_the_mortgage_yield_round_trip(ppy):
    pool = {**POOL, "rate": [0.07 / ppy], "pers": [30 * ppy], "fee": [0.0]}
    for y in (-0.02, 0.0001, 0.05, 0.13):
        at_rate = rows(pool, {"cpr": 0.1}, discount_rate=y, periods_per_year=ppy)[0]
        assert (1 + y / ppy) ** (ppy / 2) == pytest.approx(1 + at_rate["bey"] / 2, rel=1e-15)
        back = rows(pool, {"cpr": 0.1}, price=at_rate["price"], periods_per_year=ppy, basis="bond-equivalent")[0]
        assert back["yield"] == pytest.approx(y, abs=1e-13) and back["bey"] == pytest.approx(at_rate["bey"], abs=1e-13)


@pytest.mark.parametrize("as_of, settle, days", [(None, "2027-01-15", 14), (None, "2027-01-31", 30),
                                                 ("2027-01-31", "2027-02-27", 27), ("2027-03-10", "2027-04-09", 29)])
def test_accrued_and_clean_price_on_30_360(as_of, settle, days):
    full = rows(POOL, {"psa": 150}, discount_rate=0.08, as_of=as_of, settle=settle, delay=45)[0]
    f = qc.project(POOL, {"psa": 150}).to_pandas()  # the first period's net interest per 100, for days / 30 of it
    coupon = 100 * (f.net_cashflow[1] - f.scheduled_principal[1] - f.prepaid_principal[1]) / f.balance[0]
    assert full["accrued"] == pytest.approx(coupon * days / 30, rel=1e-13)
    assert full["clean_price"] == full["price"] - full["accrued"]
    # The value date moves, the flows do not: settling d days later is a delay d days shorter.
    same = rows(POOL, {"psa": 150}, discount_rate=0.08, delay=45 - days)[0]
    for name in ("pv", "wal", "macaulay_duration", "convexity"):
        assert full[name] == pytest.approx(same[name], rel=1e-13), name


@pytest.mark.parametrize("kwargs", [{"discount_rate": 0.06}, {"price": 103.5, "basis": "bond-equivalent"},
                                    {"discount_rate": 0.02, "delay": 24, "settle": "2027-05-11"}])
def test_effective_measures_converge_on_the_analytic_ones(kwargs):
    for bp, tolerance in ((1, 1e-6), (100, 1e-2)):
        for row in rows(POOL, [{"psa": 150}, {}, {"cdr": 0.02, "severity": 0.35, "lag": 6}], shift=bp, **kwargs):
            for eff, analytic in (("effective_duration", "modified_duration"), ("effective_convexity", "convexity")):
                assert row[eff] == pytest.approx(row[analytic], rel=tolerance), (bp, eff)
    assert "effective_duration" not in rows(POOL, {}, discount_rate=0.06)[0]


@pytest.mark.parametrize("delay, settle", [(14, "2027-01-01"), (24, "2027-01-20"), (0, "2027-01-29")])
def test_bey_delay_and_settlement_agree_with_quantlib(delay, settle):
    ql = pytest.importorskip("QuantLib")  # a test requirement (tests/python/requirements.txt)
    flows = qc.project(POOL, {"psa": 250}).to_pandas().net_cashflow.to_numpy()
    dc, start, value_date = ql.Thirty360(ql.Thirty360.BondBasis), ql.Date(1, 1, 2027), ql.DateParser.parseISO(settle)
    leg = [ql.SimpleCashFlow(c, start + ql.Period(k, ql.Months) + delay) for k, c in enumerate(flows) if k]
    ql.Settings.instance().evaluationDate = value_date
    at = (False, value_date, value_date)
    for row in rows(POOL, {"psa": 250}, price=[97.0, 104.0], delay=delay, settle=settle, basis="bond-equivalent"):
        bey = ql.CashFlows.yieldRate(leg, row["pv"], dc, ql.Compounded, ql.Semiannual, *at, 1e-14, 200, 0.05)
        y = ql.CashFlows.yieldRate(leg, row["pv"], dc, ql.Compounded, ql.Monthly, *at, 1e-14, 200, 0.05)
        assert row["bey"] == pytest.approx(bey, abs=1e-11) and row["yield"] == pytest.approx(y, abs=1e-11)
        args = (leg, bey, dc, ql.Compounded, ql.Semiannual)
        for name, kind in (("macaulay_duration", ql.Duration.Macaulay), ("modified_duration", ql.Duration.Modified)):
            assert row[name] == pytest.approx(ql.CashFlows.duration(*args, kind, *at), rel=1e-9), name
        assert 100 * row["convexity"] == pytest.approx(ql.CashFlows.convexity(*args, *at), rel=1e-9)
    npv = ql.CashFlows.npv(leg, ql.InterestRate(0.07, dc, ql.Compounded, ql.Monthly), *at)
    assert rows(POOL, {"psa": 250}, discount_rate=0.07, delay=delay, settle=settle)[0]["pv"] == pytest.approx(npv)


@pytest.mark.parametrize("kwargs, words", [
    ({"discount_rate": -11}, "discount_rate .* past the largest double"),  # (1/12)^-k overflows in 360 months
    ({"basis": "annual"}, "basis"), ({"delay": -1}, "delay"), ({"delay": 1.5}, "delay"), ({"shift": 0}, "shift"),
    ({"settle": "2027-13-01"}, "settle"), ({"settle": "2027-01-15", "periods_per_year": 24}, "settle"),
    ({"settle": "2027-02-01", "as_of": "2027-01-01"}, "settle 2027-02-01 must fall in the first period")])
def test_refusals_name_the_argument(kwargs, words):
    with pytest.raises(ValueError, match=words):
        qc.value(POOL, {}, **{"discount_rate": 0.05, **kwargs})


def test_the_command_quotes_the_conventions(tmp_path):
    csv.write_csv(pa.table(POOL), tmp_path / "pool.csv")
    flags = ["--psa", 150, "--price", 100, "--basis", "bey", "--delay", 14, "--settle", "2027-01-15", "--shift", 25]
    proc = subprocess.run([sys.executable, "-m", "quill_harbor_columnar.cli", "value", tmp_path / "pool.csv", "-o",
                           tmp_path / "v.csv", *map(str, flags)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert all(h in proc.stdout for h in ("price (full)", "clean price", "BEY", "Mac. duration", "convexity"))
    got = csv.read_csv(tmp_path / "v.csv").to_pylist()[0]
    want = rows(POOL, {"psa": 150}, price=100, basis="bey", delay=14, settle="2027-01-15", shift=25)[0]
    want = {k: v for k, v in want.items() if isinstance(v, float)}
    assert {k: got[k] for k in want} == pytest.approx(want, rel=1e-15) and want["accrued"] > 0
    flags[-1] = 0  # a refused flag is named as the flag, its unit as the unit
    proc = subprocess.run([sys.executable, "-m", "quill_harbor_columnar.cli", "value", tmp_path / "pool.csv", "-o",
                           tmp_path / "v.csv", *map(str, flags)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 2 and "--shift must be a number of basis points" in proc.stderr, proc.stderr
