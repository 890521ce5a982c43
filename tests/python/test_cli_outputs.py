"""The command's outputs: none replaces an input, and a run puts all of them in place or none."""

import errno
import os
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("matplotlib")
pytest.importorskip("pandas")

from quill_harbor_columnar.cli import command as cli_command  # noqa: E402
from quill_harbor_columnar.cli import run as cli_run  # noqa: E402
from quill_harbor_columnar.tape.sample import sample_book  # noqa: E402

HEADER = "id,amt,rate,pers,int_freq,cap_freq\n"
GOOD = HEADER + "a,1000,0.01,12,1,1\nb,2000,0.01,24,1,1\nc,1000,0.01,12,1,12\n"


def cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "quill_harbor_columnar.cli", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def snapshot(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


@pytest.fixture
def dataset(tmp_path):
    """A tape as a folder of Parquet parts."""
    book = tmp_path / "book"
    book.mkdir()
    table = pa.table(sample_book(40, seed=3))
    pq.write_table(table.slice(0, 20), book / "part.0.parquet")
    pq.write_table(table.slice(20), book / "part.1.parquet")
    return book


@pytest.mark.parametrize("command, flag, name", [
    ("schedules", "-o", "part.0.parquet"),
    ("cashflows", "-o", "part.1.parquet"),
    ("project", "-o", "new.parquet"),
    ("schedules", "--failures", "part.0.parquet"),
    ("cashflows", "--failures", "f.csv"),
    ("project", "--failures", "part.1.parquet"),
    ("cashflows", "--plot", "c.png"),
    ("project", "--plot", "p.png"),
])
def test_no_output_lands_inside_an_input_folder(tmp_path, dataset, command, flag, name):
    before = snapshot(dataset)
    outputs = {"-o": tmp_path / "out.parquet", flag: dataset / name}
    proc = cli(command, dataset, *[x for pair in outputs.items() for x in pair], cwd=tmp_path)
    assert proc.returncode == 2, (proc.stdout, proc.stderr)
    assert "inside the input folder" in proc.stderr and name in proc.stderr, proc.stderr
    assert snapshot(dataset) == before and not (tmp_path / "out.parquet").exists()


@pytest.mark.parametrize("flag", ["-o", "--failures"])
def test_no_output_is_the_input_file(tmp_path, flag):
    book = tmp_path / "book.csv"
    book.write_text(GOOD)
    outputs = {"-o": tmp_path / "out.csv", flag: tmp_path / "." / "book.csv"}
    proc = cli("cashflows", book, *[x for pair in outputs.items() for x in pair], cwd=tmp_path)
    assert proc.returncode == 2 and "is the input file" in proc.stderr, proc.stderr
    assert book.read_text() == GOOD


KEPT = "kept"
REFUSED = HEADER + "a,1000,0.01,12,1,12\nb,1000,0.01,1,1,1\n"


@pytest.mark.parametrize("case, command, tape, flags, status, fragment, placed", [
    ("plot folder missing", "project", GOOD, ["--plot", "gone/p.png"], 2, "gone/p.png", []),
    ("failures folder missing", "project", GOOD, ["--failures", "gone/f.csv", "--plot", "p.png"], 2, "gone/f.csv",
     []),
    ("header only", "project", HEADER, ["--plot", "p.png", "--failures", "f.csv"], 3, "no loans", []),
    ("cash-flow plot kept", "cashflows", GOOD, ["--plot", "p.png", "--failures", "gone/f.csv"], 2, "gone/f.csv",
     []),
    ("header only cash flows", "cashflows", HEADER, ["--plot", "p.png"], 3, "no loans", []),
    ("every loan refused", "schedules", REFUSED, ["--failures", "f.csv"], 3, "not a single loan", ["f.csv"]),
])
def test_a_failed_run_replaces_no_output(tmp_path, case, command, tape, flags, status, fragment, placed):
    (tmp_path / "book.csv").write_text(tape)
    for name in ("out.csv", "p.png", "f.csv"):
        (tmp_path / name).write_text(KEPT)
    proc = cli(command, "book.csv", "-o", "out.csv", *flags, cwd=tmp_path)
    assert proc.returncode == status, (proc.stdout, proc.stderr)
    assert fragment in proc.stderr and len(proc.stderr.strip().splitlines()) == 1, proc.stderr
    assert [name for name in ("out.csv", "p.png", "f.csv") if (tmp_path / name).read_text() != KEPT] == placed
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".partial")]


def test_a_full_disk_while_writing_the_failures_replaces_nothing(tmp_path, monkeypatch, capsys):
    (tmp_path / "book.csv").write_text(GOOD)
    for name in ("out.csv", "p.png", "f.csv"):
        (tmp_path / name).write_text(KEPT)

    def full(path, kind, run, refused):
        with open(path, "w") as f:
            f.write("part of it")
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(cli_run, "write_refused", full)
    monkeypatch.chdir(tmp_path)
    status = cli_command.main(["project", "book.csv", "-o", "out.csv", "--plot", "p.png", "--failures", "f.csv"])
    err = capsys.readouterr().err
    assert status == 2 and "f.csv: cannot be written: No space left on device" in err, err
    assert all((tmp_path / name).read_text() == KEPT for name in ("out.csv", "p.png", "f.csv"))
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".partial")]


def test_dates_past_year_9999_are_written_and_drawn(tmp_path):
    (tmp_path / "book.csv").write_text(GOOD + "d,1000,0.01,360,1,1\n")
    (tmp_path / "out.parquet").write_text(KEPT)
    proc = cli("project", "book.csv", "-o", "out.parquet", "--as-of", "9990-01-31", "--plot", "p.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    dates = pq.read_table(tmp_path / "out.parquet").column("date").cast(pa.int32()).to_pylist()
    assert dates[-1] > dates[0] and (tmp_path / "p.png").read_bytes().startswith(b"\x89PNG")


# Each subcommand's input flags: every one of them, named again as -o or --failures, is refused.
INPUTS = {"schedules": ["LOANS", "--rate-steps"], "cashflows": ["LOANS", "--rate-steps"],
          "project": ["LOANS", "--rate-steps", "--scenarios"],
          "value": ["LOANS", "--rate-steps", "--scenarios", "--curve"],
          "performance": ["LOANS", "--origination"]}
CONTENT = {"LOANS": GOOD, "--rate-steps": "id,per,rate\nb,13,0.02\n", "--scenarios": '[{"cpr": 0.08}]',
           "--curve": "years,rate\n1,5\n", "--origination": "a|b\n"}


@pytest.mark.parametrize("command, given, out", [
    (command, given, out) for command, flags in INPUTS.items() for given in flags for out in ("-o", "--failures")])
def test_no_output_replaces_an_input_of_any_flag(tmp_path, monkeypatch, capsys, command, given, out):
    files = {flag: tmp_path / f"{flag.strip('-')}.csv" for flag in INPUTS[command]}
    for flag, path in files.items():
        path.write_text(CONTENT[flag])
    argv = [command, str(files["LOANS"])]
    for flag in INPUTS[command][1:]:
        argv += [flag, str(files[flag])]
    argv += ["--layout", "freddie-mac"] if command == "performance" else []
    outputs = {"-o": str(tmp_path / "out.csv"), out: str(files[given])}
    monkeypatch.chdir(tmp_path)
    status = cli_command.main(argv + [x for pair in outputs.items() for x in pair])
    assert status == 2 and "is the input file" in capsys.readouterr().err
    assert all(path.read_text() == CONTENT[flag] for flag, path in files.items())
