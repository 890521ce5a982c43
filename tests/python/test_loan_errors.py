"""Failures as codes in Python: explanations, LoanError, ErrorTable, and the
extra an optional import names."""

import pickle
import sys

import pytest

import quill_harbor_columnar as qc
from quill_harbor_columnar import _native, errors
from quill_harbor_columnar._internal import names
from quill_harbor_columnar._internal.deps import require
from quill_harbor_columnar.errors import CODES, explain
from quill_harbor_columnar.tape import texts

TERMS = (1000.0, 0.0, 12, 1, 12)


@pytest.mark.parametrize("code", CODES)
def test_every_code_is_explained_and_its_error_pickles(code):
    # An unexplained code would get the words every unknown code gets.
    assert explain(code) != explain("no_such_code").replace("no_such_code", code)
    e = qc.LoanError(7, "L7", code, "rate", "0.0x", "engine text", TERMS)
    back = pickle.loads(pickle.dumps(e))
    assert type(back) is qc.LoanError and isinstance(back, ValueError)
    got = (back.index, back.id, back.code, back.field, back.value, back.reason, back.terms)
    assert got == (7, "L7", code, "rate", "0.0x", "engine text", TERMS)
    assert str(back) == str(e)
    for part in ("row 7", "'L7'", "column rate", "'0.0x'", explain(code, "rate", TERMS)):
        assert part in str(e), (part, str(e))


def test_codes_have_distinct_explanations():
    assert len({explain(c) for c in CODES}) == len(CODES)


@pytest.mark.parametrize("where, spelt, native", [
    ("codes LoanError explains", errors._WORDS, _native.FAILURE_CODES),
    ("codes the tape reader explains", texts.REASONS, _native.FAILURE_CODES),
    ("columns a failure blames", (*names.FIELDS, *names.SHAPE, names.AGE, *names.STANDING), _native.FAILURE_FIELDS),
])
def test_python_spells_only_the_native_names(where, spelt, native):
    # Python reads codes and fields by name: one it spells that the extension
    # does not define would never match a failure.
    assert set(spelt) <= set(native), (where, sorted(set(spelt) - set(native)))


def test_error_table_from_rows():
    codes = ["zero_rate", "parse_float", "zero_rate", "no_periods", "zero_rate", "null", "parse_float"]
    rows = [(i, f"L{i}", c, "rate" if c.startswith("parse") else None, "x" if c.startswith("parse") else None,
             "why", None) for i, c in enumerate(codes)]
    table = qc.ErrorTable.from_rows(rows)
    assert len(table) == 7
    assert list(table)[1] == (1, "L1", "parse_float", "rate", "why")
    assert table.counts() == {"zero_rate": 3, "parse_float": 2, "no_periods": 1, "null": 1}
    assert list(table.counts()) == ["zero_rate", "parse_float", "no_periods", "null"]
    text = repr(table)
    assert "7 failed rows" in text and "'L4'" in text and "'L5'" not in text and "2 more" in text
    assert "zero_rate 3, parse_float 2, no_periods 1, null 1" in text
    (e,) = [e for e in table.exceptions() if e.index == 1]
    assert (e.code, e.field, e.value) == ("parse_float", "rate", "x")
    pa = pytest.importorskip("pyarrow")
    arrow = pa.table(table)
    assert arrow.column_names == ["index", "id", "code", "field", "reason"]
    assert arrow.column("code").to_pylist() == codes
    assert arrow.column("field").null_count == 5 and arrow.schema.field("index").type == pa.int64()
    with pytest.raises(ValueError, match="unknown failure code"):
        qc.ErrorTable.from_rows([(0, None, "no_such_code", None, None, "", None)])
    with pytest.raises(ValueError, match="7 items"):
        qc.ErrorTable.from_rows([(0, None, "null", None, "")])


# The conversions' own libraries are covered with the conversions.
@pytest.mark.parametrize("module, extra", [
    ("pyarrow.parquet", "columnar"), ("matplotlib.pyplot", "plot"), ("dask.dataframe", "dask"), ("distributed", "dask"),
])
def test_a_missing_library_names_its_extra(monkeypatch, module, extra):
    for name in {module, module.partition(".")[0]}:
        monkeypatch.setitem(sys.modules, name, None)  # makes the import fail
    with pytest.raises(ImportError, match=rf"to_x\(\) needs {module}; .*pip install 'quill_harbor\[{extra}\]'"):
        require(module, "to_x()")
