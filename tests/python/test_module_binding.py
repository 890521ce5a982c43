import pytest

import messages

import quill_harbor

OPERATIONS = ["paywheel_fn", "paywheel_par", "paywheel_gil"]


def test_module_attributes():
    assert quill_harbor.__all__ == OPERATIONS
    assert type(quill_harbor.__all__) is list
    assert quill_harbor.__doc__ == ""
    own = {name for name in vars(quill_harbor) if not name.startswith("__")}
    assert own == set(OPERATIONS)


@pytest.mark.parametrize("name", OPERATIONS)
def test_operation_metadata(name):
    op = getattr(quill_harbor, name)
    assert op.__name__ == name
    assert op.__text_signature__ == "(incoming)"
    assert op.__doc__ is None
    assert op.__module__ == "quill_harbor"
    assert op.__self__ is quill_harbor


def test_positional_and_keyword_bind_the_same_argument(loan):
    batch = [loan(id="a"), loan(id="b", int_freq=2, cap_freq=2)]
    assert quill_harbor.paywheel_fn(batch) == quill_harbor.paywheel_fn(incoming=batch)


def test_keyword_binding_reaches_the_argument_check():
    with pytest.raises(TypeError, match=r"^argument 'incoming': 'int' object cannot be converted to 'PyList'$"):
        quill_harbor.paywheel_fn(incoming=5)


@pytest.mark.parametrize("name", OPERATIONS)
@pytest.mark.parametrize(
    "args, kwargs, template",
    [
        ((), {}, "{}() missing 1 required positional argument: 'incoming'"),
        (([], []), {}, "{}() takes 1 positional arguments but 2 were given"),
        (([], [], []), {}, "{}() takes 1 positional arguments but 3 were given"),
        # The positional count is checked before any keyword.
        (([], []), {"incoming": []}, "{}() takes 1 positional arguments but 2 were given"),
        (([], []), {"data": []}, "{}() takes 1 positional arguments but 2 were given"),
        (([],), {"incoming": []}, "{}() got multiple values for argument 'incoming'"),
        # An unknown keyword is reported before the missing argument.
        ((), {"data": []}, "{}() got an unexpected keyword argument 'data'"),
        # Only the first unmatched keyword, in call order, is named.
        ((), {"data": [], "other": []}, "{}() got an unexpected keyword argument 'data'"),
        ((), {"other": [], "data": []}, "{}() got an unexpected keyword argument 'other'"),
        ((), {"data": [], "incoming": []}, "{}() got an unexpected keyword argument 'data'"),
        # Matching is exact, byte for byte.
        ((), {"Incoming": []}, "{}() got an unexpected keyword argument 'Incoming'"),
        ((), {"incoming_": []}, "{}() got an unexpected keyword argument 'incoming_'"),
        # A name that cannot be encoded matches nothing and is still named.
        ((), {"\udc80": []}, "{}() got an unexpected keyword argument '\udc80'"),
    ],
)
def test_binding_messages(name, args, kwargs, template):
    op = getattr(quill_harbor, name)
    with pytest.raises(TypeError) as info:
        op(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == template.format(name)
    assert info.value.args == (template.format(name),)


def test_second_initialisation_is_refused_and_first_module_keeps_working(run_python):
    proc = run_python(
        """
        import sys
        import quill_harbor as first
        del sys.modules["quill_harbor"]
        for _ in range(2):
            try:
                import quill_harbor
            except ImportError as exc:
                print("ImportError:", exc)
            else:
                print("imported again")
        print("in sys.modules:", "quill_harbor" in sys.modules)
        record = dict(id="a", amt=15, rate=1.0, pers=4, int_freq=1, cap_freq=1)
        print(first.paywheel_fn([record])["a"]["Bal"])
        """
    )
    assert proc.returncode == 0, proc.stderr
    message = "ImportError: " + messages.INITIALISED_TWICE
    assert proc.stdout.splitlines() == [
        message,
        message,
        "in sys.modules: False",
        "[15.0, 14.0, 12.0, 8.0, 0.0]",
    ]
