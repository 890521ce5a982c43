import re
import sys

import pytest

import messages

import quill_harbor

from conftest import MISSING, REPO_ROOT

REPORT = re.compile(
    r"thread '<unnamed>' panicked at (?P<path>[^\n:]+):(?P<line>\d+):(?P<col>\d+):\n(?P<message>[^\n]*)\n"
)
HINT = "note: run with `QUILL_HARBOR_BACKTRACE=1` environment variable to display a backtrace\n"


class _Meta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class _NoStrName(metaclass=_Meta):
    pass


class _RaisingMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class _RaisingName(metaclass=_RaisingMeta):
    pass


def f():
    class C:
        pass

    return C()


class _Dict(dict):
    pass


@pytest.mark.parametrize(
    "incoming, type_name",
    [
        (5, "int"),
        (1.5, "float"),
        (None, "NoneType"),
        ("abc", "str"),
        ((), "tuple"),
        ({}, "dict"),
        (_Dict(), "_Dict"),
        (iter([]), "list_iterator"),
        (f(), "f.<locals>.C"),
        (_NoStrName(), "<failed to extract type name>"),
        (_RaisingName(), "<failed to extract type name>"),
    ],
)
def test_non_list_argument(incoming, type_name):
    with pytest.raises(TypeError) as info:
        quill_harbor.paywheel_fn(incoming)
    exc = info.value
    assert type(exc) is TypeError
    assert str(exc) == f"argument 'incoming': '{type_name}' object cannot be converted to 'PyList'"
    assert exc.__cause__ is None
    assert exc.__suppress_context__ is True
    # A failed type-name lookup must not leave its own error behind.
    assert exc.__context__ is None


# --- PanicException ---------------------------------------------------------


def test_panic_escapes_exception_handlers(panic_type):
    caught_by = None
    try:
        try:
            quill_harbor.paywheel_fn([{}])
        except Exception:  # noqa: BLE001 - the point is that this does not match
            caught_by = "Exception"
    except BaseException as exc:  # noqa: BLE001
        caught_by = "BaseException"
        assert type(exc) is panic_type
    assert caught_by == "BaseException"


def test_panic_type_identity(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert issubclass(panic_type, BaseException)
    assert not issubclass(panic_type, Exception)
    # Only reachable through a raised instance: not exported, not registered.
    assert panic_type not in vars(quill_harbor).values()
    assert not hasattr(quill_harbor, "PanicException")
    assert "pyo3_runtime" not in sys.modules


def test_panic_type_is_shared_between_calls(panic_type):
    raised = []
    for batch in ([{}], [{"id": "x", "amt": "bad"}]):
        try:
            quill_harbor.paywheel_fn(batch)
        except BaseException as exc:  # noqa: BLE001
            raised.append(type(exc))
    assert raised == [panic_type, panic_type]


def test_panic_carries_exactly_the_message(panic_type):
    with pytest.raises(panic_type) as info:
        quill_harbor.paywheel_fn([{"id": "x"}])
    assert str(info.value) == MISSING
    assert info.value.args == (MISSING,)


def test_panic_docstring(panic_type):
    doc = panic_type.__doc__
    assert len(doc) == 235
    assert doc.startswith("\n") and doc.endswith("\n")
    assert len(doc.splitlines()) == 5
    assert "BaseException" in doc
    assert "SystemExit" in doc


# --- abort report on file descriptor 2 --------------------------------------


def test_abort_report_format_and_single_hint(run_python):
    proc = run_python(
        """
        import io, sys
        import quill_harbor
        # The report must bypass sys.stderr.
        sys.stderr = captured = io.StringIO()
        for batch in ([{"id": "a"}], [{"id": "b", "amt": 1, "rate": 1, "pers": 0, "int_freq": 1, "cap_freq": 1}]):
            try:
                quill_harbor.paywheel_fn(batch)
            except BaseException as exc:
                print(type(exc).__name__, exc)
        sys.stdout.write(repr(captured.getvalue()))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        f"PanicException {MISSING}",
        f"PanicException {MISSING}",
        "''",
    ]
    reports = list(REPORT.finditer(proc.stderr))
    assert [m.group("message") for m in reports] == [MISSING, MISSING]
    for m in reports:
        path = m.group("path")
        assert re.fullmatch(r"src/[\w/]+\.cpp", path), path
        assert (REPO_ROOT / path).is_file()
    # Two distinct sites: a missing key in the driver, a rejected loan in the engine.
    assert reports[0].group("path") != reports[1].group("path")
    assert proc.stderr.count(HINT) == 1
    assert proc.stderr == reports[0].group(0) + HINT + reports[1].group(0)


def test_abort_report_with_backtrace_requested(run_python):
    proc = run_python(
        """
        import quill_harbor
        try:
            quill_harbor.paywheel_fn([{"id": "a"}])
        except BaseException as exc:
            print(type(exc).__name__)
        """,
        env={"QUILL_HARBOR_BACKTRACE": "1"},
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "PanicException\n"
    report = REPORT.match(proc.stderr)
    assert report is not None, proc.stderr
    assert report.group("message") == MISSING
    assert "QUILL_HARBOR_BACKTRACE" not in proc.stderr
    assert proc.stderr[report.end():].strip(), "no backtrace written"


def test_panic_escaping_from_nested_call(run_python):
    proc = run_python(
        """
        import quill_harbor

        class Amt:
            def __float__(self):
                quill_harbor.paywheel_fn([{"id": "inner"}])
                return 15.0

        record = dict(id="outer", amt=Amt(), rate=1.0, pers=4, int_freq=1, cap_freq=1)
        try:
            quill_harbor.paywheel_fn([record])
        except Exception:
            print("caught as Exception")
        except BaseException as exc:
            print(type(exc).__module__, type(exc).__name__, exc.args)
        print(quill_harbor.paywheel_fn([dict(record, amt=15.0)])["outer"]["Cap"])
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        f"pyo3_runtime PanicException ('{messages.UNWRAPPED_PANIC}',)",
        "[0.0, 1.0, 2.0, 4.0, 8.0]",
    ]
    err = proc.stderr
    # Only the inner abort writes a report; the resumed one writes none.
    assert [m.group("message") for m in REPORT.finditer(err)] == [MISSING]
    resume = (
        messages.RESUMING_PANIC
        + messages.PYTHON_TRACE_BELOW
        + "Traceback (most recent call last):\n"
    )
    assert resume in err
    trace = err[err.index(resume) + len(resume):]
    assert "in __float__" in trace
    assert trace.rstrip("\n").endswith(f"pyo3_runtime.PanicException: {MISSING}")
    assert err.index("panicked at") < err.index(resume)


def test_allocation_failure_raises_memory_error_and_module_recovers(run_python):
    proc = run_python(
        """
        import resource
        import quill_harbor
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        limit = 4 << 30
        if hard != resource.RLIM_INFINITY:
            limit = min(limit, hard)
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        huge = dict(id="huge", amt=1000, rate=0.05, pers=2147483646, int_freq=1, cap_freq=1)
        try:
            quill_harbor.paywheel_fn([huge])
        except MemoryError:
            print("MemoryError")
        except BaseException as exc:
            print("other", type(exc).__name__, exc)
        else:
            print("no error")
        small = dict(id="a", amt=15, rate=1.0, pers=4, int_freq=1, cap_freq=1)
        print(quill_harbor.paywheel_fn([small])["a"]["Pmt"])
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["MemoryError", "[0.0, 16.0, 16.0, 16.0, 16.0]"]
