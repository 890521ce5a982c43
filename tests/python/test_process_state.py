"""Process-wide state a call must leave as it found it: the cyclic garbage
collector, and a worker pool inherited across fork()."""

import gc

import pytest

import quill_harbor
from conftest import make_loan, make_text_loan


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize(
    "call",
    [
        lambda: quill_harbor.paywheel_fn([make_loan(id=str(i)) for i in range(50)]),
        lambda: quill_harbor.paywheel_par([make_text_loan(id=str(i)) for i in range(50)]),
        lambda: quill_harbor.paywheel_gil([make_text_loan()]),
    ],
    ids=["fn", "par", "gil"],
)
def test_collector_state_is_restored(call, enabled):
    # Results are built with the collector paused; a caller's choice must
    # survive both success and failure.
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        call()
        assert gc.isenabled() is enabled
        with pytest.raises(BaseException):
            quill_harbor.paywheel_fn([make_loan(pers=0)])
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


def test_child_forked_after_pool_start_still_computes(run_python):
    # The child inherits the pool's state but not its threads; it must still
    # get the same results rather than wait for workers that do not exist.
    result = run_python(
        """
        import os, sys, quill_harbor
        batch = [{"id": str(i), "amt": "1000", "rate": "0.004", "pers": "120",
                  "int_freq": "1", "cap_freq": "3"} for i in range(64)]
        expected = quill_harbor.paywheel_par(batch)
        pid = os.fork()
        if pid == 0:
            ok = quill_harbor.paywheel_gil(batch) == expected and quill_harbor.paywheel_par(batch) == expected
            os._exit(0 if ok else 3)
        import signal, time
        deadline = time.monotonic() + 30
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                print(os.waitstatus_to_exitcode(status))
                break
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                print("hung")
                break
            time.sleep(0.05)
        """,
        timeout=60,
    )
    assert result.stdout.strip() == "0", result.stderr
