"""Every text the tape reader gives a person, in one place.

Callers never read these: a row failure is known by its code, a refused tape
by the attributes of its exception. The texts name the forms a value may
take, so that a refusal says what would have been read.
"""

from __future__ import annotations

from collections.abc import Mapping

# The forms of a value, by the tape's decimal mark.
AMOUNT_FORMS = {
    ".": "250000, 250,000.00, $250,000 or (250,000.00) for a negative",
    ",": "250000, 250.000,00, 250 000,00 €, or (250.000,00) for a negative",
}
RATE_FORMS = {".": "6.125 or 0.06125", ",": "6,125 or 0,06125"}
WHOLE_FORMS = {".": "360 or 360.0", ",": "360 or 360,0"}
DATE_FORMS = "YYYY-MM-DD, M/D/YYYY, M/D/YY, DD-Mon-YY, YYYYMM or an Excel serial day number"
FREQUENCY_EXAMPLES = "M, Monthly, Q, Quarterly, SA, Semi-Annual, A or Annual"

# A row failure's reason, by code. Placeholders: {amounts}, {rates}, {whole}
# (the forms above, for the tape's decimal mark) and {ppy}.
REASONS = {
    "null": "the value is missing",
    "parse_float": "the text is not a number: amounts read as {amounts}, rates as {rates}",
    "parse_int": "the text is not a whole number ({whole})",
    "int_out_of_range": "the number is outside the signed 32-bit range",
    "bad_rate": "the rate text is not a number or a percentage: rates read as {rates}, with or without a % sign",
    "unknown_frequency": "the text is not a payment frequency: a whole number of periods, or a word such as "
    + FREQUENCY_EXAMPLES,
    "bad_frequency": "the frequency's payments a year do not divide periods_per_year ({ppy}) evenly",
    "bad_date": "the date does not read as " + DATE_FORMS,
    "bad_age": "age must be a whole number with 0 <= age < pers (from a date: the periods to as_of; from a "
    "remaining term: pers less it)",
    "bad_shape": "a rate step for a period twice, outside 2..pers, not just after a period that is both an "
    "interest and a capital date, or for an id the tape does not hold",
}


def reason(code: str, decimal: str, periods_per_year: int) -> str:
    return REASONS[code].format(
        amounts=AMOUNT_FORMS[decimal], rates=RATE_FORMS[decimal], whole=WHOLE_FORMS[decimal], ppy=periods_per_year
    )


# How the options are spelled where a refusal is read: in Python, and on the
# command line. {unit} is a rate unit's name.
PYTHON = {"unit": 'rate_unit="{unit}"', "allow": "allow_high_rates=True", "use": "pass"}
COMMAND = {"unit": "--rate-unit {unit}", "allow": "--allow-high-rates", "use": "add"}

# Rates that pass 1 (100%), by the unit they were read in.
_HIGH = "{count:,} loan{s} {have} a rate above 1 (100%) {per}, the first at row {row}, column {column}: {value!r}; "
_HIGH_HINTS = {
    "per-period": "rates are read per period: for annual percentages {use} {percent} (or {allow} to keep them)",
    "annual": "rates are read as yearly fractions: for annual percentages {use} {percent} (or {allow} to keep them)",
    "annual-percent": "rates are read as annual percentages: check the column (or {allow} to keep them)",
}
_LOW = (
    "{count:,} of {read:,} rates are below 1 (1% a year), the first at row {row}, column {column}: {value!r}; "
    "rates are read as annual percentages, and these look like yearly fractions: for yearly fractions "
    "{use} {annual} (or {allow} to keep them)"
)

_YEARLY = (
    "{count:,} of {read:,} rates are above 50% a year read per period, the first at row {row}, column {column}: "
    "{value!r}, which is {yearly:.1%} a year; rates are read per period, and these look like "
    "yearly fractions: for yearly fractions {use} {annual} (or {allow} to keep them)"
)


def high_rates(
    rate_unit: str, count: int, row: int, column: str, value: object, spelling: Mapping[str, str] = PYTHON
) -> str:
    """The refusal of a tape whose rates pass 1 (100%) a period (a year, for ``rate_unit="annual"``)."""
    words = {
        "s": "s" if count != 1 else "",
        "have": "have" if count != 1 else "has",
        "per": "a year" if rate_unit == "annual" else "per period",
    }
    return (_HIGH + _HIGH_HINTS[rate_unit]).format(
        count=count,
        row=row,
        column=column,
        value=value,
        use=spelling["use"],
        allow=spelling["allow"],
        percent=spelling["unit"].format(unit="annual-percent"),
        **words,
    )


def fraction_rates(
    count: int, read: int, row: int, column: str, value: object, spelling: Mapping[str, str] = PYTHON
) -> str:
    """The refusal of an annual-percent tape whose rates mostly look like fractions."""
    return _LOW.format(
        count=count,
        read=read,
        row=row,
        column=column,
        value=value,
        use=spelling["use"],
        allow=spelling["allow"],
        annual=spelling["unit"].format(unit="annual"),
    )


def yearly_rates(
    count: int, read: int, row: int, column: str, value: object, yearly: float, spelling: Mapping[str, str] = PYTHON
) -> str:
    """The refusal of a per-period tape whose rates mostly come to more than 50% a year (``yearly``: the
    first one's)."""
    return _YEARLY.format(
        count=count,
        read=read,
        row=row,
        column=column,
        value=value,
        yearly=yearly,
        use=spelling["use"],
        allow=spelling["allow"],
        annual=spelling["unit"].format(unit="annual"),
    )


def twelves(count: int, row: int, column: str, spelling: Mapping[str, str] = PYTHON) -> str:
    """The warning for numeric frequencies of 12 read as one payment every 12 periods on long terms."""
    flag = 'frequency_unit="payments-per-year"' if spelling is PYTHON else "--frequency-unit payments-per-year"
    return (
        f"{count:,} loan{'s' if count != 1 else ''} of 120 periods or more pay{'s' if count == 1 else ''} once "
        f"every 12 periods (a frequency of 12, the first at row {row}, column {column}); frequencies are read "
        f"as periods between payments: if 12 means 12 payments a year, {spelling['use']} {flag}"
    )
