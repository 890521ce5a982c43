"""Loan shapes: interest-only periods, balloons, bullets, rate steps and the
strict=False lender schedules, against the plain composition of paywheel_fn
schedules in shapes_reference, through every input kind and call."""

from __future__ import annotations

import subprocess
import sys

import numpy as np
import projection_reference
import pyarrow as pa
import pyarrow.csv
import pytest
import quill_harbor
import quill_harbor_columnar as qc
from shapes_reference import COLUMNS, Refused, compose

f32 = np.float32
STEPS = pa.list_(pa.struct([("per", pa.int32()), ("rate", pa.float64())]))


def shaped_book(n: int, seed: int) -> list[dict]:
    """n loans: most with a shape that keeps the rules, some breaking one,
    some rates of 0 (in a step too) and remaining terms of one capital block."""
    rng = np.random.default_rng(seed)
    loans = []
    for i in range(n):
        f, cf = (int(x) for x in rng.choice([1, 1, 1, 2, 3, 6, 12], 2))
        unit = np.lcm(f, cf)
        pers = int(unit * rng.integers(1, max(2, 240 // unit)) + (rng.integers(0, unit) if rng.random() < 0.3 else 0))
        rate = float(rng.choice([0.0, 1e-6, 1e-5])) if rng.random() < 0.08 else float(rng.uniform(1e-4, 0.03))
        loan = {"id": f"s{i}", "amt": float(rng.uniform(100, 5e6)), "rate": rate, "pers": pers, "int_freq": f,
                "cap_freq": cf, "io_pers": None, "amort_pers": None, "rate_steps": None}
        cuts = list(range(unit, pers, unit))
        if rng.random() < 0.5:
            loan["io_pers"] = int(rng.choice(cuts + [pers, 0])) if cuts else pers
        if rng.random() < 0.4:
            io = loan["io_pers"] or 0
            loan["amort_pers"] = int(pers - io + rng.choice([0, unit, 7 * unit, 200, 1]))
        if rng.random() < 0.5 and cuts:
            pers_of = rng.choice(cuts, size=min(len(cuts), int(rng.integers(1, 4))), replace=False) + 1
            loan["rate_steps"] = [{"per": int(p), "rate": float(rng.choice([0.0, rng.uniform(1e-4, 0.03)], p=[.1, .9]))}
                                  for p in pers_of]
        if rng.random() < 0.05:  # a rule broken
            loan[str(rng.choice(["io_pers", "amort_pers"]))] = int(rng.choice([-1, pers + 1, 1]))
        loans.append(loan)
    return loans


def table_of(loans: list[dict]) -> pa.Table:
    cols = {k: [ln[k] for ln in loans] for k in loans[0]}
    types = {"id": pa.string(), "amt": pa.float64(), "rate": pa.float64(), "io_pers": pa.int32(),
             "amort_pers": pa.int32(), "rate_steps": STEPS}
    return pa.table({k: pa.array(v, types.get(k, pa.int64())) for k, v in cols.items()})


def reference(loan: dict, strict: bool):
    steps = [(s["per"], s["rate"]) for s in loan["rate_steps"] or []]
    try:
        return compose(loan["amt"], loan["rate"], loan["pers"], loan["int_freq"], loan["cap_freq"],
                       loan["io_pers"], loan["amort_pers"], steps, strict)
    except Refused as e:
        return e


def bits(a) -> np.ndarray:
    return np.asarray(a, dtype=np.float32).view(np.uint32)


@pytest.mark.parametrize("strict", [True, False])
def test_random_shaped_books_are_the_composed_engine_schedules(strict):
    loans = shaped_book(700, 21 if strict else 22)
    book = table_of(loans)
    got = qc.schedules(book, layout="list", errors="skip", threads=2, strict=strict)
    one = qc.schedules(book, layout="list", errors="skip", threads=1, strict=strict)
    failed = {e.index: e for e in got.errors.exceptions()}
    rows = pa.table(got).to_pydict()
    kinds = set()
    for i, loan in enumerate(loans):
        want = reference(loan, strict)
        if isinstance(want, Refused):
            assert i in failed, (i, loan, want.code)
            if want.code is not None:
                assert failed[i].code == want.code and (want.field is None or failed[i].field == want.field), (
                    i, loan, failed[i].code, failed[i].field)
            kinds.add(want.code)
            continue
        assert i not in failed, (i, loan, failed.get(i) and failed[i].code)
        for c in COLUMNS:
            assert np.array_equal(bits(rows[c][i]), bits(want[c])), (i, c, loan)
    assert {"bad_shape", "nan_schedule", None} <= kinds if strict else {"bad_shape"} <= kinds
    for c in COLUMNS:  # the same bits for one and two threads
        assert np.array_equal(bits(np.asarray(got.column(c))), bits(np.asarray(one.column(c))))
    # Cash flows and projections run the same shaped schedules.
    cf = qc.cashflows(book, errors="skip", strict=strict).to_pandas()
    kept = [reference(ln, strict) for ln in loans]
    kept = [k for k in kept if not isinstance(k, Refused)]
    longest = max(len(k["Bal"]) for k in kept)
    total = np.zeros(longest)
    for k in kept:
        total[:len(k["Cap"])] += k["Cap"].astype(np.float64)
    np.testing.assert_allclose(cf["Cap"], total, rtol=1e-12)


def input_forms(loans: list[dict]):
    """The same book as every input kind the calls take."""
    table = table_of(loans)
    yield "arrow", table
    yield "mapping of lists", {k: [ln[k] for ln in loans] for k in loans[0]}
    yield "mapping of numpy", {k: np.array([ln[k] for ln in loans], dtype=object if k in ("rate_steps", "io_pers",
                                            "amort_pers") else None) for k in loans[0]}
    pd = pytest.importorskip("pandas")
    # Nullable integer columns, as pandas holds integers with nulls.
    yield "pandas", table.to_pandas(types_mapper={pa.int32(): pd.Int32Dtype(), pa.int64(): pd.Int64Dtype()}.get)
    pl = pytest.importorskip("polars")
    yield "polars", pl.from_arrow(table)
    duckdb = pytest.importorskip("duckdb")
    yield "duckdb", duckdb.connect().from_arrow(table)
    yield "list steps as pairs", {**{k: [ln[k] for ln in loans] for k in loans[0]},
                                  "rate_steps": [[(s["per"], s["rate"]) for s in ln["rate_steps"] or []]
                                                 for ln in loans]}


def test_every_input_kind_gives_the_same_bits():
    loans = [ln for ln in shaped_book(120, 5) if ln["io_pers"] is None or ln["io_pers"] >= 0]
    for ln in loans:  # a null cell is the default, for the lists too
        ln["io_pers"] = ln["io_pers"] if ln["io_pers"] is not None else 0
    want = qc.schedules(table_of(loans), errors="skip")
    for name, source in input_forms(loans):
        got = qc.schedules(source, errors="skip")
        assert [e.index for e in got.errors.exceptions()] == [e.index for e in want.errors.exceptions()], name
        for c in COLUMNS:
            assert np.array_equal(bits(np.asarray(got.column(c))), bits(np.asarray(want.column(c)))), (name, c)


def test_worked_cases_by_hand():
    # The commercial loan: 2,000,000 at 0.55% a month, interest only for 36
    # months, paid down on 360 months, the rest due at month 120.
    loan = {"amt": [2e6], "rate": [0.0055], "pers": [120], "int_freq": [1], "cap_freq": [1], "io_pers": [36],
            "amort_pers": [360]}
    s = pa.table(qc.schedules(loan, layout="list")).to_pydict()
    cap, interest, pmt, bal = (np.array(s[c][0], np.float32) for c in ("Cap", "Int", "Pmt", "Bal"))
    assert (cap[1:37] == 0).all() and (interest[1:37] == f32(11000)).all() and (bal[:37] == f32(2e6)).all()
    level = 2e6 * 0.0055 / (1 - 1.0055 ** -360)
    np.testing.assert_allclose(pmt[37:120], level, rtol=1e-5)
    owed = 2e6 * 1.0055 ** 83 - level * (1.0055 ** 83 - 1) / 0.0055
    assert cap[120] == pytest.approx(owed, rel=1e-5) and bal[120] == 0
    assert pmt[120] == f32(cap[120] + interest[120])
    engine = quill_harbor.paywheel_fn([{"id": "a", "amt": 2e6, "rate": float(f32(0.0055)), "pers": 360, "int_freq": 1,
                                        "cap_freq": 1}])["a"]
    assert bits(bal[37:120]).tolist() == bits(engine["Bal"][1:84]).tolist() and cap[120] == f32(engine["Bal"][83])

    # The bullet: 100,000 at 1% a month, all of it at month 12.
    s = pa.table(qc.schedules({"amt": [1e5], "rate": [0.01], "pers": [12], "int_freq": [1], "cap_freq": [12]},
                              layout="list", strict=False)).to_pydict()
    assert s["Int"][0][1:] == [1000.0] * 12 and s["Cap"][0] == [0.0] * 12 + [1e5] and s["Pmt"][0][12] == 101000.0
    with pytest.raises(qc.LoanError) as e:
        qc.schedules({"amt": [1e5], "rate": [0.01], "pers": [12], "int_freq": [1], "cap_freq": [12]})
    assert e.value.code == "single_capital_block"

    # The 0% loan: 1,200 over 12 months in equal parts of 100.
    zero = {"amt": [1200.0], "rate": [0.0], "pers": [12], "int_freq": [1], "cap_freq": [1]}
    s = pa.table(qc.schedules(zero, layout="list", strict=False)).to_pydict()
    assert s["Cap"][0][1:] == [100.0] * 12 and s["Int"][0] == [0.0] * 13 and s["Bal"][0][-1] == 0.0
    with pytest.raises(qc.LoanError) as e:
        qc.schedules(zero)
    assert (e.value.code, e.value.field) == ("zero_rate", "rate")


def bad(**shape):
    return {"amt": 1000.0, "rate": 0.01, "pers": 24, "int_freq": 1, "cap_freq": 3, **shape}


@pytest.mark.parametrize("loan, code, field, value", [
    (bad(io_pers=25), "bad_shape", "io_pers", "25"),
    (bad(io_pers=-3), "bad_shape", "io_pers", "-3"),
    (bad(io_pers=4), "bad_shape", "io_pers", "4"),                     # not a capital date
    (bad(io_pers=6, amort_pers=17), "bad_shape", "amort_pers", "17"),  # shorter than 24 - 6
    (bad(pers=25, amort_pers=30), "bad_shape", "amort_pers", "30"),    # a balloon off the dates
    (bad(rate_steps=[{"per": 1, "rate": 0.02}]), "bad_shape", "rate_steps", "[(1, 0.02)]"),
    (bad(rate_steps=[{"per": 25, "rate": 0.02}]), "bad_shape", "rate_steps", "[(25, 0.02)]"),
    (bad(rate_steps=[{"per": 8, "rate": 0.02}]), "bad_shape", "rate_steps", "[(8, 0.02)]"),
    (bad(rate_steps=[{"per": 7, "rate": 0.02}, {"per": 7, "rate": 0.03}]), "bad_shape", "rate_steps",
     "[(7, 0.02), (7, 0.03)]"),
    (bad(rate_steps=[{"per": None, "rate": 0.02}]), "null", "rate_steps", "[(None, 0.02)]"),
    (bad(io_pers=6, cap_freq=0), "zero_frequency", "cap_freq", "0"),
    (bad(rate_steps=[{"per": 7, "rate": 0.0}]), "zero_rate", "rate_steps", "[(7, 0.0)]"),
    (bad(pers=30, cap_freq=12, io_pers=24), "single_capital_block", "cap_freq", "12"),
    (bad(rate=0.0, pers=1, cap_freq=1), "nan_schedule", "rate", "0.0"),
])
def test_shape_failures_name_code_field_and_value(loan, code, field, value):
    with pytest.raises(qc.LoanError) as e:
        qc.schedules({k: [v] for k, v in loan.items()})
    assert (e.value.code, e.value.field, e.value.value) == (code, field, value)


def test_duplicate_columns_are_refused_by_name():
    t = pa.table({"amt": [1.0], "rate": [0.1], "pers": [2], "int_freq": [1], "cap_freq": [1]})
    for name in ("amt", "io_pers"):
        twice = pa.Table.from_arrays([*t.columns, pa.array([3], pa.int64()), pa.array([4], pa.int64())],
                                     names=[*t.column_names, name, name])
        with pytest.raises(ValueError, match=f"'{name}' more than once"):  # the native reader's own check
            qc._native.schedules(twice.__arrow_c_stream__(), False, False, 0)
    steps = pa.StructArray.from_arrays([pa.array([2]), pa.array([3]), pa.array([0.1])], names=["per", "per", "rate"])
    nested = t.append_column("rate_steps", pa.ListArray.from_arrays(pa.array([0, 1], pa.int32()), steps))
    with pytest.raises(ValueError, match="'rate_steps.per' more than once"):
        qc.schedules(nested)


def test_projection_runs_survivors_through_the_shaped_schedule():
    loans = [{"id": "balloon", "amt": 5e5, "rate": 0.005, "pers": 60, "int_freq": 1, "cap_freq": 1, "io_pers": 12,
              "amort_pers": 300, "rate_steps": [{"per": 25, "rate": 0.006}]}]
    scenario = {"smm": 0.01, "mdr": 0.002, "severity": 0.4, "lag": 3}
    stream = qc.project(table_of(loans), scenario, per_loan=True)
    got = pa.Table.from_batches(list(stream.to_reader())).to_pydict()
    s = compose(5e5, 0.005, 60, 1, 1, 12, 300, [(25, 0.006)])
    flows = projection_reference.loan_flows({c: s[c].astype(np.float64).tolist() for c in COLUMNS}, 0, scenario, 12)
    for name in projection_reference.MEASURES:
        assert got[name] == flows[name], name
    assert got["scheduled_principal"][60] > 1e5  # the balloon, paid by the survivors


TAPE = ("loan,principal,rate,term,interest_only,amort\n"
        "cre,2000000,6.6%,120,36,360\n"   # interest only, then a balloon
        "arm,300000,4.8%,360,,\n"         # two resets
        "dup,100000,5%,60,,\n"            # the same period stepped twice
        "far,100000,5%,60,,\n"            # a step past maturity
        "off,100000,5%,60,,\n"            # a step off the quarterly dates
        "zero,1200,0%,12,,\n")
STEP_ROWS = ("loan,per,rate\narm,121,6.6%\narm,61,6%\ndup,13,4%\ndup,13,4.5%\nfar,61,4%\noff,3,4%\n"
             "nobody,13,5%\n")


def test_book_and_the_command_read_shapes_and_rate_steps(tmp_path):
    (tmp_path / "tape.csv").write_text(TAPE)
    (tmp_path / "steps.csv").write_text(STEP_ROWS)
    tape = pa.csv.read_csv(tmp_path / "tape.csv")
    tape = tape.append_column("int_freq", pa.array([1, 1, 1, 1, 3, 1])).append_column("cap_freq", pa.array([1] * 6))
    columns = {"id": "loan", "amt": "principal", "pers": "term", "io_pers": "interest_only", "amort_pers": "amort"}
    b = qc.book(tape, columns=columns, rate_unit="annual-percent", rate_steps=tmp_path / "steps.csv", errors="skip")
    got = [(e.index, e.id, e.code, e.field) for e in qc.book_errors(b).exceptions()]
    assert got == [(-1, "nobody", "bad_shape", "rate_steps"), (2, "dup", "bad_shape", "rate_steps"),
                   (3, "far", "bad_shape", "rate_steps"), (4, "off", "bad_shape", "rate_steps")]
    rows = b.to_pylist()
    assert [r["id"] for r in rows] == ["cre", "arm", "zero"] and rows[0]["io_pers"] == 36 and rows[1]["io_pers"] is None
    # A step's rate reads in the tape's unit, exactly as the loan's rate does.
    assert sorted((s["per"], s["rate"]) for s in rows[1]["rate_steps"]) == [(61, 6 / 100 / 12), (121, 6.6 / 100 / 12)]
    assert rows[0]["rate"] == 6.6 / 100 / 12

    got = pa.table(qc.schedules(b, layout="list", strict=False)).to_pydict()
    for i, r in enumerate(rows):
        want = compose(r["amt"], r["rate"], r["pers"], 1, 1, r["io_pers"], r["amort_pers"],
                       [(s["per"], s["rate"]) for s in r["rate_steps"] or []], strict=False)
        assert all(np.array_equal(bits(got[c][i]), bits(want[c])) for c in COLUMNS), r["id"]

    # The command: the same book, the summary's shapes, the lender's schedule with --no-strict.
    pa.csv.write_csv(tape, tmp_path / "tape2.csv")
    maps = [a for k, v in columns.items() for a in ("--map", f"{k}={v}")]
    for strict in ("--strict", "--no-strict"):
        proc = subprocess.run([sys.executable, "-m", "quill_harbor_columnar.cli", "cashflows", "tape2.csv", *maps,
                               "--rate-unit", "annual-percent", "--rate-steps", "steps.csv", strict, "-o", "cf.csv",
                               "--failures", "failed.csv"], cwd=tmp_path, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        summary = {k.strip(): v for k, v in (line.rsplit(None, 1) for line in proc.stdout.splitlines()[2:-1]
                                             if len(line.split()) > 1)}
        assert (summary["interest-only"], summary["balloon"], summary["stepped"], summary["plain"]) == (
            "1", "1", "1", "1"), proc.stdout  # of the loans read
        assert summary["rate steps for no loan"] == "1"
        assert summary["failed loans"] == ("4" if strict == "--strict" else "3")
        cf = pa.csv.read_csv(tmp_path / "cf.csv").to_pydict()
        want = qc.cashflows(b, errors="skip", strict=strict == "--strict").to_pandas()
        assert cf["Cap"] == want["Cap"].tolist()
        assert pa.csv.read_csv(tmp_path / "failed.csv").column("row").to_pylist()[0] == 0  # no tape row


def test_dask_passes_the_shape_columns_through():
    dd = pytest.importorskip("dask.dataframe")
    qdask = pytest.importorskip("quill_harbor_columnar.dask")
    loans = [ln for ln in shaped_book(200, 9) if reference(ln, False).__class__ is not Refused]
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError, match="Arrow lists"):  # Dask would turn lists of dicts into text
        qdask.schedules(dd.from_pandas(pd.DataFrame({k: [ln[k] for ln in loans] for k in loans[0]}), npartitions=2))
    ddf = dd.from_pandas(table_of(loans).to_pandas(types_mapper=pd.ArrowDtype), npartitions=3)
    one = qc.schedules(table_of(loans), strict=False)
    many = qdask.schedules(ddf, strict=False).compute()
    assert np.array_equal(bits(many["Bal"].to_numpy()), bits(np.asarray(one.column("Bal"))))
    totals = qdask.cashflows(ddf, strict=False).compute()
    np.testing.assert_allclose(totals["Cap"], qc.cashflows(table_of(loans), strict=False).to_pandas()["Cap"],
                               rtol=1e-12)
