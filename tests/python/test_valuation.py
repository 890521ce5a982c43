"""What the book is worth: values against QuantLib's own functions on the
same projected flows, the book as it stands (current balances, servicing
fees, interest accrued by quarterly payers) against the literal model, the
same bits for one and two threads, unreachable prices and bad arguments."""

import random

import numpy as np
import projection_reference as ref
import pyarrow as pa
import pytest
import quill_harbor_columnar as qc
from quill_harbor_columnar.projection import VALUES

try:
    import QuantLib as ql
except ImportError:  # a test requirement (tests/python/requirements.txt); only the comparisons need it
    ql = None
needs_quantlib = pytest.mark.skipif(ql is None, reason="QuantLib is not installed")

SCENARIOS = [{"cpr": 0.12, "cdr": 0.01, "severity": 0.4, "lag": 3}, {"psa": 150}]
CURVE = {"years": [0.5, 2.0, 7.0], "rates": [0.031, 0.036, 0.043]}


def book(n, seed, standing=True):
    """Loans of 12 to 120 periods, monthly or quarterly, seasoned, some with a
    current balance below their schedule's and a servicing fee."""
    rng = random.Random(seed)
    loans = []
    for i in range(n):
        pers = rng.choice([12, 24, 60, 120])
        freq = rng.choice([1, 1, 3])
        age = rng.randrange(0, pers - 6, freq)
        loan = {"id": f"L{i}", "amt": rng.uniform(1e4, 3e5), "rate": rng.uniform(0.002, 0.008), "pers": pers,
                "int_freq": freq, "cap_freq": freq, "age": age, "region": rng.choice(["east", "west"])}
        if standing:
            s = ref.schedule(loan)
            loan["balance"] = s["Bal"][age] * rng.uniform(0.8, 1.0)
            loan["fee"] = loan["rate"] * rng.choice([0.0, 0.05, 0.2])
        loans.append(loan)
    return loans


def columns(loans):
    return {k: [ln[k] for ln in loans] for k in loans[0]}


# ---------------------------------------------------------------- QuantLib


