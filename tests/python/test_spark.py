"""The Spark layer on a real local[2] session: the single-machine results on
frames cut into known partitions (one of them empty, one of only refused
loans), ids of every kind, failures raised on the driver, threads per task."""

import datetime
import os
import shutil
import sys

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pytest.importorskip("pandas")
pytest.importorskip("pyspark", reason="pyspark is not installed: pip install 'quill_harbor[spark]'")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip("no Java runtime for Spark: install openjdk-17-jre-headless (scripts/common.sh does)",
                allow_module_level=True)

import quill_harbor_columnar as qc  # noqa: E402
from quill_harbor_columnar import spark as qs  # noqa: E402
from quill_harbor_columnar.tape.sample import sample_book  # noqa: E402

VALUES = ("Per", "Cap", "Int", "Pmt", "Bal")
SCENARIOS = [{"cpr": 0.08}, {"psa": 150, "cdr": 0.02, "severity": 0.35, "lag": 3}]
AS_OF = datetime.date(2025, 1, 31)


@pytest.fixture(scope="module")
def spark():
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    session = (SparkSession.builder.master("local[2]").appName("quill_harbor tests")
               .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
               .config("spark.sql.shuffle.partitions", "2").getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


@pytest.fixture(scope="module")
def book():
    """1200 loans, the refused ones gathered after the first 500, with ages."""
    t = pa.table(sample_book(1200, seed=11))
    failed = sorted({row[0] for row in qc.cashflows(t, errors="skip").errors})
    ok = sorted(set(range(t.num_rows)) - set(failed))
    t = t.take(ok[:500] + failed + ok[500:])
    age = np.random.default_rng(5).integers(0, 12, t.num_rows) % np.asarray(t.column("pers")).clip(1)
    return t.append_column("age", pa.array(age)), len(failed)


def cuts(book, parts):
    """Partition sizes: 7 parts hold an empty one and one of only refused loans."""
    t, failed = book
    n = t.num_rows
    if parts == 7:
        rest = n - 500 - failed
        return [250, 0, 250, failed, rest // 3, rest // 3, rest - 2 * (rest // 3)]
    return [n // parts] * (parts - 1) + [n - (parts - 1) * (n // parts)]


def labelled(book, ids):
    t = book[0]
    if ids == "integer":
        return t.set_column(0, "id", pa.array(np.arange(t.num_rows, dtype=np.int64) * 7 + 10_000))
    return t.drop_columns(["id"]) if ids == "missing" else t


def frame(spark, table, sizes):
    """``table`` as a Spark frame whose partition i holds the next sizes[i] rows."""
    from pyspark.sql.pandas.types import from_arrow_schema

    bounds = np.concatenate([[0], np.cumsum(sizes)]).tolist()

    def fill(batches):
        for batch in batches:
            for i in batch.column(0).to_pylist():
                yield from table.slice(bounds[i], bounds[i + 1] - bounds[i]).to_batches()

    return spark.range(len(sizes), numPartitions=len(sizes)).mapInArrow(fill, from_arrow_schema(table.schema))


def engine_columns(table):
    # The terms and the age: a schedule runs from a loan's age on, on every engine.
    return table.select(["amt", "rate", "pers", "int_freq", "cap_freq", "age"])


@pytest.mark.parametrize("ids, parts", [("text", 7), ("integer", 7), ("missing", 7), ("text", 1), ("missing", 3)])
def test_schedules_are_the_single_machine_bits(spark, book, ids, parts):
    table = labelled(book, ids)
    got = qs.schedules(frame(spark, table, cuts(book, parts)), errors="skip").toArrow()
    want = qc.schedules(engine_columns(table), errors="skip")
    assert got.column_names == ["loan", *VALUES]
    direct = want.to_numpy()
    for name in VALUES:
        assert got.schema.field(name).type == pa.float32()
        assert np.array_equal(np.asarray(got.column(name)).view(np.uint32), np.asarray(direct[name]).view(np.uint32))
    rows = np.repeat(np.arange(table.num_rows), np.diff(np.asarray(want.offsets)))
    labels = np.arange(table.num_rows) if ids == "missing" else table.column("id").to_numpy(zero_copy_only=False)
    assert got.column("loan").to_pylist() == labels[rows].tolist()


@pytest.mark.parametrize("parts", [1, 3, 7])
def test_totals_agree_with_one_machine_and_repeat_exactly(spark, book, parts):
    table = book[0]
    df = frame(spark, table, cuts(book, parts))
    got = qs.cashflows(df, errors="skip")
    want = qc.cashflows(table, errors="skip").to_pandas()
    assert dict(got.dtypes) == dict(want.dtypes)
    assert got[["period", "loans"]].equals(want[["period", "loans"]])
    for name in ("Cap", "Int", "Pmt", "Bal"):
        np.testing.assert_allclose(got[name], want[name], rtol=1e-12, atol=0)
    projected = qs.project(df, SCENARIOS, by="product", as_of=AS_OF, errors="skip")
    expected = qc.project(table, SCENARIOS, by="product", as_of=AS_OF, errors="skip").to_pandas()
    assert "other" in set(expected["product"])  # a segment whose loans all fail keeps its rows
    labels = ["scenario", "product", "period", "date"]
    assert dict(projected.dtypes) == dict(expected.dtypes)
    assert projected[labels].equals(expected[labels])
    for name in qs.MEASURES:
        np.testing.assert_allclose(projected[name], expected[name], rtol=1e-12, atol=0)
    if parts == 7:
        assert qs.cashflows(df, errors="skip").equals(got)
        assert qs.project(df, SCENARIOS, by="product", as_of=AS_OF, errors="skip").equals(projected)


@pytest.mark.parametrize("ids", ["text", "integer", "missing"])
def test_raise_arrives_as_loan_error_and_skip_lists_failures(spark, book, ids):
    table = labelled(book, ids)
    df = frame(spark, table, cuts(book, 7))
    found = qc.project(engine_columns(table), {}, errors="skip").errors
    first = found.exceptions()[0]
    label = None if ids == "missing" else str(table.column("id")[first.index].as_py())
    want = (first.index, label, first.code, first.field, first.value)
    assert first.index == 500  # the refused block, after three partitions (one empty)
    for call in (qs.schedules, qs.cashflows, lambda d: qs.project(d, SCENARIOS, by="product"),
                 lambda d: qs.value(d, SCENARIOS, discount_rate=0.05),
                 lambda d: qs.value(d, SCENARIOS, discount_rate=0.05, per_loan=True)):
        with pytest.raises(qc.LoanError) as raised:
            call(df)
        assert type(raised.value) is qc.LoanError
        assert (raised.value.index, raised.value.id, raised.value.code, raised.value.field,
                raised.value.value) == want
    listed = qs.failures(df, ages=True).toArrow().sort_by("index")
    ids_of = [None if ids == "missing" else str(table.column("id")[i].as_py()) for i, *_ in found]
    assert listed.to_pylist() == [{"index": i, "id": label, "code": c, "field": f, "reason": r}
                                  for (i, _, c, f, r), label in zip(found, ids_of, strict=True)]


@pytest.mark.parametrize("parts", [1, 3, 7])
def test_partitions_have_the_bits_of_the_partial_path(spark, book, parts):
    # One machine's partial path over the same cut: the same bits in every
    # projection and value column (with one part, those of project() and value()).
    from quill_harbor_columnar.projection.partials import Call, finish, partial, tree

    table, sizes = book[0], cuts(book, parts)
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]]).tolist()
    df = frame(spark, table, sizes)
    for operation, keywords, columns in (("project", {"as_of": AS_OF}, qs.MEASURES),
                                         ("value", {"discount_rate": 0.06}, qs.VALUES)):
        keywords = {"by": "product", "errors": "skip", **keywords}
        call = Call.of(operation, SCENARIOS, **keywords)
        want = finish(call, tree([partial(call, table.slice(b, n), offset=b) for b, n in zip(starts, sizes)]))
        if parts == 1:
            assert want.to_arrow().equals(getattr(qc, operation)(table, SCENARIOS, **keywords).to_arrow())
        got, want = getattr(qs, operation)(df, SCENARIOS, **keywords), want.to_pandas()
        assert got["product"].tolist() == want["product"].tolist()
        for name in columns:
            assert np.array_equal(got[name].to_numpy().view(np.uint64), want[name].to_numpy().view(np.uint64)), name


