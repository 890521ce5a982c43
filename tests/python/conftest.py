import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import quill_harbor

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]

# amt 15 at rate 1.0 over 4 periods: every intermediate value is exact in
# binary32, so expected columns can be written down without rounding slack.
ORDINARY_LOAN = {"id": "loan", "amt": 15, "rate": 1.0, "pers": 4, "int_freq": 1, "cap_freq": 1}

from messages import FLOAT_ERR, INT_ERR  # noqa: F401  (re-exported for the tests)
from messages import MISSING_KEY as MISSING  # noqa: F401
from messages import UNWRAP_ERR as _UNWRAP

# The prefix of every failed conversion's text, up to the error itself.
UNWRAP_ERR = _UNWRAP + ": "


def make_loan(**overrides):
    record = dict(ORDINARY_LOAN)
    record.update(overrides)
    return record


# ORDINARY_LOAN as the parallel operations take it, every value as text.
TEXT_LOAN = {key: str(value) for key, value in ORDINARY_LOAN.items()}


def make_text_loan(**overrides):
    """A text record; an override of None removes that key."""
    record = dict(TEXT_LOAN)
    for key, value in overrides.items():
        if value is None:
            record.pop(key, None)
        else:
            record[key] = value
    return record


@pytest.fixture
def loan():
    return make_loan


@pytest.fixture(scope="session")
def panic_type():
    # The type is reachable only through a raised instance.
    try:
        quill_harbor.paywheel_fn([{}])
    except BaseException as exc:  # noqa: BLE001 - the type is what we want
        return type(exc)
    pytest.fail("a record without keys did not fail")


@pytest.fixture
def abort_message(panic_type):
    """Runs paywheel_fn on a batch that must abort; returns the message."""

    def run(batch):
        with pytest.raises(panic_type) as info:
            quill_harbor.paywheel_fn(batch)
        return str(info.value)

    return run


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; returns the CompletedProcess."""

    def run(code, env=None, timeout=60):
        environment = dict(os.environ)
        environment.pop("QUILL_HARBOR_BACKTRACE", None)
        environment.update(env or {})
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=environment,
            timeout=timeout,
        )

    return run


# Tests that time themselves, count threads or processes, or load most of the
# machine, by name (a test may also carry @pytest.mark.serial itself).
# run_tests.sh runs them one at a time after the others, which run side by
# side under pytest-xdist: `-m "not serial" -n 2`, then `-m serial`.
SERIAL_TESTS = {
    "test_threads_share_the_pool_under_failures_and_a_long_loan",  # stall detection over a fixed time
    "test_an_interrupted_run_leaves_nothing_behind",  # a signal sent once a run is under way
    "test_ctrl_c_interrupts_a_stream_batch",  # Ctrl-C within a deadline
    "test_ctrl_c_interrupts_a_long_call_and_leaves_the_process_usable",
    "test_one_pool_and_one_power_setting_per_process",  # counts a process's threads
    "test_environment_churn_during_failing_calls",  # counts calls in a fixed time
    "test_child_forked_after_pool_start_still_computes",  # a deadline on a forked child
    "test_loan_larger_than_the_machine_fails_up_front",  # watches a child's resident memory
    "test_out_of_memory_in_conversion_is_memory_error",
    "test_python_heap_stays_flat_over_many_calls",  # memory growth over many calls
    "test_resident_memory_stays_flat_over_many_calls",
    "test_a_long_loans_scratch_goes_when_the_call_ends",  # 2^24-period loans: gigabytes, not beside others
    "test_the_checked_peak_covers_the_measured_one",  # peaks measured under an address-space limit
}


# Modules whose tests cross the native boundary: the module's operations, the
# columnar bindings, object lifetimes, lock handling and process state. The
# interpreters other than the primary run these (run_tests.sh), since the
# boundary is what differs between them; the primary runs every test.
BOUNDARY_MODULES = {
    "test_batch_operations",
    "test_call_memory",
    "test_cents",
    "test_hostile_environments",
    "test_inputs",
    "test_interop",
    "test_loan_errors",
    "test_module_binding",
    "test_native_lifetimes",
    "test_panics",
    "test_paywheel_fn",
    "test_power_mode",
    "test_process_state",
    "test_refcounts",
    "test_result_conversion",
    "test_scheduling_inputs",
    "test_schedules",
    "test_stress",
    "test_text_grammar",
}


# Modules that drive the package from the outside (the command, its files,
# the docs' examples, tapes, Dask): the native calls they reach are the ones
# the other modules test directly, so the sanitized module's run leaves them
# to the primary interpreter's run.
ORCHESTRATION_MODULES = {
    "test_cli",
    "test_cli_outputs",
    "test_cli_tapes",
    "test_dask",
    "test_docs",
    "test_tape",
}


def pytest_collection_modifyitems(items):
    for item in items:
        if getattr(item, "originalname", None) in SERIAL_TESTS:
            item.add_marker(pytest.mark.serial)
        if item.path.stem in BOUNDARY_MODULES:
            item.add_marker(pytest.mark.boundary)
        if item.path.stem in ORCHESTRATION_MODULES:
            item.add_marker(pytest.mark.orchestration)
