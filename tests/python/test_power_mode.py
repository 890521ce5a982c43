"""QUILL_HARBOR_POWF: the reproducible mode, checked against exact arithmetic.

In the reproducible mode every power is the binary32 nearest to the exact
value, so a loan's every-period columns can be recomputed here from exact
rationals and IEEE binary32 operations (NumPy float32), whatever the
platform's powf does.
"""

import json
import textwrap
from fractions import Fraction

import numpy as np
import pytest

LOANS = [
    # amt, rate, pers: ordinary every-period loans over a spread of rates.
    (250000.0, 0.004, 360),
    (1000.0, 0.0125, 48),
    (98765.4321, 0.0003, 240),
    (15000.0, 0.0287, 120),
] + [
    # 1 + rate is each of five bases whose powers (at exponents 68 to 337)
    # lie within 1% of a rounding midpoint: both of glibc's powf variants get
    # some of them wrong, so a mode that did not switch would show here.
    (250000.0, float(np.frombuffer(np.uint32(bits).tobytes(), np.float32)[0] - np.float32(1)), 360)
    for bits in (1065617246, 1065666945, 1065668457, 1065724193, 1065743210)
]


def nearest_binary32(q: Fraction) -> np.float32:
    """The binary32 nearest to a positive rational in the normal range, ties to even."""
    assert q > 0
    e = q.numerator.bit_length() - q.denominator.bit_length()
    if Fraction(2) ** e > q:
        e -= 1
    assert -126 <= e <= 127
    scaled = q / Fraction(2) ** (e - 23)  # in [2^23, 2^24)
    m, rest = divmod(scaled.numerator, scaled.denominator)
    twice = 2 * rest
    if twice > scaled.denominator or (twice == scaled.denominator and m % 2 == 1):
        m += 1
    return np.float32(float(Fraction(m) * Fraction(2) ** (e - 23)))


def exact_powf(base: np.float32, n: int) -> np.float32:
    return nearest_binary32(Fraction(float(base)) ** n)


def expected_columns(amt: float, rate: float, pers: int):
    """Cap (all but the last entry, which carries the residue) and Int of an
    every-period loan, one binary32 operation at a time."""
    f = np.float32
    amt, rate = f(amt), f(rate)
    base = f(1) + rate
    g = exact_powf(base, pers)
    factor = (f(1) / rate) * (g - f(1))
    prof = [(exact_powf(base, i - 1) / factor) * amt for i in range(1, pers + 1)]
    pmt = (amt * rate) / (f(1) - exact_powf(rate + f(1), -pers))
    cap = [f(0)] + [f(0) + v for v in prof[:-1]]
    interest = [f(0)] + [f(0) + (pmt - v) for v in prof]
    return cap, interest


def run_module(run_python, mode, code):
    env = {} if mode is None else {"QUILL_HARBOR_POWF": mode}
    return run_python(code, env=env)


SCHEDULES = textwrap.dedent(
    """
    import json, struct, quill_harbor
    loans = {loans!r}
    f32 = lambda v: struct.unpack("f", struct.pack("f", v))[0]  # the binary32 paywheel_fn reads
    out = []
    for amt, rate, pers in loans:
        rec = {{"id": "x", "amt": amt, "rate": rate, "pers": pers, "int_freq": 1, "cap_freq": 1}}
        fn = quill_harbor.paywheel_fn([rec])["x"]
        text = {{"id": "x", "amt": repr(f32(amt)), "rate": repr(f32(rate)), "pers": str(pers),
                 "int_freq": "1", "cap_freq": "1"}}
        gil = quill_harbor.paywheel_gil([text, text])
        assert all(s == fn for s in gil)
        out.append({{"Cap": fn["Cap"], "Int": fn["Int"]}})
    print(json.dumps(out))
    """
)


def test_reproducible_mode_gives_the_correctly_rounded_schedule(run_python):
    proc = run_module(run_python, "correctly-rounded", SCHEDULES.format(loans=LOANS))
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout)
    for (amt, rate, pers), got in zip(LOANS, results):
        cap, interest = expected_columns(amt, rate, pers)
        assert [np.float32(v) for v in got["Cap"][:-1]] == cap, (amt, rate, pers)
        assert [np.float32(v) for v in got["Int"]] == interest, (amt, rate, pers)


def test_platform_is_the_default_and_can_be_named(run_python):
    default = run_module(run_python, None, SCHEDULES.format(loans=LOANS))
    named = run_module(run_python, "platform", SCHEDULES.format(loans=LOANS))
    assert default.returncode == 0 and named.returncode == 0, default.stderr + named.stderr
    assert default.stdout == named.stdout


@pytest.mark.parametrize("value", ["", "bogus", "Correctly-Rounded", "platform "])
def test_an_unknown_mode_refuses_the_import(run_python, value):
    proc = run_module(
        run_python,
        value,
        """
        for attempt in range(2):
            try:
                import quill_harbor
            except ImportError as e:
                print("ImportError:", e)
            else:
                print("imported")
        """,
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 2
    for line in lines:
        assert line.startswith("ImportError:") and "QUILL_HARBOR_POWF" in line
        assert "'platform'" in line and "'correctly-rounded'" in line
