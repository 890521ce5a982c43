"""Loan-level histories: reading both agency layouts, bad records as failures, the realized measures
against a pandas transcription of the published formulas, and the generator's speeds recovered."""

import gzip
import pickle
import shutil
import subprocess
import sys
import zipfile

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import quill_harbor_columnar as qc
from quill_harbor_columnar.history import RecordError, write_sample_history
from quill_harbor_columnar.history.layouts import (
    FANNIE_FIELDS,
    FREDDIE_ORIGINATION_FIELDS,
    FREDDIE_PERFORMANCE_FIELDS,
)

KINDS = {"str": pa.string(), "int": pa.int32(), "float": pa.float64(), "date": pa.date32(), "dlq": pa.int32(),
         "zb": pa.string()}


@pytest.fixture(scope="module")
def fannie(tmp_path_factory):
    folder = tmp_path_factory.mktemp("fannie")
    write_sample_history(str(folder), 1500, 30, "fannie-mae", cpr=0.12, cdr=0.03, severity=0.4, seed=7)
    return folder


@pytest.fixture(scope="module")
def freddie(tmp_path_factory):
    folder = tmp_path_factory.mktemp("freddie")
    write_sample_history(str(folder), 1500, 30, "freddie-mac", cpr=0.12, cdr=0.03, severity=0.4, seed=7)
    return folder


def _freddie(folder, **kw):
    return qc.history(folder / "historical_data_time_*", "freddie-mac", origination=folder / "historical_data_2*", **kw)


# ---------------------------------------------------------------- the formulas, transcribed

def _raw(folder, pattern, names):
    frames = [pd.read_csv(p, sep="|", header=None, names=names, dtype=str, keep_default_na=False)
              for p in sorted(folder.glob(pattern))]
    return frames


def _num(s):
    return pd.to_numeric(s.where(s != "", None)).astype(float)


def _month(s, form):
    s = s.where(s != "", None)
    fmt = "%m%Y" if form == "MMYYYY" else "%Y%m"
    return pd.to_datetime(s, format=fmt)


