"""Projected cash flows: the model against its literal Python transcription,
the identity with cashflows, conservation, thread-independent bits, the
scenario checks and dates."""

import datetime
import random

import numpy as np
import pyarrow as pa
import pytest

import projection_reference as ref
import quill_harbor_columnar as qc
from quill_harbor_columnar.tape.sample import sample_book

SCENARIOS = [
    {},
    {"smm": [0.01, 0.03, 0.0, 0.02], "mdr": [0.004, 0.0, 0.01], "severity": 0.4, "lag": 4},
    {"psa": 150, "sda": 200, "severity": 0.35, "lag": 2},
    {"cpr": 0.08, "cdr": 0.03, "severity": 1.0},
]


def random_book(n, seed, exact=False):
    """Loans of 2..48 monthly periods (some quarterly), aged anywhere in
    their term (a few out of range), in segments of two columns. exact:
    rate 1 and amounts c * (2^pers - 1), whose binary32 schedules carry no
    rounding, so that principal is conserved to float64 rounding."""
    rng = random.Random(seed)
    loans = []
    for i in range(n):
        pers = rng.choice([6, 12, 24, 36, 48, 2, 9]) if not exact else rng.randint(2, 20)
        freq = 3 if pers % 3 == 0 and pers >= 6 and rng.random() < 0.3 and not exact else 1
        age = rng.randrange(pers) if rng.random() < 0.9 else rng.choice([-1, pers])
        amt = float(2 ** rng.randint(0, 8) * (2**pers - 1)) if exact else rng.uniform(1e3, 5e5)
        loans.append({"id": f"L{i}", "amt": amt, "rate": 1.0 if exact else rng.uniform(0.001, 0.03),
                      "pers": pers, "int_freq": freq, "cap_freq": freq, "age": age,
                      "region": rng.choice(["north", "south"]), "vintage": rng.choice([2019, 2021, 2023])})
    return loans


def columns(loans):
    return {k: [ln[k] for ln in loans] for k in loans[0]}


def test_model_matches_the_formulas_totals_and_per_loan():
    loans = random_book(80, 3)
    book = pa.table(columns(loans))
    p = qc.project(book, SCENARIOS, by=["region", "vintage"], errors="skip", threads=2)
    bad = [i for i, ln in enumerate(loans) if not 0 <= ln["age"] < ln["pers"]]
    assert [(e.index, e.code, e.field, e.value) for e in p.errors.exceptions()] == [
        (i, "bad_age", "age", str(loans[i]["age"])) for i in bad]
    want = ref.project(loans, SCENARIOS, ("region", "vintage"))
    got = p.to_pandas()
    assert got["period"].dtype == np.int32 and got["scenario"].dtype == np.int64
    assert len(got) == sum(len(v["balance"]) for v in want.values())
    for (j, key), totals in want.items():
        rows = got[(got.scenario == j) & (got.region == key[0]) & (got.vintage == key[1])]
        assert list(rows.period) == list(range(len(totals["balance"])))
        for name in ref.MEASURES:
            np.testing.assert_allclose(rows[name], totals[name], rtol=1e-12, atol=1e-9, err_msg=f"{j} {key} {name}")

    summary = p.summary()
    for (j, key), totals in want.items():
        row = summary[(summary.scenario == j) & (summary.region == key[0]) & (summary.vintage == key[1])].iloc[0]
        principal = np.add(np.add(totals["scheduled_principal"], totals["prepaid_principal"]), totals["recovery"])
        assert row.start_balance == pytest.approx(totals["balance"][0], rel=1e-12)
        assert row.loss / row.start_balance == pytest.approx(row.cumulative_loss, rel=1e-12)
        assert row.wal == pytest.approx((np.arange(len(principal)) * principal).sum() / principal.sum() / 12, rel=1e-12)

    # Per loan, in batches of whole loans within batch_rows.
    stream = qc.project(book, SCENARIOS, per_loan=True, errors="skip", batch_rows=500)
    batches = list(stream.to_reader())
    assert len(batches) > 1 and all(b.num_rows <= 500 for b in batches)
    rows = pa.Table.from_batches(batches).to_pandas()
    assert [e.index for e in stream.errors.exceptions()] == bad
    for i in (0, 17, 79):
        if i in bad:
            continue
        for j, sc in enumerate(SCENARIOS):
            flows = ref.loan_flows(ref.schedule(loans[i]), loans[i]["age"], sc, 12, loans[i])
            mine = rows[(rows.loan == f"L{i}") & (rows.scenario == j)]
            for name in ref.MEASURES:
                assert list(mine[name]) == flows[name], (i, j, name)


