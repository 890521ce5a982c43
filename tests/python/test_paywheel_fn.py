import re
import types

import pytest

import messages
from hypothesis import given, settings
from hypothesis import strategies as st

from quill_harbor import paywheel_fn

from conftest import MISSING, UNWRAP_ERR, make_loan

PER = [0.0, 1.0, 2.0, 3.0, 4.0]

FREQ_1_1 = {
    "Per": PER,
    "Cap": [0.0, 1.0, 2.0, 4.0, 8.0],
    "Int": [0.0, 15.0, 14.0, 12.0, 8.0],
    "Pmt": [0.0, 16.0, 16.0, 16.0, 16.0],
    "Bal": [15.0, 14.0, 12.0, 8.0, 0.0],
}
FREQ_2_2 = {
    "Per": PER,
    "Cap": [0.0, 0.0, 3.0, 0.0, 12.0],
    "Int": [0.0, 0.0, 29.0, 0.0, 20.0],
    "Pmt": [0.0, 0.0, 32.0, 0.0, 32.0],
    "Bal": [15.0, 15.0, 12.0, 12.0, 0.0],
}


def schedule(**overrides):
    return paywheel_fn([make_loan(id="only", **overrides)])["only"]


def pyerr(type_name, value_repr):
    return f"{UNWRAP_ERR}PyErr {{ type: <class '{type_name}'>, value: {value_repr}, traceback: None }}"


# --- worked example ----------------------------------------------------------


@pytest.mark.parametrize(
    "int_freq, cap_freq, expected",
    [(1, 1, FREQ_1_1), (2, 2, FREQ_2_2)],
)
def test_worked_example(int_freq, cap_freq, expected):
    result = paywheel_fn([make_loan(id="w", int_freq=int_freq, cap_freq=cap_freq)])
    assert result == {"w": expected}


# --- failures ----------------------------------------------------------------

KEYS = ["id", "amt", "rate", "pers", "int_freq", "cap_freq"]


@pytest.mark.parametrize("key", KEYS)
def test_missing_key(abort_message, key):
    record = make_loan()
    del record[key]
    assert abort_message([record]) == MISSING


@pytest.mark.parametrize(
    "overrides, expected",
    [
        ({"id": 1}, pyerr("TypeError", "TypeError(\"'int' object cannot be converted to 'PyString'\")")),
        ({"id": b"a"}, pyerr("TypeError", "TypeError(\"'bytes' object cannot be converted to 'PyString'\")")),
        (
            {"id": "\ud800"},
            pyerr("UnicodeEncodeError", r"UnicodeEncodeError('utf-8', '\ud800', 0, 1, 'surrogates not allowed')"),
        ),
        ({"amt": "15"}, pyerr("TypeError", "TypeError('must be real number, not str')")),
        ({"amt": None}, pyerr("TypeError", "TypeError('must be real number, not NoneType')")),
        ({"rate": "1.0"}, pyerr("TypeError", "TypeError('must be real number, not str')")),
        ({"amt": 10**400}, pyerr("OverflowError", "OverflowError('int too large to convert to float')")),
        ({"rate": -(10**400)}, pyerr("OverflowError", "OverflowError('int too large to convert to float')")),
        ({"pers": 4.0}, pyerr("TypeError", "TypeError(\"'float' object cannot be interpreted as an integer\")")),
        ({"pers": "4"}, pyerr("TypeError", "TypeError(\"'str' object cannot be interpreted as an integer\")")),
        ({"int_freq": 1.0}, pyerr("TypeError", "TypeError(\"'float' object cannot be interpreted as an integer\")")),
        ({"cap_freq": None}, pyerr("TypeError", "TypeError(\"'NoneType' object cannot be interpreted as an integer\")")),
        ({"pers": 2**31}, pyerr("OverflowError", f"OverflowError('{messages.INT_OUT_OF_RANGE}')")),
        ({"int_freq": -(2**31) - 1}, pyerr("OverflowError", f"OverflowError('{messages.INT_OUT_OF_RANGE}')")),
        ({"cap_freq": 2**40}, pyerr("OverflowError", f"OverflowError('{messages.INT_OUT_OF_RANGE}')")),
        ({"pers": 2**64}, pyerr("OverflowError", "OverflowError('Python int too large to convert to C long')")),
    ],
    ids=lambda v: repr(v)[:40],
)
def test_conversion_failure(abort_message, overrides, expected):
    assert abort_message([make_loan(**overrides)]) == expected