def leg(flows, ppy):
    """Flows of periods 1.. as QuantLib cash flows on 30/360 dates, so that
    each period is exactly 1/ppy of a year."""
    d0 = ql.Date(1, 1, 2025)
    return d0, [ql.SimpleCashFlow(c, d0 + ql.Period(k * 12 // ppy, ql.Months)) for k, c in enumerate(flows) if k]


def quantlib_row(flows, start, ppy, mode, x):
    """(pv, yield, spread, Macaulay, modified, convexity) by QuantLib."""
    dc = ql.Thirty360(ql.Thirty360.BondBasis)
    d0, cfs = leg(flows, ppy)
    ql.Settings.instance().evaluationDate = d0
    spread = None
    freq = {12: ql.Monthly, 4: ql.Quarterly}[ppy]
    if mode in ("curve", "curve_price"):
        years = [0.0, *CURVE["years"], 60.0]  # flat outside the points
        rates = [CURVE["rates"][0], *CURVE["rates"], CURVE["rates"][-1]]
        zc = ql.ZeroCurve([d0 + ql.Period(round(y * 12), ql.Months) for y in years], rates, dc, ql.NullCalendar(),
                          ql.Linear(), ql.Continuous)
        if mode == "curve":
            spread = x
            curve = ql.ZeroSpreadedTermStructure(ql.YieldTermStructureHandle(zc), ql.QuoteHandle(ql.SimpleQuote(x)))
            pv = ql.CashFlows.npv(cfs, curve, False, d0, d0)
        else:
            pv = x / 100 * start
            spread = ql.CashFlows.zSpread(cfs, pv, zc, dc, ql.Continuous, ql.NoFrequency, False, d0, d0, 1e-13, 200,
                                          0.0)
        y = ql.CashFlows.yieldRate(cfs, pv, dc, ql.Compounded, freq, False, d0, d0, 1e-13, 200, 0.05)
    elif mode == "price":
        pv = x / 100 * start
        y = ql.CashFlows.yieldRate(cfs, pv, dc, ql.Compounded, freq, False, d0, d0, 1e-13, 200, 0.05)
    else:
        y = x
        pv = ql.CashFlows.npv(cfs, ql.InterestRate(y, dc, ql.Compounded, freq), False, d0, d0)
    args = (cfs, y, dc, ql.Compounded, freq)
    return (pv, y, spread, ql.CashFlows.duration(*args, ql.Duration.Macaulay, False, d0, d0),
            ql.CashFlows.duration(*args, ql.Duration.Modified, False, d0, d0),
            ql.CashFlows.convexity(*args, False, d0, d0))


def check_row(row, want, price_given):
    pv, y, spread, mac, mod, conv = want
    assert row["pv"] == pytest.approx(pv, rel=1e-12)
    assert row["yield"] == pytest.approx(y, abs=1e-10)
    if spread is None:
        assert row["spread"] is None or row["spread"] != row["spread"]  # null
    else:
        assert row["spread"] == pytest.approx(spread, abs=1e-10)
    assert row["price"] == pytest.approx(100 * pv / row["start_balance"], rel=1e-12)
    if price_given is not None:
        assert row["price"] == pytest.approx(price_given, rel=1e-13)
    # Convexity is quoted in years squared over 100.
    for got, theirs in ((row["macaulay_duration"], mac), (row["modified_duration"], mod), (100 * row["convexity"], conv)):
        assert got == pytest.approx(theirs, rel=1e-9)


MODES = [
    ("rate", {"discount_rate": 0.055}, 0.055),
    ("rate", {"discount_rate": -0.02}, -0.02),
    ("price", {"price": 97.25}, 97.25),
    ("price", {"price": 104.0}, 104.0),
    ("curve", {"curve": CURVE, "spread": 0.0125}, 0.0125),
    ("curve", {"curve": CURVE}, 0.0),
    ("curve_price", {"curve": CURVE, "price": 99.5}, 99.5),
]


@needs_quantlib
@pytest.mark.parametrize("mode, kwargs, x", MODES)
def test_values_agree_with_quantlib_per_loan_and_for_the_book(mode, kwargs, x):
    loans = book(12, 5)
    tbl = pa.table(columns(loans))
    flows = pa.Table.from_batches(list(qc.project(tbl, SCENARIOS, per_loan=True).to_reader())).to_pandas()
    vals = qc.value(tbl, SCENARIOS, per_loan=True, **kwargs).to_pandas()
    assert len(vals) == len(loans) * len(SCENARIOS)
    price = x if "price" in kwargs else None
    for _, row in vals.iterrows():
        mine = flows[(flows.loan == row["id"]) & (flows.scenario == row["scenario"])]
        want = quantlib_row(mine.net_cashflow.to_numpy(), mine.balance.iloc[0], 12, mode, x)
        check_row(row, want, price)
        principal = mine.scheduled_principal + mine.prepaid_principal + mine.recovery
        assert row["wal"] == pytest.approx((mine.period * principal).sum() / principal.sum() / 12, rel=1e-12)
    # The book by region, from the projection's summed flows.
    totals = qc.project(tbl, SCENARIOS, by="region").to_pandas()
    book_vals = qc.value(tbl, SCENARIOS, by="region", **kwargs).to_pandas()
    assert len(book_vals) == 4
    for _, row in book_vals.iterrows():
        mine = totals[(totals.scenario == row["scenario"]) & (totals.region == row["region"])]
        want = quantlib_row(mine.net_cashflow.to_numpy(), mine.balance.iloc[0], 12, mode, x)
        check_row(row, want, price)


@needs_quantlib
def test_quarterly_periods_and_a_yield_table():
    loans = book(6, 8, standing=False)
    for ln in loans:
        ln.update(int_freq=1, cap_freq=1, age=0)
    tbl = pa.table(columns(loans))
    totals = qc.project(tbl, {"cpr": 0.1}, periods_per_year=4).to_pandas()
    table = qc.value(tbl, {"cpr": 0.1}, price=[98, 100, 102], periods_per_year=4).to_pandas()
    assert list(table.price) == pytest.approx([98, 100, 102], rel=1e-14) and "scenario" not in table
    assert list(table["yield"]) == sorted(table["yield"], reverse=True)
    for _, row in table.iterrows():
        want = quantlib_row(totals.net_cashflow.to_numpy(), totals.balance.iloc[0], 4, "price", row["price"])
        check_row(row, want, row["price"])


# ---------------------------------------------------------------- the book as it stands


def test_balances_fees_and_accrual_follow_the_literal_model():
    loans = book(60, 3)
    loans[7]["balance"], loans[11]["fee"], loans[19]["fee"] = 0.0, -0.001, loans[19]["rate"] * 1.5
    loans[23]["balance"] = None
    tbl = pa.table(columns(loans))
    p = qc.project(tbl, SCENARIOS, by="region", errors="skip")
    assert [(e.index, e.code, e.field, e.value) for e in p.errors.exceptions()] == [
        (7, "bad_balance", "balance", "0.0"), (11, "bad_fee", "fee", "-0.001"),
        (19, "bad_fee", "fee", repr(loans[19]["fee"])), (23, "bad_balance", "balance", None)]
    kept = [ln for i, ln in enumerate(loans) if i not in (7, 11, 19, 23)]
    want = ref.project(kept, SCENARIOS, ("region",))
    got = p.to_pandas()
    for (j, key), totals in want.items():
        rows = got[(got.scenario == j) & (got.region == key[0])]
        for name in ref.MEASURES:
            np.testing.assert_allclose(rows[name], totals[name], rtol=1e-12, atol=1e-9, err_msg=f"{j} {key} {name}")
    rows = pa.Table.from_batches(list(qc.project(tbl, SCENARIOS, per_loan=True, errors="skip").to_reader()))
    rows = rows.to_pandas()
    for i in (0, 1, 2, 30, 59):
        for j, sc in enumerate(SCENARIOS):
            flows = ref.loan_flows(ref.schedule(loans[i]), loans[i]["age"], sc, 12, loans[i])
            mine = rows[(rows.loan == f"L{i}") & (rows.scenario == j)]
            for name in ref.MEASURES:
                if name in ("servicing", "net_cashflow"):  # interest x (fee / rate), the ratio taken once
                    np.testing.assert_allclose(mine[name], flows[name], rtol=1e-14, atol=0)
                else:
                    assert list(mine[name]) == flows[name], (i, j, name)
    s = p.summary()
    for (j, key), totals in want.items():
        row = s[(s.scenario == j) & (s.region == key[0])].iloc[0]
        amt = sum(float(np.float32(ln["amt"])) for ln in kept if ln["region"] == key[0])
        assert row.servicing == pytest.approx(sum(totals["servicing"]), rel=1e-12)
        assert row.net_cashflow == pytest.approx(sum(totals["net_cashflow"]), rel=1e-12)
        assert row.cumulative_loss_amt == pytest.approx(row.loss / amt, rel=1e-12)


def test_quarterly_payers_pay_accrued_interest_when_they_prepay():
    loans = [{"amt": 1e5 + 1000 * i, "rate": 0.015, "pers": 40 + 4 * i, "int_freq": 4, "cap_freq": 2, "age": i % 4}
             for i in range(8)]
    book_ = columns(loans)
    # Without prepayment or default, the projection is the schedules' sums, to the bit.
    cf = qc.cashflows({k: v for k, v in book_.items() if k != "age"}).to_pandas()
    flat = qc.project({**book_, "age": [0] * 8}, {}).to_pandas()
    assert list(flat.interest) == list(cf.Int) and list(flat.balance) == list(cf.Bal)
    # A loan prepaying in the second month of a four-month interest period
    # pays half of the next interest payment with its principal.
    one = {k: [v[0]] for k, v in book_.items()}
    s = ref.schedule(loans[0])
    got = qc.project(one, {"smm": [0.0, 1.0]}).to_pandas()
    assert got.interest[2] == 1.0 * 1.0 * s["Int"][4] * 2 / 4 and got.interest[1] == 0.0
    # Totals under 30 CPR: the literal model with the accrual.
    want = ref.project(loans, [{"cpr": 0.3}], ())
    got = qc.project(book_, {"cpr": 0.3}).to_pandas()
    np.testing.assert_allclose(got.interest, want[0, ()]["interest"], rtol=1e-12, atol=1e-9)


def test_same_bits_for_one_and_two_threads():
    loans = book(300, 11)
    tbl = pa.table(columns(loans))
    for kwargs in ({"discount_rate": 0.05, "per_loan": True}, {"price": [95, 101], "per_loan": True},
                   {"curve": CURVE, "price": 100.5, "by": "region"}, {"price": 99, "by": "region"}):
        a, b = (qc.value(tbl, SCENARIOS, threads=n, **kwargs).to_arrow() for n in (1, 2))
        assert a.equals(b), kwargs
        for name in VALUES:
            x, y = a[name].to_numpy(zero_copy_only=False), b[name].to_numpy(zero_copy_only=False)
            assert np.array_equal(x.view(np.uint64), y.view(np.uint64)), (kwargs, name)


def test_a_price_column_and_an_unreachable_price():
    loans = book(20, 2)
    tbl = pa.table(columns(loans)).append_column("px", pa.array([90.0 + i for i in range(20)]))
    by_column = qc.value(tbl, SCENARIOS[0], price="px", per_loan=True).to_pandas()
    np.testing.assert_allclose(by_column.price, 90.0 + np.arange(20), rtol=1e-13)
    one = qc.value(tbl.slice(4, 1), SCENARIOS[0], price=94.0, per_loan=True).to_pandas()
    assert one["yield"][0] == by_column["yield"][4]
    # A scenario that leaves no flow at all has no yield at any price: a row
    # failure, never a number.
    wiped = {"mdr": 1.0, "severity": 1.0}
    v = qc.value(tbl, [SCENARIOS[0], wiped], price=100, per_loan=True, errors="skip")
    assert [(e.index, e.code, e.value) for e in v.errors.exceptions()] == [(i, "no_yield", "100") for i in range(20)]
    t = v.to_pandas()
    assert t["yield"].isna().tolist() == [False, True] * 20 and t.pv.notna().all()
    with pytest.raises(qc.LoanError) as e:
        qc.value(tbl, wiped, price=100, per_loan=True)
    assert e.value.code == "no_yield" and e.value.index == 0
    with pytest.raises(qc.NoYieldError):
        qc.value(tbl, wiped, price=100)
    assert qc.value(tbl, [SCENARIOS[0], wiped], price=100, errors="skip").unsolved == [1]


BOOK = {"amt": [1000.0], "rate": [0.01], "pers": [12], "int_freq": [1], "cap_freq": [1], "px": [0.0]}


@pytest.mark.parametrize("kwargs, argument", [
    ({}, "discount_rate, curve or price"),
    ({"discount_rate": 0.05, "price": 100}, "discount_rate and price"),
    ({"discount_rate": 0.05, "curve": CURVE}, "discount_rate and curve"),
    ({"discount_rate": -12.0}, "discount_rate"),
    ({"discount_rate": "5%"}, "discount_rate"),
    ({"curve": {"years": [2, 1], "rates": [0.01, 0.02]}}, "curve years"),
    ({"curve": {"years": [1, 2], "rates": [0.01]}}, "curve"),
    ({"curve": [0.01, 0.02]}, "curve"),
    ({"spread": 0.01, "discount_rate": 0.05}, "spread"),
    ({"curve": CURVE, "spread": 0.01, "price": 100}, "spread and price"),
    ({"price": 0}, "price"),
    ({"price": [100, -1]}, "price"),
    ({"price": []}, "price"),
    ({"price": "px"}, "price"),
    ({"price": "px", "per_loan": True}, "price column 'px'"),
    ({"price": "nope", "per_loan": True}, "price names column 'nope'"),
    ({"discount_rate": 0.05, "by": "nope"}, "by"),
    ({"discount_rate": 0.05, "periods_per_year": 0}, "periods_per_year"),
    ({"discount_rate": 0.05, "errors": "ignore"}, "errors"),
    ({"discount_rate": 0.05, "strict": "yes"}, "strict"),
])
def test_bad_arguments_name_the_argument(kwargs, argument):
    with pytest.raises(ValueError, match=argument):
        qc.value(BOOK, {}, **kwargs)


def test_book_converts_the_fee_like_the_rate_and_keeps_the_balance():
    tape = pa.table({"amt": [1e5], "rate": ["6%"], "pers": [360], "int_freq": ["monthly"], "cap_freq": [1],
                     "age": [12], "cur_bal": [98000.5], "fee": ["0.25%"]})
    b = qc.book(tape, columns={"balance": "cur_bal"}, rate_unit="annual-percent")
    assert b.column("fee").to_pylist() == [0.25 / 100 / 12] and b.column("balance").to_pylist() == [98000.5]
    assert qc.project(b, {}).to_pandas().balance[0] == float(np.float32(98000.5))


def test_dask_values_the_combined_partitions_like_one_machine():
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    from quill_harbor_columnar import dask as qhd

    frame = pd.DataFrame(columns(book(200, 6)))
    lazy = qhd.value(dd.from_pandas(frame, npartitions=3), SCENARIOS, price=[99, 101], by="region")
    got = lazy.compute(scheduler="sync")
    want = qc.value(pa.Table.from_pandas(frame), SCENARIOS, price=[99, 101], by="region").to_pandas()
    assert dict(got.dtypes) == dict(lazy._meta.dtypes) and got.region.tolist() == want.region.tolist()
    np.testing.assert_allclose(got[list(VALUES[:-5])], want[list(VALUES[:-5])], rtol=1e-11)
    for name in VALUES[-4:]:  # durations: from yields solved on sums grouped otherwise
        np.testing.assert_allclose(got[name], want[name], rtol=1e-9)
    loans = qhd.value(dd.from_pandas(frame.drop(columns="id"), npartitions=3), SCENARIOS[0], discount_rate=0.04,
                      per_loan=True).compute(scheduler="sync")
    mine = qc.value(pa.Table.from_pandas(frame), SCENARIOS[0], discount_rate=0.04, per_loan=True).to_pandas()
    assert loans.id.tolist() == list(range(200)) and np.array_equal(loans.pv, mine.pv)


def test_the_command_end_to_end(tmp_path):
    import subprocess
    import sys

    import pyarrow.csv
    import pyarrow.parquet as pq

    def cli(*args):
        return subprocess.run([sys.executable, "-m", "quill_harbor_columnar.cli", *map(str, args)],
                              capture_output=True, text=True, timeout=300)

    tape, curve = tmp_path / "book.parquet", tmp_path / "curve.csv"
    assert cli("sample", "--loans", 1500, "-o", tape).returncode == 0
    curve.write_text("years,rate\n0.5,3.125\n2,3.5\n7,4.25\n")  # percent: 3.125 / 100 is 0.03125 exactly
    proc = cli("value", tape, "-o", tmp_path / "v.parquet", "--cpr", 8, "--curve", curve, "--spread", 125,
               "--by", "product", "--plot", tmp_path / "v.png")
    assert proc.returncode == 0, proc.stderr
    assert "spread (bp)" in proc.stdout and "mortgage" in proc.stdout and (tmp_path / "v.png").stat().st_size
    book_ = pq.read_table(tape)
    want = qc.value(book_, {"cpr": 0.08}, curve={"years": [0.5, 2, 7], "rates": [0.03125, 0.035, 0.0425]},
                    spread=0.0125, by="product", errors="skip").to_arrow()
    assert pq.read_table(tmp_path / "v.parquet").equals(want)
    proc = cli("value", tape, "-o", tmp_path / "t.csv", "--psa", 150, "--price", 98, "--price", 102, "--per-loan")
    assert proc.returncode == 0 and pyarrow.csv.read_csv(tmp_path / "t.csv").num_rows == 2 * (1500 - len(
        qc.value(book_, {}, discount_rate=0.05, per_loan=True, errors="skip").errors))
    for bad, words in ((["--discount-rate", 5, "--price", 100], "--discount-rate and --price"),
                       (["--price-column", "nope", "--per-loan"], "--price-column"), ([], "--discount-rate, --curve")):
        proc = cli("value", tape, "-o", tmp_path / "x.csv", *bad)
        assert proc.returncode == 2 and words in proc.stderr and "Traceback" not in proc.stderr
        assert not (tmp_path / "x.csv").exists()


@pytest.mark.parametrize("per_loan", [False, True])
def test_strict_false_values_the_lenders_schedule_of_a_zero_rate_loan(per_loan):
    # 0% over 12 months: equal capital of 100 a month, so undiscounted it is worth its amount.
    loans = {"id": ["promo"], "amt": [1200.0], "rate": [0.0], "pers": [12], "int_freq": [1], "cap_freq": [1]}
    with pytest.raises(qc.LoanError) as refused:
        qc.value(loans, {"cpr": 0.0}, discount_rate=0.0, per_loan=per_loan)
    assert refused.value.code == "zero_rate"
    got = qc.value(loans, {"cpr": 0.0}, discount_rate=0.0, per_loan=per_loan, strict=False).to_pandas()
    assert got["pv"].tolist() == pytest.approx([1200.0], rel=1e-12)


def test_the_command_values_loans_from_their_ages(tmp_path):
    import subprocess
    import sys

    import pyarrow.csv

    tape = pa.table({"id": ["a", "b"], "amt": [1000.0, 2000.0], "rate": [0.005, 0.004], "pers": [60, 120],
                     "int_freq": [1, 1], "cap_freq": [1, 1], "age": [24, 60]})
    pyarrow.csv.write_csv(tape, tmp_path / "book.csv")
    proc = subprocess.run([sys.executable, "-m", "quill_harbor_columnar.cli", "value", tmp_path / "book.csv", "-o",
                           tmp_path / "v.csv", "--discount-rate", "5"], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    got = pyarrow.csv.read_csv(tmp_path / "v.csv").column("start_balance").to_pylist()
    assert got == pytest.approx(qc.value(tape, {}, discount_rate=0.05).to_arrow().column("start_balance").to_pylist())
    assert got[0] < 3000.0  # seasoned: less than the amounts lent


@pytest.mark.parametrize("per_loan", [False, True])
def test_dask_values_pass_strict_to_every_partition(per_loan):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    from quill_harbor_columnar import dask as qhd

    frame = pd.DataFrame({"id": ["p", "q"], "amt": [1200.0, 600.0], "rate": [0.0, 0.0], "pers": [12, 6],
                          "int_freq": [1, 1], "cap_freq": [1, 1]})
    got = qhd.value(dd.from_pandas(frame, npartitions=2), {}, discount_rate=0.0, per_loan=per_loan,
                    strict=False).compute(scheduler="sync")
    assert sorted(got["pv"].tolist()) == pytest.approx([600.0, 1200.0] if per_loan else [1800.0], rel=1e-12)
