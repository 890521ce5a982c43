"""The columnar operations against quill_harbor's own, loan by loan: the same
rows fail with the same engine message, and every kept value has the same
binary32 bits, through every input form and both layouts."""

import gc

import numpy as np
import pytest

import quill_harbor_columnar as qc
from columnar_reference import (COLUMNS, assert_matches, bits, text_book, text_reference, typed_book,
                                typed_reference)

pa = pytest.importorskip("pyarrow")


@pytest.fixture(autouse=True)
def _collect_cycles():
    # Failures leave cycles (exceptions, tracebacks, frames) holding shared
    # objects such as one-character ids; collect them here rather than in
    # the middle of a later suite's reference-count checks.
    yield
    gc.collect()

N_TYPED = 100_000
N_TEXT = 100_000


@pytest.fixture(scope="module")
def typed():
    book = typed_book(N_TYPED, seed=20261208)
    return book, typed_reference(book)


@pytest.fixture(scope="module")
def text():
    book = text_book(N_TEXT, seed=7)
    return book, text_reference(book)


def typed_forms(book):
    yield "numpy", {k: (list(v) if k == "id" else v) for k, v in book.items()}
    # pyarrow takes the int64 columns as they are: values past 32 bits are
    # the engine-side overflow failure, as they are for the dict operation.
    yield "pyarrow", pa.table({k: (pa.array(list(v)) if k == "id" else pa.array(v)) for k, v in book.items()})
    yield "numpy-no-id", {k: v for k, v in book.items() if k != "id"}


@pytest.mark.parametrize("layout", ["long", "list"])
def test_typed_forms_match_paywheel_fn(typed, layout):
    book, ref = typed
    assert len(ref.failed) > 1000, "the book should exercise many failures"
    assert len(ref.failed) < N_TYPED // 2
    for name, loans in typed_forms(book):
        res = qc.schedules(loans, layout=layout, errors="skip", threads=2)
        assert_matches(res, ref)
        if layout == "list":
            table = res.to_arrow()
            nulls = np.asarray(table.column("Bal").is_null().to_numpy(zero_copy_only=False))
            assert sorted(np.nonzero(nulls)[0].tolist()) == sorted(ref.failed)
        else:
            loan = np.asarray(res.column("loan"))
            assert np.array_equal(loan, np.repeat(np.arange(N_TYPED, dtype=np.int32), ref.lengths)), name


def test_typed_lists_and_polars_match(typed):
    book, ref = typed
    # lists of Python numbers (values past 64 bits are refused up front, so
    # this book's int64 values are all representable)
    lists = {k: list(v) if k == "id" else v.tolist() for k, v in book.items()}
    assert_matches(qc.schedules(lists, errors="skip"), ref)
    pl = pytest.importorskip("polars")
    df = pl.DataFrame({k: (list(v) if k == "id" else v) for k, v in book.items()})
    assert_matches(qc.schedules(df, errors="skip", layout="list"), ref)


def test_raise_names_the_earliest_failing_row(typed):
    book, ref = typed
    first = min(ref.failed)
    with pytest.raises(qc.LoanError) as info:
        qc.schedules(book)
    err = info.value
    assert (err.index, err.id, err.reason) == (first, f"r{first}", ref.failed[first])
    assert f"row {first}" in str(err) and f"'r{first}'" in str(err)


def text_forms(book):
    yield "lists", book
    yield "utf8", pa.table({k: pa.array(v, pa.string()) for k, v in book.items()})
    yield "large", pa.table({k: pa.array(v, pa.large_string()) for k, v in book.items()})
    yield "view", pa.table({k: pa.array(v, pa.string_view()) for k, v in book.items()})
    yield "numpy-str", {k: np.array(v) for k, v in book.items()}


@pytest.mark.parametrize("layout", ["long", "list"])
def test_text_forms_match_paywheel_gil(text, layout):
    book, ref = text
    assert len(ref.failed) > 1000
    for name, loans in text_forms(book):
        res = qc.schedules(loans, layout=layout, errors="skip")
        assert_matches(res, ref)


def test_integer_amounts_round_twice_like_paywheel_fn():
    # int64 -> float64 -> float32: values chosen where one rounding and two
    # differ (just above a float32 halfway point, below double precision).
    rng = np.random.default_rng(3)
    base = rng.integers(2**40, 2**62, 5000, dtype=np.int64)
    amt = base | np.int64(2**38 + 1)
    n = len(amt)
    book = {"id": np.array([f"i{i}" for i in range(n)], dtype=object), "amt": amt,
            "rate": np.full(n, 0.05), "pers": np.full(n, 12, dtype=np.int64),
            "int_freq": np.ones(n, dtype=np.int64), "cap_freq": np.ones(n, dtype=np.int64)}
    ref = typed_reference(book)
    for loans in (book, pa.table({k: (pa.array(list(v)) if k == "id" else pa.array(v)) for k, v in book.items()})):
        assert_matches(qc.schedules(loans, errors="skip"), ref)
    first_bal = np.asarray(qc.schedules(book).column("Bal"))[::13]
    assert np.array_equal(bits(first_bal), bits(np.asarray(amt, dtype=np.float64).astype(np.float32)))


@pytest.mark.parametrize("threads", [1, 2])
def test_other_numeric_dtypes_read_as_their_python_values(threads):
    rng = np.random.default_rng(11)
    n = 3000
    book = {"amt": rng.uniform(-10, 1e4, n).astype(np.float32), "rate": rng.integers(0, 3, n).astype(np.uint8),
            "pers": rng.integers(-2, 40, n).astype(np.int16), "int_freq": rng.integers(0, 4, n).astype(np.uint32),
            "cap_freq": (rng.random(n) < 0.9)}
    # every row as a dict of Python numbers, ids by row
    ids = [str(i) for i in range(n)]
    ref = typed_reference({"id": ids, **{k: v.tolist() for k, v in book.items()}})
    assert_matches(qc.schedules(book, errors="skip", threads=threads), ref)
    assert_matches(qc.schedules(pa.table(book), errors="skip", threads=threads, layout="list"), ref)
    for c in COLUMNS:
        assert np.asarray(qc.schedules(book, errors="skip").column(c)).size == ref.columns[c].size


from hypothesis import given, settings, strategies as st  # noqa: E402

loan_rows = st.lists(
    st.tuples(st.floats(width=64) | st.sampled_from([0.0, -0.0, 1e-45, 3.5e38]),
              st.floats(width=64) | st.floats(1e-6, 0.2) | st.sampled_from([0.0, -0.0, 1e-30]),
              st.integers(-3, 60), st.integers(-3, 13), st.integers(-3, 13)),
    min_size=1, max_size=24)


@settings(max_examples=150, deadline=None)
@given(rows=loan_rows, layout=st.sampled_from(["long", "list"]), threads=st.sampled_from([1, 2]))
def test_small_random_books_match_paywheel_fn(rows, layout, threads):
    book = {"id": [f"h{i}" for i in range(len(rows))]}
    for k, col in zip(["amt", "rate", "pers", "int_freq", "cap_freq"], zip(*rows)):
        book[k] = list(col)
    ref = typed_reference(book)
    assert_matches(qc.schedules(book, layout=layout, errors="skip", threads=threads), ref)
    if ref.failed:
        with pytest.raises(qc.LoanError) as info:
            qc.schedules(book, layout=layout)
        assert info.value.index == min(ref.failed)
