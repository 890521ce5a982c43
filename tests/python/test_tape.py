"""book(): a lender's tape into the engine's columns, with the engine's bits kept."""

import datetime as _dt
from decimal import Decimal, localcontext

import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pcsv = pytest.importorskip("pyarrow.csv")

import quill_harbor_columnar as qc  # noqa: E402
from quill_harbor_columnar.tape import texts  # noqa: E402
from quill_harbor_columnar.tape.files import TapeError  # noqa: E402
from quill_harbor_columnar.tape.reading import row_numbers  # noqa: E402
from quill_harbor_columnar.tape.sample import sample_book  # noqa: E402
from quill_harbor_columnar.tape.stream import TapeRun  # noqa: E402
from quill_harbor_columnar.cli.progress import Progress  # noqa: E402
from quill_harbor_columnar.errors import LoanError  # noqa: E402

SCHEDULE = ("Per", "Cap", "Int", "Pmt", "Bal")
NAMES = {"id": "loan_id", "amt": "principal", "rate": "annual_rate_pct", "pers": "term_months",
         "int_freq": "payment_frequency", "cap_freq": "payment_frequency"}


def bits(table):
    return {name: np.asarray(table.column(name)).view(np.uint32) for name in SCHEDULE}


def midpoint_decimals(count, start=0.001, step=1e-6):
    """Decimal texts just above a binary32 midpoint, whose float64 is the midpoint
    itself: read through float64 they would round to the lower (even) binary32."""
    out = []
    for k in range(1, 10_000):
        lo = np.float32(start) + np.float32(k) * np.float32(step)
        hi = np.nextafter(lo, np.float32(np.inf))
        if int(lo.view(np.uint32)) % 2:
            continue
        with localcontext() as exact:
            exact.prec = 80
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
    amounts = midpoint_decimals(50, start=1_234_567.0, step=0.125)
    trap = pa.table({"amt": amounts, "rate": rates, "pers": ["60"] * 50, "int_freq": ["1"] * 50,
                     "cap_freq": ["1"] * 50})
    # The same values as a lender writes them: grouped, with a currency sign, with a decimal comma.
    grouped = trap.set_column(0, "amt", pa.array([f"${int(a[:7]):,}{a[7:]}" for a in amounts]))
    comma = trap.set_column(0, "amt", pa.array([f"{int(a[:7]):,}".replace(",", ".") + "," + a[8:] for a in amounts]))
    comma = comma.set_column(1, "rate", pa.array([r.replace(".", ",") for r in rates]))
    for table, lender, kwargs in ((numbers, numbers, {}), (text, text, {}), (trap, trap, {}), (trap, grouped, {}),
                                  (trap, comma, {"decimal": ","})):
        direct = qc.schedules(table, errors="skip")
        via = qc.schedules(qc.book(lender, errors="skip", **kwargs), errors="skip")
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
    # Each loan in its own payment periods: its term, rate and age counted in them.
    want = {"id": ["A", "B", "C", "D"], "amt": [250000.0, 10000.0, 5000.0, 80000.0],
            "rate": [4.8 / 100 / 12, 6 / 100 / 4, 5.5 / 100 / 2, 3 / 100 / 1],
            "pers": [360, 4, 4, 5], "int_freq": [1] * 4, "cap_freq": [1] * 4, "payments_per_year": [12, 4, 2, 1],
            "age": [10, 0, 0, 4]}
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
    assert annual.column("rate").to_pylist() == [0.048 / 12, 0.06 / 4, 0.055 / 2, 0.03 / 1]


