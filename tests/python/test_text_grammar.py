import math
import struct
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quill_harbor import paywheel_fn, paywheel_par

from conftest import FLOAT_ERR, INT_ERR, make_loan, make_text_loan

INF, NAN = math.inf, math.nan
TINY, MIN_NORMAL, MAX = 2.0**-149, 2.0**-126, (2.0**24 - 1) * 2.0**104
HALF = Fraction(1, 2)

# One period that is not a capital period: the whole amount lands on entry 0
# of "Cap"; a zero amount is never repaid, so "Bal" keeps its sign.
PROBE = {"rate": "1", "pers": "1", "int_freq": "1", "cap_freq": "2"}


def observed(schedule):
    cap, bal = schedule["Cap"][0], schedule["Bal"][0]
    return bal if cap == 0 else cap


def decoded_amount(text):
    (schedule,) = paywheel_par([make_text_loan(amt=text, **PROBE)])
    return observed(schedule)


def same(actual, expected):
    """Equality that matches NaN with NaN and tells the signs of zeros and NaNs apart."""
    same_sign = math.copysign(1.0, actual) == math.copysign(1.0, expected)
    return same_sign and ((math.isnan(actual) and math.isnan(expected)) or actual == expected)


def decimal(q, places=220):
    """The exact positional spelling of q, which must have at most `places` decimals."""
    scaled = q * 10**places
    assert scaled.denominator == 1
    digits = str(scaled.numerator).rjust(places + 1, "0")
    return (digits[:-places] + "." + digits[-places:]).rstrip("0").rstrip(".")


def nearest_f32(q):
    """The binary32 value nearest to q >= 0, ties to even, widened to float."""
    if q == 0:
        return 0.0
    e = q.numerator.bit_length() - q.denominator.bit_length()
    if q < Fraction(2) ** e:
        e -= 1
    quantum = max(e - 23, -149)  # 24 significant bits, or the subnormal spacing
    m = round(q / Fraction(2) ** quantum)  # Fraction rounds half to even
    return INF if m * Fraction(2) ** quantum >= 2**128 else math.ldexp(m, quantum)


@pytest.mark.parametrize(
    "value, expected",
    [(-2.5, -2.5), (0.1, 0.10000000149011612), (-0.0, -0.0), (TINY, TINY), (MAX, MAX), (1e39, INF),
     (-INF, -INF), (NAN, NAN), (-NAN, -NAN)],
    ids=repr,
)
def test_probe_shows_the_binary32_amount(value, expected):
    typed = paywheel_fn([make_loan(amt=value, **{k: int(v) for k, v in PROBE.items()})])["loan"]
    assert same(observed(typed), expected)


# --- 32-bit float grammar -----------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("1000", 1000.0), ("1e3", 1000.0), ("1E+3", 1000.0), ("10000e-1", 1000.0), ("+1000", 1000.0),
        ("0001000.000", 1000.0), ("1000e-0000", 1000.0), (".5", 0.5), ("5.", 5.0), ("5.e0", 5.0),
        (".5E1", 5.0), ("-2.5", -2.5), ("-0", -0.0), ("+0.0", 0.0), ("-0e5", -0.0), ("0.1", 0.10000000149011612),
        ("inf", INF), ("+INF", INF), ("Infinity", INF), ("-iNfInItY", -INF), ("nan", NAN), ("NaN", NAN),
        ("-nan", -NAN),
        # out of range: an infinity or a zero of the numeral's sign, never an error
        ("1e40", INF), ("-1e40", -INF), ("1e99999999999", INF), ("0.00001e99999999999999999999", INF),
        ("1e-99999999999", 0.0), ("-1e-99999999999", -0.0), ("0e99999999999", 0.0), ("-1e-46", -0.0),
        ("1e-45", TINY), ("-7.1e-46", -TINY),
        # however many digits
        ("0." + "0" * 400 + "1e401", 1.0), ("1" + "0" * 500 + "e-500", 1.0), ("0" * 1000 + "2", 2.0),
        # halfway from the largest finite value to 2**128 ties to even, which is upwards
        (decimal((2**24 - HALF) * 2**104), INF), (decimal((2**24 - HALF) * 2**104 - Fraction(1, 10**30)), MAX),
        ("3.4028235e38", MAX), ("-3.4028236e38", -INF),
        # subnormal ties and boundaries
        (decimal(HALF**150), 0.0), (decimal(HALF**150 + Fraction(1, 10**200)), TINY),
        (decimal(3 * HALF**150), 2 * TINY), (decimal(5 * HALF**150), 2 * TINY),
        (decimal((2**23 - HALF) * HALF**149), MIN_NORMAL),
        (decimal((2**23 - HALF) * HALF**149 - Fraction(1, 10**200)), MIN_NORMAL - TINY),
        # normal ties, and one decided by a far digit
        (decimal(1 + HALF**24), 1.0), (decimal(1 + 3 * HALF**24), 1 + 2.0**-22),
        (decimal(1 + HALF**24) + "0" * 100 + "1", 1 + 2.0**-23),
    ],
    ids=lambda v: repr(v)[:40],
)
def test_float_texts_decode_to_the_nearest_binary32(text, expected):
    assert same(decoded_amount(text), expected)


@pytest.mark.parametrize("rate", ["NaN", "inf", "-Infinity", "+1E-2", ".05"])
def test_rate_texts_are_accepted_as_their_values(rate):
    loan = {"pers": "4", "int_freq": "4", "cap_freq": "8"}
    (text_result,) = paywheel_par([make_text_loan(rate=rate, **loan)])
    typed = paywheel_fn([make_loan(rate=float(rate), **{k: int(v) for k, v in loan.items()})])["loan"]
    assert repr(text_result) == repr(typed)


