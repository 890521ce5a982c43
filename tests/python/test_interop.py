"""The columnar results in NumPy, pyarrow, polars, pandas, duckdb and Parquet:
schemas, zero copy (equal buffer addresses), lifetime and release."""

import ctypes
import gc
import re
import sys
import threading

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


def small_book(n=40, ids=True):
    rng = np.random.default_rng(5)
    book = {"amt": rng.uniform(100, 1e5, n), "rate": rng.uniform(0.001, 0.1, n),
            "pers": rng.integers(3, 40, n), "int_freq": np.ones(n, dtype=np.int64),
            "cap_freq": rng.choice([1, 2], n)}
    if ids:
        book["id"] = [f"L{i}" for i in range(n)]
    return book


def address(mv) -> int:
    return np.asarray(mv).ctypes.data


def test_schemas_of_both_layouts():
    long_ids = qc.schedules(small_book()).to_arrow().schema
    assert long_ids.names == ["loan", "Per", "Cap", "Int", "Pmt", "Bal"]
    assert long_ids.field("loan").type == pa.dictionary(pa.int32(), pa.string())
    assert all(long_ids.field(c).type == pa.float32() for c in ["Per", "Cap", "Int", "Pmt", "Bal"])
    assert qc.schedules(small_book(ids=False)).to_arrow().schema.field("loan").type == pa.int32()
    lst = qc.schedules(small_book(), layout="list").to_arrow().schema
    assert lst.field("loan").type == pa.string()
    assert lst.field("Bal").type == pa.list_(pa.float32())
    streamed = pa.RecordBatchReader.from_stream(qc.stream_schedules(small_book(), layout="list")).schema
    assert streamed.field("Bal").type == pa.large_list(pa.float32())


@pytest.mark.parametrize("ask, error, text", [
    (lambda s: s.column("nope"), KeyError, "no flat column 'nope'; the flat columns are loan, offsets, Per"),
    (lambda s: s.column(3), TypeError, "column name must be a str"),
])
def test_the_table_refuses_what_it_does_not_hold(ask, error, text):
    with pytest.raises(error, match=re.escape(text)):
        ask(qc.schedules(small_book()))


def test_long_layout_is_shared_with_numpy_pyarrow_and_polars():
    s = qc.schedules(small_book())
    bal = np.asarray(s.column("Bal"))
    assert not bal.flags.writeable
    with pytest.raises((ValueError, BufferError)):
        bal[0] = 1.0
    t = s.to_arrow()
    for name in ["Per", "Cap", "Int", "Pmt", "Bal"]:
        chunk = t.column(name).chunk(0)
        assert chunk.buffers()[1].address == address(s.column(name))
    assert t.column("loan").chunk(0).indices.buffers()[1].address == address(s.column("loan"))
    assert s.to_numpy()["Cap"].ctypes.data == address(s.column("Cap"))
    pl = pytest.importorskip("polars")
    df = s.to_polars()
    assert df["Bal"].to_numpy().ctypes.data == bal.ctypes.data
    assert df["loan"].cast(pl.String).to_list()[:3] == ["L0"] * 3


def test_list_layout_shares_values_and_offsets():
    s = qc.schedules(small_book(), layout="list")
    arr = s.to_arrow().column("Int").chunk(0)
    assert arr.values.buffers()[1].address == address(s.column("Int"))
    assert arr.buffers()[1].address == address(s.offsets)
    offsets = np.asarray(s.offsets)
    assert offsets.dtype == np.int32 and offsets[-1] == len(np.asarray(s.column("Int")))
    first = arr[0].as_py()
    assert first == np.asarray(s.column("Int"))[offsets[0]:offsets[1]].tolist()


def test_data_outlives_source_and_result_objects():
    book = small_book()
    table = pa.table(book)
    s = qc.schedules(table)
    expected = np.array(np.asarray(s.column("Pmt")))
    view = s.to_arrow()
    polars_view = s.to_polars() if pytest.importorskip("polars") else None
    del s, table, book
    gc.collect()
    for _ in range(3):  # churn the allocator; freed memory would be reused
        qc.schedules(small_book(200))
    assert np.array_equal(view.column("Pmt").to_numpy(), expected)
    assert np.array_equal(polars_view["Pmt"].to_numpy(), expected)


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                       ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                       ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.c_void_p),
                       ("dictionary", ctypes.c_void_p),
                       ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
                       ("private_data", ctypes.c_void_p)]


def mapped(addr: int) -> bool:
    with open("/proc/self/maps") as f:
        for line in f:
            lo, hi = (int(x, 16) for x in line.split()[0].split("-"))
            if lo <= addr < hi:
                return True
    return False