@pytest.mark.parametrize("field, value, code, kwargs", [
    ("rate", "abc%", "bad_rate", {}),
    ("rate", None, "null", {}),
    ("amt", "1,00", "parse_float", {}),            # thousands group by three
    ("amt", "-($5)", "parse_float", {}),           # a sign and parentheses
    ("amt", "$5 €", "parse_float", {}),            # two currency signs
    ("amt", "250 000.00", "parse_float", {}),      # a space groups only with decimal=","
    ("amt", "1.50", "parse_float", {"decimal": ","}),
    ("rate", "6.125", "bad_rate", {"decimal": ","}),  # a rate takes no thousands separator
    ("pers", "12.5", "parse_int", {}),
    ("pers", "12.0", "parse_int", {"decimal": ","}),
    ("pers", "99999999999", "int_out_of_range", {}),
    ("int_freq", "weekly", "bad_frequency", {}),
    ("int_freq", "Biweekly", "bad_frequency", {}),
    ("int_freq", "sometimes", "unknown_frequency", {}),
    ("cap_freq", "1.5", "parse_int", {}),
    ("age", "12", "bad_age", {}),
    ("age", "-1", "bad_age", {}),
    ("age", "2024-02-30", "bad_date", {"age_from": "age", "as_of": "2024-12-31"}),
    ("age", "31/01/2024", "bad_date", {"age_from": "age", "as_of": "2024-12-31"}),
    ("age", "2025-06-01", "bad_age", {"age_from": "age", "as_of": "2024-12-31"}),
])
def test_rows_that_cannot_be_read(field, value, code, kwargs):
    rows = {"id": ["a", "b", "c"], "amt": ["1000", "2000", "3000"], "rate": ["6", "6", "6"],
            "pers": ["12", "12", "12"], "int_freq": ["monthly"] * 3, "cap_freq": ["1"] * 3, "age": ["0", "1", "2"]}
    if "age_from" in kwargs:
        rows["age"] = ["2024-06-30", "2024-12-31", "202401"]
    rows[field][1] = value
    tape = pa.table({k: pa.array(v, pa.string()) for k, v in rows.items()})
    with pytest.raises(LoanError) as info:
        qc.book(tape, rate_unit="annual-percent", **kwargs)
    e = info.value
    assert (e.index, e.id, e.code, e.field, e.value) == (1, "b", code, field, value)
    kept = qc.book(tape, rate_unit="annual-percent", errors="skip", **kwargs)
    assert kept.column("id").to_pylist() == ["a", "c"]
    assert [(i, code_, f) for i, _, code_, f, _ in qc.book_errors(kept)] == [(1, code, field)]
    assert qc.tape_rows(kept, [0, 1]) == [0, 2]
    if code == "parse_float":  # the refusal names the forms that would have read
        assert texts.AMOUNT_FORMS[kwargs.get("decimal", ".")] in str(e)


@pytest.mark.parametrize("field, values, kwargs, want", [
    ("amt", ["250,000.00", "$250000", "(250000)", "($1,250.50)", "-$1,200", "250 €", "1e3", "7"], {},
     [250000.0, 250000.0, -250000.0, -1250.5, -1200.0, 250.0, 1000.0, 7.0]),
    ("amt", ["250.000,00", "250 000,00 €", "1\u00a0000,5", "(1.000)", "6,125", "1.500"], {"decimal": ","},
     [250000.0, 250000.0, 1000.5, -1000.0, 6.125, 1500.0]),
    ("rate", ["6,125", "6,125 %", "7"], {"decimal": ",", "rate_unit": "annual-percent"},
     [6.125 / 1200, 6.125 / 1200, 7 / 1200]),
    ("pers", ["360.0", "360.", "+12.00", "12"], {}, [360, 360, 12, 12]),
    ("pers", ["360,0", "12"], {"decimal": ","}, [360, 12]),
    ("pers", pa.array([360.0, 12.0]), {}, [360, 12]),  # a frame's whole numbers turned float
    ("int_freq", ["M", "mo", "Month", "MONTHLY", "q", "Qtr.", "Quarterly", "S", "sa", "Semi Annually",
                  "semiannual", "Semi-Annual", "A", "y", "Annual", "annually", "Yearly", "3"], {},
     [1] * 4 + [3] * 3 + [6] * 5 + [12] * 5 + [3]),
    ("int_freq", ["Weekly", "Biweekly", "Fortnightly", "semi-monthly", "M"], {"periods_per_year": 52 * 12},
     [12, 24, 24, 26, 52]),
    # Against capital paid once a year: counted in the finer interest periods, or one own period when they agree.
    ("int_freq", ["12", "4", "2.0", "1", "Q"], {"frequency_unit": "payments-per-year"}, [1, 1, 1, 1, 1]),
])
def test_values_as_lenders_write_them(field, values, kwargs, want):
    n = len(values)
    tape = {"amt": ["1000"] * n, "rate": ["0"] * n, "pers": ["360"] * n, "int_freq": ["1"] * n, "cap_freq": ["1"] * n}
    tape[field] = values
    got = qc.book(pa.table(tape), **kwargs).column(field).to_pylist()
    assert got == want


