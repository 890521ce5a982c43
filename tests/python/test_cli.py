"""The quill-harbor command, run as a user runs it: in a subprocess."""

import io
import os
import signal
import subprocess
import sys
import time

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pcsv = pytest.importorskip("pyarrow.csv")
np = pytest.importorskip("numpy")

import quill_harbor  # noqa: E402
import quill_harbor_columnar as qhc  # noqa: E402
from quill_harbor_columnar.cli.progress import Progress  # noqa: E402
from quill_harbor_columnar.history.layouts import FANNIE_FIELDS  # noqa: E402
from quill_harbor_columnar.io.parquet import ParallelParquetWriter, decode, encode, split_part  # noqa: E402
from quill_harbor_columnar.tape.sample import sample_book  # noqa: E402

SCHEDULE = ("Per", "Cap", "Int", "Pmt", "Bal")
HEADER = "id,amt,rate,pers,int_freq,cap_freq\n"
TAPE_MAP = ["--map", "id=loan_id", "--map", "amt=principal", "--map", "rate=annual_rate_pct",
            "--map", "pers=term_months", "--map", "int_freq=payment_frequency", "--map", "cap_freq=payment_frequency"]
# A lender's tape as exported: a byte-order mark, semicolons, spaced names,
# annual percentages in several spellings, frequency words, and two rows that
# fail: an unknown word (row 3) and a bullet loan the engine refuses (row 5).
LENDER_TAPE = ("\ufeff loan_id ; principal ;annual_rate_pct;term_months;payment_frequency\n"
               "A;250000;4.8%;360;Monthly\nB;10000; 6 ;12;quarterly\nC;5000;5;12;weekly\n"
               "D;5000;5.5 %;24;semi-annual\nE;5000;5;12;annual\nF;7000;7;36;monthly\n")


