"""The quill-harbor command, run as a user runs it: in a subprocess."""

import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("pyarrow.csv")
np = pytest.importorskip("numpy")

import quill_harbor  # noqa: E402
import quill_harbor_columnar as qhc  # noqa: E402


def cli(*args, timeout=300):
    return subprocess.run(
        [sys.executable, "-m", "quill_harbor_columnar.cli", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def assert_one_line_error(proc, *fragments):
    assert proc.returncode == 2, (proc.returncode, proc.stdout, proc.stderr)
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith("quill-harbor: error: ")
    assert "Traceback" not in proc.stderr
    for fragment in fragments:
        assert fragment in lines[0], (fragment, lines[0])


@pytest.mark.parametrize("command", [[], ["sample"], ["schedules"], ["cashflows"]])
def test_every_command_has_help(command):
    proc = cli(*command, "--help")
    assert proc.returncode == 0, proc.stderr
    assert "usage: quill-harbor" in proc.stdout


def test_sample_is_deterministic_and_mixed(tmp_path):
    a, b, c = tmp_path / "a.parquet", tmp_path / "b.csv", tmp_path / "c.parquet"
    assert cli("sample", "--loans", 4000, "-o", a).returncode == 0
    assert cli("sample", "--loans", 4000, "-o", b).returncode == 0
    assert cli("sample", "--loans", 4000, "--seed", 7, "-o", c).returncode == 0
    ta = pq.read_table(a)
    tb = pa.csv.read_csv(b)
    assert ta.column("id").to_pylist() == tb.column("id").to_pylist()
    for name in ("amt", "rate", "pers", "int_freq", "cap_freq"):
        assert ta.column(name).to_pylist() == tb.column(name).to_pylist()
    assert ta.num_rows == 4000 and not ta.equals(pq.read_table(c))
    ids = ta.column("id").to_pylist()
    kinds = {i[:3] for i in ids}
    assert {"MTG", "CAR", "BIZ", "ODD"} <= kinds
    freq = np.asarray(ta.column("int_freq"))
    assert set(np.unique(freq)) == {1, 3}  # monthly and quarterly
    failed = qhc.schedules(ta, errors="skip").errors
    assert 0 < len(failed) < 200  # a few refused shapes, not many


def test_schedules_stream_to_parquet_equals_the_library(tmp_path):
    book = tmp_path / "book.csv"
    out = tmp_path / "out.parquet"
    assert cli("sample", "--loans", 3000, "-o", book).returncode == 0
    proc = cli("schedules", book, "-o", out, "--errors", "skip", "--batch-rows", 500, "--threads", 2)
    assert proc.returncode == 0, proc.stderr
    for row in ("loans", "rows written", "failed loans", "elapsed", "loans/s", "file size"):
        assert row in proc.stdout
    written = pq.read_table(out)
    expected = qhc.schedules(pa.csv.read_csv(book, convert_options=pa.csv.ConvertOptions(
        column_types={c: pa.string() for c in ("id", "amt", "rate", "pers", "int_freq", "cap_freq")})),
        errors="skip").to_arrow()
    assert written.num_rows == expected.num_rows
    for name in ("Per", "Cap", "Int", "Pmt", "Bal"):
        assert np.array_equal(np.asarray(written.column(name)).view(np.uint32),
                              np.asarray(expected.column(name)).view(np.uint32))
    assert f"{written.num_rows:,}" in proc.stdout


def test_cashflows_csv_plot_and_summary(tmp_path):
    book = tmp_path / "book.parquet"
    assert cli("sample", "--loans", 2000, "-o", book).returncode == 0
    proc = cli("cashflows", book, "-o", tmp_path / "cf.csv", "--plot", tmp_path / "cf.png")
    assert proc.returncode == 0, proc.stderr
    for row in ("total interest", "weighted average life", "peak payment period"):
        assert row in proc.stdout
    table = pa.csv.read_csv(tmp_path / "cf.csv")
    direct = qhc.cashflows(pq.read_table(book), errors="skip").to_arrow()
    assert table.column("Int").to_pylist() == direct.column("Int").to_pylist()
    assert (tmp_path / "cf.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_bad_row_is_one_line_with_file_row_and_column(tmp_path):
    book = tmp_path / "bad.csv"
    book.write_text(
        "id,amt,rate,pers,int_freq,cap_freq\n"
        "a,1000,0.01,12,1,1\n"
        "b,1000,0.01,12,1,1\n"
        "c,1000,zero,12,1,1\n"
    )
    proc = cli("schedules", book, "-o", tmp_path / "out.parquet")
    assert_one_line_error(proc, str(book), "row 3", "column rate")
    assert not (tmp_path / "out.parquet").exists()


def test_an_engine_failure_names_the_loan_shape(tmp_path):
    book = tmp_path / "bullet.csv"
    book.write_text("id,amt,rate,pers,int_freq,cap_freq\nok,1000,0.01,12,1,1\nbullet,1000,0.01,12,1,12\n")
    proc = cli("schedules", book, "-o", tmp_path / "out.parquet")
    assert_one_line_error(proc, str(book), "row 2", "bullet", "cap_freq")


@pytest.mark.parametrize(
    "content, fragment",
    [("", "empty"), ("id,amt,rate,pers,int_freq\n", "missing column 'cap_freq'")],
)
def test_empty_or_headless_input(tmp_path, content, fragment):
    book = tmp_path / "book.csv"
    book.write_text(content)
    assert_one_line_error(cli("cashflows", book, "-o", tmp_path / "cf.csv"), str(book), fragment)


def test_header_only_book_is_an_empty_result(tmp_path):
    book = tmp_path / "book.csv"
    book.write_text("id,amt,rate,pers,int_freq,cap_freq\n")
    proc = cli("schedules", book, "-o", tmp_path / "out.parquet")
    assert proc.returncode == 0, proc.stderr
    assert pq.read_table(tmp_path / "out.parquet").num_rows == 0


def test_missing_file(tmp_path):
    assert_one_line_error(cli("schedules", tmp_path / "nope.csv", "-o", tmp_path / "o.parquet"), "no such file")


def test_schedules_match_quill_harbor_for_a_text_book(tmp_path):
    book = tmp_path / "book.csv"
    book.write_text("id,amt,rate,pers,int_freq,cap_freq\nm,250000,0.004,360,1,1\n")
    out = tmp_path / "out.parquet"
    assert cli("schedules", book, "-o", out).returncode == 0
    got = pq.read_table(out)
    want = quill_harbor.paywheel_gil([{"id": "m", "amt": "250000", "rate": "0.004", "pers": "360",
                                       "int_freq": "1", "cap_freq": "1"}] * 2)[0]
    for name in ("Per", "Cap", "Int", "Pmt", "Bal"):
        assert got.column(name).to_pylist() == want[name]