def shaped(table):
    """``table`` with interest-only periods, rate steps, standing balances and
    a fee: columns each call must carry to its tasks."""
    n = table.num_rows
    rng = np.random.default_rng(8)
    pers = np.asarray(table.column("pers"))
    step_type = pa.list_(pa.struct([("per", pa.int32()), ("rate", pa.float64())]))
    steps = pa.array([[{"per": int(p // 2), "rate": 0.004}] if k and p > 4 else [] for p, k in
                      zip(pers, rng.random(n) < 0.2)], step_type)
    return (table.append_column("io_pers", pa.array(np.where(rng.random(n) < 0.3, pers // 4, 0)))
            .append_column("rate_steps", steps)
            .append_column("balance", pa.array(np.asarray(table.column("amt")) * rng.uniform(0.5, 1.0, n)))
            .append_column("fee", pa.array(np.full(n, 0.0002))))


@pytest.mark.parametrize("ids, parts", [("text", 7), ("missing", 3)])
def test_shaped_standing_loans_and_their_values_agree_with_one_machine(spark, book, ids, parts):
    pd = pytest.importorskip("pandas")
    table = shaped(labelled(book, ids))
    df = frame(spark, table, cuts(book, parts))
    got = qs.schedules(df, errors="skip").toArrow()
    want = qc.schedules(table.drop_columns([c for c in ("id", "product") if c in table.column_names]),
                        errors="skip").to_numpy()
    for name in VALUES:
        assert np.array_equal(np.asarray(got.column(name)).view(np.uint32), np.asarray(want[name]).view(np.uint32))
    args = {"discount_rate": 0.06, "errors": "skip"}
    whole = qs.value(df, SCENARIOS, by="product", **args)
    expected = qc.value(table, SCENARIOS, by="product", **args).to_pandas()
    assert dict(whole.dtypes) == dict(expected.dtypes)
    assert whole[["scenario", "product"]].equals(expected[["scenario", "product"]])
    for name in qs.VALUES:
        np.testing.assert_allclose(whole[name], expected[name], rtol=1e-12, atol=0)
    # Each loan is valued alone, on whichever task holds it: the same bits.
    per_loan = qs.value(df, SCENARIOS, per_loan=True, **args)
    pd.testing.assert_frame_equal(per_loan, qc.value(table, SCENARIOS, per_loan=True, **args).to_pandas())


def test_strict_reaches_every_task(spark):
    table = pa.table({"id": ["p", "q"], "amt": [1200.0, 600.0], "rate": [0.0, 0.0], "pers": [12, 6],
                      "int_freq": [1, 1], "cap_freq": [1, 1]})
    df = frame(spark, table, [1, 1])
    with pytest.raises(qc.LoanError) as raised:
        qs.value(df, {}, discount_rate=0.0)
    assert raised.value.code == "zero_rate"
    assert qs.value(df, {}, discount_rate=0.0, strict=False)["pv"].tolist() == pytest.approx([1800.0], rel=1e-12)
    per_loan = qs.value(df, {}, discount_rate=0.0, per_loan=True, strict=False)
    assert per_loan["pv"].tolist() == pytest.approx([1200.0, 600.0], rel=1e-12)
    assert qs.cashflows(df, strict=False).equals(qc.cashflows(table, strict=False).to_pandas())
    assert qs.schedules(df, strict=False).count() == np.asarray(qc.schedules(table, strict=False).offsets)[-1] > 0
    assert qs.failures(df).count() == 2 and qs.failures(df, strict=False).count() == 0


def engine_threads_while(call):
    """Runs ``call`` and samples, every few milliseconds, how many threads
    of each of Spark's Python workers other than its main thread are
    running or runnable: the most of any worker, per sample."""
    import threading

    def workers():
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if b"pyspark.daemon" in f.read():
                        found.append(pid)
            except OSError:
                pass
        return found

    samples, done = [], threading.Event()

    def sample():
        pids = workers()
        while not done.is_set():
            most = 0
            for pid in pids:
                try:
                    tids = [t for t in os.listdir(f"/proc/{pid}/task") if t != pid]
                    states = []
                    for tid in tids:
                        with open(f"/proc/{pid}/task/{tid}/stat") as f:
                            states.append(f.read().rsplit(")", 1)[1].split()[0])
                    most = max(most, states.count("R"))
                except OSError:
                    continue
            samples.append(most)
            done.wait(0.003)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        call()
    finally:
        done.set()
        sampler.join()
    return np.array(samples)


def test_a_task_computes_on_spark_task_cpus_pool_threads(spark):
    # spark.task.cpus is 1: each task's engine runs on one pool thread at a
    # time in its forked worker; asked for two, it runs on two.
    assert spark.sparkContext.getConf().get("spark.task.cpus", "1") == "1"
    n = 40_000  # long loans, so that the engine's work dwarfs the rest
    rng = np.random.default_rng(3)
    big = pa.table({"amt": rng.uniform(1e4, 1e6, n), "rate": rng.uniform(0.001, 0.01, n),
                    "pers": np.full(n, 720), "int_freq": np.ones(n, np.int64), "cap_freq": np.ones(n, np.int64)})
    df = frame(spark, big, [n // 2, n // 2])
    qs.cashflows(df, errors="skip")  # the workers started, their pools built
    default = engine_threads_while(lambda: qs.cashflows(df, errors="skip"))
    two = engine_threads_while(lambda: qs.cashflows(df, errors="skip", threads=2))
    # Of the samples that caught the engine at work, the share with two or
    # more threads at once (one lane's work passes from thread to thread
    # between blocks, so one lane is not quite 0).
    share = [(s >= 2).sum() / max((s >= 1).sum(), 1) for s in (default, two)]
    assert (default >= 1).sum() >= 10 and (two >= 1).sum() >= 10, (np.bincount(default), np.bincount(two))
    assert share[0] < 0.4 < 0.6 < share[1], (np.bincount(default), np.bincount(two))


def test_history_performance_equals_one_machine(spark, tmp_path):
    from quill_harbor_columnar.history import write_sample_history

    write_sample_history(str(tmp_path), 1500, 30, "fannie-mae", cpr=0.12, cdr=0.03, severity=0.4, seed=7)
    got = qs.performance(tmp_path, "fannie-mae", spark=spark, by="vintage", window=6, batch_rows=5000)
    want = qc.performance(qc.history(tmp_path, "fannie-mae", batch_rows=5000), by="vintage", window=6)
    pd = pytest.importorskip("pandas")
    pd.testing.assert_frame_equal(got.to_pandas(), want.to_pandas(), check_exact=True)
