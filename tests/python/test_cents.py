"""precision="cent": every cent of random books of every shape equal to the
decimal reference, every final balance 0.00, and the refused combinations."""

from __future__ import annotations

import numpy as np
import pyarrow as pa
import pytest
import quill_harbor_columnar as qc
from cents_reference import schedule

STEPS = pa.list_(pa.struct([("per", pa.int32()), ("rate", pa.float64())]))


def cent_book(n: int, seed: int) -> list[dict]:
    """Plain, interest-only, bullet, balloon, stepped and 0% loans, paid every
    1, 3 or 12 periods, some amounts written as text."""
    rng = np.random.default_rng(seed)
    loans = []
    for i in range(n):
        k = int(rng.choice([1, 1, 1, 3, 12]))
        payments = int(rng.integers(1, 241 // k + 1))
        pers = k * payments
        cents = int(rng.integers(1, 10**11))
        rate = 0.0 if rng.random() < 0.08 else float(rng.uniform(1e-4, 0.02))
        loan = {"id": f"c{i}", "amt": cents / 100, "rate": rate, "pers": pers, "int_freq": k, "cap_freq": k,
                "io_pers": None, "amort_pers": None, "rate_steps": None, "cents": cents}
        if rng.random() < 0.3:
            loan["io_pers"] = k * int(rng.integers(0, payments + 1))
        if rng.random() < 0.3:
            loan["amort_pers"] = pers - (loan["io_pers"] or 0) + k * int(rng.integers(0, 120))
        if rng.random() < 0.4 and payments > 1:
            at = rng.choice(np.arange(1, payments), size=min(payments - 1, int(rng.integers(1, 3))), replace=False)
            loan["rate_steps"] = [{"per": int(a) * k + 1, "rate": float(rng.choice([0.0, rng.uniform(0, 0.03)]))}
                                  for a in at]
        loans.append(loan)
    return loans


def table_of(loans: list[dict], text_amounts: bool) -> pa.Table:
    cols = {k: [ln[k] for ln in loans] for k in loans[0] if k != "cents"}
    if text_amounts:  # exactly the cents, however binary floats would read them, thousands grouped as lenders do
        cols["amt"] = [f"{c // 100:,}.{c % 100:02d}" for c in (ln["cents"] for ln in loans)]
    types = {"id": pa.string(), "amt": pa.string() if text_amounts else pa.float64(), "rate": pa.float64(),
             "io_pers": pa.int32(), "amort_pers": pa.int32(), "rate_steps": STEPS}
    return pa.table({k: pa.array(v, types.get(k, pa.int64())) for k, v in cols.items()})


@pytest.mark.parametrize("seed", [1, 2])
def test_every_cent_is_the_decimal_references(seed):
    loans = cent_book(300, seed)
    got = qc.schedules(table_of(loans, text_amounts=seed == 2), layout="list", precision="cent").to_arrow()
    assert got.schema.field("Bal").type == pa.list_(pa.float64())
    cols = {c: got.column(c).to_pylist() for c in ("Cap", "Int", "Pmt", "Bal")}
    for i, ln in enumerate(loans):
        steps = [(s["per"], s["rate"]) for s in ln["rate_steps"] or []]
        want = schedule(ln["cents"], ln["rate"], ln["pers"], ln["int_freq"], ln["io_pers"] or 0, ln["amort_pers"], steps)
        for c, column in enumerate(("Cap", "Int", "Pmt", "Bal")):
            # Each value the double nearest its whole number of cents.
            assert cols[column][i] == [row[c] / 100 for row in want], (i, column, ln)
        assert cols["Bal"][i][-1] == 0.0
    flows = qc.cashflows(table_of(loans, False), precision="cent").to_arrow()
    assert flows.column("Bal").to_pylist()[-1] == 0.0


def test_an_amount_stays_its_cents_and_the_default_stays_binary32():
    book = {"amt": ["12345678.91"], "rate": [0.005], "pers": [360], "int_freq": [1], "cap_freq": [1]}
    cent = qc.schedules(book, precision="cent").to_arrow()
    assert cent.column("Bal")[0].as_py() == 12345678.91 and cent.column("Bal")[360].as_py() == 0.0
    assert cent.column("Pmt")[1].as_py() == schedule(1234567891, 0.005, 360, 1)[1][2] / 100
    assert qc.stream_schedules(book, precision="cent", batch_rows=100).to_reader().read_all().equals(cent)
    # A tape's amount halfway between two binary32 values keeps its cent.
    tape = pa.table({**book, "amt": ["16,777,217.00"]})
    assert qc.book(tape, precision="cent").column("amt").to_pylist() == [16777217.0]
    default = qc.schedules(book).to_arrow()
    assert default.schema.field("Bal").type == pa.float32()
    assert default.equals(qc.schedules(book, precision="binary32").to_arrow())
    with pytest.raises(ValueError, match="precision"):
        qc.schedules(book, precision="decimal")


PLAIN = {"amt": 1000.0, "rate": 0.01, "pers": 12, "int_freq": 1, "cap_freq": 1, "io_pers": None, "amort_pers": None}


@pytest.mark.parametrize(
    ("change", "code", "field"),
    [
        ({"int_freq": 3}, "unequal_frequencies", "cap_freq"),
        ({"int_freq": 1, "cap_freq": 12}, "unequal_frequencies", "cap_freq"),
        ({"int_freq": 5, "cap_freq": 5}, "bad_shape", "pers"),
        ({"int_freq": -1, "cap_freq": -1}, "bad_shape", "cap_freq"),
        ({"cap_freq": 0}, "zero_frequency", "cap_freq"),
        ({"pers": 0}, "no_periods", "pers"),
        ({"rate": -1.0}, "bad_rate", "rate"),
        ({"rate": float("nan")}, "non_finite", "rate"),
        ({"amt": float("inf")}, "non_finite", "amt"),
        ({"amt": 1e14}, "too_large", "amt"),
        ({"amt": -1000.0}, "decreasing_blocks", "amt"),
        ({"amt": 0.0}, "decreasing_blocks", "amt"),
        ({"int_freq": 3, "cap_freq": 3, "io_pers": 4}, "bad_shape", "io_pers"),
        ({"amort_pers": 6}, "bad_shape", "amort_pers"),
        ({"int_freq": 3, "cap_freq": 3, "age": 4, "balance": 500.0}, "bad_age", "age"),
    ],
)
def test_refused_combinations(change, code, field):
    loan = {**PLAIN, **change}
    book = pa.table({k: pa.array([v], pa.int32() if k in ("io_pers", "amort_pers") else None) for k, v in loan.items()})
    with pytest.raises(qc.LoanError) as e:
        qc.schedules(book, precision="cent")
    assert (e.value.code, e.value.field) == (code, field)


def test_projections_and_values_take_the_cent_schedules():
    loans = [ln for ln in cent_book(40, 3) if ln["io_pers"] is None and ln["amort_pers"] is None]
    book = table_of(loans, text_amounts=False).drop_columns(["io_pers", "amort_pers", "rate_steps"])
    flows = qc.cashflows(book, precision="cent").to_arrow()
    still = qc.project(book, {"cpr": 0.0}, precision="cent").to_arrow()
    for measure, column in (("scheduled_principal", "Cap"), ("interest", "Int"), ("balance", "Bal")):
        assert still.column(measure).to_pylist() == flows.column(column).to_pylist()
    worth = qc.value(book, {"cpr": 0.06}, discount_rate=0.05, per_loan=True, precision="cent").to_arrow()
    assert worth.column("start_balance").to_pylist() == [ln["cents"] / 100 for ln in loans]


def test_dask_partitions_schedule_in_cents():
    dd = pytest.importorskip("dask.dataframe")
    qd = pytest.importorskip("quill_harbor_columnar.dask")
    book = table_of(cent_book(30, 4), text_amounts=False).drop_columns(["io_pers", "amort_pers", "rate_steps"])
    got = qd.schedules(dd.from_pandas(book.to_pandas(), npartitions=3), precision="cent").compute()
    want = qc.schedules(book, precision="cent").to_arrow()
    assert got["Bal"].tolist() == want.column("Bal").to_pylist()


def test_standing_and_own_period_loans_are_the_decimal_references():
    rng = np.random.default_rng(5)
    loans = [ln for ln in cent_book(200, 5) if ln["pers"] > ln["int_freq"]]
    ages = [ln["int_freq"] * int(rng.integers(1, ln["pers"] // ln["int_freq"])) for ln in loans]
    owed = [int(rng.integers(1, 10**11)) for _ in loans]
    aged = table_of(loans, False).append_column("age", pa.array(ages, pa.int64()))
    for standing in (aged, aged.append_column("balance", pa.array([c / 100 for c in owed]))):
        got = qc.schedules(standing, layout="list", precision="cent").to_arrow()
        flows = qc.cashflows(standing, precision="cent").to_arrow()
        opening = 0.0  # in row order, as the sums are taken (no compensated sum())
        for i in range(len(loans)):
            opening += got.column("Bal")[i][0].as_py()
        assert flows.column("Bal").to_pylist()[0] == opening
        still = qc.project(standing, {}, precision="cent").to_arrow()  # the same schedules, as the projection's base
        assert still.column("scheduled_principal").to_pylist() == pytest.approx(flows.column("Cap").to_pylist(), rel=1e-12)
        for i, ln in enumerate(loans):
            terms = (ln["rate"], ln["pers"], ln["int_freq"], ln["io_pers"] or 0, ln["amort_pers"],
                     [(s["per"], s["rate"]) for s in ln["rate_steps"] or []])
            if "balance" in standing.column_names:  # its shape from origination, its payment on what it owes
                want = schedule(ln["cents"], *terms, age=ages[i], balance=owed[i])
            else:  # the schedule from origination, from its age on
                whole = schedule(ln["cents"], *terms)
                want = [(0, 0, 0, whole[ages[i]][3]), *whole[ages[i] + 1:]]
            for c, column in enumerate(("Cap", "Int", "Pmt", "Bal")):
                assert got.column(column)[i].as_py() == [row[c] / 100 for row in want], (i, column, ln, ages[i])
    # Loans paid 4, 2 and 1 times a year, in their own periods, placed on a monthly calendar.
    book = {"amt": ["250000.00", "99999.99", "1234.56"], "rate": [0.015, 0.03, 0.0], "pers": [40, 20, 5],
            "int_freq": [1] * 3, "cap_freq": [1] * 3, "payments_per_year": [4, 2, 1]}
    own = qc.schedules(book, layout="list", precision="cent").to_arrow()
    calendar = np.zeros((4, 121))
    for i, (cents, step) in enumerate(((25000000, 3), (9999999, 6), (123456, 12))):
        want = schedule(cents, book["rate"][i], book["pers"][i], 1)
        assert own.column("period")[i].as_py() == [j * step for j in range(len(want))]
        for c, column in enumerate(("Cap", "Int", "Pmt", "Bal")):
            assert own.column(column)[i].as_py() == [row[c] / 100 for row in want]
            for j, row in enumerate(want):  # the balance stands between payment dates
                calendar[c, j * step: (j + 1) * step if c == 3 else j * step + 1] += row[c] / 100
    flows = qc.cashflows(book, precision="cent").to_arrow()
    for c, column in enumerate(("Cap", "Int", "Pmt", "Bal")):
        assert flows.column(column).to_pylist() == pytest.approx(calendar[c], abs=1e-6), column
    still = qc.project(book, {}, precision="cent").to_arrow()
    assert still.column("interest").to_pylist() == pytest.approx(flows.column("Int").to_pylist(), rel=1e-12)
