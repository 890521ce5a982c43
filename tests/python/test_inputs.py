"""The one input coercer, as every operation meets it: a column named twice is refused in every form,
text held as a dictionary reads as its strings, and the package shows only its public names."""

import ast
import graphlib
import pathlib

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import quill_harbor_columnar as qc  # noqa: E402

TERMS = {"amt": [1000.0, 2000.0], "rate": [0.01, 0.01], "pers": [12, 24], "int_freq": [1, 1], "cap_freq": [1, 1]}
TWICE = pa.table([*map(pa.array, TERMS.values()), pa.array([5.0, 6.0])], names=[*TERMS, "amt"])


def parquet_path(tmp_path):
    pq.write_table(TWICE, tmp_path / "twice.parquet")
    return tmp_path / "twice.parquet"


FORMS = {
    "table": lambda tmp_path: TWICE,
    "reader": lambda tmp_path: pa.RecordBatchReader.from_batches(TWICE.schema, TWICE.to_batches()),
    "pandas": lambda tmp_path: pytest.importorskip("pandas").DataFrame(
        list(zip(*(c.to_pylist() for c in TWICE.columns))), columns=TWICE.column_names),
}
CALLS = {
    "schedules": qc.schedules,
    "cashflows": qc.cashflows,
    "stream_schedules": lambda b: qc.stream_schedules(b).to_reader().read_all(),
    "book": qc.book,
    "project": lambda b: qc.project(b, {}),
    "project per loan": lambda b: qc.project(b, {}, per_loan=True).to_reader().read_all(),
}


@pytest.mark.parametrize("form", list(FORMS))
@pytest.mark.parametrize("call", list(CALLS))
def test_a_column_named_twice_is_refused(tmp_path, form, call):
    with pytest.raises(ValueError, match="'amt'"):
        CALLS[call](FORMS[form](tmp_path))


def test_a_parquet_tape_naming_a_column_twice_is_refused(tmp_path):
    with pytest.raises(ValueError, match="'amt' twice"):
        qc.book(parquet_path(tmp_path))


def test_polars_categoricals_read_as_their_strings():
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame({**TERMS, "id": ["x", "y"], "product": ["car", "home"]}).with_columns(
        pl.col("id").cast(pl.Categorical), pl.col("product").cast(pl.Categorical))
    assert qc.book(frame).column("id").to_pylist() == ["x", "y"]
    summary = qc.project(frame, {}, by="product").summary()
    assert summary["product"].tolist() == ["car", "home"]
    assert summary["start_balance"].tolist() == [1000.0, 2000.0]


PACKAGE = pathlib.Path(qc.__file__).parent
SUBMODULES = {"cli", "dask", "errors", "history", "io", "plots", "projection", "scale", "scheduling", "spark", "tape"}


def test_the_package_shows_its_public_names_only():
    assert {name for name in dir(qc) if not name.startswith("_")} <= set(qc.__all__) | SUBMODULES


def test_imports_are_at_module_level_and_run_one_way():
    graph: dict[str, set[str]] = {}
    for path in PACKAGE.rglob("*.py"):
        parts = list(path.relative_to(PACKAGE).with_suffix("").parts)
        package = parts[:-1]
        module = ".".join(package if parts[-1] == "__init__" else parts)
        tree = ast.parse(path.read_text())
        top = {id(node) for node in tree.body}
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.level:
                assert id(node) in top, f"{module} imports {node.module} inside a function (line {node.lineno})"
                base = package[: len(package) - node.level + 1]
                for name in [node.module] if node.module else [a.name for a in node.names]:
                    graph.setdefault(module, set()).add(".".join([*base, name]))
    graphlib.TopologicalSorter(graph).prepare()  # raises CycleError on a circle
