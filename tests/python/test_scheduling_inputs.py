"""Hostile input, failures as data, memory exhaustion, Ctrl-C, streams and
cash-flow totals."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import gc

import numpy as np
import pytest

import quill_harbor_columnar as qc

pa = pytest.importorskip("pyarrow")


@pytest.fixture(autouse=True)
def _collect_cycles():
    # Failures leave cycles (exceptions, tracebacks, frames) holding shared
    # objects such as one-character ids; collect them here rather than in
    # the middle of a later suite's reference-count checks.
    yield
    gc.collect()


def book(n=10, **over):
    b = {"amt": np.full(n, 1000.0), "rate": np.full(n, 0.02), "pers": np.full(n, 12),
         "int_freq": np.ones(n, dtype=np.int64), "cap_freq": np.ones(n, dtype=np.int64)}
    b.update(over)
    return b


def run_python(code, **kw):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=300, **kw)


# ---------------------------------------------------------------- input checks

@pytest.mark.parametrize("loans, error, words", [
    ({k: v for k, v in book().items() if k != "rate"}, ValueError, ["'rate'"]),
    (book(pers=np.full(10, 12.0)), TypeError, ["'pers'", "float"]),
    (book(cap_freq=[1] * 9 + [2.0]), TypeError, ["'cap_freq'", "row 9"]),
    (book(amt=np.ones(9)), ValueError, ["'amt'", "10 rows", "row 9"]),
    (book(amt=np.ones((10, 1))), TypeError, ["'amt'", "1-D"]),
    (book(amt=np.ones(10).astype(">f8")), TypeError, ["'amt'", "byte order"]),
    (book(amt=np.ones(10, dtype=np.complex128)), TypeError, ["'amt'"]),
    (book(rate="0.5"), TypeError, ["'rate'", "str"]),
    (book(rate=[0.1] * 5 + ["0.1"] * 5), TypeError, ["'rate'", "row 5"]),
    (dict(book(), id=list(range(10))), TypeError, ["'id'"]),
    (book(pers=[2**70] * 10), ValueError, ["'pers'", "64-bit"]),
])
def test_bad_input_is_refused_before_computing(loans, error, words):
    with pytest.raises(error) as info:
        qc.schedules(loans)
    for w in words:
        assert w in str(info.value)


def test_arrow_types_are_refused():
    with pytest.raises(TypeError, match="'pers'"):
        qc.schedules(pa.table({**book(), "pers": pa.array(np.full(10, 12.0))}))
    with pytest.raises(TypeError, match="dictionary"):
        qc.schedules(pa.table({**book(), "id": pa.array([str(i) for i in range(10)]).dictionary_encode()}))
    with pytest.raises(TypeError):
        qc.schedules(42)


@pytest.mark.parametrize("kw", [dict(layout="wide"), dict(errors="ignore"), dict(threads=0), dict(threads=1.5)])
def test_bad_options(kw):
    with pytest.raises(ValueError):
        qc.schedules(book(), **kw)


# ---------------------------------------------------------------- failures as data

# Every code the columnar calls produce, with its field and the value as read.
KNOWN_SHAPES = [
    (dict(cap_freq=12), "single_capital_block", "cap_freq", "12"),
    (dict(pers=1), "single_capital_block", "pers", "1"),
    (dict(rate=0.0), "zero_rate", "rate", "0.0"),
    (dict(rate=1e-30), "vanishing_rate", "rate", "1e-30"),
    (dict(amt=float("nan")), "non_finite", "amt", "nan"),
    (dict(amt=float("inf")), "non_finite", "amt", "inf"),
    (dict(rate=float("nan")), "non_finite", "rate", "nan"),
    (dict(amt=-100.0), "decreasing_blocks", "amt", "-100.0"),
    (dict(rate=-0.05), "decreasing_blocks", "rate", "-0.05"),
    (dict(int_freq=0), "zero_frequency", "int_freq", "0"),
    (dict(cap_freq=0), "zero_frequency", "cap_freq", "0"),
    (dict(pers=0), "no_periods", "pers", "0"),
    (dict(pers=-4), "no_periods", "pers", "-4"),
    (dict(rate=0.3, pers=400), "growth_overflow", "rate", "0.3"),
    (dict(pers=2**24 + 1), "too_large", "pers", "16777217"),
    (dict(pers=2**31), "int_out_of_range", "pers", "2147483648"),
    (dict(amt=None), "null", "amt", None),
    (dict(rate="abc%"), "parse_float", "rate", "abc%"),
    (dict(pers="12.5"), "parse_int", "pers", "12.5"),
    (dict(int_freq="99999999999"), "int_out_of_range", "int_freq", "99999999999"),
]


@pytest.mark.parametrize("source", ["lists", "arrow"])
@pytest.mark.parametrize("override, code, field, value", KNOWN_SHAPES)
def test_every_code_reaches_python_with_its_field(override, code, field, value, source):
    b = {k: list(v) for k, v in book(4).items()}
    b["id"] = ["a", "b", "c", "d"]
    for k, v in override.items():
        if isinstance(v, str):
            b[k] = [str(x) for x in b[k]]
        b[k][2] = v
    loans = b if source == "lists" else pa.table(b)
    with pytest.raises(qc.LoanError) as info:
        qc.schedules(loans)
    e = info.value
    assert isinstance(e, ValueError)
    assert (e.index, e.id, e.code, e.field, e.value) == (2, "c", code, field, value)
    assert code in qc._native.FAILURE_CODES
    skipped = qc.schedules(loans, errors="skip").errors
    assert list(skipped) == [(2, "c", code, field, e.reason)]
    table = skipped.to_arrow()
    assert table.to_pylist()[0] == {"index": 2, "id": "c", "code": code, "field": field, "reason": e.reason}
    assert table.schema.types == [pa.int64(), pa.string(), pa.string(), pa.string(), pa.string()]
    with pytest.raises(qc.LoanError) as again:
        qc.cashflows(loans)
    assert (again.value.code, again.value.field, again.value.value) == (code, field, value)


def test_skip_leaves_rows_out_or_null_and_lists_them():
    b = book(6, pers=np.array([12, 0, 12, 1, 12, 12]))
    b["id"] = ["a", "b", "c", "d", "e", "f"]
    long = qc.schedules(b, errors="skip")
    assert [(i, id_) for i, id_, *_ in long.errors] == [(1, "b"), (3, "d")]
    assert long.num_rows == 4 * 13
    assert sorted(set(long.to_arrow().column("loan").to_pylist())) == ["a", "c", "e", "f"]
    assert np.diff(np.asarray(long.offsets)).tolist() == [13, 0, 13, 0, 13, 13]
    lst = qc.schedules(b, errors="skip", layout="list").to_arrow()
    assert lst.column("Bal").is_null().to_pylist() == [False, True, False, True, False, False]
    errs = long.errors.to_arrow()
    assert errs.column_names == ["index", "id", "code", "field", "reason"]
    assert errs.column("index").to_pylist() == [1, 3]
    assert isinstance(long.errors.exceptions()[0], qc.LoanError)


def test_no_standard_error_report_and_quill_harbor_unchanged():
    r = run_python("""
        import numpy as np, quill_harbor, quill_harbor_columnar as qc
        b = {"amt": [1.0, float("nan")], "rate": [0.1, 0.1], "pers": [0, 12], "int_freq": [1, 1], "cap_freq": [1, 1]}
        print(len(qc.schedules(b, errors="skip").errors))
        try:
            qc.schedules(b)
        except qc.LoanError as e:
            print(e.index)
        print(sorted(a for a in dir(quill_harbor) if not a.startswith("__")), quill_harbor.__all__)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    assert r.stdout.splitlines() == ["2", "0", "['paywheel_fn', 'paywheel_gil', 'paywheel_par'] "
                                                "['paywheel_fn', 'paywheel_par', 'paywheel_gil']"]