class _Boom:
    def __float__(self):
        raise ValueError("from __float__")

    def __index__(self):
        raise KeyError("from __index__")


@pytest.mark.parametrize(
    "key, head",
    [
        ("amt", "type: <class 'ValueError'>, value: ValueError('from __float__')"),
        ("pers", "type: <class 'KeyError'>, value: KeyError('from __index__')"),
    ],
)
def test_error_raised_by_value_hook_is_rendered(abort_message, key, head):
    # Raised by Python code, so the rendering includes its traceback.
    message = abort_message([make_loan(**{key: _Boom()})])
    pattern = re.escape(f"{UNWRAP_ERR}PyErr {{ {head}, traceback: ") + r"Some\(<traceback object at 0x[0-9a-f]+>\) \}"
    assert re.fullmatch(pattern, message), message


BAD_VALUE = {"id": 7, "amt": "bad", "rate": "bad", "pers": 2.5, "int_freq": 2.5, "cap_freq": 2.5}
BAD_RENDERING = {
    "id": pyerr("TypeError", "TypeError(\"'int' object cannot be converted to 'PyString'\")"),
    "amt": pyerr("TypeError", "TypeError('must be real number, not str')"),
    "rate": pyerr("TypeError", "TypeError('must be real number, not str')"),
    "pers": pyerr("TypeError", "TypeError(\"'float' object cannot be interpreted as an integer\")"),
}
BAD_RENDERING["int_freq"] = BAD_RENDERING["cap_freq"] = BAD_RENDERING["pers"]
ADJACENT = list(zip(KEYS, KEYS[1:]))


@pytest.mark.parametrize("first, second", ADJACENT)
def test_bad_value_is_reported_before_next_key_is_looked_up(abort_message, first, second):
    record = make_loan(**{first: BAD_VALUE[first]})
    del record[second]
    assert abort_message([record]) == BAD_RENDERING[first]


@pytest.mark.parametrize("first, second", ADJACENT)
def test_missing_key_is_reported_before_later_bad_value(abort_message, first, second):
    record = make_loan(**{second: BAD_VALUE[second]})
    del record[first]
    assert abort_message([record]) == MISSING


def test_earlier_record_fails_first_and_later_is_never_read(abort_message):
    touched = []

    class Watch:
        def __float__(self):
            touched.append(True)
            return 15.0

    batch = [make_loan(id="ok"), make_loan(id="bad", pers="x"), make_loan(id="later", amt=Watch())]
    assert abort_message(batch).startswith(UNWRAP_ERR)
    assert touched == []


@pytest.mark.parametrize(
    "overrides, expected",
    [
        ({"pers": 0}, MISSING),
        ({"pers": -1}, messages.SLICE_START),
        ({"pers": 2147483647}, messages.SLICE_START),
        ({"cap_freq": 0}, messages.REMAINDER_BY_ZERO),
        ({"int_freq": 0}, messages.REMAINDER_BY_ZERO),
        ({"cap_freq": -1}, messages.REMOVAL_INDEX),
        ({"cap_freq": 4}, messages.REMOVAL_INDEX),
        # Both would reject: capital runs first.
        ({"int_freq": 0, "cap_freq": 4}, messages.REMOVAL_INDEX),
    ],
)
def test_engine_rejections_reach_the_caller(abort_message, overrides, expected):
    assert abort_message([make_loan(**overrides)]) == expected


# --- accepted inputs ---------------------------------------------------------


@pytest.mark.parametrize(
    "batch",
    [[], [1, "id", None, (), [make_loan()], dict, types.MappingProxyType(make_loan())]],
    ids=["empty", "no-records"],
)
def test_batches_without_records_give_empty_dict(batch):
    result = paywheel_fn(batch)
    assert result == {}
    assert type(result) is dict


