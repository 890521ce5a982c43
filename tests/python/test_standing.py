"""Standing loans keep their contract: a loan given its balance at its age is
the reference's standing schedule (shapes_reference.compose with an age),
and projects what the same loan does from origination at that age; and the
strict=False lender schedules and negative amounts, loan by loan."""

from __future__ import annotations

import numpy as np
import pyarrow as pa
import pytest
from shapes_reference import Refused, compose
from test_shapes import bits, reference, shaped_book, table_of

import quill_harbor_columnar as qc

FLOWS = ("balance", "scheduled_principal", "interest")


def per_loan(loans: list[dict]) -> dict:
    """{id: {measure: list}} of project(book, {}) loan by loan."""
    book = table_of([{k: v for k, v in ln.items() if k != "balance"} for ln in loans])
    if "balance" in loans[0]:
        book = book.append_column("balance", pa.array([ln["balance"] for ln in loans], pa.float64()))
    got = pa.Table.from_batches(list(qc.project(book, {}, per_loan=True, errors="skip").to_reader()))
    out: dict = {}
    for row in got.to_pylist():
        d = out.setdefault(row["loan"], {m: [] for m in FLOWS})
        for m in FLOWS:
            d[m].append(row[m])
    return out


def test_standing_shaped_loans_follow_their_contract():
    rng = np.random.default_rng(31)
    loans, want = [], {}
    for ln in shaped_book(500, 31):
        whole = reference(ln, True)
        unit = int(np.lcm(ln["int_freq"], ln["cap_freq"]))
        if isinstance(whole, Refused) or ln["pers"] < 2:
            continue
        # An age on a date of both schedules, or one period before maturity.
        ages = [a for a in range(unit, ln["pers"], unit)] + [ln["pers"] - 1]
        ln["age"] = int(rng.choice(ages))
        ln["balance"] = float(whole["Bal"][ln["age"]])
        if not ln["balance"] > 0:
            continue
        steps = [(s["per"], s["rate"]) for s in ln["rate_steps"] or []]  # a refusal here fails the test
        want[ln["id"]] = compose(ln["balance"], ln["rate"], ln["pers"], ln["int_freq"], ln["cap_freq"],
                                 ln["io_pers"], ln["amort_pers"], steps, True, age=ln["age"])
        loans.append(ln)
    assert len(loans) > 200
    standing = per_loan(loans)
    assert set(standing) == set(want)
    for i, s in want.items():
        got = standing[i]
        assert np.array_equal(bits(got["balance"]), bits(s["Bal"])), i
        assert np.array_equal(bits(got["scheduled_principal"][1:]), bits(s["Cap"][1:])), i
        assert np.array_equal(bits(got["interest"][1:]), bits(s["Int"][1:])), i


def test_a_standing_loan_projects_what_it_does_from_origination():
    """Its scheduled balance at its age: the flows from origination at that age, for contracts as lenders write."""
    rng = np.random.default_rng(7)
    loans = []
    for i in range(150):
        pers = int(rng.choice([60, 120, 180, 360]))
        io = int(rng.choice([0, 0, 12, 36, 60]))
        io = io if io < pers else 0
        steps = sorted({int(p) for p in rng.integers(2, pers, int(rng.integers(0, 3)))})
        ln = {"id": f"c{i}", "amt": float(rng.uniform(5e4, 5e6)), "rate": float(rng.uniform(0.002, 0.01)),
              "pers": pers, "int_freq": 1, "cap_freq": 1, "io_pers": io,
              "amort_pers": 360 if rng.random() < 0.4 and pers < 360 else None,
              "rate_steps": [{"per": p, "rate": float(rng.uniform(0.002, 0.01))} for p in steps] or None,
              "age": int(rng.integers(1, pers))}
        steps = [(p["per"], p["rate"]) for p in ln["rate_steps"] or []]
        loans.append({**ln, "balance": float(compose(ln["amt"], ln["rate"], pers, 1, 1, io, ln["amort_pers"],
                                                     steps)["Bal"][ln["age"]])})
    standing = per_loan(loans)
    aged = per_loan([{k: v for k, v in ln.items() if k != "balance"} for ln in loans])
    assert len(standing) == len(aged) == len(loans)
    for ln in loans:
        got, want = standing[ln["id"]], aged[ln["id"]]
        # Interest within binary32 rounding of each flow; principal and balance
        # carry the rounding the engine's balance gathers over up to 360 periods.
        np.testing.assert_allclose(got["interest"], want["interest"], rtol=1e-6, atol=1e-7 * ln["amt"])
        for m in ("balance", "scheduled_principal"):
            np.testing.assert_allclose(got[m], want[m], rtol=0, atol=2e-5 * ln["amt"], err_msg=m)


