"""Regression tests for the columnar layer's faults, by kind: memory safety
and process life (each in a fresh interpreter, where the process may die),
results that consumers read, control (Ctrl-C, producers' exceptions, one
pool and one power setting a process) and memory given back."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import quill_harbor_columnar as qc

pa = pytest.importorskip("pyarrow")

PRELUDE = """
import os, sys, threading, time, numpy as np, quill_harbor_columnar as qc
def book(n, pers=12, **over):
    b = {"amt": np.full(n, 1000.0), "rate": np.full(n, 0.01), "pers": np.full(n, pers),
         "int_freq": np.ones(n, dtype=np.int64), "cap_freq": np.ones(n, dtype=np.int64)}
    b.update(over)
    return b
"""


def run(code, env=None, timeout=120):
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), **(env or {})}
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True,
                          env=environment, timeout=timeout)


def book(n, pers=12, **over):
    b = {"amt": np.full(n, 1000.0), "rate": np.full(n, 0.01), "pers": np.full(n, pers),
         "int_freq": np.ones(n, dtype=np.int64), "cap_freq": np.ones(n, dtype=np.int64)}
    b.update(over)
    return b


# ---------------------------------------------------------------- memory safety and process life

PROCESS_CASES = {
    # Items whose conversion empties the list they are read from.
    "list shrinks while read": """
        class Shrinking:
            def __init__(self, victim, value): self.victim, self.value = victim, value
            def __float__(self): self.victim.clear(); return self.value
            def __index__(self): self.victim.clear(); return self.value
        for op in (qc.schedules, qc.cashflows):
            for field, value in (("amt", 1000.0), ("pers", 12)):
                b = {k: list(v) for k, v in book(2000).items()}
                b[field] = [Shrinking(b[field], value)] + [value] * 1999
                op(b)
        print("ok")
    """,
    # Another thread rewrites pers while the call reads the book.
    "pers written while computing": """
        b = book(300_000, pers=2)
        stop = False
        def scribble():
            while not stop:
                b["pers"][:] = 400
                b["pers"][:] = 2
        t = threading.Thread(target=scribble); t.start()
        for _ in range(6):
            s = qc.schedules(b, errors="skip")
            off = np.asarray(s.offsets)
            assert off[-1] == len(np.asarray(s.column("Bal")))
        stop = True; t.join()
        print("ok")
    """,
    # A result too large for memory, in a stream's list layout.
    "stream too large": """
        import pyarrow as pa
        reader = qc.stream_schedules(book(4, pers=2**30), layout="list").to_reader()
        try:
            reader.read_all()
        except Exception as e:
            print("ok", type(e).__name__)
    """,
    # The interpreter exits while a daemon thread is inside a call.
    "exit during a call": """
        b = book(2_000_000, pers=120)
        for op in (qc.schedules, qc.cashflows):
            threading.Thread(target=op, args=(b,), daemon=True).start()
        time.sleep(0.3)
        print("ok")
    """,
    # fork() while another thread is inside a call: the child must compute.
    "fork during a call": """
        b = book(20_000, pers=60)
        stop = False
        def busy():
            while not stop:
                qc.schedules(b); qc.schedules(b, layout="list")
        t = threading.Thread(target=busy); t.start()
        for _ in range(20):
            time.sleep(0.01)
            pid = os.fork()
            if pid == 0:
                qc.schedules(book(50)); qc.cashflows(book(50))
                os._exit(0)
            _, status = os.waitpid(pid, 0)
            assert status == 0, status
        stop = True; t.join()
        print("ok")
    """,
}


@pytest.mark.parametrize("case", list(PROCESS_CASES))
def test_process_survives(case):
    r = run(PROCESS_CASES[case], timeout=180)
    assert r.returncode == 0, (r.returncode, r.stderr[-2000:])
    assert r.stdout.startswith("ok"), r.stdout
    assert "terminate" not in r.stderr and "Fatal" not in r.stderr


# ---------------------------------------------------------------- results that consumers read

def dup_book():
    b = book(4)
    b["id"] = ["a", "b", "a", "b"]
    return b


@pytest.mark.parametrize("convert", ["to_arrow", "to_pandas", "to_polars", "duckdb"])
def test_repeated_ids_convert(convert):
    s = qc.schedules(dup_book())
    if convert == "duckdb":
        duckdb = pytest.importorskip("duckdb")
        ids = [r[0] for r in duckdb.sql("select loan from s").fetchall()]
    elif convert == "to_polars":
        pytest.importorskip("polars")
        ids = s.to_polars()["loan"].cast(str).to_list()
    elif convert == "to_pandas":
        ids = s.to_pandas()["loan"].astype(str).tolist()
    else:
        ids = s.to_arrow().column("loan").to_pylist()
    assert ids == ["a"] * 13 + ["b"] * 13 + ["a"] * 13 + ["b"] * 13
    assert np.asarray(s.column("loan")).tolist() == [i for i in range(4) for _ in range(13)]


def test_empty_pandas_book_and_null_typed_columns():
    pd = pytest.importorskip("pandas")
    empty = pd.DataFrame(columns=["id", "amt", "rate", "pers", "int_freq", "cap_freq"])  # every column object
    assert qc.schedules(empty).num_rows == 0
    assert qc.schedules(empty, layout="list").num_rows == 0
    assert qc.cashflows(empty).num_rows == 0
    # a null-typed column with rows: each row is a null
    t = pa.table({**book(2), "amt": pa.nulls(2)})
    assert [(r[0], r[2], r[3]) for r in qc.schedules(t, errors="skip").errors] == [(0, "null", "amt"), (1, "null", "amt")]


def test_null_struct_rows_are_null_rows():
    rows = [{"id": "a", "amt": 1000.0, "rate": 0.01, "pers": 12, "int_freq": 1, "cap_freq": 1}, None] * 2
    arr = pa.array(rows)
    chunked = pa.chunked_array([arr, arr])
    for loans in (arr, chunked):
        s = qc.schedules(loans, errors="skip")
        assert [(r[0], r[2], r[3]) for r in s.errors] == [(i, "null", None) for i in range(1, len(loans), 2)]
        assert s.num_rows == 13 * (len(loans) // 2)
        with pytest.raises(qc.LoanError) as info:
            qc.cashflows(loans)
        assert (info.value.index, info.value.code, info.value.field) == (1, "null", None)


def test_stream_batches_match_their_schema():
    b = dup_book()
    stream = qc.stream_schedules(b, batch_rows=20)
    schema = pa.schema(stream)
    reader = pa.RecordBatchReader.from_stream(stream)
    batches = list(reader)
    assert len(batches) > 1 and all(batch.schema == schema for batch in batches)
    table = pa.Table.from_batches(batches)
    assert table.column("loan").to_pylist() == qc.schedules(b).to_arrow().column("loan").to_pylist()


# ---------------------------------------------------------------- control

def test_ctrl_c_interrupts_a_stream_batch():
    proc = subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent("""
        import pyarrow as pa
        b = book(3_000_000, pers=120)
        stream = qc.stream_schedules(b, batch_rows=10**9, layout="list", threads=1)
        reader = pa.RecordBatchReader.from_stream(stream)
        print("ready", flush=True)
        try:
            reader.read_all()
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        print(qc.schedules(book(3)).num_rows, flush=True)
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(1.0)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert out.split() == ["interrupted", "39"], (out, err)
    assert time.monotonic() - sent < 10