def _transcribe(frames, layout, by):
    """The measures as the published definitions state them, file by file, in pandas."""
    rows = []
    for f in frames:
        if layout == "fannie-mae":
            d = pd.DataFrame({"id": f.loan_id, "month": _month(f.act_period, "MMYYYY"), "bal": _num(f.current_upb),
                              "rate": _num(f.curr_rate), "rem": _num(f.rem_months), "age": _num(f.loan_age),
                              "dlq": pd.to_numeric(f.dlq_status.replace("XX", "-1")), "zb": f.zero_bal_code,
                              "vintage": _month(f.first_pay, "MMYYYY").dt.year})
            last_upb = _num(f.last_upb)
            months = ((_month(f.disposition_date, "MMYYYY").dt.to_period("M") -
                       _month(f.last_paid_installment_date, "MMYYYY").dt.to_period("M"))
                      .apply(lambda x: x.n if pd.notna(x) else 0)).astype(float)
            z = lambda c: _num(c).fillna(0.0)  # noqa: E731
            costs = (z(f.foreclosure_costs) + z(f.property_preservation_and_repair_costs) + z(f.asset_recovery_costs)
                     + z(f.miscellaneous_holding_expenses_and_credits) + z(f.associated_taxes_for_holding_property))
            proceeds = (z(f.net_sales_proceeds) + z(f.credit_enhancement_proceeds)
                        + z(f.repurchases_make_whole_proceeds) + z(f.other_foreclosure_proceeds))
            interest = months * (d.rate.fillna(0) / 100 - 0.0035) / 12 * (last_upb - z(f.non_interest_bearing_upb))
            d["loss"] = last_upb + costs + z(f.principal_forgiveness_amount) + interest - proceeds
            d["zb_upb"] = last_upb
        else:
            d = pd.DataFrame({"id": f.loan_sequence_number, "month": _month(f.monthly_reporting_period, "YYYYMM"),
                              "bal": _num(f.current_actual_upb), "rate": _num(f.current_interest_rate),
                              "rem": _num(f.remaining_months_to_legal_maturity), "age": _num(f.loan_age),
                              "dlq": pd.to_numeric(f.current_loan_delinquency_status.replace("RA", "999")),
                              "zb": f.zero_balance_code, "vintage": f.vintage})
            z = lambda c: _num(c).fillna(0.0)  # noqa: E731
            upb = _num(f.zero_balance_removal_upb)
            d["loss"] = ((upb - z(f.net_sale_proceeds)) + z(f.delinquent_accrued_interest) - z(f.expenses)
                         - z(f.mi_recoveries) - z(f.non_mi_recoveries))
            d["zb_upb"] = upb
        g = d.groupby("id", sort=False)
        prev = g[["bal", "rate", "rem", "zb"]].shift(1)
        liquidation = d.zb.isin(["02", "03", "09", "15"])
        event = liquidation | (d.dlq >= 6)
        before = event.groupby(d.id).cumsum() - event
        pool = prev.bal.notna() & (prev.bal > 0) & (prev.zb == "") & (before == 0)
        r = prev.rate / 1200
        sched = (prev.bal * r / ((1 + r) ** prev.rem - 1)).where(prev.rem > 1, prev.bal).clip(upper=prev.bal)
        credit = pool & event
        full = pool & ~credit & (d.zb == "01")
        running = pool & ~credit & (d.zb == "")
        d["loans"] = pool.astype(float)
        d["balance"] = prev.bal.where(pool, 0.0)
        d["scheduled_principal"] = sched.where(pool, 0.0)
        d["prepaid_principal"] = ((prev.bal - sched).where(full, 0.0)
                                  + (prev.bal - sched - d.bal).where(running & (prev.bal - sched - d.bal >= 0.01), 0.0))
        d["defaulted_balance"] = prev.bal.where(credit, 0.0)
        liq = liquidation & d.loss.notna()
        d["liq"] = d.zb_upb.where(liq, 0.0)
        d["loss"] = d.loss.where(liq, 0.0)
        d["age_balance"] = d.balance * d.age
        rows.append(d[pool | liq])
    d = pd.concat(rows)
    sums = d.groupby(["month", *by]).agg(
        loans=("loans", "sum"), balance=("balance", "sum"), scheduled_principal=("scheduled_principal", "sum"),
        prepaid_principal=("prepaid_principal", "sum"), defaulted_balance=("defaulted_balance", "sum"),
        loss=("loss", "sum"), liq=("liq", "sum"), age_balance=("age_balance", "sum")).reset_index()
    sums["recovery"] = sums.liq - sums.loss
    sums["smm"] = sums.prepaid_principal / (sums.balance - sums.scheduled_principal)
    sums["cpr"] = 1 - (1 - sums.smm) ** 12
    sums["mdr"] = sums.defaulted_balance / sums.balance
    sums["cdr"] = 1 - (1 - sums.mdr) ** 12
    sums["severity"] = sums.loss / sums.liq
    age = sums.age_balance / sums.balance
    sums["psa"] = 100 * sums.cpr / (0.06 * np.minimum(age, 30) / 30)
    return sums


MEASURES = ["loans", "balance", "scheduled_principal", "prepaid_principal", "defaulted_balance", "loss", "recovery",
            "smm", "cpr", "mdr", "cdr", "severity", "psa"]