def test_worked_standing_cases():
    # 36 months interest only, 360 of amortization, the balloon at 120, aged 60.
    loan = {"id": "cre", "amt": 1e6, "rate": 0.005, "pers": 120, "int_freq": 1, "cap_freq": 1, "io_pers": 36,
            "amort_pers": 360, "rate_steps": None}
    bal = float(compose(1e6, 0.005, 120, 1, 1, 36, 360)["Bal"][60])
    got = per_loan([{**loan, "age": 60, "balance": bal}])["cre"]["scheduled_principal"]
    assert round(got[1], 2) == 1122.10 and round(got[60], -2) == 897_900
    aged = per_loan([{**loan, "age": 60}])["cre"]["scheduled_principal"]
    np.testing.assert_allclose(got, aged, rtol=1e-6)
    # A step at 61 on a loan aged 10 takes effect at projection period 51.
    step = {**loan, "id": "arm", "io_pers": 0, "amort_pers": None, "rate_steps": [{"per": 61, "rate": 0.006}],
            "age": 10, "balance": 9e5}
    got = per_loan([step])["arm"]
    rates = [i / b for i, b in zip(got["interest"][1:], got["balance"][:-1])]
    assert max(abs(r - 0.005) for r in rates[:50]) < 1e-6 and abs(rates[50] - 0.006) < 1e-6
    # A bullet with its balance, and one period left, strict: balance plus the period's interest.
    for shape in ({"io_pers": 120}, {"io_pers": 0}):
        got = per_loan([{**loan, **shape, "amort_pers": None, "age": 119, "balance": 1e5}])["cre"]
        assert got["scheduled_principal"] == [0.0, 1e5] and got["interest"] == [0.0, 500.0], shape


def one(strict, **kw):
    row = {"id": "x", "amt": 1e5, "rate": 0.005, "pers": 12, "int_freq": 1, "cap_freq": 1, **kw}
    return qc.schedules(pa.table({k: [v] for k, v in row.items()}), layout="list", errors="skip", strict=strict)


@pytest.mark.parametrize("terms", [
    {"rate": 0.0, "int_freq": 12},                                               # interest dated at maturity only
    {"rate": 0.0, "int_freq": 12, "cap_freq": 12},
    {"int_freq": 3, "cap_freq": 3, "rate_steps": [{"per": 10, "rate": 0.0}]},  # a step to 0% for the last quarter
    {"rate": 0.0, "int_freq": 3, "cap_freq": 3, "io_pers": 9},                   # 0% IO, then one quarter
])
def test_zero_rates_the_engine_runs_to_nan_are_scheduled_without_strict(terms):
    strict = one(True, **terms)
    assert [e.code for e in strict.errors.exceptions()] == ["nan_schedule"]
    lender = one(False, **terms)
    assert not lender.errors.exceptions()
    cap = np.asarray(pa.table(lender).column("Cap")[0].as_py())
    assert cap.sum(dtype=np.float64) == pytest.approx(1e5, rel=1e-6) and not np.isnan(cap).any()