def test_non_dict_items_are_skipped():
    batch = [None, make_loan(id="a"), "b", (make_loan(id="c"),), 3.5, make_loan(id="d", int_freq=2, cap_freq=2)]
    assert paywheel_fn(batch) == {"a": FREQ_1_1, "d": FREQ_2_2}


def test_extra_keys_are_ignored():
    record = make_loan(id="a", Per="x", note=object(), AMT="bad")
    record[3] = "non-str key"
    assert paywheel_fn([record]) == {"a": FREQ_1_1}


def test_str_subclass_id_becomes_plain_str():
    class Name(str):
        def __hash__(self):
            return 0

    result = paywheel_fn([make_loan(id=Name("sub"))])
    (key,) = result
    assert type(key) is str and key == "sub"


def test_unicode_id_round_trips():
    ident = "prêt-é\u20ac\U0001f4b0\x00end"
    assert list(paywheel_fn([make_loan(id=ident)])) == [ident]


class _Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):  # test ids must not carry an address: pytest-xdist workers compare them
        return f"_Index({self.value!r})"


class _Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"_Float({self.value!r})"


@pytest.mark.parametrize(
    "overrides",
    [
        {"amt": 15.0},
        {"amt": _Float(15.0)},
        {"amt": _Index(15)},
        {"rate": 1},
        {"rate": True},
        {"rate": _Index(1)},
        {"pers": _Index(4)},
        {"int_freq": True},
        {"cap_freq": _Index(1)},
    ],
    ids=repr,
)
def test_numeric_forms_are_equivalent(overrides):
    assert schedule(**overrides) == FREQ_1_1


@pytest.mark.parametrize(
    "given, plain",
    [
        ({"amt": 1000, "rate": 0.05, "cap_freq": 2}, {"amt": 1000.0, "rate": 0.05, "cap_freq": 2}),
        ({"pers": True, "cap_freq": 2}, {"pers": 1, "cap_freq": 2}),
    ],
    ids=["int-amount", "bool-periods"],
)
def test_equivalent_spellings(given, plain):
    assert schedule(**given) == schedule(**plain)


@pytest.mark.parametrize(
    "overrides, column, expected",
    [
        # -1 is the C API's error sentinel; it must not be taken for a failure.
        ({"amt": -1, "cap_freq": 8, "int_freq": 5}, "Cap", [-1.0, 0.0, 0.0, 0.0, 0.0]),
        ({"amt": -1.0, "cap_freq": 8, "int_freq": 5}, "Cap", [-1.0, 0.0, 0.0, 0.0, 0.0]),
        ({"rate": -1, "cap_freq": 8, "int_freq": 5}, "Cap", [15.0, 0.0, 0.0, 0.0, 0.0]),
        ({"rate": -1.0, "cap_freq": 8, "int_freq": 5}, "Cap", [15.0, 0.0, 0.0, 0.0, 0.0]),
        ({"int_freq": -1}, "Int", [0.0, 49.0, 0.0, 0.0, 0.0]),
        ({"amt": _Float(-1.0), "cap_freq": 8, "int_freq": 5}, "Cap", [-1.0, 0.0, 0.0, 0.0, 0.0]),
        ({"int_freq": _Index(-1)}, "Int", [0.0, 49.0, 0.0, 0.0, 0.0]),
        # The ends of the signed 32-bit range are accepted.
        ({"int_freq": 2**31 - 1}, "Int", [0.0] * 5),
        ({"int_freq": -(2**31)}, "Int", [0.0] * 5),
        ({"cap_freq": 2**31 - 1}, "Cap", [15.0, 0.0, 0.0, 0.0, 0.0]),
        ({"cap_freq": -(2**31)}, "Cap", [15.0, 0.0, 0.0, 0.0, 0.0]),
    ],
    ids=repr,
)
def test_accepted_values(overrides, column, expected):
    assert schedule(**overrides)[column] == expected