@pytest.mark.parametrize("layout", ["fannie-mae", "freddie-mac"])
@pytest.mark.parametrize("by", [[], ["vintage"]])
def test_measures_equal_the_published_formulas(fannie, freddie, layout, by):
    if layout == "fannie-mae":
        h = qc.history(fannie, layout)
        frames = _raw(fannie, "*.txt", [n for n, _ in FANNIE_FIELDS])
    else:
        h = _freddie(freddie)
        origination = pd.concat(_raw(freddie, "historical_data_2*", [n for n, _ in FREDDIE_ORIGINATION_FIELDS]))
        vintage = dict(zip(origination.loan_sequence_number, origination.first_payment_date.str[:4].astype(int)))
        frames = [f.assign(vintage=f.loan_sequence_number.map(vintage))
                  for f in _raw(freddie, "historical_data_time_*", [n for n, _ in FREDDIE_PERFORMANCE_FIELDS])]
    got = qc.performance(h, by=by or None).to_pandas()
    want = _transcribe(frames, layout, by)
    assert len(got) == len(want) and len(got) > 20
    got["month"] = pd.to_datetime(got["month"])
    merged = want.merge(got, on=["month", *by], suffixes=("_want", ""))
    assert len(merged) == len(want)
    assert merged.defaulted_balance.sum() > 0 and merged.loss.sum() > 0
    for name in MEASURES:
        np.testing.assert_allclose(merged[name], merged[name + "_want"], rtol=1e-12, atol=0, equal_nan=True,
                                   err_msg=name)


# A short history with many defaults: its first months hold the loans already on the delinquency path.
@pytest.mark.parametrize("months, cdr", [(36, 0.04), (7, 0.20)])
def test_realized_speeds_recover_the_generator(tmp_path, months, cdr):
    cpr, severity = 0.10, 0.3
    write_sample_history(str(tmp_path), 6000, months, "fannie-mae", cpr=cpr, cdr=cdr, severity=severity, seed=3)
    h = qc.history(tmp_path, "fannie-mae")
    p = qc.performance(h).to_pandas()
    smm = p.prepaid_principal.sum() / (p.balance - p.scheduled_principal).sum()
    mdr = p.defaulted_balance.sum() / p.balance.sum()
    events = h.to_arrow().column("zero_balance_code").value_counts().to_pylist()
    counts = {e["values"]: e["counts"] for e in events}
    payoffs = counts["01"]
    defaults = sum(counts.get(c, 0) for c in ("02", "03", "09", "15"))
    want_smm = 1 - (1 - cpr) ** (1 / 12)
    want_mdr = 1 - (1 - cdr) ** (1 / 12)
    assert abs(smm / want_smm - 1) < 4 / np.sqrt(payoffs)
    assert abs(mdr / want_mdr - 1) < 4 / np.sqrt(defaults)
    assert p.loss.sum() / (p.loss + p.recovery).sum() == pytest.approx(severity, rel=1e-6)


# ---------------------------------------------------------------- reading

@pytest.mark.parametrize("layout", ["fannie-mae", "freddie-mac"])
def test_every_documented_field_reads_with_its_type(fannie, freddie, layout):
    if layout == "fannie-mae":
        fields = FANNIE_FIELDS
        h = qc.history(fannie, layout, columns=[n for n, _ in fields])
        assert qc.history(fannie, layout, columns="cscore_b").column_names[-2:] == ["vintage", "cscore_b"]
    else:
        fields = FREDDIE_PERFORMANCE_FIELDS + FREDDIE_ORIGINATION_FIELDS
        h = _freddie(freddie, columns=[n for n, _ in fields])
    schema = h.to_arrow().schema
    for name, kind in fields:
        if name in ("orig_rate", "orig_term"):  # the history's own columns of the same names
            continue
        assert schema.field(name).type == KINDS[kind], name
    t = h.to_arrow()
    assert t.num_rows > 1000 and t.column("month").null_count == 0 and t.column("orig_rate").null_count == 0
    assert 0 < pa.compute.max(t.column("rate")).as_py() < 0.1