class Boom(Exception):
    pass


@pytest.mark.parametrize("raised", [KeyboardInterrupt, Boom])
@pytest.mark.parametrize("op", ["schedules", "cashflows"])
def test_producer_exceptions_come_through_as_raised(raised, op):
    table = pa.table(book(5))

    def batches():
        yield from table.to_batches()
        raise raised("from the producer")

    reader = pa.RecordBatchReader.from_batches(table.schema, batches())
    with pytest.raises(raised, match="from the producer"):
        getattr(qc, op)(reader)


def test_one_pool_and_one_power_setting_per_process():
    loans = [(250000.0, float(np.frombuffer(np.uint32(bits).tobytes(), np.float32)[0] - np.float32(1)), 360)
             for bits in (1065617246, 1065666945, 1065668457, 1065724193, 1065743210)]
    r = run(f"""
        base = len(os.listdir("/proc/self/task"))  # the interpreter's and the libraries' own threads
        import quill_harbor
        os.environ["QUILL_HARBOR_POWF"] = "platform"  # changed between the two imports
        loans = {loans!r}
        for amt, rate, pers in loans:
            fn = quill_harbor.paywheel_fn([{{"id": "x", "amt": amt, "rate": rate, "pers": pers,
                                            "int_freq": 1, "cap_freq": 1}}])["x"]
            col = qc.schedules({{"amt": [amt], "rate": [rate], "pers": [pers], "int_freq": [1], "cap_freq": [1]}})
            assert np.asarray(col.column("Int")).tolist() == fn["Int"], (amt, rate)
        quill_harbor.paywheel_gil([{{"id": "x", "amt": "1", "rate": "0.1", "pers": "3", "int_freq": "1",
                                     "cap_freq": "1"}}] * 4)
        qc.schedules(book(10_000))
        print(len(os.listdir("/proc/self/task")) - base)
    """, env={"QUILL_HARBOR_POWF": "correctly-rounded", "RAYON_NUM_THREADS": "2"})
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["2"]  # the pool's two threads, whichever module asked first