class _Lenient(dict):
    def __missing__(self, key):
        return 1

    def __getitem__(self, key):
        return 1

    def get(self, key, default=None):
        return 1

    def __contains__(self, key):
        return True


@pytest.mark.parametrize("key", KEYS)
def test_dict_subclass_hooks_do_not_supply_keys(abort_message, key):
    record = make_loan()
    del record[key]
    assert abort_message([_Lenient(record)]) == MISSING


def test_dict_subclass_storage_is_read():
    class Lying(dict):
        def __getitem__(self, key):
            return "garbage"

    assert paywheel_fn([Lying(make_loan(id="a"))]) == {"a": FREQ_1_1}


def test_key_comparison_error_reads_as_missing(abort_message):
    class Colliding:
        armed = False

        def __hash__(self):
            return hash("amt")

        def __eq__(self, other):
            if Colliding.armed:
                raise RuntimeError("comparison failed")
            return False

    record = {Colliding(): 1}
    record.update(make_loan())
    Colliding.armed = True
    try:
        assert abort_message([record]) == MISSING
    finally:
        Colliding.armed = False
    # No comparison error is left pending for the next call.
    assert paywheel_fn([make_loan(id="a")]) == {"a": FREQ_1_1}


def test_list_subclass_storage_is_walked():
    class Hidden(list):
        def __len__(self):
            return 0

        def __iter__(self):
            return iter(())

        def __getitem__(self, index):
            raise IndexError(index)

    batch = Hidden([make_loan(id="a"), make_loan(id="b", int_freq=2, cap_freq=2)])
    assert paywheel_fn(batch) == {"a": FREQ_1_1, "b": FREQ_2_2}


# --- a batch that changes while it is walked --------------------------------


def _mutating_amount(action):
    class Amount:
        def __float__(self):
            action()
            return 15.0

    return Amount()


def test_list_cleared_during_walk_stops_it():
    batch = []
    batch.extend([make_loan(id="a", amt=_mutating_amount(batch.clear)), make_loan(id="b"), make_loan(id="c")])
    assert paywheel_fn(batch) == {"a": FREQ_1_1}
    assert batch == []


def test_list_grown_during_walk_includes_new_items():
    batch = []
    late = make_loan(id="late", int_freq=2, cap_freq=2)
    batch.append(make_loan(id="a", amt=_mutating_amount(lambda: batch.append(late))))
    assert paywheel_fn(batch) == {"a": FREQ_1_1, "late": FREQ_2_2}


def test_item_replaced_during_walk_is_read_afresh():
    batch = []

    def replace():
        batch[1] = "no longer a record"
        batch[0] = None  # drops the record being read

    batch.extend([make_loan(id="a", amt=_mutating_amount(replace)), make_loan(id="b")])
    assert paywheel_fn(batch) == {"a": FREQ_1_1}


# --- identifiers ---------------------------------------------------------------


def test_duplicate_id_keeps_first_position_and_last_schedule():
    batch = [make_loan(id="a"), make_loan(id="b"), make_loan(id="a", int_freq=2, cap_freq=2)]
    result = paywheel_fn(batch)
    assert list(result) == ["a", "b"]
    assert result == {"a": FREQ_2_2, "b": FREQ_1_1}


@pytest.mark.parametrize("position", [0, 1])
def test_failing_duplicate_still_aborts(abort_message, position):
    batch = [make_loan(id="a"), make_loan(id="a")]
    batch[position]["pers"] = 0
    assert abort_message(batch) == MISSING


@settings(max_examples=50, deadline=None)
@given(st.lists(st.tuples(st.sampled_from("abcde"), st.integers(1, 1000)), max_size=12))
def test_ids_in_first_appearance_order_with_last_schedule(entries):
    batch = [make_loan(id=ident, amt=amount, cap_freq=8, int_freq=5) for ident, amount in entries]
    result = paywheel_fn(batch)
    assert list(result) == list(dict.fromkeys(ident for ident, _ in entries))
    last = dict(entries)
    assert {ident: sched["Cap"][0] for ident, sched in result.items()} == {
        ident: float(amount) for ident, amount in last.items()
    }