def cli(*args, timeout=300):
    return subprocess.run([sys.executable, "-m", "quill_harbor_columnar.cli", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def bits(table):
    return {name: np.asarray(table.column(name)).view(np.uint32) for name in SCHEDULE}


@pytest.mark.parametrize("command", [[], ["sample"], ["schedules"], ["cashflows"], ["project"]])
def test_every_command_has_help(command):
    proc = cli(*command, "--help")
    assert proc.returncode == 0, proc.stderr
    assert "usage: quill-harbor" in proc.stdout
    if command and command[0] != "sample":
        text = " ".join(proc.stdout.split())
        assert "amt, rate, pers, int_freq, cap_freq" in text and "Rates are per period" in text
        # The progress default is said in words; argparse's own "(default: ...)" would contradict it.
        assert "only on a terminal" in text and "(default: False)" not in text and "(default: None)" not in text


def test_version_is_the_package_metadata():
    from importlib.metadata import version

    proc = cli("--version")
    assert proc.returncode == 0 and proc.stdout.strip() == f"quill-harbor {version('quill_harbor')}"
    assert qhc.__version__ == version("quill_harbor")


def test_sample_is_deterministic_and_mixed(tmp_path):
    a, b, c = tmp_path / "a.parquet", tmp_path / "b.csv", tmp_path / "c.parquet"
    assert cli("sample", "--loans", 4000, "-o", a).returncode == 0
    assert cli("sample", "--loans", 4000, "-o", b).returncode == 0
    assert cli("sample", "--loans", 4000, "--seed", 7, "-o", c).returncode == 0
    ta, tb = pq.read_table(a), pcsv.read_csv(b)
    assert ta.to_pydict() == tb.to_pydict()
    assert ta.num_rows == 4000 and not ta.equals(pq.read_table(c))
    assert {i[:3] for i in ta.column("id").to_pylist()} >= {"MTG", "CAR", "BIZ", "ODD"}
    assert set(np.unique(np.asarray(ta.column("int_freq")))) == {1, 3}
    assert 0 < len(qhc.schedules(ta, errors="skip").errors) < 200


def _near_cents(values):
    """Every value a whole number of cents, to float64 summation error."""
    v = np.asarray(values, dtype=np.float64) * 100
    return v.size > 0 and bool(np.all(np.abs(v - np.rint(v)) < 1e-4))


def _cents_in(*names):
    return lambda path: _near_cents([pcsv.read_csv(path).column(n).to_numpy() for n in names])


def _cent_amounts(path):
    amt = pcsv.read_csv(path).column("amt").to_numpy()
    return bool((amt % 100 != 0).any()) and _near_cents(amt)


def _proceeds_in_cents(folder):
    at = [name for name, _ in FANNIE_FIELDS].index("net_sales_proceeds")
    texts = [line.split("|")[at] for f in sorted(folder.glob("*.txt")) for line in f.read_text().splitlines()]
    texts = [t for t in texts if t]
    return bool(texts) and all(len(t.partition(".")[2]) <= 2 for t in texts)


def _contents(path):
    return {f.name: f.read_bytes() for f in sorted(path.iterdir())} if path.is_dir() else path.read_bytes()


# Every subcommand with --precision ({d}: the folder; {p}: the run's suffix; later rows read the cent book and
# history of earlier ones), its output, and the effect cent has on it.
PRECISION_RUNS = [
    ("sample --loans 300 -o {d}/book{p}.csv", "book{p}.csv", _cent_amounts),
    ("schedules {d}/book-c.csv -o {d}/s{p}.csv", "s{p}.csv", _cents_in("Cap", "Int", "Pmt", "Bal")),
    ("cashflows {d}/book-c.csv -o {d}/c{p}.csv", "c{p}.csv", _cents_in("Int", "Bal")),
    ("project {d}/book-c.csv --cpr 0 -o {d}/p{p}.csv", "p{p}.csv", _cents_in("interest", "balance")),
    ("value {d}/book-c.csv --discount-rate 5 -o {d}/v{p}.csv", "v{p}.csv", _cents_in("start_balance")),
    ("sample-history --loans 300 --months 14 --cdr 20 --layout fannie-mae -o {d}/h{p}", "h{p}", _proceeds_in_cents),
    ("performance {d}/h-c --layout fannie-mae -o {d}/f{p}.csv", "f{p}.csv", _cents_in("scheduled_principal")),
    ("backtest {d}/h-c --layout fannie-mae --as-of 2020-06 --cpr 0 --cdr 0 -o {d}/b{p}.csv", "b{p}.csv",
     _cents_in("projected_balance", "projected_interest")),
]  # fmt: skip


def test_every_subcommand_takes_precision(tmp_path):
    for args, out, cent_effect in PRECISION_RUNS:
        paths = {}
        for p, flag in (("", []), ("-b", ["--precision", "binary32"]), ("-c", ["--precision", "cent"])):
            run = cli(*(a.format(d=tmp_path, p=p) for a in args.split()), *flag)
            assert run.returncode == 0, (args, flag, run.stderr)
            paths[p] = tmp_path / out.format(p=p)
        # binary32 is the default, byte for byte; cent has its effect, which the default has not.
        assert _contents(paths[""]) == _contents(paths["-b"]), args
        assert cent_effect(paths["-c"]) and not cent_effect(paths[""]), args


@pytest.mark.parametrize("ext", [".parquet", ".csv", ".arrow", ".feather"])
def test_schedules_in_every_format_are_the_library_bits(tmp_path, ext):
    book = tmp_path / "book.csv"
    out = tmp_path / f"out{ext}"
    assert cli("sample", "--loans", 3000, "-o", book).returncode == 0
    proc = cli("schedules", book, "-o", out, "--batch-rows", 500, "--threads", 2)
    assert proc.returncode == 0, proc.stderr
    written = {".parquet": pq.read_table, ".csv": pcsv.read_csv}.get(ext, lambda p: pa.ipc.open_file(p).read_all())(out)
    expected = qhc.schedules(pcsv.read_csv(book, convert_options=pcsv.ConvertOptions(
        column_types={c: pa.string() for c in HEADER.strip().split(",")})), errors="skip").to_arrow()
    assert written.num_rows == expected.num_rows
    for name, column in bits(expected).items():
        assert np.array_equal(np.asarray(written.column(name), dtype=np.float32).view(np.uint32), column), name
    assert written.column("loan").cast(pa.string()).equals(expected.column("loan").cast(pa.string()))
    assert f"{written.num_rows:,}" in proc.stdout and "failed loans" in proc.stdout


def test_a_lender_tape_goes_through_with_map_and_rate_unit(tmp_path):
    tape = tmp_path / "tape.csv"
    tape.write_text(LENDER_TAPE, encoding="utf-8")
    flags = [*TAPE_MAP, "--rate-unit", "annual-percent"]
    s = cli("schedules", tape, "-o", tmp_path / "s.parquet", "--failures", tmp_path / "f.csv", *flags)
    c = cli("cashflows", tape, "-o", tmp_path / "c.parquet", "--failures", tmp_path / "g.parquet",
            "--plot", tmp_path / "c.png", *flags)
    assert s.returncode == 0 and c.returncode == 0, (s.stderr, c.stderr)
    names = {"id": "loan_id", "amt": "principal", "rate": "annual_rate_pct", "pers": "term_months",
             "int_freq": "payment_frequency", "cap_freq": "payment_frequency"}
    book = qhc.book(str(tape), columns=names, rate_unit="annual-percent", errors="skip")
    want = qhc.schedules(book, errors="skip")
    got = pq.read_table(tmp_path / "s.parquet")
    assert got.column("loan").cast(pa.string()).to_pylist() == want.to_arrow().column("loan").cast(pa.string()).to_pylist()
    for name, column in bits(want).items():
        assert np.array_equal(bits(got)[name], column)
    assert pq.read_table(tmp_path / "c.parquet").equals(qhc.cashflows(book, errors="skip").to_arrow())
    for listing in (pcsv.read_csv(tmp_path / "f.csv"), pq.read_table(tmp_path / "g.parquet")):
        assert listing.column_names == ["row", "id", "code", "field", "value", "reason"]
        rows = list(zip(*[listing.column(c).to_pylist() for c in ("row", "id", "code", "field")]))
        # Editor lines (the header is line 1), as the library numbers the same tape's rows.
        # E pays once a year for a year: one period of its own.
        assert rows == [(4, "C", "bad_frequency", "int_freq"), (6, "E", "single_capital_block", "pers")]
    assert [r[0] for r in qhc.book_errors(book)] == [4]
    assert qhc.tape_rows(book, [e[0] for e in want.errors]) == [6]
    for proc in (s, c):
        assert "bad_frequency" in proc.stdout and "single_capital_block" in proc.stdout


def test_loans_without_ids_keep_their_tape_rows(tmp_path):
    tape = tmp_path / "tape.csv"
    tape.write_text(HEADER.replace("id,", "") + "1000,0.01,12,1,1\n1000,0.01,12,x,1\n2000,0.01,12,1,1\n")
    assert cli("schedules", tape, "-o", tmp_path / "s.parquet").returncode == 0
    assert sorted(set(pq.read_table(tmp_path / "s.parquet").column("loan").to_pylist())) == [0, 2]


def test_a_dataset_folder_is_read_in_part_order(tmp_path):
    book = pa.table(sample_book(30, seed=2))
    folder = tmp_path / "book"
    folder.mkdir()
    for i, start in zip((1, 2, 10), (0, 10, 20)):
        pq.write_table(book.slice(start, 10), folder / f"part.{i}.parquet")
    assert cli("cashflows", folder, "-o", tmp_path / "c.csv").returncode == 0
    assert cli("schedules", folder, "-o", tmp_path / "s.parquet").returncode == 0
    want = qhc.schedules(book, errors="skip").to_arrow()
    assert pq.read_table(tmp_path / "s.parquet").column("loan").to_pylist() == want.column("loan").to_pylist()


def test_cashflows_plot_and_summary(tmp_path):
    book = tmp_path / "book.parquet"
    assert cli("sample", "--loans", 2000, "-o", book).returncode == 0
    proc = cli("cashflows", book, "-o", tmp_path / "cf.csv", "--plot", tmp_path / "cf.png", "--plot-every", 12)
    assert proc.returncode == 0, proc.stderr
    for row in ("total interest", "weighted average life", "peak payment period", "bars of 12 periods"):
        assert row in proc.stdout
    assert pcsv.read_csv(tmp_path / "cf.csv").column("Int").to_pylist() == \
        qhc.cashflows(pq.read_table(book), errors="skip").to_arrow().column("Int").to_pylist()
    assert (tmp_path / "cf.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_scales_bars_and_aligns_zero():
    pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt
    from quill_harbor_columnar.plots.axes import align_zero, auto_every, formatter, scale

    cases = [({1: 9}, 360), ({1: 9, 3: 1}, 360), ({1: 5, 3: 5, 12: 5}, 360), ({7: 1, 12: 1}, 360),
             ({1: 1}, 1000), ({1: 500, 3: 500, 60: 2}, 360)]  # a rare bullet loan does not set the bars
    assert [auto_every(f, p) for f, p in cases] == [1, 3, 12, 1, 4, 3]
    factor, name = scale([3.2e9, 1.0])
    assert (factor, name) == (1e6, "millions")
    assert [formatter(factor)(v, None) for v in (3.2e9, 5e6, 2.5e6, 0.0)] == ["3,200", "5", "2.5", "0"]
    fig, ax = plt.subplots()
    bal = ax.twinx()
    ax.set_ylim(-1, 3)
    bal.set_ylim(0, 10)
    align_zero(ax, bal)
    (a0, a1), (b0, b1) = ax.get_ylim(), bal.get_ylim()
    assert -a0 / (a1 - a0) == pytest.approx(-b0 / (b1 - b0)) == pytest.approx(0.25)
    plt.close(fig)


def test_schedules_match_quill_harbor_for_a_text_book(tmp_path):
    book = tmp_path / "book.csv"
    book.write_text(HEADER + "m,250000,0.004,360,1,1\n")
    assert cli("schedules", book, "-o", tmp_path / "out.parquet").returncode == 0
    got = pq.read_table(tmp_path / "out.parquet")
    want = quill_harbor.paywheel_gil([{"id": "m", "amt": "250000", "rate": "0.004", "pers": "360",
                                       "int_freq": "1", "cap_freq": "1"}] * 2)[0]
    for name in SCHEDULE:
        assert got.column(name).to_pylist() == want[name]


def _write(tmp_path, name, content):
    path = tmp_path / name
    if isinstance(content, pa.Table):
        pq.write_table(content, path)
    else:
        path.write_bytes(content.encode() if isinstance(content, str) else content)
    return path


GOOD = HEADER + "a,1000,0.01,12,1,1\nb,2000,0.01,24,1,1\n"
_floats = pa.table({"amt": [1.0], "rate": [0.01], "pers": [12.5], "int_freq": [1], "cap_freq": [1]})
_categorical = pa.table({"id": pa.array(["a"]).dictionary_encode(), "amt": [1000.0], "rate": [0.01], "pers": [12],
                         "int_freq": [1], "cap_freq": [1]})
_null = pa.table({"id": ["a", "b"], "amt": [1000.0, None], "rate": [0.01] * 2, "pers": [12] * 2,
                  "int_freq": [1] * 2, "cap_freq": [1] * 2})


@pytest.mark.parametrize("case, command, content, extra, status, fragments", [
    ("threads 0", "schedules", GOOD, ["--threads", 0], 2, ["--threads", "every processor"]),
    ("batch rows 0", "schedules", GOOD, ["--batch-rows", 0], 2, ["--batch-rows"]),
    ("bad flag value", "cashflows", GOOD, ["--rate-unit", "percent"], 2, ["--rate-unit"]),
    ("bad map", "cashflows", GOOD, ["--map", "amt"], 2, ["TARGET=SOURCE"]),
    ("unknown output", "schedules", GOOD, ["-o", "out.xlsx"], 2, ["out.xlsx", ".parquet"]),
    ("output is input", "schedules", GOOD, ["-o", "book.csv"], 2, ["is the input"]),
    ("missing column", "cashflows", "id,amt,rate,pers,int_freq\n", [], 2, ["'cap_freq'", "id, amt, rate"]),
    ("mapped column missing", "cashflows", GOOD, ["--map", "amt=principal"], 2, ["'principal'", "its columns"]),
    ("empty file", "cashflows", "", [], 2, ["empty"]),
    ("nul byte", "schedules", HEADER + "a,1000,0.01,12,1,1\nb\x00,1000,0.01,12,1,1\n", [], 2, ["row 3", "NUL"]),
    ("oversized field", "schedules", HEADER + "a,1,0.01,12,1,1\n" + "b" * ((1 << 20) + 1) + ",1,0.01,12,1,1\n", [], 2,
     ["row 3", "column id", "1 MiB"]),
    ("empty field", "schedules", HEADER + "a,1000,,12,1,1\n", ["--errors", "raise"], 2,
     ["row 2", "column rate", "missing"]),
    ("float pers", "schedules", _floats, ["--errors", "raise"], 2, ["row 0", "column pers", "'12.5'", "parse_int"]),
    ("categorical id", "schedules", _categorical, [], 2, ["column id", "categorical"]),
    ("null", "cashflows", _null, ["--errors", "raise"], 2, ["row 1", "column amt", "missing"]),
    ("annual percent", "schedules", GOOD + "c,1000,5.5,12,1,1\nd,1000,6,12,1,1\n", [], 2,
     ["2 loans", "row 4", "column rate", "'5.5'", "--rate-unit annual-percent"]),
    ("raise", "schedules", HEADER + "a,1000,0.01,12,1,1\nb,1000,0.01,12,1,12\nc,1000,x,12,1,1\n",
     ["--errors", "raise"], 2, ["row 3", "single capital block", "id b"]),
    ("raise on a tape row", "cashflows", HEADER + "a,1000,0.01,12,1,1\nb,1000,0.01,x,1,1\nc,1000,0.01,1,1,1\n",
     ["--errors", "raise"], 2, ["row 3", "column pers", "'x'"]),
    ("nothing scheduled", "schedules", HEADER + "a,1000,0.01,12,1,12\nb,1000,0.01,1,1,1\n", [], 3,
     ["not a single loan", "single_capital_block 2"]),
    ("missing file", "cashflows", None, [], 2, ["no such file"]),
])
def test_every_failing_case_is_one_line(tmp_path, case, command, content, extra, status, fragments):
    book = _write(tmp_path, "book.parquet" if isinstance(content, pa.Table) else "book.csv", content or "") \
        if content is not None else tmp_path / "book.csv"
    out = tmp_path / ("out.parquet" if command == "schedules" else "out.csv")
    out.write_text("kept")
    args = [command, book, "-o", out, *extra] if "-o" not in extra else [command, book, *extra]
    proc = subprocess.run([sys.executable, "-m", "quill_harbor_columnar.cli", *map(str, args)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == status, (proc.returncode, proc.stdout, proc.stderr)
    assert "Traceback" not in proc.stderr
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quill-harbor: error: "), proc.stderr
    for fragment in fragments:
        assert fragment in lines[0], (fragment, lines[0])
    assert out.read_text() == "kept"
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".partial")]
    if content is not None and not isinstance(content, pa.Table):
        assert book.read_bytes() == (content.encode() if isinstance(content, str) else content)


def test_an_interrupted_run_leaves_nothing_behind(tmp_path):
    book = tmp_path / "book.parquet"
    assert cli("sample", "--loans", 150_000, "-o", book).returncode == 0
    out = tmp_path / "out.parquet"
    command = [sys.executable, "-m", "quill_harbor_columnar.cli", "schedules", str(book), "-o", str(out)]

    def staged():
        return [p for p in os.listdir(tmp_path) if p.endswith(".partial")]

    def start():
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while not staged() and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        return proc, time.monotonic()

    # How long a whole run takes here, from its staged output to its end,
    # so the signals land inside the run on a fast machine as on a slow one.
    proc, began = start()
    assert proc.wait(timeout=300) == 0
    whole = time.monotonic() - began
    out.write_text("kept")
    # Signals at several points of the run: the outputs are staged before the
    # tape is opened, so the later ones land in the reading and computing.
    for sig, share in ((signal.SIGINT, 0.1), (signal.SIGTERM, 0.1), (signal.SIGINT, 0.4), (signal.SIGTERM, 0.4)):
        proc, began = start()
        time.sleep(max(0.0, began + share * whole - time.monotonic()))
        proc.send_signal(sig)
        _, err = proc.communicate(timeout=120)
        assert proc.returncode == 130 and "Traceback" not in err, (sig, share, whole, proc.returncode, err)
        assert out.read_text() == "kept" and not staged()


# A signal handled inside a finalizer (a generator being closed, an object's
# __del__) has its interrupt reported as "ignored" and the code goes on; the
# run must still end as interrupted, with nothing written.
SWALLOWED_INTERRUPT = """
import os, signal, sys
from quill_harbor_columnar.cli import command, progress

class Dropped:
    def __del__(self):
        os.kill(os.getpid(), signal.SIGINT)
        for _ in range(1000):
            pass

finish = progress.Progress.finish
def finish_and_drop(self):
    Dropped()
    finish(self)
progress.Progress.finish = finish_and_drop
sys.exit(command.main(sys.argv[1:]))
"""


def test_an_interrupt_dropped_by_a_finalizer_still_stops_the_run(tmp_path):
    book = tmp_path / "book.csv"
    book.write_text(HEADER + "m,250000,0.004,360,1,1\n")
    out = tmp_path / "out.csv"
    out.write_text("kept")
    proc = subprocess.run([sys.executable, "-c", SWALLOWED_INTERRUPT, "schedules", str(book), "-o", str(out)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 130 and "Traceback" not in proc.stderr, (proc.returncode, proc.stderr)
    assert out.read_text() == "kept" and not [p for p in os.listdir(tmp_path) if p.endswith(".partial")]


def test_parallel_parquet_is_one_ordinary_file(tmp_path):
    book = pa.table(sample_book(400, seed=9))
    reader = qhc.stream_schedules(book, errors="skip", batch_rows=5000).to_reader()
    batches = list(reader)
    whole = pa.Table.from_batches(batches)
    for threads in (1, 3):
        path = tmp_path / f"p{threads}.parquet"
        with open(path, "wb") as f:
            w = ParallelParquetWriter(f, reader.schema, threads=threads, row_group_rows=20_000,
                                      use_dictionary=["loan", "Per"], use_byte_stream_split=["Cap", "Int", "Pmt", "Bal"])
            for b in batches:
                w.write_batch(b)
            w.close()
        meta = pq.ParquetFile(path).metadata
        groups = [meta.row_group(i).num_rows for i in range(meta.num_row_groups)]
        # Whole stream batches (at most 5,000 rows and a loan) gather into each group.
        assert meta.num_rows == whole.num_rows and len(groups) > 1
        assert all(20_000 <= n < 25_400 for n in groups[:-1]), groups
        got = pq.read_table(path)
        assert got.column("loan").to_pylist() == whole.column("loan").to_pylist()
        for name, column in bits(whole).items():
            assert np.array_equal(bits(got)[name], column)
        # Each row group's statistics are its own, at its own offsets.
        second = pq.read_table(path, filters=[("Per", "==", 360.0)])
        assert second.num_rows == int((np.asarray(whole.column("Per")) == 360).sum())
        footer = split_part(path.read_bytes())[1]
        assert decode(encode(footer)) == footer


def test_progress_counts_loans_and_waits_to_estimate(monkeypatch):
    monkeypatch.setattr("quill_harbor_columnar.cli.progress.time.perf_counter", lambda: next(clock))
    for terminal in (False, True):
        clock = iter([0.0, 1.0, 6.0, 12.0, 13.0, 20.0])
        log = io.StringIO()
        p = Progress("schedules", 1000, True, stream=log, terminal=terminal)
        p.advance(100)  # 1 s: a line on a terminal, too early for a rate
        p.advance(200)  # 6 s
        p.advance(300)  # 12 s
        p.finish()
        text = log.getvalue()
        assert ("\r" in text) == terminal
        lines = [t for t in text.replace("\r", "\n").splitlines() if t.strip()]
        assert "of 1,000 loans" in lines[-2] and "loans/s" in lines[-2] and "left" in lines[-2]
        assert all("loans/s" not in t for t in lines if "100 of" in t)
        assert lines[-1].startswith("schedules: 600 loans in")