def test_older_releases_compression_and_path_forms_read_alike(freddie, tmp_path):
    whole = _freddie(freddie).to_arrow()
    # Older records stop after 28 to 31 fields: cut each line's trailing fields, by line, within one file.
    short = tmp_path / "short"
    short.mkdir()
    for i, path in enumerate(sorted(freddie.glob("historical_data_time_*"))):
        lines = path.read_text().splitlines()
        cut = ["|".join(line.split("|")[: 28 + (j + i) % 4]) for j, line in enumerate(lines)]
        (short / path.name).write_text("\n".join(cut) + "\n")
    older = qc.history(short, "freddie-mac", origination=sorted(freddie.glob("historical_data_2*"))).to_arrow()
    assert older.drop_columns(["delinquent_interest"]).equals(whole.drop_columns(["delinquent_interest"]))
    # .gz and .zip and a list of files.
    packed = tmp_path / "packed"
    packed.mkdir()
    files = sorted(freddie.glob("historical_data_time_*"))
    for path in files[:3]:
        with open(path, "rb") as src, gzip.open(packed / (path.name + ".gz"), "wb") as dst:
            shutil.copyfileobj(src, dst)
    with zipfile.ZipFile(packed / "rest.zip", "w") as z:
        for path in files[3:]:
            z.write(path, path.name)
    again = qc.history(packed, "freddie-mac", origination=freddie / "historical_data_2*").to_arrow()
    assert again.equals(whole)


# ---------------------------------------------------------------- bad records

FIELD_AT = {name: i for i, (name, _) in enumerate(FANNIE_FIELDS)}
BAD = [  # (field, text or None for a cut record, code)
    (None, None, "bad_field_count"),
    ("current_upb", "12a4.50", "parse_float"),
    ("loan_age", "1.5", "parse_int"),
    ("act_period", "132020", "bad_date"),
    ("first_pay", "2020-1", "bad_date"),
    ("dlq_status", "ZZ", "unknown_code"),
    ("zero_bal_code", "42", "unknown_code"),
    ("loan_id", "", "null"),
    ("act_period", "", "null"),
]


def _fannie_lines(fannie):
    return sorted(fannie.glob("*.txt"))[0].read_text().splitlines()


@pytest.mark.parametrize("field, text, code", BAD)
def test_a_bad_record_is_a_listed_failure(fannie, tmp_path, field, text, code):
    lines = _fannie_lines(fannie)[:40]
    cells = lines[9].split("|")
    if field is None:
        cells = cells[:50]
    else:
        cells[FIELD_AT[field]] = text
    lines[9] = "|".join(cells)
    path = tmp_path / "bad.txt"
    path.write_text("\n".join(lines) + "\n")
    h = qc.history(path, "fannie-mae", errors="skip")
    [failure] = h.failures
    assert (failure.file, failure.line, failure.code, failure.field) == (str(path), 10, code, field)
    assert failure.id == (cells[FIELD_AT["loan_id"]] or None)
    assert h.to_arrow().num_rows == 39
    assert h.failure_table().column("line").to_pylist() == [10]
    with pytest.raises(qc.LoanError) as raised:
        qc.history(path, "fannie-mae")
    assert isinstance(raised.value, RecordError)
    assert (raised.value.file, raised.value.line, raised.value.field, raised.value.code) == (str(path), 10, field, code)
    assert "line 10" in str(raised.value)


@pytest.mark.parametrize("lines, unreadable, cut, batch_rows", [
    (1, [1], [], 5), (10, [5], [], 5), (10, [8, 9, 10], [], 5), (6, [2, 3], [], 3), (10, [10], [], 100),
    (12, [4], [12], 2),
])
def test_failed_records_anywhere_in_a_block_carry_their_own_ids(fannie, tmp_path, lines, unreadable, cut, batch_rows):
    rows = _fannie_lines(fannie)[:lines]
    for n in unreadable + cut:  # CURRENT_UPB "abc", or the record cut short
        cells = rows[n - 1].split("|")
        rows[n - 1] = "|".join(cells[:60] if n in cut else [*cells[:11], "abc", *cells[12:]])
    bad = sorted(unreadable + cut)
    path = tmp_path / "bad.txt"
    path.write_text("\n".join(rows) + "\n")
    h = qc.history(path, "fannie-mae", errors="skip", batch_rows=batch_rows)
    assert [(f.line, f.id) for f in h.failures] == [(n, rows[n - 1].split("|")[1]) for n in bad]
    assert h.to_arrow().num_rows == lines - len(bad)
    with pytest.raises(RecordError) as raised:
        qc.history(path, "fannie-mae", batch_rows=batch_rows)
    assert (raised.value.line, raised.value.id) == (bad[0], rows[bad[0] - 1].split("|")[1])


