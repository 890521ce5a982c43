"""The command on tapes as servicers write them, and the red team's reproducers: each run's exit status,
its one-line refusal, or what its output holds."""

import pytest

pa = pytest.importorskip("pyarrow")
pcsv = pytest.importorskip("pyarrow.csv")
pytest.importorskip("pandas")

from quill_harbor_columnar.cli import command as cli_command  # noqa: E402

HEADER = "id,amt,rate,pers,int_freq,cap_freq\n"
GOOD = HEADER + "a,1000,0.01,12,1,1\nb,2000,0.01,24,1,1\n"


# (case, files besides book.csv, arguments after the tape, exit status, what stderr holds or a check of the output)
CASES = [
    ("no-strict values a 0% loan", {"book.csv": GOOD + "z,1000,0,12,1,1\n"},
     ["value", "--no-strict", "--discount-rate", "5"], 0, lambda rows: rows[0]["start_balance"] == 4000),
    ("a total loss keeps per-loan rows", {}, ["value", "--per-loan", "--mdr", "100", "--severity", "100",
                                              "--price", "98"], 0,
     lambda rows: [r["id"] for r in rows] == ["a", "b"] and all(r["yield"] is None for r in rows)),
    ("--delimiter is the tape's", {"book.csv": GOOD.replace(",", ";"), "steps.csv": "id,per,rate\nb,13,0.02\n"},
     ["project", "--delimiter", ";", "--rate-steps", "steps.csv"], 0, lambda rows: len(rows) == 25),
    ("a price of 0 at its line", {"book.csv": "id,amt,rate,pers,int_freq,cap_freq,px\n\na,1000,0.01,12,1,1,99\n"
                                               "b,2000,0.01,24,1,1,0\n"},
     ["value", "--per-loan", "--price-column", "px"], 2, ["book.csv, row 4, column px", "'0'", "above 0"]),
    ("a NaN in the curve", {"curve.csv": "years,rate\n1,5\n2,nan\n"}, ["value", "--curve", "curve.csv"], 2,
     ["curve.csv: line 3", "'nan'"]),
]


@pytest.mark.parametrize("case, files, argv, status, expect", CASES, ids=[c[0] for c in CASES])
def test_command_runs(tmp_path, monkeypatch, capsys, case, files, argv, status, expect):
    files = {"book.csv": GOOD, **files}
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    monkeypatch.chdir(tmp_path)
    assert cli_command.main([argv[0], "book.csv", "-o", "out.csv", *argv[1:]]) == status
    err = capsys.readouterr().err
    if callable(expect):
        assert expect(pcsv.read_csv(tmp_path / "out.csv").to_pylist()), err
    else:
        assert len(err.strip().splitlines()) == 1 and all(part in err for part in expect), err
