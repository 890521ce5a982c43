"""Partial sums: one book cut into the same partitions gives the same bits on
one machine's partial path and on Dask (Spark: test_spark.py); one partition
gives the bits of project() and value(); and the cluster adapters spell no
formula."""

import ast
import datetime
import pathlib

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

import quill_harbor_columnar as qc  # noqa: E402
from quill_harbor_columnar._internal.names import MEASURES, SUMMED, TOTALS, VALUES  # noqa: E402
from quill_harbor_columnar.projection.partials import Call, finish, partial, tree  # noqa: E402
from quill_harbor_columnar.tape.sample import sample_book  # noqa: E402

SCENARIOS = [{"cpr": 0.08}, {"psa": 150, "cdr": 0.03, "severity": 0.35, "lag": 3}]
CALLS = {
    "project": ("project", {"by": "product", "as_of": datetime.date(2025, 1, 31), "errors": "skip"}),
    "value": ("value", {"by": "product", "discount_rate": 0.06, "errors": "skip"}),
}
SCALE = pathlib.Path(qc.__file__).parent / "scale"


@pytest.fixture(scope="module")
def book():
    """900 loans with ages, balances and fees, the refused ones gathered after the first 300."""
    t = pa.table(sample_book(900, seed=21))
    failed = sorted({row[0] for row in qc.cashflows(t, errors="skip").errors})
    ok = sorted(set(range(t.num_rows)) - set(failed))
    t = t.take(ok[:300] + failed + ok[300:])
    rng = np.random.default_rng(2)
    pers = np.asarray(t.column("pers")).clip(1)
    return (t.append_column("age", pa.array(rng.integers(0, 12, t.num_rows) % pers))
            .append_column("balance", pa.array(np.asarray(t.column("amt")) * rng.uniform(0.5, 1.0, t.num_rows)))
            .append_column("fee", pa.array(np.full(t.num_rows, 0.0002)))), len(failed)


def cuts(book, parts):
    """Partition sizes: 7 parts hold an empty one and one of only refused loans."""
    t, failed = book
    if parts == 7:
        rest = t.num_rows - 300 - failed
        return [150, 0, 150, failed, rest // 3, rest // 3, rest - 2 * (rest // 3)]
    n = t.num_rows
    return [n // parts] * (parts - 1) + [n - (parts - 1) * (n // parts)]


def local(table, sizes, operation, keywords):
    call = Call.of(operation, SCENARIOS, **keywords)
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]]).tolist()
    return finish(call, tree([partial(call, table.slice(b, n), offset=b) for b, n in zip(starts, sizes)]))


def same_bits(got, want, names):
    for name in names:
        a, b = np.asarray(got[name], dtype=np.float64), np.asarray(want[name], dtype=np.float64)
        assert np.array_equal(a.view(np.uint64), b.view(np.uint64)), name


COLUMNS = {"project": MEASURES, "value": VALUES}


@pytest.mark.parametrize("parts", [1, 3, 7])
@pytest.mark.parametrize("what", ["project", "value"])
def test_one_machine_partial_path(book, parts, what):
    operation, keywords = CALLS[what]
    got = local(book[0], cuts(book, parts), operation, keywords)
    whole = getattr(qc, operation)(book[0], SCENARIOS, **keywords)
    assert got.to_arrow().schema == whole.to_arrow().schema
    if parts == 1:
        assert got.to_arrow().equals(whole.to_arrow())
        assert [tuple(e) for e in got.errors] == [tuple(e) for e in whole.errors]
    else:  # the same failures at their rows in the book, the sums only grouped otherwise
        assert [tuple(e) for e in got.errors] == [tuple(e) for e in whole.errors]
        for name in COLUMNS[what]:
            np.testing.assert_allclose(got.to_pandas()[name], whole.to_pandas()[name], rtol=1e-9, atol=1e-6)


@pytest.mark.parametrize("parts", [1, 3, 7])
def test_dask_has_the_bits_of_the_partial_path(book, parts):
    dask = pytest.importorskip("dask")
    dd = pytest.importorskip("dask.dataframe")
    from quill_harbor_columnar import dask as qhd

    frame = book[0].to_pandas()
    bounds = np.concatenate([[0], np.cumsum(cuts(book, parts))]).tolist()
    ddf = dd.from_delayed([dask.delayed(frame.iloc[b:e]) for b, e in zip(bounds[:-1], bounds[1:])],
                          meta=frame.iloc[:0])
    for what, (operation, keywords) in CALLS.items():
        got = getattr(qhd, operation)(ddf, SCENARIOS, **keywords).compute(scheduler="sync")
        want = local(book[0], cuts(book, parts), operation, keywords).to_pandas()
        assert got["product"].tolist() == want["product"].tolist()
        same_bits(got, want, COLUMNS[what])


def formulas(source):
    """Arithmetic in ``source`` on a measure: a column named as one, or a
    name bound over the tuples of their names."""
    measures = {*MEASURES, *TOTALS, *VALUES, "principal"}
    tuples = {"MEASURES", "SUMMED", "TOTALS", "VALUES"}
    nodes = list(ast.walk(ast.parse(source)))
    bound = {t.id for n in nodes if isinstance(n, (ast.For, ast.comprehension))
             and any(isinstance(x, ast.Name) and x.id in tuples for x in ast.walk(n.iter))
             for t in ast.walk(n.target) if isinstance(t, ast.Name)}
    found = []
    for node in nodes:
        if isinstance(node, (ast.BinOp, ast.AugAssign)) or (
            isinstance(node, ast.Call) and getattr(node.func, "attr", None) in ("add", "sum", "fsum", "at")
        ):
            for leaf in ast.walk(node):
                if (isinstance(leaf, ast.Constant) and leaf.value in measures) or (
                    isinstance(leaf, ast.Name) and leaf.id in tuples | bound
                ):
                    found.append(f"line {node.lineno}: {ast.unparse(node)}")
                    break
    return found


def test_cluster_adapters_only_move_partials():
    # The check finds a formula when there is one.
    assert formulas('f["cashflow"] = f["scheduled_principal"] + f["recovery"]')
    assert formulas("for m in SUMMED:\n    acc[m][cell] += values[m][rows]")
    assert formulas("before = np.cumsum(rows) - rows") == []
    lines = 0
    for path in sorted(SCALE.glob("*.py")):
        source = path.read_text()
        lines += sum(1 for line in source.splitlines() if line.strip())
        assert formulas(source) == [], path.name
        tree_ = ast.parse(source)
        imported = {n.module for n in ast.walk(tree_) if isinstance(n, ast.ImportFrom) and n.module}
        assert {m for m in imported if "projection" in m} <= {"projection.partials"}, path.name
    assert lines <= 700