def test_an_empty_balance_is_absent_never_a_payoff(fannie, tmp_path):
    rows = _fannie_lines(fannie)[:400]
    whole = tmp_path / "whole.txt"
    whole.write_text("\n".join(rows) + "\n")
    # A running loan's record in the middle of its run, its CURRENT_UPB masked.
    at = next(i for i in range(1, len(rows) - 1) if rows[i].split("|")[1] == rows[i + 1].split("|")[1] ==
              rows[i - 1].split("|")[1] and rows[i + 1].split("|")[FIELD_AT["zero_bal_code"]] == "")
    cells = rows[at].split("|")
    cells[FIELD_AT["current_upb"]] = ""
    rows[at] = "|".join(cells)
    masked = tmp_path / "masked.txt"
    masked.write_text("\n".join(rows) + "\n")
    h = qc.history(masked, "fannie-mae")
    assert not h.failures and h.to_arrow().column("balance").null_count == 1
    got, want = (qc.performance(x).to_pandas() for x in (h, qc.history(whole, "fannie-mae")))
    assert (got.prepaid_principal <= want.prepaid_principal + 1e-9).all()
    assert got.prepaid_principal.sum() > want.prepaid_principal.sum() - float(cells[FIELD_AT["orig_upb"]])


def test_a_freddie_loan_without_origination_and_a_blank_line(freddie, tmp_path):
    perf = sorted(freddie.glob("historical_data_time_*"))[0]
    orig = sorted(freddie.glob("historical_data_2*"))[0]
    lines = perf.read_text().splitlines()
    lines.insert(3, "")
    (tmp_path / "p.txt").write_text("\n".join(lines) + "\n")
    ol = orig.read_text().splitlines()
    (tmp_path / "o.txt").write_text("\n".join(ol[1:]) + "\n")  # the first loan has no origination record
    h = qc.history(tmp_path / "p.txt", "freddie-mac", origination=tmp_path / "o.txt", errors="skip")
    first_loan = ol[0].split("|")[19]
    codes = [(f.line, f.code) for f in h.failures]
    assert (4, "bad_field_count") in codes
    missing = [f for f in h.failures if f.code == "no_origination"]
    assert missing and all(f.id == first_loan and f.field == "loan_sequence_number" for f in missing)
    assert first_loan not in set(h.to_arrow().column("id").to_pylist())


# ---------------------------------------------------------------- the native reader of clean blocks

# Values made to leave the native reader's plain case, each still read (or listed) by the CSV reader:
# (kind of field, text), or (None, fields kept) for a record cut short (29 fields: an older Freddie Mac one).
DIRTY = [("float", " 1200.5"), ("float", "1.5e3"), ("float", "inf"), ("float", "12a4.50"), ("float", ""),
         ("int", "+7"), ("int", "99999999999"), ("int", "-0"), ("str", "caf\u00e9"), (None, 20), (None, 29)]


