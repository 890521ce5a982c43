"""book(): a lender's tape into the engine's columns, with the engine's bits kept."""

from decimal import Decimal

import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pcsv = pytest.importorskip("pyarrow.csv")

import quill_harbor_columnar as qc  # noqa: E402
from quill_harbor_columnar.tape.sample import sample_book  # noqa: E402
from quill_harbor_columnar.errors import LoanError  # noqa: E402

SCHEDULE = ("Per", "Cap", "Int", "Pmt", "Bal")
NAMES = {"id": "loan_id", "amt": "principal", "rate": "annual_rate_pct", "pers": "term_months",
         "int_freq": "payment_frequency", "cap_freq": "payment_frequency"}


def bits(table):
    return {name: np.asarray(table.column(name)).view(np.uint32) for name in SCHEDULE}


def midpoint_decimals(count):
    """Decimal texts just above a binary32 midpoint, whose float64 is the midpoint
    itself: read through float64 they would round to the lower (even) binary32."""
    out = []
    for k in range(1, 10_000):
        lo = np.float32(0.001) + np.float32(k) * np.float32(1e-6)
        hi = np.nextafter(lo, np.float32(1))
        if int(lo.view(np.uint32)) % 2:
            continue
        mid = (Decimal(float(lo)) + Decimal(float(hi))) / 2
        text = str(mid + Decimal(2) ** -80)
        assert float(text) == float(mid)
        out.append(text)
        if len(out) == count:
            return out
    raise AssertionError("no midpoints found")


def test_a_tape_in_engine_units_keeps_its_bits():
    numbers = pa.table(sample_book(3000, seed=5))
    text = numbers.cast(pa.schema([(f.name, pa.string()) for f in numbers.schema]))
    rates = midpoint_decimals(50)
    trap = pa.table({"amt": ["1000"] * len(rates), "rate": rates, "pers": ["60"] * len(rates),
                     "int_freq": ["1"] * len(rates), "cap_freq": ["1"] * len(rates)})
    for table in (numbers, text, trap):
        direct = qc.schedules(table, errors="skip")
        via = qc.schedules(qc.book(table, errors="skip"), errors="skip")
        assert direct.num_rows == via.num_rows > 0
        for name, column in bits(direct).items():
            assert np.array_equal(column, bits(via)[name]), name


def test_a_lender_tape_from_every_kind_of_source(tmp_path):
    tape = pa.table({
        "loan_id": ["A", "B", "C", "D"],
        "principal": [250000.0, 10000.0, 5000.0, 80000.0],
        "annual_rate_pct": ["4.8%", " 6 ", "5.5 %", "3"],
        "term_months": [360, 12, 24, 60],
        "payment_frequency": ["monthly", "QUARTERLY", "Semi-Annual", "yearly"],
        "age": [10, 0, 5, 59],
    })
    want = {"id": ["A", "B", "C", "D"], "amt": [250000.0, 10000.0, 5000.0, 80000.0],
            "rate": [4.8 / 100 / 12, 6 / 100 / 12, 5.5 / 100 / 12, 3 / 100 / 12],
            "pers": [360, 12, 24, 60], "int_freq": [1, 3, 6, 12], "cap_freq": [1, 3, 6, 12], "age": [10, 0, 5, 59]}
    pcsv.write_csv(tape, tmp_path / "tape.csv")
    pq.write_table(tape, tmp_path / "tape.parquet")
    sources = [tape, tape.to_pandas(), dict(tape.to_pydict()), str(tmp_path / "tape.parquet"), tmp_path / "tape.csv"]
    try:
        import polars

        sources.append(polars.from_arrow(tape))  # text as string views
    except ImportError:
        pass
    for source in sources:
        got = qc.book(source, columns={**NAMES, "age": "age"}, rate_unit="annual-percent")
        assert got.column_names == list(want)
        assert got.schema.field("pers").type == pa.int32() and got.schema.field("rate").type == pa.float64()
        assert got.to_pydict() == want, type(source)
    annual = qc.book(tape.set_column(2, "annual_rate_pct", pa.array([0.048, 0.06, 0.055, 0.03])), columns=NAMES,
                     rate_unit="annual", periods_per_year=12)
    assert annual.column("rate").to_pylist() == [0.048 / 12, 0.06 / 12, 0.055 / 12, 0.03 / 12]


@pytest.mark.parametrize("field, value, code", [
    ("rate", "abc%", "bad_rate"),
    ("rate", None, "null"),
    ("amt", "1,000", "parse_float"),
    ("pers", "12.5", "parse_int"),
    ("pers", "99999999999", "int_out_of_range"),
    ("int_freq", "weekly", "bad_frequency"),
    ("cap_freq", "1.5", "parse_int"),
    ("age", "12", "bad_age"),
    ("age", "-1", "bad_age"),
])
def test_rows_that_cannot_be_read(field, value, code):
    rows = {"id": ["a", "b", "c"], "amt": ["1000", "2000", "3000"], "rate": ["6", "6", "6"],
            "pers": ["12", "12", "12"], "int_freq": ["monthly"] * 3, "cap_freq": ["1"] * 3, "age": ["0", "1", "2"]}
    rows[field][1] = value
    tape = pa.table({k: pa.array(v, pa.string()) for k, v in rows.items()})
    with pytest.raises(LoanError) as info:
        qc.book(tape, rate_unit="annual-percent")
    e = info.value
    assert (e.index, e.id, e.code, e.field, e.value) == (1, "b", code, field, value)
    kept = qc.book(tape, rate_unit="annual-percent", errors="skip")
    assert kept.column("id").to_pylist() == ["a", "c"]
    assert [(i, code_, f) for i, _, code_, f, _ in qc.book_errors(kept)] == [(1, code, field)]
    assert qc.tape_rows(kept, [0, 1]) == [0, 2]


def test_a_word_must_divide_the_year():
    tape = pa.table({"amt": [1000.0] * 2, "rate": [0.01] * 2, "pers": [24] * 2,
                     "int_freq": ["quarterly", "monthly"], "cap_freq": ["quarterly", "monthly"]})
    kept = qc.book(tape, periods_per_year=6, errors="skip")  # 6 / 4 is not whole; 6 / 12 is not either
    assert kept.num_rows == 0 and [r[2] for r in qc.book_errors(kept)] == ["bad_frequency"] * 2
    assert qc.book(tape, periods_per_year=24).column("int_freq").to_pylist() == [6, 2]


@pytest.mark.parametrize("kwargs, error, fragment", [
    ({"columns": {"amt": "principal"}}, ValueError, "its columns are: id, amt, rate, pers, int_freq, cap_freq"),
    ({"columns": {"term": "pers"}}, ValueError, "unknown field 'term'"),
    ({"rate_unit": "percent"}, ValueError, "rate_unit"),
    ({"periods_per_year": 0}, ValueError, "periods_per_year"),
    ({"errors": "ignore"}, ValueError, "errors"),
])
def test_bad_arguments_name_what_is_wrong(kwargs, error, fragment):
    with pytest.raises(error, match=fragment.replace("(", r"\(").replace(")", r"\)")):
        qc.book(pa.table(sample_book(3, seed=1)), **kwargs)


def test_a_float_column_for_a_whole_number_is_refused():
    book = sample_book(3, seed=1)
    book["pers"] = book["pers"].astype(float)
    with pytest.raises(TypeError, match="pers"):
        qc.book(book)