def test_a_float_column_of_whole_numbers():
    tape = pa.table({"amt": [1e3] * 4, "rate": [0.01] * 4, "pers": [12.0, np.nan, 12.5, 3e10], "int_freq": [1] * 4,
                     "cap_freq": [1] * 4})
    kept = qc.book(tape, errors="skip")
    assert kept.column("pers").to_pylist() == [12]
    assert [(i, code) for i, _, code, _, _ in qc.book_errors(kept)] == [(1, "null"), (2, "parse_int"),
                                                                        (3, "int_out_of_range")]


def test_a_word_must_divide_the_year():
    tape = pa.table({"amt": [1000.0] * 2, "rate": [0.01] * 2, "pers": [24] * 2,
                     "int_freq": ["quarterly", "monthly"], "cap_freq": ["quarterly", "monthly"]})
    kept = qc.book(tape, periods_per_year=6, errors="skip")  # 6 / 4 is not whole; 6 / 12 is not either
    assert kept.num_rows == 0 and [r[2] for r in qc.book_errors(kept)] == ["bad_frequency"] * 2
    assert qc.book(tape, periods_per_year=24).column("payments_per_year").to_pylist() == [4, 12]


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




@pytest.mark.parametrize("dates, as_of, ppy, want", [
    (["2024-01-15", "2024-01-16", "2024-01-31 10:30:00", "202401", "1/31/2024", "12/15/2023"], "2024-02-15", 12,
     [1, 0, 0, 1, 0, 2]),
    (["2024-01-31", "2023-02-28"], _dt.date(2024, 2, 29), 12, [1, 12]),   # the end of a shorter month
    (pa.array([202301, 202310], pa.int64()), _dt.datetime(2024, 12, 31, 9), 4, [7, 4]),
    (pa.array([_dt.date(2024, 3, 1)], pa.date32()), np.datetime64("2024-09-01"), 2, [1]),
    (["3/15/19", "15-Mar-19", "15-march-2019", "43539", "1/1/20", "45292"], "2024-03-15", 12, [60, 60, 60, 60, 50, 2]),
    (pa.array([43539.0, 45292.5]), "2024-03-15", 12, [60, 2]),  # Excel serial days
])
def test_ages_from_dates(dates, as_of, ppy, want):
    n = len(dates)
    tape = pa.table({"amt": [1e3] * n, "rate": [0.001] * n, "pers": [360] * n, "int_freq": [1] * n,
                     "cap_freq": [1] * n, "FirstPaymentDate": dates})
    got = qc.book(tape, as_of=as_of, age_from="FirstPaymentDate", periods_per_year=ppy)
    assert got.column("age").to_pylist() == want


@pytest.mark.parametrize("kwargs, fragment", [
    ({"age_from": "d"}, "needs as_of"),
    ({"as_of": "2024-12-31"}, "give age_from"),
    ({"age_from": "d", "as_of": "31/12/2024"}, "ISO"),
    ({"age_from": "d", "as_of": "2024-12-31", "periods_per_year": 52}, "divide 12"),
    ({"age_from": "d", "as_of": "2024-12-31", "columns": {"age": "d"}}, "not both"),
    ({"decimal": ";"}, "decimal"),
    ({"keep": ["nope"]}, "does not have"),
    ({"keep": ["amt"]}, "also a column book"),
])
def test_bad_tape_options(kwargs, fragment):
    with pytest.raises(ValueError, match=fragment):
        qc.book(pa.table({**sample_book(3, seed=1), "d": ["2024-01-01"] * 3}), **kwargs)


@pytest.mark.parametrize("unit, rates, count, hint", [
    ("per-period", ["8.25", "0.005", "7"], 2, "annual-percent"),
    ("annual", ["6.125", "0.05"], 1, "annual-percent"),
    ("annual-percent", ["0.06125", "0.05", "6"], 2, "annual"),   # most look like fractions
    ("annual-percent", ["1300000%", "6"], 1, None),
    ("annual-percent", ["6.125%", "0.5", "7"], 0, None),          # a few low rates are real
    ("per-period", ["0.005", "1"], 0, None),
    ("per-period", ["0.06125", "0.055", "0.004"], 2, "annual"),  # 73.5% a year: yearly fractions
    ("annual-percent", ["0.475%", "1.20%", "0.625 %"], 0, None),  # a percent sign says percent
])
def test_implausible_rates_refuse_the_tape(tmp_path, unit, rates, count, hint):
    n = len(rates)
    path = tmp_path / "tape.csv"
    path.write_text("amt,rate,pers,int_freq,cap_freq\n\n" + "".join(f"1000,{r},12,1,1\n" for r in rates))
    if not count:
        assert qc.book(path, rate_unit=unit).num_rows == n
        return
    with pytest.raises(qc.ImplausibleRates) as info:
        qc.book(path, rate_unit=unit, errors="skip")
    e = info.value
    assert (e.count, e.rate_unit, e.column, e.row) == (count, hint, "rate", 3)  # line 3: after a blank line
    assert (f'rate_unit="{hint}"' in str(e)) == (hint is not None) and "allow_high_rates=True" in str(e)
    assert qc.book(path, rate_unit=unit, allow_high_rates=True).num_rows == n