@pytest.mark.parametrize("terms", [{}, {"rate": 0.0}, {"cap_freq": 12}, {"io_pers": 12}, {"io_pers": 6}])
def test_negative_amounts_are_refused_as_the_engine_refuses_them(terms):
    for strict in (True, False):
        got = one(strict, amt=-1e5, **terms).errors.exceptions()
        assert len(got) == 1, (terms, strict)
        if not strict or "io_pers" in terms:
            assert (got[0].code, got[0].field) == ("decreasing_blocks", "amt")
    # A bullet of (100,000) beside one of 100,000 no longer nets to nothing.
    book = pa.table({"id": ["a", "b"], "amt": [1e5, -1e5], "rate": [0.005] * 2, "pers": [12] * 2,
                     "int_freq": [1] * 2, "cap_freq": [1] * 2, "io_pers": [12] * 2})
    cf = qc.cashflows(book, errors="skip", strict=False)
    assert cf.to_pandas()["Cap"].sum() == 1e5 and [e.index for e in cf.errors.exceptions()] == [1]


@pytest.mark.parametrize("with_balance", [False, True])
def test_schedules_and_cashflows_run_from_the_age_as_project_does(with_balance):
    loans = [{"id": f"r{i}", "amt": 1e5 * (i + 1), "rate": 0.004 + 0.001 * i, "pers": 24 * (i + 1), "int_freq": 1,
              "cap_freq": 1, "io_pers": [0, 12, 0, 36][i], "amort_pers": [None, None, 360, None][i],
              "rate_steps": None, "age": [5, 13, 30, 60][i]} for i in range(4)]
    if with_balance:
        for ln in loans:
            ln["balance"] = ln["amt"] * 0.9
    loans.append({**loans[0], "id": "old", "age": 24})  # past its term: bad_age
    want = per_loan(loans)
    book = table_of([{k: v for k, v in ln.items() if k != "balance"} for ln in loans])
    if with_balance:
        book = book.append_column("balance", pa.array([ln.get("balance") for ln in loans], pa.float64()))
    got = qc.schedules(book, layout="list", errors="skip")
    assert [(e.index, e.code, e.value) for e in got.errors.exceptions()] == [(4, "bad_age", "24")]
    rows = pa.table(got).to_pylist()
    for ln, row in zip(loans[:4], rows):
        w = want[ln["id"]]
        assert row["Per"] == list(range(ln["pers"] - ln["age"] + 1))
        assert row["Bal"] == w["balance"] and row["Cap"] == w["scheduled_principal"] and row["Int"] == w["interest"]
    streamed = qc.stream_schedules(book, layout="list", errors="skip", batch_rows=2).to_reader()
    kept = [r for r in pa.Table.from_batches(list(streamed)).to_pylist() if r["Per"] is not None]
    assert kept == [r for r in rows if r["Per"] is not None]
    totals = qc.project(book, {}, errors="skip").to_pandas()
    cf = qc.cashflows(book, errors="skip").to_pandas()
    for mine, theirs in (("Cap", "scheduled_principal"), ("Int", "interest"), ("Bal", "balance")):
        np.testing.assert_allclose(cf[mine], totals[theirs], rtol=1e-12)