FLOAT_FAILURES = [
    ("", "Empty"), (" 1000", "Invalid"), ("1000 ", "Invalid"), ("-", "Invalid"), ("+", "Invalid"),
    ("0x10", "Invalid"), ("1_000", "Invalid"), ("1,000", "Invalid"), ("1e", "Invalid"), ("1e+", "Invalid"),
    ("1e5.5", "Invalid"), (".", "Invalid"), (".e1", "Invalid"), ("e5", "Invalid"), ("--1", "Invalid"),
    ("+-1", "Invalid"), ("1.2.3", "Invalid"), ("1000a", "Invalid"), ("infinit", "Invalid"), ("infinityy", "Invalid"),
    ("nana", "Invalid"), ("in f", "Invalid"), ("\uff11", "Invalid"), ("1d5", "Invalid"),
]


@pytest.mark.parametrize("key", ["amt", "rate"])
@pytest.mark.parametrize("text, kind", FLOAT_FAILURES, ids=repr)
def test_float_grammar_failures(panic_type, key, text, kind):
    with pytest.raises(panic_type) as info:
        paywheel_par([make_text_loan(**{key: text})])
    assert str(info.value) == FLOAT_ERR % kind


# --- signed 32-bit integer grammar -------------------------------------------------------


def outcome(op, record):
    try:
        result = op([record])
    except BaseException as exc:  # noqa: BLE001 - the abort is part of the outcome
        return f"{type(exc).__name__}: {exc}"
    return result[0] if type(result) is list else result["loan"]


@pytest.mark.parametrize(
    "key, text, value",
    [
        ("pers", "+12", 12), ("pers", "0012", 12), ("pers", "-0", 0), ("pers", "+0", 0), ("pers", "-1", -1),
        ("pers", "2147483647", 2**31 - 1), ("pers", "-2147483648", -(2**31)),
        ("int_freq", "2147483647", 2**31 - 1), ("int_freq", "-2147483648", -(2**31)), ("int_freq", "-00001", -1),
        ("cap_freq", "00000000002147483647", 2**31 - 1), ("cap_freq", "-00000000002147483648", -(2**31)),
        ("cap_freq", "+8", 8),
    ],
    ids=repr,
)
def test_integer_texts_decode_to_their_values(key, text, value):
    assert outcome(paywheel_par, make_text_loan(**{key: text})) == outcome(paywheel_fn, make_loan(**{key: value}))


INT_FAILURES = [
    ("", "Empty"), ("+", "InvalidDigit"), ("-", "InvalidDigit"), ("12.0", "InvalidDigit"), ("1e3", "InvalidDigit"),
    (" 12", "InvalidDigit"), ("12 ", "InvalidDigit"), ("--1", "InvalidDigit"), ("+-1", "InvalidDigit"),
    ("0x10", "InvalidDigit"), ("1_000", "InvalidDigit"), ("\uff11\uff12", "InvalidDigit"), ("\u0663", "InvalidDigit"),
    ("1x99999999999", "InvalidDigit"), ("2147483648", "PosOverflow"), ("+99999999999999999999", "PosOverflow"),
    ("2147483648x", "PosOverflow"), ("-2147483649", "NegOverflow"), ("-99999999999x", "NegOverflow"),
]


@pytest.mark.parametrize("key", ["pers", "int_freq", "cap_freq"])
@pytest.mark.parametrize("text, kind", INT_FAILURES, ids=repr)
def test_integer_grammar_failures(panic_type, key, text, kind):
    with pytest.raises(panic_type) as info:
        paywheel_par([make_text_loan(**{key: text})])
    assert str(info.value) == INT_ERR % kind


# --- correct rounding, at random -----------------------------------------------------------

DIGITS = st.text("0123456789", max_size=24)


@st.composite
def numerals(draw):
    """A numeral and its exact magnitude (a stand-in far beyond the range for huge exponents)."""
    whole, frac = draw(DIGITS), draw(st.none() | DIGITS)
    whole = whole or ("" if frac else "0")
    text = whole if frac is None else f"{whole}.{frac}"
    value = Fraction(int(whole + (frac or "") or "0"), 10 ** len(frac or ""))
    exponent = draw(st.none() | st.integers(-60, 60) | st.sampled_from([-400, 400, -(10**15), 99999999999]))
    if exponent is not None:
        sign = "-" if exponent < 0 else draw(st.sampled_from(["", "+"]))
        text += draw(st.sampled_from("eE")) + sign + "0" * draw(st.integers(0, 2)) + str(abs(exponent))
        if abs(exponent) <= 1000:
            value *= Fraction(10) ** exponent
        elif value:
            value = Fraction(2) ** (200 if exponent > 0 else -200)
    return text, value


@st.composite
def near_ties(draw):
    """Halfway between neighbouring binary32 values, exactly or nudged by far less than their gap."""
    bits = draw(st.integers(0, 0x7F7FFFFF))
    low, high = (Fraction(struct.unpack("<f", struct.pack("<I", b))[0]) for b in (bits, min(bits + 1, 0x7F7FFFFF)))
    high = Fraction(2**128) if bits == 0x7F7FFFFF else high
    value = (low + high) / 2 + draw(st.sampled_from([-1, 0, 1])) * Fraction(1, 10 ** draw(st.integers(50, 120)))
    return (decimal(value) if draw(st.booleans()) else f"{value * 10**220}e-220"), value


@settings(max_examples=400, deadline=None)
@given(st.one_of(numerals(), near_ties()), st.sampled_from(["", "+", "-"]))
def test_decimal_numerals_round_correctly(numeral, sign):
    text, value = numeral
    expected = nearest_f32(value)
    assert same(decoded_amount(sign + text), -expected if sign == "-" else expected), text