# ---------------------------------------------------------------- memory given back

@pytest.mark.parametrize("layout", ["long", "list"])
def test_a_result_whose_loans_all_failed_holds_little(layout):
    n = 20_000
    s = qc.schedules(book(n, pers=360, rate=np.zeros(n)), layout=layout, errors="skip")
    assert len(s.errors) == n and s.num_rows == (0 if layout == "long" else n)
    assert s.nbytes < 32 * n  # offsets, row numbers and validity, not 361 values a loan


# ---------------------------------------------------------------- lifetimes and reference counts

def test_exports_outlive_the_objects_they_came_from():
    import gc
    s = qc.schedules(dup_book())
    expected = s.to_arrow()
    col = s.column("Bal")
    capsules = (s.__arrow_c_schema__(), s.__arrow_c_array__(), s.__arrow_c_stream__())
    stream = qc.stream_schedules(dup_book(), batch_rows=13)
    stream_capsule = stream.__arrow_c_stream__()
    del s, stream
    gc.collect()
    assert np.asarray(col).tolist() == expected.column("Bal").to_pylist()
    schema_capsule, (array_schema, array_capsule), table_stream = capsules
    assert pa.Schema._import_from_c_capsule(schema_capsule) == pa.schema(expected.schema)
    assert pa.RecordBatch._import_from_c_capsule(array_schema, array_capsule).to_pylist() == expected.to_pylist()
    assert pa.RecordBatchReader._import_from_c_capsule(table_stream).read_all().equals(expected)
    assert pa.RecordBatchReader._import_from_c_capsule(stream_capsule).read_all().to_pylist() == expected.to_pylist()


class Amount:
    """A number the list reader converts by calling into Python."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize("kind", ["lists", "numpy", "arrow", "reader"])
@pytest.mark.parametrize("fails", [False, True])
def test_calls_leave_input_refcounts_unchanged(kind, fails):
    import gc
    b = dup_book()
    if fails:
        b["pers"] = np.array([12, 0, 12, 12])
    if kind == "lists":
        b = {k: list(v) for k, v in b.items()}
        b["amt"] = [Amount(1000.0) for _ in range(4)]
    tracked = list(b.values()) + (b["amt"] if kind == "lists" else [])
    table = pa.table(b if kind != "lists" else dup_book())
    tracked.append(table)

    def source():
        if kind == "arrow":
            return table
        if kind == "reader":
            return pa.RecordBatchReader.from_batches(table.schema, table.to_batches())
        return b

    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(3):
        for op in (qc.schedules, qc.cashflows):
            try:
                op(source())
            except qc.LoanError:
                assert fails
        reader = pa.RecordBatchReader.from_stream(qc.stream_schedules(source(), errors="skip"))
        reader.read_all()
        del reader
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before
