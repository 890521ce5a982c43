"""Hostile environments and hostile callers: each case once crashed, hung or
corrupted the process. Wherever the fault kills or hangs the process, the case
runs in a fresh interpreter under a timeout."""

import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from quill_harbor import paywheel_fn, paywheel_gil, paywheel_par

from conftest import make_loan, make_text_loan

HERE = pathlib.Path(__file__).resolve().parent
POOL_NOT_BUILT = "The global thread pool has not been initialized.: "
HINT = "note: run with `QUILL_HARBOR_BACKTRACE=1` environment variable to display a backtrace"


def child(code, env=None, timeout=60, args=(), helpers=False):
    """Runs a snippet in a fresh interpreter (after BATCH_HELPERS if asked); a hang fails
    the test through TimeoutExpired."""
    code = (BATCH_HELPERS if helpers else "") + textwrap.dedent(code)
    environment = dict(os.environ)
    environment.pop("QUILL_HARBOR_BACKTRACE", None)
    environment.update(env or {})
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          env=environment, timeout=timeout)


# Records of the parallel operations and paywheel_fn's schedules for the same loans.
BATCH_HELPERS = """
import json, sys
from quill_harbor import paywheel_fn, paywheel_gil, paywheel_par

def texts(count, pers=12):
    return [dict(id=str(k), amt=str(1000 + k), rate="0.01", pers=str(pers), int_freq="1", cap_freq="3")
            for k in range(count)]

def expected(count, pers=12):
    by_id = paywheel_fn([dict(id=str(k), amt=1000.0 + k, rate=0.01, pers=pers, int_freq=1, cap_freq=3)
                         for k in range(count)])
    return [by_id[str(k)] for k in range(count)]

def outcome(op, batch, want):
    try:
        return "ok" if op(batch) == want else "WRONG RESULT"
    except BaseException as exc:
        return f"{type(exc).__name__}: {exc}"
"""


# --- item 1: pool threads that cannot start ----------------------------------


@pytest.fixture(scope="module")
def fault_shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the fault-injection shim")
    out = tmp_path_factory.mktemp("shim") / "libfault_shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-o", str(out),
                    str(HERE / "fault_shim.c"), "-ldl"], check=True)
    return out


def preload(shim):
    # Keep any preload already in force (a sanitizer runtime) ahead of the shim.
    current = os.environ.get("LD_PRELOAD")
    return f"{current}:{shim}" if current else str(shim)


@pytest.mark.parametrize("fail_from", [1, 2, 3, 4])
def test_pool_threads_that_cannot_start(fault_shim, fail_from):
    # Either the pool-building panic on every call, or correct results on
    # every call from the threads that did start; never a crash, a hang or a
    # record read from freed memory.
    proc = child("""
        batch, want = texts(1000), expected(1000)
        print(json.dumps([outcome(op, batch, want) for op in (paywheel_gil, paywheel_par) * 3]))
        """, env={"LD_PRELOAD": preload(fault_shim), "QH_FAIL_PTHREAD_CREATE_FROM": str(fail_from),
                  "RAYON_NUM_THREADS": "4"}, timeout=30, helpers=True)
    assert proc.returncode == 0, proc.stderr[-2000:]
    outcomes = json.loads(proc.stdout)
    assert len(set(outcomes)) == 1, outcomes
    assert outcomes[0] == "ok" or outcomes[0].startswith("PanicException: " + POOL_NOT_BUILT), outcomes[0]


# --- item 2: the environment changing while workers report --------------------