@pytest.mark.parametrize("layout", ["fannie-mae", "freddie-mac"])
def test_native_reader_equals_the_csv_reader(tmp_path, monkeypatch, layout):
    from quill_harbor_columnar import _native
    from quill_harbor_columnar.history import records

    rng = np.random.default_rng(29)
    folder = tmp_path / "h"
    write_sample_history(str(folder), 400, 24, layout, seed=int(rng.integers(1 << 30)))
    fields = FANNIE_FIELDS if layout == "fannie-mae" else FREDDIE_PERFORMANCE_FIELDS
    pattern = "*.txt" if layout == "fannie-mae" else "historical_data_time_*"
    files = sorted(folder.glob(pattern))
    # Dirty lines in one file's blocks, '\r\n' endings in another, no last newline in a third.
    lines = files[0].read_text().splitlines()
    for (kind, text), k in zip(DIRTY, rng.choice(len(lines), len(DIRTY), replace=False)):
        cells = lines[k].split("|")
        if kind is None:
            cells = cells[:text]
        else:
            cells[rng.choice([i for i, (_, f) in enumerate(fields) if f == kind])] = text
        lines[k] = "|".join(cells)
    files[0].write_text("\n".join(lines) + "\n")
    files[1].write_bytes(files[1].read_bytes().replace(b"\n", b"\r\n"))
    files[2].write_bytes(files[2].read_bytes().rstrip(b"\n"))

    clean, real = [], _native.read_fields
    monkeypatch.setattr(_native, "read_fields", lambda *a: clean.append(real(*a)) or clean[-1])
    kw = {"columns": [n for n, _ in fields], "errors": "skip", "batch_rows": 300}
    if layout == "freddie-mac":
        kw["origination"] = folder / "historical_data_2*"
    native = qc.history(folder / pattern, layout, **kw)
    got = native.to_arrow()
    monkeypatch.setattr(records, "native_reader", False)
    old = qc.history(folder / pattern, layout, **kw)
    assert any(t is not None for t in clean) and None in clean
    assert got.equals(old.to_arrow()) and got.num_rows > 5000
    assert native.failures == old.failures and len(native.failures) >= 4
    assert native.failure_table().equals(old.failure_table())


# ---------------------------------------------------------------- the command