def test_pers_whose_per_column_would_be_shorter_is_a_row_failure():
    b = book(2, pers=np.array([12, 2**24 + 1]))
    s = qc.schedules(b, errors="skip")
    (idx, _, code, _, _), = list(s.errors)
    assert idx == 1 and code == "too_large"


# ---------------------------------------------------------------- memory

def test_result_larger_than_memory_is_refused_up_front():
    with pytest.raises(MemoryError, match="bytes"):
        qc.schedules(book(2, pers=np.array([2**30, 2**30])))
    assert qc.schedules(book()).num_rows == 130


def test_huge_pers_under_an_address_space_limit_raises_memory_error():
    r = run_python("""
        import resource, numpy as np, quill_harbor_columnar as qc
        b = lambda n, p: {"amt": np.full(n, 100.0), "rate": np.full(n, 0.01), "pers": np.full(n, p),
                          "int_freq": np.ones(n, dtype=np.int64), "cap_freq": np.ones(n, dtype=np.int64)}
        qc.schedules(b(4, 12))  # pool and libraries loaded first
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
        for f in (qc.schedules, qc.cashflows):
            try:
                f(b(1, 2**27))
                print("no error")
            except MemoryError as e:
                print("MemoryError")
        print(qc.schedules(b(3, 12)).num_rows, qc.cashflows(b(3, 12)).num_rows)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["MemoryError", "MemoryError", "39", "13"]


# ---------------------------------------------------------------- Ctrl-C

@pytest.mark.parametrize("operation", ["schedules", "cashflows"])
def test_ctrl_c_interrupts_a_long_call_and_leaves_the_process_usable(operation):
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import sys, time, numpy as np, quill_harbor_columnar as qc
        n = 3_000_000
        b = {{"amt": np.full(n, 1000.0), "rate": np.full(n, 0.01), "pers": np.full(n, 120),
              "int_freq": np.ones(n, dtype=np.int64), "cap_freq": np.ones(n, dtype=np.int64)}}
        print("ready", flush=True)
        t0 = time.monotonic()
        try:
            qc.{operation}(b, threads=1)
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - t0, flush=True)
        print(qc.schedules({{k: v[:3] for k, v in b.items()}}).num_rows, flush=True)
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(1.0)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    waited = time.monotonic() - sent
    lines = out.split("\n")
    assert lines[0].startswith("interrupted"), (out, err)
    assert lines[1] == "363"
    # Interrupting within about half a second is a benchmark matter; here
    # only that it did not run to the end (several seconds on one thread).
    assert waited < 10


# ---------------------------------------------------------------- streams

def mixed_book(n=500):
    rng = np.random.default_rng(9)
    b = {"id": [f"s{i}" for i in range(n)], "amt": rng.uniform(10, 1e4, n), "rate": rng.uniform(0.001, 0.1, n),
         "pers": rng.integers(3, 60, n), "int_freq": np.ones(n, dtype=np.int64), "cap_freq": np.ones(n, dtype=np.int64)}
    b["pers"][[i for i in (17, 250, 499) if i < n]] = 0
    return b


@pytest.mark.parametrize("source", ["dict", "arrow"])
@pytest.mark.parametrize("layout", ["long", "list"])
def test_stream_batches_equal_the_whole_result(source, layout):
    b = mixed_book()
    loans = b if source == "dict" else pa.Table.from_batches(pa.table(b).to_batches(max_chunksize=123))
    whole = qc.schedules(b, layout=layout, errors="skip")
    stream = qc.stream_schedules(loans, batch_rows=100, layout=layout, errors="skip", threads=2)
    table = pa.RecordBatchReader.from_stream(stream).read_all()
    assert [row[:2] for row in stream.errors] == [(17, "s17"), (250, "s250"), (499, "s499")]
    if layout == "long":
        got = table.column("Bal").to_numpy()
        assert table.column("loan").to_pylist() == whole.to_arrow().column("loan").to_pylist()
    else:
        assert table.num_rows == 500
        got = table.column("Bal").combine_chunks().flatten().to_numpy()
    assert np.array_equal(got.view(np.uint32), np.asarray(whole.column("Bal")).view(np.uint32))


def test_stream_raise_fails_at_the_first_bad_row_and_is_one_shot():
    stream = qc.stream_schedules(mixed_book(), batch_rows=100)
    reader = pa.RecordBatchReader.from_stream(stream)
    with pytest.raises(Exception, match=r"row 17 \(id 's17'\)"):
        reader.read_all()
    with pytest.raises(RuntimeError, match="already consumed"):
        pa.RecordBatchReader.from_stream(stream)
    with pytest.raises(ValueError):
        qc.stream_schedules(mixed_book(), batch_rows=0)


def test_stream_reports_nulls_of_later_batches():
    clean = pa.record_batch(book(10))
    holed = pa.record_batch({**book(10), "amt": pa.array([1000.0] * 5 + [None] + [1000.0] * 4)})
    reader = pa.RecordBatchReader.from_stream(
        qc.stream_schedules(pa.Table.from_batches([clean, holed]), batch_rows=10, layout="list"))
    assert reader.read_next_batch().num_rows == 10
    with pytest.raises(Exception, match="row 15 failed: null"):
        reader.read_next_batch()


def test_long_stream_batches_hold_at_most_batch_rows_rows():
    b = mixed_book(300)
    sizes = [batch.num_rows for batch in pa.RecordBatchReader.from_stream(
        qc.stream_schedules(b, batch_rows=150, errors="skip"))]
    lengths = np.diff(np.asarray(qc.schedules(b, errors="skip").offsets))
    assert sum(sizes) == lengths.sum()
    assert max(sizes) <= 150 and len(sizes) > lengths.sum() // 150
    # a loan longer than batch_rows still comes whole, in a batch of its own
    long_loan = book(3, pers=np.array([5, 400, 5]))
    sizes = [batch.num_rows for batch in pa.RecordBatchReader.from_stream(qc.stream_schedules(long_loan, batch_rows=10))]
    assert sizes == [6, 401, 6]


# ---------------------------------------------------------------- cash flows

def test_cashflows_are_the_float64_sums_of_the_schedules():
    b = mixed_book(3000)
    cf = qc.cashflows(b, errors="skip", threads=2)
    s = qc.schedules(b, errors="skip")
    offsets = np.asarray(s.offsets)
    lengths = np.diff(offsets)
    period = np.arange(len(np.asarray(s.column("Bal")))) - np.repeat(offsets[:-1], lengths)
    for name in ["Cap", "Int", "Pmt", "Bal"]:
        values = np.asarray(s.column(name)).astype(np.float64)
        expected = np.bincount(period, weights=values)
        assert np.allclose(np.asarray(cf.column(name)), expected, rtol=1e-12, atol=0)
    assert np.array_equal(np.asarray(cf.column("loans")), np.bincount(period))
    assert [row[0] for row in cf.errors] == [17, 250, 499]
    with pytest.raises(qc.LoanError, match="row 17"):
        qc.cashflows(b)


def test_cashflows_bits_do_not_depend_on_thread_count():
    rng = np.random.default_rng(1)
    n = 20000
    b = {"amt": rng.uniform(1, 1e7, n), "rate": rng.uniform(1e-4, 0.1, n), "pers": rng.integers(3, 400, n),
         "int_freq": rng.choice([1, 3], n), "cap_freq": np.ones(n, dtype=np.int64)}
    runs = [qc.cashflows(b, threads=t) for t in (1, 2, 1, 2)]
    for name in ["Cap", "Int", "Pmt", "Bal"]:
        first = np.asarray(runs[0].column(name)).view(np.uint64)
        for r in runs[1:]:
            assert np.array_equal(np.asarray(r.column(name)).view(np.uint64), first)


def test_cashflows_of_exact_loans_are_exact():
    # amt 15 at rate 1.0 over 4 periods: every value is an integer.
    n = 1001
    b = {"amt": np.full(n, 15.0), "rate": np.full(n, 1.0), "pers": np.full(n, 4),
         "int_freq": np.ones(n, dtype=np.int64), "cap_freq": np.ones(n, dtype=np.int64)}
    cf = qc.cashflows(b)
    assert np.asarray(cf.column("Bal")).tolist() == [15.0 * n, 14.0 * n, 12.0 * n, 8.0 * n, 0.0]
    assert np.asarray(cf.column("Pmt")).tolist() == [0.0] + [16.0 * n] * 4