@pytest.mark.parametrize("backtrace", [None, "1"], ids=["no-backtrace", "backtrace"])
def test_environment_churn_during_failing_calls(fault_shim, backtrace):
    # Reading the environment while this churn moves it crashes only now and
    # then; the shim makes any read of the setting off the main thread abort.
    env = {"LD_PRELOAD": preload(fault_shim), "QH_GETENV_MAIN_THREAD_ONLY": "QUILL_HARBOR_BACKTRACE"}
    if backtrace:
        env["QUILL_HARBOR_BACKTRACE"] = backtrace
    proc = child("""
        import os, threading, time
        from quill_harbor import paywheel_gil
        bad = [dict(id=str(k), amt="1000", rate="0.01", pers="x", int_freq="1", cap_freq="1") for k in range(64)]
        stop = threading.Event()
        def churn():
            k = 0
            while not stop.is_set():  # every new variable grows, and may move, the environment block
                os.environ[f"QH_CHURN_{k}"] = "v"
                os.environ.pop(f"QH_CHURN_{k - 50}", None)
                k += 1
        thread = threading.Thread(target=churn)
        thread.start()
        end, calls = time.monotonic() + 4, 0
        while time.monotonic() < end:
            try:
                paywheel_gil(bad)
            except BaseException:
                calls += 1
        stop.set()
        thread.join()
        print(calls)
        """, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert int(proc.stdout) > 0
    assert ("stack backtrace:" in proc.stderr) == bool(backtrace)


# --- item 3: a daemon thread inside a call when the interpreter exits ----------


def test_daemon_threads_in_calls_at_interpreter_exit():
    # Each call computes 400 records with the lock released, then fails on the
    # last one without converting anything: the daemons spend most of their
    # time outside the lock, and try to take it back while the interpreter
    # finalizes.
    code = """
        import threading, time
        from quill_harbor import paywheel_gil
        batch = [dict(id=str(k), amt="1000", rate="0.001", pers="120", int_freq="1", cap_freq="3")
                 for k in range(400)] + [dict(id="bad")]
        started = threading.Barrier(5)
        def work():
            started.wait()
            while True:
                try:
                    paywheel_gil(batch)
                except BaseException:
                    pass
        for _ in range(4):
            threading.Thread(target=work, daemon=True).start()
        started.wait()
        time.sleep(0.2)
        """
    for _ in range(5):
        proc = child(code, timeout=60)
        assert proc.returncode == 0 and "terminate called" not in proc.stderr, (proc.returncode, proc.stderr[-2000:])


# --- item 4: a sub-interpreter --------------------------------------------------


@pytest.mark.skipif(
    sys.version_info >= (3, 13),
    reason="CPython 3.13 runs a single-phase module's initialisation in the main interpreter as well, "
    "which the once-per-process rule refuses, so the module cannot be first imported in a sub-interpreter",
)
def test_failure_rendered_in_a_sub_interpreter(tmp_path):
    # The same failure in this interpreter gives the text to expect.
    record = make_loan(amt="15")
    with pytest.raises(BaseException) as info:
        paywheel_fn([record])
    out = tmp_path / "outcome.txt"
    proc = child(f"""
        import _testcapi
        code = '''
        import quill_harbor
        try:
            quill_harbor.paywheel_fn([{record!r}])
        except BaseException as exc:
            with open({str(out)!r}, "w") as f:
                f.write(type(exc).__name__ + ": " + str(exc))
        '''
        import textwrap
        print(_testcapi.run_in_subinterp(textwrap.dedent(code)))
        """, timeout=30)
    assert proc.returncode == 0 and proc.stdout.strip() == "0", proc.stderr[-2000:]
    assert out.read_text() == f"{type(info.value).__name__}: {info.value}"


# --- item 5: a descendant that gets its ancestor's PID --------------------------


def can_make_pid_namespace():
    if shutil.which("unshare") is None:
        return False
    try:
        return subprocess.run(["unshare", "--pid", "--fork", "true"], capture_output=True, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


# Runs as PID 1 of a fresh PID namespace, where PIDs are predictable and
# ns_last_pid chooses the next one: A starts the pool and forks B, A exits and
# is reaped, and B forks C into A's PID. C must compute, not wait for A's
# workers.
RECYCLED_PID_SCRIPT = BATCH_HELPERS + """
import os, time, signal
go_r, go_w = os.pipe()
res_r, res_w = os.pipe()
a = os.fork()
if a == 0:
    batch, want = texts(64), expected(64)
    assert paywheel_par(batch) == want
    owner = os.getpid()
    if os.fork() == 0:
        os.read(go_r, 1)  # A has exited and been reaped: its PID is free
        with open("/proc/sys/kernel/ns_last_pid", "w") as f:
            f.write(str(owner - 1))
        c = os.fork()
        if c == 0:
            if os.getpid() != owner:
                os._exit(4)
            ok = paywheel_par(batch) == want and paywheel_gil(batch) == want
            os._exit(0 if ok else 3)
        deadline = time.monotonic() + 20
        while True:
            done, status = os.waitpid(c, os.WNOHANG)
            if done:
                verdict = {0: "ok", 3: "wrong", 4: "pid not recycled"}.get(os.waitstatus_to_exitcode(status), "crash")
                break
            if time.monotonic() > deadline:
                os.kill(c, signal.SIGKILL)
                os.waitpid(c, 0)
                verdict = "hung"
                break
            time.sleep(0.05)
        os.write(res_w, verdict.encode())
        os._exit(0)
    os._exit(0)
os.waitpid(a, 0)
os.write(go_w, b"x")
print(os.read(res_r, 100).decode())
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="a PID namespace and ns_last_pid need root")
def test_descendant_with_the_owners_recycled_pid():
    if not can_make_pid_namespace():
        pytest.skip("cannot create a PID namespace here")
    environment = dict(os.environ, RAYON_NUM_THREADS="2")
    proc = subprocess.run(["unshare", "--pid", "--fork", sys.executable, "-c", RECYCLED_PID_SCRIPT],
                          capture_output=True, text=True, env=environment, timeout=90)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "ok", proc.stderr[-2000:]


# --- item 6: concurrent reports stay line-intact ---------------------------------


REPORT_HEAD = re.compile(r"thread '<unnamed>' panicked at [^\s:]+:\d+:\d+:")
INT_INVALID = "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: InvalidDigit }"
MISSING = "called `Option::unwrap()` on a `None` value"
DIVISOR = "attempt to calculate the remainder with a divisor of zero"


def malformed_report_lines(stderr, messages):
    """Lines of fd 2 that are neither a report head, a known message nor the hint."""
    return [line for line in stderr.splitlines()
            if not (REPORT_HEAD.fullmatch(line) or line in messages or line == HINT)]


def test_reports_of_workers_failing_together_stay_line_intact():
    proc = child("""
        from quill_harbor import paywheel_gil, paywheel_par
        kinds = [dict(pers="x"), dict(amt=None), dict(cap_freq="0")]
        def record(k):
            r = dict(id=str(k), amt="1000", rate="0.01", pers="12", int_freq="1", cap_freq="3")
            r.update(kinds[k % 3])
            return {key: v for key, v in r.items() if v is not None}
        batch = [record(k) for k in range(4000)]
        for _ in range(150):
            for op in (paywheel_gil, paywheel_par):
                try:
                    op(batch)
                except BaseException:
                    pass
        """, env={"RAYON_NUM_THREADS": "8"}, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stderr.splitlines()
    assert sum(1 for line in lines if REPORT_HEAD.fullmatch(line)) >= 300
    bad = malformed_report_lines(proc.stderr, {INT_INVALID, MISSING, DIVISOR})
    assert not bad, f"{len(bad)} of {len(lines)} lines malformed, e.g. {bad[:3]!r}"


# --- item 7: a length hint that lies ---------------------------------------------


class Hinted:
    """A sequence whose length claims far more records than iteration yields."""

    def __init__(self, records, length):
        self.records, self.length = records, length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        raise AssertionError("read by index")

    def __iter__(self):
        return iter(self.records)


@pytest.mark.parametrize("op", [paywheel_par, paywheel_gil], ids=lambda op: op.__name__)
@pytest.mark.parametrize("length", [2**40, 2**62, sys.maxsize], ids=["2**40", "2**62", "maxsize"])
def test_huge_length_hint_with_three_records(op, length):
    want = paywheel_fn([make_loan()])["loan"]
    assert op(Hinted([make_text_loan()] * 3, length)) == [want] * 3


# --- item 8: out of memory while converting results ---------------------------------


# 1e7 periods, one interest and one capital block: the native columns take
# 200 MB, the Python lists of floats about 2 GB. A 1.2 GB address space
# admits the first, not the second.
CONVERSION_OOM = """
import resource, sys
from quill_harbor import paywheel_fn, paywheel_gil
resource.setrlimit(resource.RLIMIT_AS, (1200 << 20, resource.getrlimit(resource.RLIMIT_AS)[1]))
p = 10_000_000
try:
    if sys.argv[1] == "paywheel_fn":
        paywheel_fn([dict(id="big", amt=1000.0, rate=0.01, pers=p, int_freq=p, cap_freq=p)])
    else:
        paywheel_gil([dict(id="big", amt="1000", rate="0.01", pers=str(p), int_freq=str(p), cap_freq=str(p))])
    print("returned")
except BaseException as exc:
    print(f"{type(exc).__name__}: {exc}")
small = paywheel_fn([dict(id="s", amt=15.0, rate=1.0, pers=2, int_freq=1, cap_freq=1)])
print(small["s"]["Bal"] == [15.0, 10.0, 0.0])
"""


@pytest.mark.parametrize("op", ["paywheel_fn", "paywheel_gil"])
def test_out_of_memory_in_conversion_is_memory_error(op):
    proc = child(CONVERSION_OOM, args=(op,), env={"RAYON_NUM_THREADS": "2"}, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == ["MemoryError: ", "True"], (proc.stdout, proc.stderr[-2000:])


# --- item 9: a loan that cannot fit in the machine ----------------------------------


HUGE_LOAN = """
import sys
from quill_harbor import paywheel_fn, paywheel_par
try:
    if sys.argv[1] == "text":
        paywheel_par([dict(id="a", amt="1000", rate="0.01", pers="2147483646", int_freq="1", cap_freq="1")])
    else:
        paywheel_fn([dict(id="a", amt=1000.0, rate=0.01, pers=2147483646, int_freq=1, cap_freq=1)])
    print("returned")
except BaseException as exc:
    print(type(exc).__name__)
"""


def resident_bytes(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


@pytest.mark.parametrize("form", ["text", "typed"])
def test_loan_larger_than_the_machine_fails_up_front(form):
    # No address-space limit: the bound must come from physical memory. A
    # limit would both change what is tested and, below the need, let a late
    # allocation failure pass for the up-front check. Instead a watchdog keeps
    # the machine safe: a child that starts filling gigabytes has already
    # missed the up-front check, and is killed long before the kernel steps in.
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGESIZE")
    need = 5 * 4 * 2147483647
    if physical >= need:
        pytest.skip("this machine could hold the schedule")
    environment = dict(os.environ)
    environment.pop("QUILL_HARBOR_BACKTRACE", None)
    proc = subprocess.Popen([sys.executable, "-c", HUGE_LOAN, form], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=environment)
    deadline, peak = time.monotonic() + 60, 0
    try:
        while proc.poll() is None and time.monotonic() < deadline:
            peak = max(peak, resident_bytes(proc.pid))
            if peak > 1 << 30:
                break
            time.sleep(0.01)
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGKILL)
        out, err = proc.communicate()
    assert peak <= 1 << 30, f"the child went on to fill {peak >> 20} MiB"
    assert proc.returncode == 0 and out.strip() == "MemoryError", (proc.returncode, out, err[-2000:])


class OutOfMemoryOnRead:
    def __float__(self):
        raise MemoryError

    def __index__(self):
        raise MemoryError


@pytest.mark.parametrize("key", ["amt", "pers"])
def test_out_of_memory_while_reading_a_typed_record_is_memory_error(key):
    # Any other failed conversion of a field is an abort that names it; running
    # out of memory while reading one is MemoryError, and nothing is left
    # broken for the next call.
    record = make_loan()
    record[key] = OutOfMemoryOnRead()
    with pytest.raises(MemoryError):
        paywheel_fn([record])
    small = paywheel_fn([dict(id="s", amt=15.0, rate=1.0, pers=2, int_freq=1, cap_freq=1)])
    assert small["s"]["Bal"] == [15.0, 10.0, 0.0]