def test_no_scenario_equals_cashflows():
    book = sample_book(3000, 5)
    cf = qc.cashflows(book, errors="skip").to_pandas()
    got = qc.project(book, {}, errors="skip").to_pandas()
    assert list(got.period) == list(cf.period)
    for mine, theirs in (("balance", "Bal"), ("scheduled_principal", "Cap"), ("interest", "Int")):
        np.testing.assert_allclose(got[mine], cf[theirs], rtol=1e-15, atol=0)
    assert not got[["prepaid_principal", "defaulted_principal", "loss", "recovery"]].to_numpy().any()


def test_principal_is_conserved_on_exact_schedules():
    loans = random_book(200, 9, exact=True)
    for ln in loans:  # the premise: no binary32 residue in these schedules
        s = ref.schedule(ln)
        assert all(s["Bal"][t - 1] - s["Cap"][t] == s["Bal"][t] for t in range(1, len(s["Bal"])))
    p = qc.project(columns(loans), SCENARIOS, by="region", errors="skip")
    t = p.to_pandas()
    for _, g in t.groupby(["scenario", "region"]):
        start, end = g.balance.iloc[0], g.balance.iloc[-1]
        moved = g.scheduled_principal.sum() + g.prepaid_principal.sum() + g.defaulted_principal.sum()
        assert abs(start - moved - end) <= 1e-9 * start
        assert g.loss.sum() + g.recovery.sum() == pytest.approx(g.defaulted_principal.sum(), rel=1e-12)


def test_same_bits_for_one_and_two_threads():
    book = sample_book(12000, 8)
    book["segment"] = np.arange(12000) % 7
    book["age"] = np.arange(12000) % 5
    a, b = (qc.project(book, SCENARIOS, by="segment", errors="skip", threads=n).to_arrow() for n in (1, 2))
    for name in ref.MEASURES:
        assert np.array_equal(a[name].to_numpy().view(np.uint64), b[name].to_numpy().view(np.uint64))


@pytest.mark.parametrize("scenario, key, ppy", [
    ({"speed": 1}, "speed", 12),
    ({"cpr": 0.1, "smm": 0.01}, "cpr", 12),
    ({"mdr": 0.01, "sda": 100}, "mdr", 12),
    ({"cpr": 8}, "cpr", 12),
    ({"mdr": [0.01, -0.1]}, "mdr", 12),
    ({"smm": float("nan")}, "smm", 12),
    ({"severity": 1.5}, "severity", 12),
    ({"lag": -1}, "lag", 12),
    ({"lag": 1.5}, "lag", 12),
    ({"psa": 100}, "psa", 4),
    ({"sda": -5}, "sda", 12),
])
def test_bad_scenarios_name_the_key(scenario, key, ppy):
    book = {"amt": [1000.0], "rate": [0.01], "pers": [12], "int_freq": [1], "cap_freq": [1]}
    with pytest.raises(ValueError, match=f"'{key}'"):
        qc.project(book, [{}, scenario], periods_per_year=ppy)


@pytest.mark.parametrize("as_of, ppy, want", [
    (datetime.date(2024, 1, 31), 12, ["2024-01-31", "2024-02-29", "2024-03-31", "2024-04-30"]),
    (datetime.date(2023, 11, 30), 4, ["2023-11-30", "2024-02-29", "2024-05-30", "2024-08-30"]),
    (datetime.date(2025, 6, 15), 1, ["2025-06-15", "2026-06-15", "2027-06-15", "2028-06-15"]),
    ("2024-12-31", 6, ["2024-12-31", "2025-02-28", "2025-04-30", "2025-06-30"]),  # ISO text, as the command takes
])
def test_dates_advance_calendar_months_clamped_to_month_end(as_of, ppy, want):
    book = {"amt": [1000.0], "rate": [0.01], "pers": [3], "int_freq": [1], "cap_freq": [1]}
    dates = qc.project(book, {}, as_of=as_of, periods_per_year=ppy).to_arrow()["date"]
    assert [d.isoformat() for d in dates.to_pylist()] == want


