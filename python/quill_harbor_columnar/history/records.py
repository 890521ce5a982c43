"""One block of delimited records to typed columns: each field read by its kind, and every record that
does not read (a wrong number of fields, an unreadable number or date, an unknown code) a failure with
its line and field, left out of the columns.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass
from typing import Any

from .. import _native
from .._internal.deps import require
from .files import Block
from .layouts import DELINQUENCY_REO, DELINQUENCY_UNKNOWN

_FLOAT = r"^[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?$"
_INT = r"^[+-]?[0-9]+$"
_EPOCH = _dt.date(1970, 1, 1)
# How the native reader takes each kind: numbers typed, the rest as text.
_NATIVE_KINDS = {"float": "f", "int": "i"}

# Whether a clean block's wanted fields are read natively (only they are split out of each line) before
# the CSV reader is tried; the differential test and the benchmark turn it off to compare the two.
native_reader = True


@dataclass(frozen=True, slots=True)
class BadField:
    """A record that failed: its row in the block's columns (or -1 when it has none), its line, the code, the
    field and the value as read."""

    row: int
    line: int
    code: str
    field: str | None
    value: str | None


def month_days(text: str, form: str) -> int | None:
    """Days from 1970-01-01 to the first of the month ``text`` names in ``form`` (MMYYYY or YYYYMM), or None."""
    if len(text) != 6 or not text.isdigit():
        return None
    month, year = (int(text[:2]), int(text[2:])) if form == "MMYYYY" else (int(text[4:]), int(text[:4]))
    if not 1 <= month <= 12 or year < 1900:
        return None
    return (_dt.date(year, month, 1) - _EPOCH).days


def _delinquency(text: str, form: str) -> int | None:
    if text.isdigit():
        return int(text)
    if form == "MMYYYY":  # the combined file: two digits, XX unknown
        return DELINQUENCY_UNKNOWN if text == "XX" else None
    return DELINQUENCY_REO if text == "RA" else None


class BlockReader:
    """Reads blocks of one layout's records: ``fields`` (name, kind) in file order, ``wanted`` the names read."""

    def __init__(
        self, fields: tuple[tuple[str, str], ...], wanted: list[str], date_form: str, zb_codes: frozenset[str],
        shortest: int,
    ) -> None:  # fmt: skip
        self.fields = fields
        self.kinds = dict(fields)
        order = {name: i for i, (name, _) in enumerate(fields)}
        self.wanted = sorted(set(wanted), key=order.__getitem__)
        self.date_form = date_form
        self.zb_codes = zb_codes
        self.shortest = shortest
        self.count = len(fields)
        self._native_fields = [(n, order[n], _NATIVE_KINDS.get(self.kinds[n], "s")) for n in self.wanted]

    # ------------------------------------------------------------ fields

    def _parse(self, data: bytes, handler: Any, typed: bool) -> Any:
        """The block's wanted fields: as their kinds where ``typed`` (numbers parsed by the CSV reader,
        dates and codes as dictionaries of their texts), else all as text."""
        pa = require("pyarrow", "history()")
        csv = require("pyarrow.csv", "history()")
        names = [name for name, _ in self.fields]
        text = pa.string()
        kinds = {"float": pa.float64(), "int": pa.int32(), "str": text}
        words = pa.dictionary(pa.int32(), text)
        types = {n: (kinds.get(self.kinds[n], words) if typed else text) for n in self.wanted}
        return csv.read_csv(
            pa.py_buffer(data),
            read_options=csv.ReadOptions(column_names=names, use_threads=True, block_size=1 << 24),
            parse_options=csv.ParseOptions(
                delimiter="|", quote_char=False, double_quote=False, invalid_row_handler=handler
            ),
            convert_options=csv.ConvertOptions(
                include_columns=self.wanted,
                column_types=types,
                strings_can_be_null=True,
                null_values=[""],
                quoted_strings_can_be_null=False,
            ),
        )

    def _parse_any(self, data: bytes, handler: Any) -> Any:
        """Natively when the block is clean (every line holds the layout's fields and every number reads
        whole); else typed by the CSV reader when every value reads; else as text, so that each value that
        does not is found."""
        pa = require("pyarrow", "history()")
        if native_reader and data:
            table = _native.read_fields(data, "|", self.count, self._native_fields, 0)
            if table is not None:
                return pa.RecordBatchReader.from_stream(table).read_all()
        try:
            return self._parse(data, handler, typed=True)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            return self._parse(data, handler, typed=False)

    def _lines(self, block: Block) -> tuple[bytes, list[int], list[BadField]]:
        """The slow path, for a block some of whose lines do not hold the layout's fields: each line's
        fields counted, short records of an older release padded, the rest failures."""
        keep: list[bytes] = []
        numbers: list[int] = []
        bad: list[BadField] = []
        for i, line in enumerate(block.data.split(b"\n")[: block.lines]):
            line = line.rstrip(b"\r")
            n = line.count(b"|") + 1 if line else 0
            if n == self.count:
                keep.append(line)
            elif self.shortest <= n < self.count:
                keep.append(line + b"|" * (self.count - n))
            else:
                bad.append(BadField(-1, block.first_line + i, "bad_field_count", None, str(n)))
                continue
            numbers.append(block.first_line + i)
        return b"\n".join(keep) + b"\n", numbers, bad

    def read(self, block: Block) -> tuple[Any, Any, list[BadField]]:
        """The block's records as typed columns (a dict of name -> array, each row a record that read), each
        row's line number (NumPy int64), and the records that failed."""
        np = require("numpy", "history()")
        invalid: list[Any] = []

        def handler(row: Any) -> str:
            invalid.append(row)
            return "skip"

        table = self._parse_any(block.data, handler)
        bad: list[BadField] = []
        if invalid or table.num_rows != block.lines:
            data, numbers, bad = self._lines(block)
            table = self._parse_any(data, lambda row: "error")
            lines = np.asarray(numbers, dtype=np.int64)
        else:
            lines = np.arange(block.first_line, block.first_line + block.lines, dtype=np.int64)
        columns: dict[str, Any] = {}
        failed = np.zeros(table.num_rows, dtype=bool)
        for name in self.wanted:
            array = table.column(name).combine_chunks() if table.num_rows else table.column(name)
            typed, wrong, code = self._typed(array, self.kinds[name])
            columns[name] = typed
            if wrong is not None:
                for row in np.flatnonzero(wrong & ~failed).tolist():
                    value = array[row].as_py()
                    value = value if value is None or isinstance(value, str) else str(value)
                    bad.append(BadField(row, int(lines[row]), code, name, value))
                failed |= wrong
        if failed.any():
            pa = require("pyarrow", "history()")
            keep = pa.array(~failed)
            columns = {name: col.filter(keep) for name, col in columns.items()}
            lines = lines[~failed]
        bad.sort(key=lambda b: b.line)
        return columns, lines, bad

    def _typed(self, array: Any, kind: str) -> tuple[Any, Any, str]:
        """The column as its kind, a mask of values that do not read (None when all read), and their code."""
        pa = require("pyarrow", "history()")
        pc = require("pyarrow.compute", "history()")
        np = require("numpy", "history()")
        array = array.combine_chunks() if isinstance(array, pa.ChunkedArray) else array
        if kind == "str" or array.type in (pa.float64(), pa.int32()):
            return array, None, ""
        if kind in ("float", "int"):
            target, pattern, code = (
                (pa.float64(), _FLOAT, "parse_float") if kind == "float" else (pa.int32(), _INT, "parse_int")
            )
            try:
                return pc.cast(array, target), None, code
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                ok = pc.match_substring_regex(array, pattern)
                wrong = np.asarray(pc.and_(array.is_valid(), pc.invert(ok)).fill_null(False))
                cleaned = pc.if_else(pa.array(wrong), pa.scalar(None, pa.string()), array)
                try:
                    return pc.cast(cleaned, target), wrong, code
                except (pa.ArrowInvalid, pa.ArrowNotImplementedError):  # a whole number past int32
                    values = [None if v is None else _int32(v) for v in cleaned.to_pylist()]
                    out_of_range = np.asarray([v is False for v in values])
                    typed = pa.array([None if v is False else v for v in values], pa.int32())
                    return typed, wrong | out_of_range, code
        # Dates and codes: few distinct texts, each read once.
        encoded = array if pa.types.is_dictionary(array.type) else pc.dictionary_encode(array)
        texts = encoded.dictionary.to_pylist()
        if kind == "date":
            values = [month_days(t, self.date_form) for t in texts]
            code, out_type = "bad_date", pa.date32()
        elif kind == "dlq":
            values = [_delinquency(t, self.date_form) for t in texts]
            code, out_type = "unknown_code", pa.int32()
        else:  # zb
            values = [t if t in self.zb_codes else None for t in texts]
            code, out_type = "unknown_code", pa.string()
        bad_text = np.asarray([v is None for v in values], dtype=bool)
        indices = encoded.indices
        typed = pa.array(values, out_type).take(indices)
        if kind == "dlq":  # a blank status is unknown
            typed = typed.fill_null(DELINQUENCY_UNKNOWN)
        wrong = None
        if bad_text.any():
            idx = np.asarray(indices.fill_null(0))
            wrong = bad_text[idx] & np.asarray(array.is_valid())
            if not wrong.any():
                wrong = None
        return typed, wrong, code


def _int32(text: str) -> int | bool:
    value = int(text)
    return value if -(2**31) <= value < 2**31 else False
