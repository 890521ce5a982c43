"""Books of random and adversarial loans and their reference schedules from
quill_harbor's own operations, for the columnar differential tests."""

from __future__ import annotations

import contextlib
import os
from dataclasses import dataclass

import numpy as np

import quill_harbor
from messages import NAN_SCHEDULE

COLUMNS = ("Per", "Cap", "Int", "Pmt", "Bal")

AMT_EDGES = [np.nan, np.inf, -np.inf, 0.0, -0.0, -100.0, 1e-45, 1e-40, 3.4e38, 3.4028235677973366e38, 1e39, -1e39,
             5e-324, 1.0000000001, 123456789.123, 0.1]
RATE_EDGES = [0.0, -0.0, 1e-30, 1e-8, 1e-45, -0.05, np.nan, np.inf, -np.inf, 1.0, 5.0, 1e-3, 0.1]
PERS_EDGES = [0, 1, -1, -5, 2, 3, 360, 2**31 - 1, -(2**31)]
FREQ_EDGES = [0, -1, -3, 2**31 - 1, -(2**31)]


def typed_book(n: int, seed: int, *, wide_ints: bool = True) -> dict[str, np.ndarray]:
    """n loans, about a fifth of them with edge values in some field.
    wide_ints adds integers outside the 32-bit range (int64 columns only)."""
    rng = np.random.default_rng(seed)
    amt = rng.uniform(1.0, 1e6, n)
    rate = rng.uniform(1e-4, 0.2, n)
    pers = rng.integers(1, 121, n).astype(np.int64)
    int_freq = rng.choice([1, 1, 1, 2, 3, 6, 12], n).astype(np.int64)
    cap_freq = rng.choice([1, 1, 1, 2, 3, 6, 12], n).astype(np.int64)

    def spike(arr, edges, p):
        mask = rng.random(n) < p
        arr[mask] = rng.choice(np.array(edges, dtype=arr.dtype), int(mask.sum()))

    spike(amt, AMT_EDGES, 0.05)
    spike(rate, RATE_EDGES, 0.05)
    pers_edges = PERS_EDGES + ([2**31, -(2**31) - 1, 2**40] if wide_ints else [])
    spike(pers, pers_edges, 0.04)
    freq_edges = FREQ_EDGES + ([2**31] if wide_ints else [])
    spike(int_freq, freq_edges, 0.02)
    spike(cap_freq, freq_edges, 0.02)
    # capital in one block, and frequencies past the end
    m = rng.random(n) < 0.02
    cap_freq[m] = pers[m]
    m = rng.random(n) < 0.01
    int_freq[m] = pers[m] + 1
    ids = np.array([f"r{i}" for i in range(n)], dtype=object)
    return {"id": ids, "amt": amt, "rate": rate, "pers": pers, "int_freq": int_freq, "cap_freq": cap_freq}


TEXT_FLOAT_EDGES = ["", "abc", "1e", " 5", "5 ", "+5", "-0", "nan", "NaN", "inf", "-Infinity", "1_000", "0x1p3", "5.",
                    ".5", "1e400", "1e-400", "1e-45", "٣", "--1", "1.5e+3", "+.5e-2"]
TEXT_INT_EDGES = ["", "x", "+", "-", "99999999999", "-2147483649", "2147483647", "-2147483648", "+12", "1.0", " 1",
                  "0", "-1", "007"]


def text_book(n: int, seed: int) -> dict[str, list[str]]:
    """n loans as text, the numbers written in several ways and about a tenth
    of the rows carrying edge texts."""
    rng = np.random.default_rng(seed)
    typed = typed_book(n, seed, wide_ints=False)
    amt = [repr(float(v)) if i % 3 else f"{v:.6e}" for i, v in enumerate(typed["amt"])]
    rate = [repr(float(v)) for v in typed["rate"]]
    pers = [str(int(v)) for v in typed["pers"]]
    int_freq = [str(int(v)) for v in typed["int_freq"]]
    cap_freq = [str(int(v)) for v in typed["cap_freq"]]
    for col, edges, p in ((amt, TEXT_FLOAT_EDGES, 0.03), (rate, TEXT_FLOAT_EDGES, 0.03), (pers, TEXT_INT_EDGES, 0.03),
                          (int_freq, TEXT_INT_EDGES, 0.01), (cap_freq, TEXT_INT_EDGES, 0.01)):
        for i in np.nonzero(rng.random(n) < p)[0]:
            col[i] = edges[rng.integers(len(edges))]
    ids = [f"t{i}" for i in range(n)]
    return {"id": ids, "amt": amt, "rate": rate, "pers": pers, "int_freq": int_freq, "cap_freq": cap_freq}


@contextlib.contextmanager
def quiet_stderr():
    """The dict operations report every failure on fd 2; thousands of
    expected failures would drown the test log."""
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


@dataclass
class Reference:
    failed: dict[int, str]   # row -> engine message
    lengths: np.ndarray      # entries per row, 0 for failed rows
    columns: dict[str, np.ndarray]  # float32, rows concatenated


def _collect(n, schedule_of) -> Reference:
    failed: dict[int, str] = {}
    lengths = np.zeros(n, dtype=np.int64)
    parts: dict[str, list] = {c: [] for c in COLUMNS}
    with quiet_stderr():
        for i in range(n):
            try:
                sched = schedule_of(i)
            except BaseException as e:  # PanicException derives from BaseException
                if isinstance(e, (KeyboardInterrupt, SystemExit)):
                    raise
                failed[i] = str(e)
                continue
            # The columnar calls refuse a schedule holding NaN.
            if any(v != v for c in COLUMNS for v in sched[c]):
                failed[i] = NAN_SCHEDULE
                continue
            lengths[i] = len(sched["Bal"])
            for c in COLUMNS:
                parts[c].append(sched[c])
    columns = {}
    for c in COLUMNS:
        flat = [v for part in parts[c] for v in part]
        columns[c] = np.array(flat, dtype=np.float64).astype(np.float32)
    return Reference(failed, lengths, columns)


def typed_reference(book) -> Reference:
    n = len(book["amt"])
    py = {k: book[k].tolist() if hasattr(book[k], "tolist") else list(book[k]) for k in book}

    def one(i):
        rec = {k: py[k][i] for k in py}
        return quill_harbor.paywheel_fn([rec])[rec["id"]]

    return _collect(n, one)


def text_reference(book) -> Reference:
    n = len(book["amt"])
    return _collect(n, lambda i: quill_harbor.paywheel_gil([{k: book[k][i] for k in book}])[0])


def bits(a) -> np.ndarray:
    return np.asarray(a, dtype=np.float32).view(np.uint32)


def assert_matches(result, ref: Reference) -> None:
    """result: a Schedules computed with errors='skip'."""
    got_failed = {i: reason for i, _, _, _, reason in result.errors}
    assert set(got_failed) == set(ref.failed), (
        sorted(set(got_failed) ^ set(ref.failed))[:10])
    mismatched = [i for i in ref.failed if got_failed[i] != ref.failed[i]]
    assert not mismatched, [(i, got_failed[i], ref.failed[i]) for i in mismatched[:5]]
    offsets = np.asarray(result.offsets).astype(np.int64)
    assert offsets[0] == 0
    assert np.array_equal(np.diff(offsets), ref.lengths)
    for c in COLUMNS:
        got = np.asarray(result.column(c))
        assert got.dtype == np.float32
        assert np.array_equal(got.view(np.uint32), bits(ref.columns[c])), c