def _cli(*args):
    return subprocess.run([sys.executable, "-m", "quill_harbor_columnar.cli", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


def test_the_commands(tmp_path):
    folder = tmp_path / "h"
    ok = _cli("sample-history", "--loans", 300, "--months", 14, "--layout", "fannie-mae", "-o", folder)
    assert ok.returncode == 0, ok.stderr
    out = tmp_path / "perf.parquet"
    run = _cli("performance", folder, "--layout", "fannie-mae", "--by", "vintage", "--window", 12, "-o", out,
               "--roll-rates", tmp_path / "rolls.csv", "--plot", tmp_path / "p.png")
    assert run.returncode == 0, run.stderr
    table = pq.read_table(out)
    assert {"vintage", "cpr_12", "cdr_12", "psa"} <= set(table.column_names)
    rolls = pd.read_csv(tmp_path / "rolls.csv")
    sums = rolls.groupby(["month", "vintage", "from"]).loan_share.sum()
    np.testing.assert_allclose(sums, 1.0, rtol=1e-12)
    # A bad record: --errors raise stops (status 2) naming file, line and field, and writes nothing.
    bad = sorted(folder.glob("*.txt"))[0]
    lines = bad.read_text().splitlines()
    cells = lines[4].split("|")
    cells[FIELD_AT["current_upb"]] = "x"
    lines[4] = "|".join(cells)
    bad.write_text("\n".join(lines) + "\n")
    out.unlink()
    stop = _cli("performance", folder, "--layout", "fannie-mae", "--errors", "raise", "-o", out)
    assert stop.returncode == 2 and "line 5, field current_upb" in stop.stderr and not out.exists()
    skip = _cli("performance", folder, "--layout", "fannie-mae", "-o", out, "--failures", tmp_path / "f.csv",
                "--progress")
    assert skip.returncode == 0 and pd.read_csv(tmp_path / "f.csv").line.tolist() == [5]
    assert "records in" in skip.stderr and "loans" not in skip.stderr
    # Nothing reads: status 3.
    junk = tmp_path / "junk.txt"
    junk.write_text("a|b\nc|d\n")
    none = _cli("performance", junk, "--layout", "fannie-mae", "-o", tmp_path / "n.csv",
                "--failures", tmp_path / "j.csv")
    assert none.returncode == 3, none.stderr
    assert pd.read_csv(tmp_path / "j.csv").line.tolist() == [1, 2] and not (tmp_path / "n.csv").exists()


@pytest.mark.parametrize("flag, value", [("--cpr", "100"), ("--cdr", "100"), ("--severity", "150"), ("--cpr", "-1"),
                                         ("--start", "2022-13")])
def test_sample_history_refuses_a_bad_flag_in_one_line(tmp_path, flag, value):
    run = _cli("sample-history", "--loans", 5, "--months", 2, "--layout", "fannie-mae", "-o", tmp_path / "h",
               f"{flag}={value}")
    assert run.returncode == 2 and not (tmp_path / "h").exists()
    [line] = run.stderr.splitlines()
    assert line.startswith("quill-harbor: error: " + flag) and "Error" not in line


# ---------------------------------------------------------------- actual against projected

def test_fit_recovers_the_generator_and_backtest_sets_it_beside_history(tmp_path):
    cpr, cdr, severity = 0.12, 0.03, 0.35
    write_sample_history(str(tmp_path), 6000, 36, "fannie-mae", cpr=cpr, cdr=cdr, severity=severity, seed=11)
    h = qc.history(tmp_path, "fannie-mae")
    book = qc.as_of(h, "2020-06")
    assert {"id", "amt", "rate", "pers", "int_freq", "cap_freq", "age", "balance", "vintage"} <= set(book.column_names)
    fitted = qc.fit(h, start="2020-07")
    [row] = fitted.to_arrow().to_pylist()
    assert row["cpr"] == pytest.approx(cpr, rel=0.1) and row["cdr"] == pytest.approx(cdr, rel=0.25)
    assert row["severity"] == pytest.approx(severity, rel=1e-6) and row["psa"] > 0 and row["sda"] > 0
    # fit() is itself the scenario mappings project() takes (and a cluster ships).
    assert list(fitted) == fitted.scenarios() == pickle.loads(pickle.dumps(fitted)).scenarios() and len(fitted) == 2
    assert qc.project(book, fitted).to_arrow().equals(qc.project(book, fitted.scenarios()).to_arrow())
    bt = qc.backtest(h, book, fitted).to_pandas()
    constant = bt[bt.scenario == 0].sort_values("month")
    assert len(constant) == 30
    # Projected at the fitted speeds, the book ends near where it really did.
    end = constant.iloc[-1]
    assert end.projected_balance == pytest.approx(end.realized_balance, rel=0.01)
    np.testing.assert_allclose(constant.diff_balance, constant.realized_balance - constant.projected_balance)
    # Period 1's realized balance is the book's loans still performing a month on.
    p = qc.performance(h, start="2020-07", end="2020-07").to_pandas()
    assert constant.iloc[0].realized_prepaid == pytest.approx(p.prepaid_principal[0], rel=1e-9)


@pytest.mark.parametrize("first", ["import quill_harbor_columnar as qc", "from quill_harbor_columnar.performance "
                                   "import as_of, backtest, fit, performance, roll_rates"])
def test_performance_is_a_module_and_the_function(first):
    code = (f"{first}\nimport quill_harbor_columnar as qc\n"
            "from quill_harbor_columnar.performance import as_of, backtest, fit, performance, roll_rates\n"
            "assert qc.performance is performance and callable(roll_rates) and qc.fit is fit\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr


# ---------------------------------------------------------------- scale-out

def test_dask_equals_one_machine(fannie, freddie):
    pytest.importorskip("dask")
    import quill_harbor_columnar.dask as qd

    for one, many in (
        (qc.performance(qc.history(fannie, "fannie-mae", batch_rows=5000), by="vintage", window=6),
         qd.performance(fannie, "fannie-mae", by="vintage", window=6, batch_rows=5000)),
        (qc.performance(qc.history(fannie, "fannie-mae"), precision="cent"),
         qd.performance(fannie, "fannie-mae", precision="cent")),
        (qc.performance(_freddie(freddie), by=["vintage", "coupon"]),
         qd.performance(freddie / "historical_data_time_*", "freddie-mac", origination=freddie / "historical_data_2*",
                        by=["vintage", "coupon"])),
    ):  # fmt: skip
        pd.testing.assert_frame_equal(one.to_pandas(), many.to_pandas(), check_exact=True)
