import math

import pytest

from quill_harbor import paywheel_fn

from conftest import make_loan

COLUMNS = {"Per", "Cap", "Int", "Pmt", "Bal"}
NAN = math.nan
INF = math.inf


def schedule(**overrides):
    return paywheel_fn([make_loan(id="only", **overrides)])["only"]


def same_floats(actual, expected):
    """Equality that also matches NaN with NaN and tells -0.0 from 0.0."""
    return len(actual) == len(expected) and all(
        (math.isnan(a) and math.isnan(e)) or (a == e and math.copysign(1.0, a) == math.copysign(1.0, e))
        for a, e in zip(actual, expected)
    )


def test_values_are_widened_exactly_not_reparsed():
    result = schedule(amt=0.1)
    assert result["Bal"][0] == 0.10000000149011612
    assert result["Int"][1] == 0.10000000149011612


@pytest.mark.parametrize(
    "overrides, expected",
    [
        (
            {"amt": 1000, "rate": 0, "int_freq": 4, "cap_freq": 4},
            {
                "Cap": [0.0, 0.0, 0.0, 0.0, NAN],
                "Int": [0.0, 0.0, 0.0, 0.0, NAN],
                "Pmt": [0.0, 0.0, 0.0, 0.0, NAN],
                "Bal": [1000.0, 1000.0, 1000.0, 1000.0, NAN],
            },
        ),
        (
            {"amt": 1e39, "int_freq": 5, "cap_freq": 8},
            {
                "Cap": [INF, 0.0, 0.0, 0.0, 0.0],
                "Pmt": [INF, 0.0, 0.0, 0.0, 0.0],
                "Bal": [NAN] * 5,
            },
        ),
        (
            {"amt": -1e39, "int_freq": 5, "cap_freq": 8},
            {"Cap": [-INF, NAN, NAN, NAN, NAN], "Pmt": [-INF, NAN, NAN, NAN, NAN]},
        ),
        (
            {"amt": INF, "int_freq": 5, "cap_freq": 8},
            {"Cap": [INF, 0.0, 0.0, 0.0, 0.0]},
        ),
        (
            {"amt": NAN, "int_freq": 5, "cap_freq": 8},
            {"Bal": [NAN] * 5},
        ),
        (
            # A negative zero amount is never reduced, so every balance keeps its sign.
            {"amt": -0.0, "int_freq": 5, "cap_freq": 8},
            {"Cap": [0.0] * 5, "Bal": [-0.0] * 5},
        ),
    ],
    ids=["rate-0", "amt-1e39", "amt--1e39", "amt-inf", "amt-nan", "amt--0.0"],
)
def test_special_values_survive(overrides, expected):
    result = schedule(**overrides)
    for column, values in expected.items():
        assert same_floats(result[column], values), (column, result[column])


def test_result_is_built_from_exact_builtin_types():
    class Name(str):
        pass

    class Records(list):
        pass

    class Record(dict):
        pass

    batch = Records([Record(make_loan(id=Name("a"))), make_loan(id="b", pers=7, cap_freq=3, int_freq=2)])
    result = paywheel_fn(batch)
    assert type(result) is dict
    assert set(result) == {"a", "b"}
    for ident, sched in result.items():
        assert type(ident) is str
        assert type(sched) is dict
        assert set(sched) == COLUMNS
        assert all(type(name) is str for name in sched)
        for values in sched.values():
            assert type(values) is list
            assert all(type(x) is float for x in values)
    assert [len(values) for values in result["b"].values()] == [8] * 5


def test_every_call_returns_fresh_containers():
    batch = [make_loan(id="a")]
    first, second = paywheel_fn(batch), paywheel_fn(batch)
    assert first == second
    assert first is not second
    assert first["a"] is not second["a"]
    assert all(first["a"][c] is not second["a"][c] for c in COLUMNS)
    first["a"]["Cap"].append(99.0)
    assert paywheel_fn(batch)["a"]["Cap"] == [0.0, 1.0, 2.0, 4.0, 8.0]


def test_empty_batch_gives_empty_dict():
    result = paywheel_fn([])
    assert result == {} and type(result) is dict