def test_the_command_refuses_high_rates_in_the_same_words(tmp_path):
    path = tmp_path / "tape.csv"
    path.write_text("amt,rate,pers,int_freq,cap_freq\n1000,0.01,12,1,1\n1000,8.25,12,1,1\n")
    run = TapeRun(str(path), mapping={}, rate_unit="per-period", periods_per_year=12, delimiter=None,
                  batch_rows=100, errors="skip")
    with pytest.raises(TapeError) as info:
        list(run.batches(Progress("schedules", None, False)))
    words = texts.high_rates("per-period", 1, 3, "rate", "8.25", texts.COMMAND)  # line 3, as book() numbers it
    assert str(info.value) == f"{path}: {words}"


def test_kept_columns_travel_with_their_rows():
    tape = pa.table({**sample_book(6, seed=3), "Product": ["HE", "CRE", "HE", "MTG", "CRE", "HE"],
                     "Score": pa.array([700, None, 650, 720, 690, 710], pa.int16())})
    tape = tape.set_column(2, "rate", pa.array(["0.004", "x", "0.004", "0.005", "0.004", "0.006"]))
    kept = qc.book(tape, keep=["Product", "Score"], errors="skip")
    assert kept.column_names[-2:] == ["Product", "Score"] and kept.schema.field("Score").type == pa.int16()
    assert kept.column("Product").to_pylist() == ["HE", "HE", "MTG", "CRE", "HE"]
    by = qc.project(kept, {}, by="Product", errors="skip").to_pandas()
    assert sorted(by["Product"].unique()) == ["CRE", "HE", "MTG"]


def test_a_folder_whose_parts_store_a_column_in_other_widths(tmp_path):
    one, two = pa.table(sample_book(4, seed=1)), pa.table(sample_book(3, seed=2))
    (tmp_path / "book").mkdir()
    pq.write_table(one.set_column(3, "pers", one.column("pers").cast(pa.int32())), tmp_path / "book" / "part.0.parquet")
    pq.write_table(two.set_column(3, "pers", two.column("pers").cast(pa.int64())), tmp_path / "book" / "part.1.parquet")
    got = qc.book(tmp_path / "book")
    assert got.column("pers").to_pylist() == one.column("pers").to_pylist() + two.column("pers").to_pylist()
    text = two.set_column(3, "pers", two.column("pers").cast(pa.string()))
    pq.write_table(text, tmp_path / "book" / "part.1.parquet")
    with pytest.raises(TapeError, match="column pers: the parts store it as int32 and string"):
        qc.book(tmp_path / "book")


@pytest.mark.parametrize("text, failed, kept", [
    ("H\r\nA,{ok}\r\nB,{bad}\r\n\r\n\r\n", [3], [2]),                   # blank lines after the last row
    ("H\nA,{ok}\n\nB,{bad}\n\"C\nC\",{ok}\nD,{bad}", [4, 7], [2, 5]),   # a blank line, a value on two lines
    ("H\rA,{ok}\rB,{bad}\rC,{ok}\r", [3], [2, 4]),                   # classic Mac line ends
])
def test_tape_rows_are_the_lines_an_editor_shows(tmp_path, text, failed, kept):
    path = tmp_path / "tape.csv"
    path.write_bytes(text.format(ok="1000,0.01,12,1,1", bad="x,0.01,12,1,1").replace(
        "H", "id,amt,rate,pers,int_freq,cap_freq").encode())
    with pytest.raises(LoanError) as info:
        qc.book(path)
    assert info.value.index == failed[0]
    book = qc.book(path, errors="skip")
    assert [r[0] for r in qc.book_errors(book)] == failed
    assert qc.tape_rows(book, range(book.num_rows)) == kept
    rows = range(len(failed) + len(kept))
    assert list(row_numbers(path)(rows)) == list(row_numbers(path, len(rows))(rows)) == sorted(failed + kept)


