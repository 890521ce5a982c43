import gc
import os
import sys
import tracemalloc

import pytest

import quill_harbor
from quill_harbor import paywheel_fn

REPEAT = 50


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def fresh_float(value):
    # Parsed at run time, so the object is not a shared constant.
    return float(repr(value))


def fresh_str(text):
    return "".join(list(text))


def make_record(ident="loan", **overrides):
    record = {
        "id": fresh_str(ident),
        "amt": fresh_float(15.0),
        "rate": fresh_float(1.0),
        "pers": Index(4),
        "int_freq": Index(1),
        "cap_freq": Index(1),
    }
    record.update(overrides)
    return record


def tracked_objects(batch):
    objects = [batch]
    for record in batch:
        objects.append(record)
        if isinstance(record, dict):
            objects.extend(record.values())
    return objects


def call_repeatedly(call):
    for _ in range(REPEAT):
        try:
            call()
        except BaseException:  # noqa: BLE001 - failing paths are exercised on purpose
            pass


class ReentrantAmount:
    """An amount whose conversion runs another call of the module."""

    def __init__(self, inner_batch):
        self.inner_batch = inner_batch

    def __float__(self):
        quill_harbor.paywheel_fn(self.inner_batch)
        return 15.0


def _without(record, key):
    del record[key]
    return record


SCENARIOS = {
    "success": lambda: [make_record("a"), make_record("b", pers=Index(7), cap_freq=Index(3))],
    "duplicate-ids": lambda: [make_record("a"), make_record("a", int_freq=Index(2))],
    "missing-key": lambda: [make_record("a"), _without(make_record("b"), "cap_freq")],
    "bad-rate": lambda: [make_record("a", rate=fresh_str("one"))],
    "bad-count": lambda: [make_record("a", int_freq=fresh_float(2.0))],
    "engine-abort": lambda: [make_record("a", pers=Index(0))],
    "reentrant-success": lambda: [make_record("a", amt=ReentrantAmount([make_record("inner")]))],
    "reentrant-abort": lambda: [make_record("a", amt=ReentrantAmount([_without(make_record("inner"), "amt")]))],
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_calls_leave_input_refcounts_unchanged(scenario):
    batch = SCENARIOS[scenario]()
    objects = tracked_objects(batch)
    for record in batch:
        amount = record.get("amt")
        if isinstance(amount, ReentrantAmount):
            objects.extend(tracked_objects(amount.inner_batch))
    before = [sys.getrefcount(obj) for obj in objects]
    call_repeatedly(lambda: paywheel_fn(batch))
    call_repeatedly(lambda: paywheel_fn(incoming=batch))
    after = [sys.getrefcount(obj) for obj in objects]
    assert after == before


@pytest.mark.parametrize(
    "call",
    [
        lambda arg: paywheel_fn(tuple(arg)),  # not a list
        lambda arg: paywheel_fn(arg, arg),  # too many arguments
        lambda arg: paywheel_fn(arg, incoming=arg),  # too many arguments
        lambda arg: paywheel_fn(incoming=arg, data=arg),  # unexpected keyword
    ],
    ids=["type-mismatch", "positional", "positional-and-keyword", "keyword"],
)
def test_argument_errors_leave_refcounts_unchanged(call):
    batch = [make_record("a")]
    objects = tracked_objects(batch)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(REPEAT):
        with pytest.raises(TypeError):
            call(batch)
    # A caught exception's traceback can keep the batch alive through a
    # reference cycle until the collector runs; only our own references count.
    gc.collect()
    assert [sys.getrefcount(obj) for obj in objects] == before


def test_result_elements_are_owned_by_their_containers_only():
    # Multi-character ids: CPython shares one-character strings.
    batch = [make_record("alpha"), make_record("beta", pers=Index(7), cap_freq=Index(3))]
    result = paywheel_fn(batch)
    # Counts are taken outside assert statements, whose rewriting keeps
    # references to subexpressions. getrefcount's own argument adds one
    # reference, a loop variable or local name another.
    counts = {"result": sys.getrefcount(result)}
    for ident in result:
        counts[ident] = sys.getrefcount(ident)
        schedule = result[ident]
        counts[ident, "schedule"] = sys.getrefcount(schedule)
        for name in schedule:
            counts[ident, name] = sys.getrefcount(name)
            column = schedule[name]
            counts[ident, name, "list"] = sys.getrefcount(column)
            counts[ident, name, "items"] = [sys.getrefcount(column[i]) for i in range(len(column))]
            del column
        del schedule
    expected = {"result": 2}
    for ident, length in (("alpha", 5), ("beta", 8)):
        expected[ident] = 3
        expected[ident, "schedule"] = 3
        for name in ("Per", "Cap", "Int", "Pmt", "Bal"):
            expected[ident, name] = 3
            expected[ident, name, "list"] = 3
            expected[ident, name, "items"] = [2] * length
    assert counts == expected


def _mixed_calls(good, bad):
    paywheel_fn(good)
    for batch in bad:
        try:
            paywheel_fn(batch)
        except BaseException:  # noqa: BLE001
            pass


def _mixed_inputs():
    good = [make_record(str(k), pers=Index(200), int_freq=Index(4), cap_freq=Index(4), rate=fresh_float(0.01)) for k in range(3)]
    bad = [
        [make_record("a", pers=Index(0))],
        [make_record("a", amt=fresh_str("x"))],
        [{"id": "a"}],
        (make_record("a"),),
    ]
    return good, bad


def test_python_heap_stays_flat_over_many_calls():
    good, bad = _mixed_inputs()
    for _ in range(100):
        _mixed_calls(good, bad)
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(100):
            _mixed_calls(good, bad)
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            _mixed_calls(good, bad)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    # Leaking even one small object per call would exceed this many times over.
    assert growth < 16 * 1024


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_stays_flat_over_many_calls():
    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    good, bad = _mixed_inputs()
    for _ in range(200):
        _mixed_calls(good, bad)
    gc.collect()
    start = resident()
    for _ in range(2000):
        _mixed_calls(good, bad)
    gc.collect()
    # The native columns alone are about 12 KB per round; keeping them would
    # add some 24 MB.
    assert resident() - start < 8 * 1024 * 1024