def test_the_command_end_to_end(tmp_path):
    import json
    import subprocess
    import sys

    import pyarrow.parquet as pq

    def cli(*args):
        return subprocess.run([sys.executable, "-m", "quill_harbor_columnar.cli", *map(str, args)],
                              capture_output=True, text=True, timeout=300)

    book, out, scen = tmp_path / "book.parquet", tmp_path / "proj.parquet", tmp_path / "s.json"
    assert cli("sample", "--loans", 2000, "-o", book).returncode == 0
    assert "--cpr 8 is 8% a year" in " ".join(cli("project", "--help").stdout.split())
    # Percent on the command line, fractions in the API.
    proc = cli("project", book, "-o", out, "--cpr", 8, "--cdr", 2, "--severity", 35, "--lag", 3,
               "--by", "product", "--as-of", "2026-12-31", "--plot", tmp_path / "p.png")
    assert proc.returncode == 0, proc.stderr
    assert "WAL (years)" in proc.stdout and "mortgage" in proc.stdout and (tmp_path / "p.png").stat().st_size
    want = qc.project(pq.read_table(book), {"cpr": 0.08, "cdr": 0.02, "severity": 0.35, "lag": 3}, by="product",
                      as_of=datetime.date(2026, 12, 31), errors="skip").to_arrow()
    assert pq.read_table(out).equals(want)
    scen.write_text(json.dumps(SCENARIOS[1:]))
    assert cli("project", book, "-o", tmp_path / "p.csv", "--scenarios", scen).returncode == 0
    scen.write_text(json.dumps([{"cpr": 8}]))
    proc = cli("project", book, "-o", tmp_path / "p.csv", "--scenarios", scen)
    assert proc.returncode == 2 and "'cpr'" in proc.stderr and "Traceback" not in proc.stderr


def test_dask_combines_partitions_like_one_machine():
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    from quill_harbor_columnar import dask as qhd

    frame = pd.DataFrame(sample_book(3000, 4)).assign(age=lambda f: np.arange(len(f)) % 4)
    lazy = qhd.project(dd.from_pandas(frame, npartitions=4), SCENARIOS, by="product", errors="skip",
                       as_of=datetime.date(2026, 1, 31))
    got, again = lazy.compute(scheduler="sync"), lazy.compute(scheduler="sync")
    want = qc.project(pa.Table.from_pandas(frame), SCENARIOS, by="product", errors="skip",
                      as_of=datetime.date(2026, 1, 31)).to_pandas()
    assert got.equals(again) and dict(got.dtypes) == dict(lazy._meta.dtypes)  # Dask does not check its meta
    for name in ("scenario", "product", "period"):
        assert got[name].tolist() == want[name].tolist()
    assert got.date.dt.date.tolist() == want.date.tolist()
    np.testing.assert_allclose(got[list(ref.MEASURES)], want[list(ref.MEASURES)], rtol=1e-12, atol=1e-6)


def test_segments_of_many_columns_keep_their_own_labels():
    # 5 columns of 7,000 distinct values: the product of the counts passes 2^63.
    n = 7000
    rng = np.random.default_rng(2)
    keys = {f"k{j}": rng.permutation(n) for j in range(5)}
    book = {"amt": np.arange(1, n + 1, dtype=np.float64) * 100, "rate": np.full(n, 0.01), "pers": np.full(n, 2),
            "int_freq": np.ones(n, np.int64), "cap_freq": np.ones(n, np.int64), **keys}
    summary = qc.project(book, {}, by=list(keys)).summary()
    assert len(summary) == n
    loan = keys["k0"].argsort()[summary["k0"].to_numpy()]  # the loan each segment's first label names
    for name, values in keys.items():
        assert (summary[name].to_numpy() == values[loan]).all(), name
    assert (summary["start_balance"].to_numpy() == book["amt"][loan]).all()


@pytest.mark.parametrize("names", [[None, None, "x"], ["a", None, "b"], ["a", "b"]])
def test_scenario_names_reach_pandas_with_unnamed_ones_null(names):
    loan = {"amt": [1000.0], "rate": [0.01], "pers": [12], "int_freq": [1], "cap_freq": [1]}
    scenarios = [{"cpr": 0.1 * (i + 1), **({"name": n} if n else {})} for i, n in enumerate(names)]
    frame = qc.project(loan, scenarios).to_pandas()
    got = frame.groupby("scenario", sort=True)["scenario_name"].first().tolist()
    assert [g if isinstance(g, str) else None for g in got] == names