def test_a_header_without_a_line_break_is_an_empty_tape(tmp_path):
    (tmp_path / "tape.csv").write_text("amt,rate,pers,int_freq,cap_freq")
    assert qc.book(tmp_path / "tape.csv").num_rows == 0


BASE = {"id": ["a", "b"], "amt": [1e5, 2e5], "rate": [0.005, 0.004], "pers": [360, 360], "int_freq": [1, 1],
        "cap_freq": [1, 1]}


@pytest.mark.parametrize("case, columns, kwargs, want", [
    ("remaining term", {"rem": [300, 1]}, {"remaining": "rem"}, {"age": [60, 359]}),
    ("mapped remaining term", {"rem": ["300", "361"]}, {"columns": {"remaining": "rem"}, "errors": "skip"},
     {"age": [60]}),
    ("first payment", {"fp": ["2024-01-15", "15-Jan-25"]},
     {"age_from": "first-payment=fp", "as_of": "2024-12-31"}, {"age": [12, 0]}),
    ("origination", {"fp": ["2024-01-15", "12/15/24"]}, {"age_from": "origination=fp", "as_of": "2024-12-31"},
     {"age": [11, 0]}),
    ("blank fee", {"rate": ["6", "6"], "fee": [" ", "0.25"]}, {"rate_unit": "annual-percent"},
     {"fee": [0.0, 0.25 / 1200]}),
    ("fee above 1", {"rate": [0.06, 0.06], "fee": ["25", "0.25"]}, {"rate_unit": "annual"}, ("fee", "annual-percent")),
    ("step rate above 1", {"rate": [0.065, 0.06]},
     {"rate_unit": "annual", "rate_steps": pa.table({"id": ["a"], "per": [13], "rate": ["6.5"]})},
     ("rate of the rate steps", "annual-percent")),
    ("12 a year on long terms", {"int_freq": ["12", "M"], "cap_freq": [12, 1]}, {}, UserWarning),
    ("payments a year as written", {"rate": [6.0, 6.0], "n": [4, None]},
     {"columns": {"payments_per_year": "n"}, "rate_unit": "annual-percent"},
     {"payments_per_year": [4, None], "rate": [0.015, 0.005], "pers": [360, 360]}),
])
def test_a_servicer_tape_as_written(case, columns, kwargs, want):
    tape = pa.table({**BASE, **columns})
    if isinstance(want, tuple):
        with pytest.raises(qc.ImplausibleRates) as info:
            qc.book(tape, **kwargs)
        assert (info.value.column, info.value.rate_unit) == want
    elif want is UserWarning:
        with pytest.warns(UserWarning, match="1 loan of 120 periods or more pays once every 12 periods"):
            assert qc.book(tape).column("int_freq").to_pylist() == [12, 1]
    else:
        book = qc.book(tape, **kwargs)
        assert {name: book.column(name).to_pylist() for name in want} == want


def test_a_loan_in_its_own_payment_periods(monkeypatch):
    from quill_harbor_columnar._internal import names

    monkeypatch.setattr(names, "PAYMENTS_PER_YEAR", "payments_per_year", raising=False)
    tape = pa.table({"id": ["q", "mq", "num", "odd"], "amt": [1e6] * 4, "rate": ["6"] * 4, "pers": [120, 360, 360, 121],
                     "int_freq": ["Quarterly", "M", "3", "Q"], "cap_freq": ["Q", "Q", "3", "Q"], "age": [12, 5, 5, 5],
                     "io_pers": [36, None, None, None], "fee": ["0.25"] * 4})
    b = qc.book(tape, rate_unit="annual-percent", rate_steps=pa.table({"id": ["q"], "per": [13], "rate": ["8"]}))
    got = {name: b.column(name).to_pylist() for name in ("payments_per_year", "pers", "int_freq", "cap_freq", "age",
                                                          "io_pers", "rate", "fee")}
    assert got == {"payments_per_year": [4, 12, None, None], "pers": [40, 360, 360, 121], "int_freq": [1, 1, 3, 3],
                   "cap_freq": [1, 3, 3, 3], "age": [4, 5, 5, 5], "io_pers": [12, None, None, None],
                   "rate": [6 / 100 / 4] + [6 / 100 / 12] * 3, "fee": [0.25 / 100 / 4] + [0.25 / 100 / 12] * 3}
    assert b.column("rate_steps").to_pylist()[0] == [{"per": 5, "rate": 8 / 100 / 4}]
