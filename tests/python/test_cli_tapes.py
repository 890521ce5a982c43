"""The command on tapes as servicers write them, and the red team's reproducers: each run's exit status,
its one-line refusal, or what its output holds."""

import pytest

pa = pytest.importorskip("pyarrow")
pcsv = pytest.importorskip("pyarrow.csv")
pytest.importorskip("pandas")

from quill_harbor_columnar.cli import command as cli_command  # noqa: E402
from quill_harbor_columnar.cli import progress  # noqa: E402

HEADER = "id,amt,rate,pers,int_freq,cap_freq\n"
GOOD = HEADER + "a,1000,0.01,12,1,1\nb,2000,0.01,24,1,1\n"
SEMI = HEADER.replace(",", ";") + "a;1000;0,01;12;1;1\nb;2000;0,01;24;1;1\n"  # decimal commas


# (case, files besides book.csv, arguments after the tape, exit status, what stderr holds or a check of the output)
CASES = [
    ("no-strict values a 0% loan", {"book.csv": GOOD + "z,1000,0,12,1,1\n"},
     ["value", "--no-strict", "--discount-rate", "5"], 0, lambda rows: rows[0]["start_balance"] == 4000),
    ("a total loss keeps per-loan rows", {}, ["value", "--per-loan", "--mdr", "100", "--severity", "100",
                                              "--price", "98"], 0,
     lambda rows: [r["id"] for r in rows] == ["a", "b"] and all(r["yield"] is None for r in rows)),
    ("--delimiter is the tape's", {"book.csv": GOOD.replace(",", ";"), "steps.csv": "id,per,rate\nb,13,0.02\n"},
     ["project", "--delimiter", ";", "--rate-steps", "steps.csv"], 0, lambda rows: len(rows) == 25),
    ("a comma steps file keeps its own decimal mark", {"book.csv": SEMI, "steps.csv": "id,per,rate\nb,13,0.02\n"},
     ["project", "--delimiter", ";", "--decimal", ",", "--rate-steps", "steps.csv"], 0, lambda rows: len(rows) == 25),
    ("a quoted decimal comma in a comma steps file", {"steps.csv": 'id,per,rate\nb,13,"0,02"\n'},
     ["project", "--rate-steps", "steps.csv"], 0, lambda rows: len(rows) == 25),
    ("a step that does not read, at its line", {"steps.csv": "id,per,rate\na,7,0.01\nb,13,0.02x\n"},
     ["project", "--errors", "raise", "--rate-steps", "steps.csv"], 2, ["steps.csv, row 3, column rate", "'0.02x'"]),
    ("a price of 0 at its line", {"book.csv": "id,amt,rate,pers,int_freq,cap_freq,px\n\na,1000,0.01,12,1,1,99\n"
                                               "b,2000,0.01,24,1,1,0\n"},
     ["value", "--per-loan", "--price-column", "px"], 2, ["book.csv, row 4, column px", "'0'", "above 0"]),
    ("a NaN in the curve", {"curve.csv": "years,rate\n1,5\n2,nan\n"}, ["value", "--curve", "curve.csv"], 2,
     ["curve.csv: line 3", "'nan'"]),
    ("a step rate above 1 a year", {"steps.csv": "id,per,rate\nb,13,6.5\n"},
     ["project", "--rate-unit", "annual", "--rate-steps", "steps.csv"], 2,
     ["steps.csv: 1 loan has a rate above 1 (100%) a year, the first at row 2, column rate of the rate steps",
      "--rate-unit annual-percent"]),
    ("percent-signed low rates", {"book.csv": HEADER + "a,1000,0.475%,12,1,1\nb,2000,1.20%,24,1,1\n"},
     ["cashflows", "--rate-unit", "annual-percent"], 0, lambda rows: len(rows) == 25),
    ("yearly fractions read per period", {"book.csv": HEADER + "a,1000,0.06125,12,1,1\n"}, ["schedules"], 2,
     ["book.csv: 1 of 1 rates are above 50% a year", "73.5% a year", "--rate-unit annual"]),
    ("a servicer's tape as written",
     {"book.csv": "id;amt;rate;pers;freq;first;fee\na;1.000,50;6,5%;12;12;15-Oct-24;\nb;2.000;5,25;120;12;43539;0,25\n"},
     ["project", "--decimal", ",", "--rate-unit", "annual-percent", "--frequency-unit", "payments-per-year",
      "--map", "int_freq=freq", "--map", "cap_freq=freq", "--age-from", "first-payment=first", "--as-of",
      "2024-12-31"], 0, lambda rows: len(rows) == 1 + 120 - 70 and rows[0]["balance"] > 1000),
    ("a numeric 12 on a long term", {"book.csv": HEADER + "a,1000,0.01,120,12,12\n"}, ["cashflows"], 0,
     ["warning: 1 loan of 120 periods or more pays once every 12 periods", "--frequency-unit payments-per-year"]),
    ("an age from dates needs --as-of", {}, ["value", "--age-from", "d", "--discount-rate", "5"], 2, ["--as-of"]),
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
        assert (len(err.strip().splitlines()) == 1 or not status) and all(part in err for part in expect), err


def test_progress_on_a_csv_tape_has_its_total_from_the_start(tmp_path, monkeypatch, capsys):
    (tmp_path / "book.csv").write_text(GOOD + "c,1000,0.01,12,1,1\n")
    monkeypatch.setattr(progress, "LOG_INTERVAL", 0.0)
    monkeypatch.chdir(tmp_path)
    assert cli_command.main(["cashflows", "book.csv", "-o", "out.csv", "--progress", "--batch-rows", "1"]) == 0
    assert "cashflows: 1 of 3 loans (33%)" in capsys.readouterr().err


def test_the_value_plot_labels_a_bar_per_scenario_and_segment(tmp_path, monkeypatch):
    plt = pytest.importorskip("matplotlib.pyplot")
    from quill_harbor_columnar.plots.valuation import plot_values

    drawn = []
    monkeypatch.setattr(plt, "close", drawn.append)
    table = pa.table({"scenario": [0, 0, 1, 1], "scenario_name": ["base", "base", None, None],
                      "product": ["car", "home"] * 2, "price": [101.0, 99.0, 100.5, 98.0],
                      "yield": [0.06] * 4})
    plot_values(table, str(tmp_path / "v.png"), "png", "values")
    price, rate = drawn[0].axes
    names = ["base, product car", "base, product home", "scenario 1, product car", "scenario 1, product home"]
    assert [t.get_text() for t in rate.get_xticklabels()] == names and len(price.patches) == 4
    assert [t.get_text() for t in price.texts] == ["101.00", "99.00", "100.50", "98.00"]
