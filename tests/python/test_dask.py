"""The Dask layer on a local cluster: schema, exactness, determinism, pickling."""


import numpy as np
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

import quill_harbor_columnar as qhc  # noqa: E402
from quill_harbor_columnar import dask as qhd  # noqa: E402
from quill_harbor_columnar.tape.sample import sample_book  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def book():
    return pd.DataFrame(sample_book(3000, seed=11))


def test_schedules_meta_is_the_computed_schema(client, book):
    ddf = dd.from_pandas(book, npartitions=4)
    lazy = qhd.schedules(ddf, errors="skip")
    result = lazy.compute()
    # A wrong meta raises nothing in Dask: compare it with what came back.
    assert list(lazy._meta.columns) == list(result.columns) == ["loan", "Per", "Cap", "Int", "Pmt", "Bal"]
    assert dict(lazy._meta.dtypes) == dict(result.dtypes)
    assert all(result[c].dtype == np.float32 for c in ("Per", "Cap", "Int", "Pmt", "Bal"))


def test_schedules_are_the_single_machine_bits(client, book):
    result = qhd.schedules(dd.from_pandas(book, npartitions=3), errors="skip").compute()
    direct = qhc.schedules(pa.Table.from_pandas(book), errors="skip").to_numpy()
    for name in ("Per", "Cap", "Int", "Pmt", "Bal"):
        assert np.array_equal(result[name].to_numpy().view(np.uint32), np.asarray(direct[name]).view(np.uint32))
    failed = {row[0] for row in qhc.schedules(pa.Table.from_pandas(book), errors="skip").errors}
    kept = [i for i in range(len(book)) if i not in failed]
    assert list(dict.fromkeys(result["loan"])) == book["id"].iloc[kept].tolist()


def test_cashflows_agree_with_one_machine_and_repeat_exactly(client, book):
    ddf = dd.from_pandas(book, npartitions=5)
    first = qhd.cashflows(ddf, errors="skip").compute()
    second = qhd.cashflows(ddf, errors="skip").compute()
    assert first.equals(second)
    single = qhc.cashflows(pa.Table.from_pandas(book), errors="skip").to_numpy()
    assert np.array_equal(first["period"].to_numpy(), np.asarray(single["period"]))
    for name in ("Cap", "Int", "Pmt", "Bal"):
        np.testing.assert_allclose(first[name].to_numpy(), np.asarray(single[name]), rtol=1e-12, atol=0)
    assert first["loans"].to_numpy().tolist() == np.asarray(single["loans"]).tolist()


def test_results_cross_process_boundaries():
    book = pd.DataFrame(sample_book(600, seed=3))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster):
        ddf = dd.from_pandas(book, npartitions=2)
        totals = qhd.cashflows(ddf, errors="skip").compute()
        rows = qhd.schedules(ddf, errors="skip").compute()
    single = qhc.cashflows(pa.Table.from_pandas(book), errors="skip").to_numpy()
    np.testing.assert_allclose(totals["Int"].to_numpy(), np.asarray(single["Int"]), rtol=1e-12)
    assert len(rows) == int(np.asarray(single["loans"]).sum())


@pytest.mark.parametrize("label", ["text", "int"])
def test_without_an_id_the_loan_is_the_index_label(client, book, label):
    # A text index once failed with "invalid literal for int()".
    index = book["id"] if label == "text" else pd.Index(range(5000, 5000 + len(book)))
    frame = book.drop(columns="id").set_axis(pd.Index(index, name="ref"))
    ddf = dd.from_pandas(frame, npartitions=3, sort=False)
    lazy = qhd.schedules(ddf, errors="skip")
    result = lazy.compute()
    assert result["loan"].dtype == lazy._meta["loan"].dtype == ddf.index.dtype
    failed = {i for i, *_ in qhc.schedules(pa.Table.from_pandas(book), errors="skip").errors}
    kept = [i for i in range(len(book)) if i not in failed]
    assert list(dict.fromkeys(result["loan"])) == frame.index[kept].tolist()


def test_a_large_frame_in_one_partition_warns(client, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    big = pd.DataFrame(sample_book(qhd.ONE_PARTITION_ROWS, seed=4))
    with pytest.warns(qhd.PartitionWarning, match="split_row_groups"):
        qhd.cashflows(dd.from_pandas(big, npartitions=1), errors="skip")
    pq.write_table(pa.Table.from_pandas(big, preserve_index=False), tmp_path / "one.parquet",
                           row_group_size=50_000)
    with pytest.warns(qhd.PartitionWarning):
        qhd.schedules(dd.read_parquet(tmp_path / "one.parquet"), errors="skip")
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error", qhd.PartitionWarning)
        split = dd.read_parquet(tmp_path / "one.parquet", split_row_groups=True)
        assert split.npartitions == 4
        qhd.schedules(split, errors="skip")
        qhd.cashflows(dd.from_pandas(big.head(1000), npartitions=1), errors="skip")


def test_engine_threads_follow_the_worker(client):
    assert qhd._threads_here(None) is None  # outside a worker: the pool's own size
    assert qhd._threads_here(3) == 3
    assert client.submit(qhd._threads_here, None, pure=False).result() == 1  # one thread per worker here



@pytest.mark.parametrize("call", [qhd.schedules, qhd.cashflows, lambda ddf: qhd.project(ddf, {"cpr": 0.05}),
                                  lambda ddf: qhd.value(ddf, {}, discount_rate=0.05),
                                  lambda ddf: qhd.value(ddf, {}, discount_rate=0.05, per_loan=True)],
                         ids=["schedules", "cashflows", "project", "value", "value_per_loan"])
@pytest.mark.parametrize("known_lengths", [True, False])
def test_a_refused_loan_is_named_by_its_row_in_the_frame(client, call, known_lengths):
    frame = pd.DataFrame({"id": [f"L{i}" for i in range(200)], "amt": 1000.0, "rate": 0.01, "pers": 12,
                          "int_freq": 1, "cap_freq": 1})
    frame.loc[77, "amt"] = np.nan
    ddf = dd.from_pandas(frame, npartitions=4, sort=False)  # row 77 is row 27 of the second partition
    with pytest.raises(qhc.LoanError) as caught:
        call(ddf if known_lengths else ddf[ddf["rate"] > 0]).compute()  # a filter hides the lengths
    assert (caught.value.index, caught.value.id, caught.value.code) == (77, "L77", "null")


def test_projection_of_a_parquet_categorical_far_ahead_is_the_single_machine_one(client, tmp_path):
    # dd.read_parquet leaves categories unknown; 2240 plus 30 years is past datetime64[ns].
    frame = pd.DataFrame(sample_book(2000, seed=5)).assign(pers=lambda f: f["pers"].clip(upper=360))
    frame.assign(product=pd.Categorical(frame["product"])).to_parquet(tmp_path / "b.parquet", row_group_size=500)
    ddf = dd.read_parquet(tmp_path / "b.parquet", split_row_groups=True)
    args = ({"cpr": 0.05},), {"by": "product", "as_of": "2240-01-31", "errors": "skip"}
    got = qhd.project(ddf, *args[0], **args[1]).compute()
    want = qhc.project(pa.Table.from_pandas(frame), *args[0], **args[1]).to_pandas()
    assert got["product"].astype(str).tolist() == want["product"].tolist() and want["product"].notna().all()
    assert got["date"].dt.date.tolist() == want["date"].tolist() and want["date"].max().year == 2270