def test_release_on_another_thread_without_the_lock_frees_the_memory():
    # Big enough that the columns are their own mappings, which leave the
    # address space, or go back to the page cache, when the last owner lets go.
    n = 3000
    book = {"amt": np.full(n, 1000.0), "rate": np.full(n, 0.01), "pers": np.full(n, 360),
            "int_freq": np.ones(n, dtype=np.int64), "cap_freq": np.ones(n, dtype=np.int64)}
    s = qc.schedules(book)
    bal = address(s.column("Bal"))
    columns = {address(s.column(name)) for name in ("Per", "Cap", "Int", "Pmt", "Bal")}
    _, array_capsule = s.__arrow_c_array__()
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    src = ArrowArray.from_address(get(array_capsule, b"arrow_array"))
    moved = ArrowArray()
    ctypes.memmove(ctypes.addressof(moved), ctypes.addressof(src), ctypes.sizeof(ArrowArray))
    src.release = ctypes.cast(None, type(src.release))  # the capsule no longer owns it
    del array_capsule, s
    gc.collect()
    assert mapped(bal), "the exported array still owns the columns"
    # A foreign-function call through ctypes runs without the interpreter lock.
    worker = threading.Thread(target=lambda: moved.release(ctypes.byref(moved)))
    worker.start()
    worker.join()
    assert not bool(moved.release)
    # Released pages are either unmapped or kept for the next call's columns
    # (a bounded cache); a leaked buffer would be neither.
    if mapped(bal):
        again = qc.schedules(book)
        assert address(again.column("Bal")) in columns, "the released columns were not given back"


def test_duckdb_reads_results_and_streams():
    duckdb = pytest.importorskip("duckdb")
    book = small_book()
    s = qc.schedules(book)
    con = duckdb.connect()
    got = con.sql("select loan, count(*), sum(Bal::double) from s group by loan order by loan").fetchall()
    offsets = np.asarray(s.offsets)
    bal = np.asarray(s.column("Bal")).astype(np.float64)
    expected = sorted((f"L{i}", int(offsets[i + 1] - offsets[i]), float(bal[offsets[i]:offsets[i + 1]].sum()))
                      for i in range(len(offsets) - 1))
    assert [(a, b) for a, b, _ in got] == [(a, b) for a, b, _ in expected]
    assert np.allclose([c for _, _, c in got], [c for _, _, c in expected], rtol=1e-12)
    stream = qc.stream_schedules(book, batch_rows=7)
    assert con.sql("select count(*) from stream").fetchall()[0][0] == len(bal)
    rel = con.sql("select 'd' || i::varchar as id, 100.0::double as amt, 0.05::double as rate, 12 as pers, "
                  "1 as int_freq, 1 as cap_freq from range(4) t(i)")
    assert qc.schedules(rel).num_rows == 4 * 13


def test_dataframes_as_input_give_the_same_columns():
    book = small_book()
    ref = qc.schedules(book)
    inputs = [pa.table(book), pa.record_batch(book)]
    pd = pytest.importorskip("pandas")
    inputs.append(pd.DataFrame(book))
    pl = pytest.importorskip("polars")
    inputs.append(pl.DataFrame(book))
    for loans in inputs:
        got = qc.schedules(loans)
        for c in ["Per", "Cap", "Int", "Pmt", "Bal"]:
            assert np.array_equal(np.asarray(got.column(c)).view(np.uint32), np.asarray(ref.column(c)).view(np.uint32))
    frame = ref.to_pandas()
    assert list(frame.columns) == ["loan", "Per", "Cap", "Int", "Pmt", "Bal"] and len(frame) == ref.num_rows


def test_stream_to_parquet_round_trips(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    book = small_book(300)
    stream = qc.stream_schedules(pa.table(book), batch_rows=64)
    reader = pa.RecordBatchReader.from_stream(stream)
    path = tmp_path / "s.parquet"
    with pq.ParquetWriter(path, reader.schema) as w:
        sizes = []
        for batch in reader:
            w.write_batch(batch)
            sizes.append(batch.num_rows)
    assert len(sizes) > 1 and max(sizes) <= 64  # long layout: batch_rows bounds output rows
    back = pq.read_table(path)
    ref = qc.schedules(book)
    assert np.array_equal(back.column("Bal").to_numpy(), np.asarray(ref.column("Bal")))
    assert back.column("loan").to_pylist()[:2] == ["L0", "L0"]
    with pytest.raises(RuntimeError, match="already consumed"):
        stream.__arrow_c_stream__()


@pytest.mark.parametrize("method, module, extra", [("to_polars", "polars", "polars"), ("to_pandas", "pandas", "pandas"),
                                                   ("to_arrow", "pyarrow", "columnar"), ("to_numpy", "numpy", "columnar")])
def test_conversions_name_the_extra_when_their_library_is_missing(monkeypatch, method, module, extra):
    s = qc.schedules(small_book(5))
    monkeypatch.setitem(sys.modules, module, None)  # makes the import fail
    with pytest.raises(ImportError, match=rf"quill_harbor\[{extra}\]"):
        getattr(s, method)()
