"""Eight threads share the pool with good and failing batches while a ninth
computes a long loan; every outcome must be paywheel_fn's, no thread may stall,
and the reports on standard error must stay line-intact.

QH_STRESS_SECONDS sets the duration (30 s by default)."""

import json
import os
import re
import subprocess
import sys

STRESS_SCRIPT = r"""
import json, os, random, sys, threading, time
from quill_harbor import paywheel_fn, paywheel_gil, paywheel_par

SECONDS, STALL = float(sys.argv[1]), float(sys.argv[2])
MISSING = "called `Option::unwrap()` on a `None` value"
INT_INVALID = "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: InvalidDigit }"
rng = random.Random(7)

def typed(k):
    return dict(id=str(k), amt=rng.choice([0.5, 15.0, 1000.0, 250000.0]), rate=rng.choice([0.0, 0.001, 0.01, 0.35]),
                pers=rng.randint(1, 240), int_freq=rng.choice([-3, 1, 2, 6]), cap_freq=rng.choice([-1, 0, 1, 3, 12]))

def text(record):
    return {key: value if isinstance(value, str) else str(value) for key, value in record.items()}

# repr tells NaN from NaN equal and -0.0 from 0.0 apart, as == does not.
def same(a, b):
    return repr(a) == repr(b)

def failure(call, *args):
    try:
        return None, call(*args)
    except BaseException as exc:
        return f"{type(exc).__name__}: {exc}", None

# A batch's expected outcome, record by record in order as the sequential
# operation sees it: the first record that fails to decode or to compute wins.
def make_batch(first, size):
    records, texts, want = [], [], []
    message = None
    for k in range(first, first + size):
        r = typed(k)
        t = text(r)
        fault = rng.random()
        if fault < 0.01:
            del t["amt"]
            err = "PanicException: " + MISSING
        elif fault < 0.02:
            t["pers"] = "x" + t["pers"]
            err = "PanicException: " + INT_INVALID
        else:
            err, result = failure(paywheel_fn, [r])
            if err is None:
                want.append(result[r["id"]])
        message = message or err
        texts.append(t)
    return texts, (message, None if message else want)

batches = []
first = 0
for _ in range(24):
    size = rng.choice([1, 3, 40, 300])
    batches.append(make_batch(first, size))
    first += size

big = dict(id="big", amt=1000.0, rate=0.001, pers=1_000_000, int_freq=12, cap_freq=3)
big_expected = failure(paywheel_fn, [big])

errors = []
stop = threading.Event()
progress = [time.monotonic()] * 9
calls = [0] * 9

def worker(slot):
    local = random.Random(slot)
    while not stop.is_set():
        texts, (message, want) = local.choice(batches)
        op = local.choice([paywheel_par, paywheel_gil])
        err, result = failure(op, texts)
        if err != message or (err is None and not same(result, want)):
            errors.append(f"{op.__name__}: got {err or 'results'}, expected {message or 'results'}")
            return
        calls[slot] += 1
        progress[slot] = time.monotonic()

def long_loan():
    err, result = big_expected
    while not stop.is_set():
        got_err, got = failure(paywheel_gil, [text(big)])
        if got_err != err or (err is None and not same(got, [result["big"]])):
            errors.append(f"long loan: got {got_err}, expected {err}")
            return
        calls[8] += 1
        progress[8] = time.monotonic()

threads = [threading.Thread(target=worker, args=(slot,)) for slot in range(8)] + [threading.Thread(target=long_loan)]
for thread in threads:
    thread.start()
end = time.monotonic() + SECONDS
while time.monotonic() < end and not errors:
    time.sleep(0.5)
    late = [slot for slot in range(9) if time.monotonic() - progress[slot] > STALL and threads[slot].is_alive()]
    if late:
        print(json.dumps({"stalled": late, "calls": calls}), flush=True)
        os._exit(3)
stop.set()
for thread in threads:
    thread.join()
messages = {m for _, (m, _) in batches if m} | ({big_expected[0]} if big_expected[0] else set())
print(json.dumps({"calls": calls, "errors": errors,
                  "messages": sorted(m.split(": ", 1)[1] for m in messages)}))
"""

REPORT_HEAD = re.compile(r"thread '<unnamed>' panicked at [^\s:]+:\d+:\d+:")
HINT = "note: run with `QUILL_HARBOR_BACKTRACE=1` environment variable to display a backtrace"


def test_threads_share_the_pool_under_failures_and_a_long_loan():
    seconds = float(os.environ.get("QH_STRESS_SECONDS", "30"))
    stall = 60.0
    environment = dict(os.environ)
    environment.pop("QUILL_HARBOR_BACKTRACE", None)
    proc = subprocess.run([sys.executable, "-c", STRESS_SCRIPT, str(seconds), str(stall)], capture_output=True,
                          text=True, env=environment, timeout=seconds + stall + 120)
    assert proc.returncode == 0, (proc.stdout[-2000:], proc.stderr[-2000:])
    outcome = json.loads(proc.stdout)
    assert outcome["errors"] == []
    # Every caller got through calls, the long loan included.
    assert all(n > 0 for n in outcome["calls"]), outcome["calls"]

    # A report may come from any failing record a worker reaches, not only
    # the first in order, so any message the batches can produce is allowed.
    messages = set(outcome["messages"])
    assert len(messages) >= 2
    lines = proc.stderr.splitlines()
    assert any(REPORT_HEAD.fullmatch(line) for line in lines)
    bad = [line for line in lines if not (REPORT_HEAD.fullmatch(line) or line in messages or line == HINT)]
    assert not bad, f"{len(bad)} of {len(lines)} lines malformed, e.g. {bad[:3]!r}"
