"""What a call's memory comes to, each measured in a fresh interpreter: what
it keeps once it is over, the peak its up-front check tests, and a peak past
memory refused before anything is allocated."""

import re
import textwrap

import pytest

from messages import PROJECTION_PAST_MEMORY

MiB = 1 << 20
# The needed bytes, as the refusal states them.
NEED = re.compile(re.escape(PROJECTION_PAST_MEMORY).replace(re.escape("%zu"), r"(\d+)"))
# Arrow on the system allocator and one malloc arena: the address space is
# then close to what is in use, so that a limit just above it is a limit on
# what a call may take.
LEAN = {"ARROW_DEFAULT_MEMORY_POOL": "system", "MALLOC_ARENA_MAX": "1"}

PRELUDE = """
import gc, resource
import numpy as np, pyarrow as pa
import quill_harbor_columnar as qc

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith(key))

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

def limit_to(extra):
    resource.setrlimit(resource.RLIMIT_AS, (status("VmSize:") + extra, resource.getrlimit(resource.RLIMIT_AS)[1]))

def loans(n, pers=360, seed=7):
    rng = np.random.default_rng(seed)
    return {"id": pa.array([f"L{i}" for i in range(n)]), "amt": rng.uniform(5e4, 5e5, n),
            "rate": rng.uniform(0.002, 0.006, n), "pers": np.full(n, pers), "int_freq": np.ones(n, np.int64),
            "cap_freq": np.ones(n, np.int64), "age": rng.integers(0, 12, n)}
"""


def run(run_python, code, lean=True, **env):
    proc = run_python(PRELUDE + textwrap.dedent(code), env={**(LEAN if lean else {}), **env}, timeout=240)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout.splitlines()


def test_a_long_loans_scratch_goes_when_the_call_ends(run_python):
    # Two loans of 2^21 periods, rows 0 and 1024: blocks of their own, run on
    # two of the pool's threads, which outlive every call. The cash flows'
    # result may stay behind as the pages the next result reuses.
    out = run(run_python, """
        book = loans(1025, pers=12)
        book["pers"][[0, 1024]] = 2**21
        book["rate"][[0, 1024]] = 1e-6
        del book["id"], book["age"]
        sc = {"cpr": 0.05, "cdr": 0.01, "severity": 0.3, "lag": 3}
        calls = {"cashflows": lambda b: qc.cashflows(b, threads=2),
                 "project": lambda b: qc.project(b, sc, threads=2),
                 "per_loan": lambda b: list(qc.project(b, sc, threads=2, per_loan=True).to_reader())}
        for call in calls.values():
            call({k: v[1:3] for k, v in book.items()})
        for name, call in calls.items():
            gc.collect()
            start = resident()
            result = call(book)
            allowed = result.nbytes if name == "cashflows" else 0
            del result
            gc.collect()
            print(name, (resident() - start - allowed) >> 20)
    """)
    kept = {name: int(mib) for name, mib in map(str.split, out)}
    assert kept.keys() == {"project", "per_loan", "cashflows"}
    assert all(mib < 24 for mib in kept.values()), kept


@pytest.mark.serial
@pytest.mark.parametrize("lean, pers, discount", [(True, 2**21, "price=[99, 101]"), (False, 2**22, "discount_rate=0.06")],
                         ids=["one-arena", "as-started"])
def test_per_loan_values_of_long_loans_leave_no_scratch_on_any_pool_thread(run_python, lean, pers, discount):
    # A 2^21-period loan in a block of its own for each of the pool's four
    # threads, valued loan by loan three times over: the pool's threads
    # outlive every call, so scratch that any of them kept would stay. In a
    # process as started (an allocator heap a thread), too.
    out = run(run_python, """
        book = loans(3 * 1024 + 1, pers=12)
        long = [0, 1024, 2048, 3072]
        book["pers"][long] = PERS
        book["rate"][long] = 1e-6
        del book["id"], book["age"]
        sc = [{"cpr": 0.05, "cdr": 0.01, "severity": 0.3, "lag": 3}, {"cpr": 0.1}]
        value = lambda b: qc.value(b, sc, DISCOUNT, per_loan=True)
        value({k: v[1:3] for k, v in book.items()})
        gc.collect()
        start = resident()
        for _ in range(3):
            result = value(book)
            assert result.num_rows % (3 * 1024 + 1) == 0 and not len(result.errors), result
            del result
            gc.collect()
            print((resident() - start) >> 20)
    """.replace("PERS", str(pers)).replace("DISCOUNT", discount), lean=lean, RAYON_NUM_THREADS="4")
    kept = [int(mib) for mib in out]
    assert len(kept) == 3 and max(kept) < 8, kept


@pytest.mark.parametrize("loans, scenarios, lag", [(5000, 4, 0), (3000, 1, 2000)],
                         ids=["by id, four scenarios", "by id, a lag"])
def test_the_checked_peak_covers_the_measured_one(run_python, loans, scenarios, lag):
    # The figure the check tests, as a limit just above what the process
    # holds makes it refuse the call; then the peak of the same call run.
    out = run(run_python, f"""
        book = loans({loans})
        sc = [{{"cpr": 0.02 * (k + 1), "cdr": 0.01, "severity": 0.3, "lag": {lag}}} for k in range({scenarios})]
        qc.project({{k: v[:50] for k, v in book.items()}}, sc, by="id", threads=2)
        gc.collect()
        hard = resource.getrlimit(resource.RLIMIT_AS)
        limit_to(64 << 20)
        try:
            qc.project(book, sc, by="id", threads=2)
        except MemoryError as e:
            print(e)
        resource.setrlimit(resource.RLIMIT_AS, hard)
        gc.collect()
        start = resident()
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak so far: what is resident now
        p = qc.project(book, sc, by="id", threads=2)
        print(status("VmHWM:") - start, p.to_arrow().nbytes)
    """)
    refusal = NEED.fullmatch(out[0])
    assert refusal, out
    need = int(refusal.group(1))
    peak, result = map(int, out[1].split())
    assert peak <= need < 1.3 * peak, (peak, need)
    assert peak < 1.5 * result, (peak, result)


def test_a_lag_of_2_to_the_20_on_300_loans_is_refused_up_front(run_python):
    # About 25 GB at its peak; refused on the first block, before its sums
    # exist, under any limit (here one that keeps the machine safe).
    out = run(run_python, """
        book = loans(300)
        sc = {"cpr": 0.05, "cdr": 0.01, "severity": 0.3, "lag": 2**20}
        qc.project({k: v[:2] for k, v in book.items()}, {"cpr": 0.05}, by="id", threads=2)
        gc.collect()
        limit_to(2 << 30)
        start = resident()
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        try:
            qc.project(book, sc, by="id", threads=2)
            print("projected")
        except MemoryError as e:
            print(e)
        print((status("VmHWM:") - start) >> 20, qc.project(book, {"cpr": 0.05}, by="id", threads=2).num_rows)
    """)
    assert NEED.fullmatch(out[0]), out
    grown, rows = map(int, out[1].split())
    assert grown < 16 and rows == 300 * 361, out