def test_the_fee_is_a_strip_of_the_balance_after_steps():
    # 4.8% a year stepping to 7.2% at 61, then to 3.6% at 121: a 25 bp fee
    # stays 25 bp of the balance the interest is charged on.
    loan = {"id": "arm", "amt": 3e5, "rate": 0.048 / 12, "pers": 180, "int_freq": 1, "cap_freq": 1, "io_pers": None,
            "amort_pers": None, "rate_steps": [{"per": 61, "rate": 0.072 / 12}, {"per": 121, "rate": 0.036 / 12}]}
    fee = 0.0025 / 12
    for extra in ({}, {"age": 30}, {"age": 70, "balance": 2.5e5}):
        book = table_of([{**loan, **extra}]).append_column("fee", pa.array([fee]))
        got = pa.Table.from_batches(list(qc.project(book, {}, per_loan=True).to_reader())).to_pydict()
        bal, serv, interest = (np.array(got[m]) for m in ("balance", "servicing", "interest"))
        # Within the engine's own binary32 interest (its interest over the balance drifts near maturity).
        np.testing.assert_allclose(serv[1:], bal[:-1] * float(np.float32(fee)), rtol=1e-3, err_msg=str(extra))
        period = np.arange(len(bal))[1:] + extra.get("age", 0)
        in_force = np.where(period < 61, 0.048, np.where(period < 121, 0.072, 0.036)) / 12
        ratio = np.float32(fee).astype(np.float64) / np.float32(in_force).astype(np.float64)
        assert np.array_equal(serv[1:], ratio * interest[1:]), extra
    # A fee above the rate in force after a step (to 0.24%) is refused, naming the period.
    loan["rate_steps"][1]["rate"] = 0.0024 / 12
    book = table_of([loan]).append_column("fee", pa.array([0.0035 / 12]))
    got = qc.project(book, {}, errors="skip").errors.exceptions()
    assert [(e.code, e.field) for e in got] == [("bad_fee", "fee")] and "from period 121" in got[0].reason
    aged = table_of([{**loan, "age": 130}]).append_column("fee", pa.array([0.0035 / 12]))
    assert "from period 131" in qc.project(aged, {}, errors="skip").errors.exceptions()[0].reason
    # Above the contract's own rate: from the first period after the age.
    for age, period in ((0, 1), (30, 31)):
        plain = table_of([{**loan, "rate_steps": None, "age": age}]).append_column("fee", pa.array([0.006]))
        assert f"above the rate from period {period}" in qc.project(plain, {}, errors="skip").errors.exceptions()[0].reason


def own_period_book(loans: list[dict]) -> pa.Table:
    cols = {k: [ln.get(k) for ln in loans] for k in ("id", "amt", "rate", "pers", "int_freq", "cap_freq",
                                                    "payments_per_year")}
    types = {"id": pa.string(), "amt": pa.float64(), "rate": pa.float64(), "payments_per_year": pa.int32()}
    return pa.table({k: pa.array(v, types.get(k, pa.int64())) for k, v in cols.items()})


@pytest.mark.parametrize("payments", [4, 2, 1])
def test_own_period_payers_discount_to_their_amount_at_their_own_rate(payments):
    per_period = 0.06 / payments  # 6% a year, paid `payments` times a year
    loan = {"id": "x", "amt": 1e6, "rate": per_period, "pers": 10 * payments, "int_freq": 1, "cap_freq": 1,
            "payments_per_year": payments}
    book = own_period_book([loan])
    rows = pa.table(qc.schedules(book, layout="list")).to_pylist()[0]
    assert rows["Int"][1] == pytest.approx(1e6 * per_period, rel=1e-6)  # the period's rate on the balance
    step = 12 // payments
    assert rows["period"] == [step * p for p in rows["Per"]]  # the calendar beside its own periods
    # A stream's batches carry the same calendar, whatever its batches hold.
    streamed = qc.stream_schedules(book.to_reader(max_chunksize=1), batch_rows=7).to_reader().read_all()
    assert streamed.to_pylist() == pa.table(qc.schedules(book)).to_pylist()
    flows = qc.cashflows(book).to_pandas()
    assert len(flows) == 10 * 12 + 1 and (flows["Pmt"][flows["period"] % step != 0] == 0).all()
    # The monthly nominal rate equivalent to per_period a period of its own.
    monthly = 12 * ((1 + per_period) ** (1 / step) - 1)
    v = qc.value(book, {}, discount_rate=monthly).to_pandas()
    assert v["price"][0] == pytest.approx(100, abs=1e-4)


def test_a_mixed_book_is_the_sum_of_its_loans_on_the_calendar():
    loans = [{"id": "q", "amt": 1e6, "rate": 0.015, "pers": 40, "int_freq": 1, "cap_freq": 1, "payments_per_year": 4},
             {"id": "m", "amt": 5e5, "rate": 0.005, "pers": 120, "int_freq": 1, "cap_freq": 1},
             {"id": "a", "amt": 2e5, "rate": 0.055, "pers": 7, "int_freq": 1, "cap_freq": 1, "payments_per_year": 1}]
    scenario = {"cpr": 0.08, "cdr": 0.01, "severity": 0.3, "lag": 2}
    mixed = qc.project(own_period_book(loans), scenario).to_pandas()
    cf = qc.cashflows(own_period_book(loans)).to_pandas()
    total = np.zeros((len(mixed), 3))
    cf_total = np.zeros((len(cf), 2))
    for ln in loans:
        one = qc.project(own_period_book([ln]), scenario).to_pandas()
        total[:len(one)] += one[["balance", "interest", "prepaid_principal"]].to_numpy()
        c = qc.cashflows(own_period_book([ln])).to_pandas()
        cf_total[:len(c)] += c[["Cap", "Int"]].to_numpy()
    np.testing.assert_allclose(mixed[["balance", "interest", "prepaid_principal"]].to_numpy(), total, rtol=1e-12)
    np.testing.assert_allclose(cf[["Cap", "Int"]].to_numpy(), cf_total, rtol=1e-12)
    # Between its payment dates a quarterly balance stands, and prepays with its accrued interest.
    q = qc.project(own_period_book(loans[:1]), {"smm": 0.01}).to_pandas()
    assert q["scheduled_principal"][1] == 0 and q["interest"][1] > 0 and q["interest"][3] > 14000


# One book as a caller may hold it: ages, balances and shape terms as floats, a gap as None (NaN in NumPy
# and pandas, which turn a column of integers with a gap into float64).
FLOAT_BOOK = {"amt": [1e5, 1e5], "rate": [0.005, 0.005], "pers": [24, 36], "int_freq": [1, 1], "cap_freq": [1, 1],
              "io_pers": [None, 12.0], "amort_pers": [None, None], "payments_per_year": [4.0, None],
              "age": [6.0, 3.0], "balance": [9e4, 1e5], "fee": [0.001, 0.0]}
FORMS = {
    "lists": lambda d: d,
    "numpy": lambda d: {k: np.array([np.nan if x is None else x for x in v]) for k, v in d.items()},
    "arrow": pa.table,
    "pandas": lambda d: pa.table(d).to_pandas(),
}


def run(call: str, book, **kw) -> tuple[list, list]:
    """(rows, failures) of one call on a book."""
    if call == "stream_schedules":
        stream = qc.stream_schedules(book, **kw)
        return stream.to_reader().read_all().to_pylist(), stream.errors.exceptions()
    got = {"schedules": qc.schedules, "cashflows": qc.cashflows, "project": lambda b, **k: qc.project(b, {}, **k)}[
        call](book, **kw)
    return pa.table(got.to_pandas() if call == "project" else got).to_pylist(), got.errors.exceptions()


@pytest.mark.parametrize("call", ["schedules", "stream_schedules", "cashflows", "project"])
@pytest.mark.parametrize("form", FORMS)
def test_optional_columns_read_alike_in_every_form(form, call):
    ints = {"io_pers": pa.int32(), "amort_pers": pa.int32(), "payments_per_year": pa.int8(), "age": pa.int64()}
    typed = pa.table({k: pa.array([None if x is None else int(x) for x in v], ints[k]) if k in ints else v
                      for k, v in FLOAT_BOOK.items()})
    assert run(call, FORMS[form](FLOAT_BOOK))[0] == run(call, typed)[0]
    # A fraction is no whole number; the engine's own terms still refuse a float.
    for column, values, code, quoted in (("payments_per_year", [4.5, None], "parse_int", "4.5"),
                                         ("io_pers", [3e9, None], "int_out_of_range", "3000000000"),
                                         ("age", [6.5, 3.0], "bad_age", "6.5")):
        errors = run(call, FORMS[form]({**FLOAT_BOOK, column: values}), errors="skip")[1]
        assert [(e.index, e.code, e.field, e.value) for e in errors] == [(0, code, column, quoted)]
    with pytest.raises(TypeError, match="'pers' must hold integers"):
        run(call, FORMS[form]({**FLOAT_BOOK, "pers": [24.0, 36.0]}))
