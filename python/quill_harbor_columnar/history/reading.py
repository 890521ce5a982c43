"""``history()``: a loan-level history read into one typed loan-month table, batch by batch.

Each layout's fields are read by kind (``records``) and formed into the history's own columns here:
the same names whatever the layout, the loss fields summed as each publisher defines them, and for
Freddie Mac the origination terms joined on ``loan_sequence_number``.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from .._internal.deps import require
from .._internal.tables import ArrowConversions
from .failures import RecordFailure, failure_table
from .files import Block, Source, blocks, sources
from .layouts import (
    FANNIE_COSTS,
    FANNIE_PROCEEDS,
    FANNIE_SERVICING_SPREAD,
    FREDDIE_ORIGINATION_FIELDS,
    FREDDIE_ORIGINATION_SOURCES,
    FREDDIE_PROCEEDS,
    LIQUIDATION_CODES,
    STANDARD,
    STANDARD_NAMES,
    Layout,
    layout_of,
)
from .records import BadField, BlockReader

__all__ = ["history", "History"]

Paths = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]

DEFAULT_BATCH_ROWS = 1 << 17
# Inputs up to this many bytes on disk are read when the history is made (so a bad record raises there);
# larger ones are read as they are used, batch by batch, in bounded memory.
EAGER_BYTES = 64 << 20
# The bytes of a record, for sizing blocks to ``batch_rows`` before any is read.
_RECORD_BYTES = {"fannie-mae": 200, "freddie-mac": 110}


def _arrow_type(kind: str) -> Any:
    pa = require("pyarrow", "history()")
    return {
        "str": pa.string(),
        "zb": pa.string(),
        "int": pa.int32(),
        "dlq": pa.int32(),
        "float": pa.float64(),
        "date": pa.date32(),
    }[kind]


def _zero(columns: dict[str, Any], names: Iterable[str]) -> Any:
    """The sum of ``names`` in order, each absent value 0, as a float64 NumPy array."""
    np = require("numpy", "history()")
    out: Any = None
    for name in names:
        values = np.asarray(columns[name].fill_null(0.0), dtype=np.float64)
        out = values.copy() if out is None else out + values
    return out


def _any_valid(columns: dict[str, Any], names: Iterable[str]) -> Any:
    np = require("numpy", "history()")
    out: Any = None
    for name in names:
        valid = np.asarray(columns[name].is_valid())
        out = valid if out is None else out | valid
    return out


def _month_index(days: Any) -> Any:
    """Months since 1970-01 of date32 values (NumPy int64; null as a large negative)."""
    np = require("numpy", "history()")
    d = np.asarray(days.cast("int32").fill_null(-(10**9)), dtype=np.int64).astype("datetime64[D]")
    return d.astype("datetime64[M]").astype(np.int64)


def fannie_net_loss(columns: dict[str, Any]) -> Any:
    """The publisher's net loss of each record (NaN where the record liquidates nothing): LAST_UPB, plus
    the five costs, plus the forgiven principal, plus the delinquent interest cost, less the four proceeds;
    the delinquent interest cost is the months from the last paid installment to the disposition times
    (LAST_RT / 100 - 0.0035) / 12 times (LAST_UPB - NON_INTEREST_BEARING_UPB)."""
    np = require("numpy", "history()")
    last_upb = np.asarray(columns["last_upb"].fill_null(np.nan), dtype=np.float64)
    last_rt = np.asarray(columns["curr_rate"].fill_null(0.0), dtype=np.float64)
    nib = np.asarray(columns["non_interest_bearing_upb"].fill_null(0.0), dtype=np.float64)
    paid = columns["last_paid_installment_date"]
    disposed = columns["disposition_date"]
    both = np.asarray(paid.is_valid()) & np.asarray(disposed.is_valid())
    months = np.where(both, _month_index(disposed) - _month_index(paid), 0).astype(np.float64)
    interest = months * (last_rt / 100.0 - FANNIE_SERVICING_SPREAD) / 12.0 * (last_upb - nib)
    forgiven = np.asarray(columns["principal_forgiveness_amount"].fill_null(0.0), dtype=np.float64)
    return last_upb + _zero(columns, FANNIE_COSTS) + forgiven + interest - _zero(columns, FANNIE_PROCEEDS)


def freddie_net_loss(columns: dict[str, Any]) -> Any:
    """The publisher's actual loss: (default UPB - net sale proceeds) + delinquent accrued interest -
    expenses - MI recoveries - non-MI recoveries (expenses are reported negative)."""
    np = require("numpy", "history()")

    def f(name: str) -> Any:
        return np.asarray(columns[name].fill_null(0.0), dtype=np.float64)

    upb = np.asarray(columns["zero_balance_removal_upb"].fill_null(np.nan), dtype=np.float64)
    return (
        (upb - f("net_sale_proceeds"))
        + f("delinquent_accrued_interest")
        - f("expenses")
        - f("mi_recoveries")
        - f("non_mi_recoveries")
    )


def _standard(layout: Layout, c: dict[str, Any], origination: dict[str, Any]) -> dict[str, Any]:
    """The history's own columns from one block's typed fields (and its origination terms)."""
    pa = require("pyarrow", "history()")
    pc = require("pyarrow.compute", "history()")
    np = require("numpy", "history()")
    src = layout.sources
    out: dict[str, Any] = {}
    for name in ("id", "month", "balance", "age", "remaining", "delinquency", "zero_balance_code"):
        out[name] = c[src[name]]
    out["rate"] = pc.divide(c[src["rate"]], 100.0)
    out["zero_balance_month"] = c[src["zero_balance_month"]]
    out["zero_balance_upb"] = c[src["zero_balance_upb"]]
    fannie = layout.name == "fannie-mae"
    costs, proceeds = (FANNIE_COSTS, FANNIE_PROCEEDS) if fannie else (("expenses",), FREDDIE_PROCEEDS)
    cost_sum = _zero(c, costs)
    out["costs"] = pa.array(cost_sum if fannie else -cost_sum, mask=~_any_valid(c, costs))
    out["proceeds"] = pa.array(_zero(c, proceeds), mask=~_any_valid(c, proceeds))
    out["delinquent_interest"] = c[src["delinquent_interest"]]
    out["non_interest_bearing_balance"] = c[src["non_interest_bearing_balance"]]
    liquidated = np.asarray(pc.is_in(c[src["zero_balance_code"]], pa.array(sorted(LIQUIDATION_CODES))))
    loss = fannie_net_loss(c) if fannie else freddie_net_loss(c)
    out["net_loss"] = pa.array(loss, mask=~(liquidated & ~np.isnan(loss)))
    n = len(out["id"])
    out["scheduled_principal"] = c[src["scheduled_principal"]] if fannie else pa.nulls(n, pa.float64())
    if fannie:
        out["orig_balance"] = c["orig_upb"]
        out["orig_rate"] = pc.divide(c["orig_rate"], 100.0)
        out["orig_term"] = c["orig_term"]
        out["first_payment"] = c["first_pay"]
    else:
        for name in ("orig_balance", "orig_term", "first_payment"):
            out[name] = origination[name]
        out["orig_rate"] = pc.divide(origination["orig_rate"], 100.0)
    out["vintage"] = pc.cast(pc.year(out["first_payment"]), pa.int32())
    return out


class _Origination:
    """Freddie Mac's origination records, one a loan, held in memory (they are a small part of a history)
    and joined to the performance records by ``loan_sequence_number``."""

    def __init__(self, paths: Paths, extra: list[str], batch_rows: int) -> None:
        pa = require("pyarrow", "history()")
        self.extra = extra
        wanted = ["loan_sequence_number", *FREDDIE_ORIGINATION_SOURCES.values(), *extra]
        reader = BlockReader(FREDDIE_ORIGINATION_FIELDS, wanted, "YYYYMM", frozenset(), len(FREDDIE_ORIGINATION_FIELDS))
        self.failures: list[RecordFailure] = []
        parts: list[dict[str, Any]] = []
        key = FREDDIE_ORIGINATION_FIELDS.index(("loan_sequence_number", "str"))
        for source in sources(paths):
            for block in blocks(source, batch_rows * 160):
                columns, numbers, bad = reader.read(block)
                columns, _, unkeyed = _without_blank_keys(columns, numbers, ("loan_sequence_number",))
                self.failures.extend(_failures(source, block, [*bad, *unkeyed], key))
                parts.append(columns)
        names = reader.wanted
        table = pa.table(
            {
                n: pa.chunked_array([p[n] for p in parts], _arrow_type(dict(FREDDIE_ORIGINATION_FIELDS)[n]))
                for n in names
            }
        )
        self.keys = table.column("loan_sequence_number").combine_chunks()
        self.table = table

    def join(self, ids: Any) -> tuple[dict[str, Any], Any]:
        """The origination columns of each loan in ``ids``, and the mask of loans without a record."""
        pc = require("pyarrow.compute", "history()")
        np = require("numpy", "history()")
        at = pc.index_in(ids, value_set=self.keys)
        missing = np.asarray(at.is_null())
        taken = self.table.take(at.fill_null(0)) if len(self.keys) else None
        out: dict[str, Any] = {}
        for std, field in FREDDIE_ORIGINATION_SOURCES.items():
            out[std] = taken.column(field).combine_chunks() if taken is not None else None
        for field in self.extra:
            out[field] = taken.column(field).combine_chunks() if taken is not None else None
        return out, missing


def _failures(source: Source, block: Block, bad: list[BadField], key: int) -> list[RecordFailure]:
    """The block's failed records, in line order, each with the loan id its own raw record holds at field
    ``key`` (the typed columns hold only the records that read, so they cannot name a failed one)."""
    if not bad:
        return []
    lines = block.data.split(b"\n")
    out = []
    for b in sorted(bad, key=lambda b: b.line):
        cells = lines[b.line - block.first_line].rstrip(b"\r").split(b"|", key + 1)
        loan = cells[key].decode("utf-8", "replace") if len(cells) > key else ""
        out.append(RecordFailure(source.name, b.line, loan or None, b.code, b.field, b.value))
    return out


def _without_blank_keys(
    columns: dict[str, Any], numbers: Any, keys: Iterable[str]
) -> tuple[dict[str, Any], Any, list[BadField]]:
    """The records whose key fields (the loan, the month) hold a value, and a ``null`` failure for each
    record with one empty: a record that names no loan or no month belongs to no loan-month."""
    np = require("numpy", "history()")
    pa = require("pyarrow", "history()")
    blank = np.zeros(len(numbers), dtype=bool)
    bad: list[BadField] = []
    for key in keys:
        empty = np.asarray(columns[key].is_null()) & ~blank
        bad.extend(BadField(-1, int(numbers[row]), "null", key, "") for row in np.flatnonzero(empty).tolist())
        blank |= empty
    if not bad:
        return columns, numbers, bad
    keep = pa.array(~blank)
    return {k: v.filter(keep) for k, v in columns.items()}, numbers[~blank], bad


def _are_sources(paths: Any) -> bool:
    return isinstance(paths, list) and bool(paths) and all(isinstance(p, Source) for p in paths)


class History(ArrowConversions):
    """A loan-level history: one typed loan-month table (``STANDARD_NAMES``, then the fields asked for with
    ``columns=``). Small inputs are read when the history is made; larger ones as it is used, batch by
    batch (``batches()``), so a history of any size is read in bounded memory."""

    def __init__(
        self,
        paths: Paths,
        layout: str,
        *,
        origination: Paths | None = None,
        columns: str | Iterable[str] | None = None,
        errors: str = "raise",
        batch_rows: int = DEFAULT_BATCH_ROWS,
    ) -> None:
        if errors not in ("raise", "skip"):
            raise ValueError(f'errors must be "raise" or "skip", not {errors!r}')
        if batch_rows < 1:
            raise ValueError("batch_rows must be 1 or more")
        self.layout = layout_of(layout)
        self.errors = errors
        self.batch_rows = batch_rows
        self.sources: list[Source] = list(paths) if _are_sources(paths) else sources(paths)  # type: ignore[arg-type]
        names = [columns] if isinstance(columns, str) else list(columns or [])
        extra = [c for c in names if c not in STANDARD_NAMES]
        origination_names = {n for n, _ in FREDDIE_ORIGINATION_FIELDS}
        known = set(self.layout.names) | (origination_names if self.layout.name == "freddie-mac" else set())
        unknown = [c for c in extra if c not in known]
        if unknown:
            raise ValueError(
                f"columns: {unknown[0]!r} is no field of the {self.layout.name} layout (nor a history column)"
            )
        self.extra = list(dict.fromkeys(extra))
        own = [c for c in self.extra if c in self.layout.names]
        self._reader = BlockReader(
            self.layout.fields,
            [*self.layout.needs, *own],
            self.layout.date_form,
            self.layout.zb_codes,
            self.layout.shortest,
        )
        self._origination: _Origination | None = None
        self._origination_failures: list[RecordFailure] = []
        if self.layout.name == "freddie-mac":
            if origination is None:
                raise ValueError('layout "freddie-mac" needs the origination files: origination=...')
            from_origination = [c for c in self.extra if c not in self.layout.names]
            self._origination = _Origination(origination, from_origination, batch_rows)
            self._origination_failures = self._origination.failures
            if self._origination_failures and errors == "raise":
                raise self._origination_failures[0].error()
        elif origination is not None:
            raise ValueError(f'origination= is for layout "freddie-mac"; {self.layout.name} records carry theirs')
        self._failures: dict[int, list[RecordFailure]] = {}
        self._files: list[Any] | None = None  # each file's table, once read whole
        self._table: Any = None
        if sum(s.size() for s in self.sources) <= EAGER_BYTES:
            self._read_all()

    # ------------------------------------------------------------ reading

    @property
    def schema(self) -> Any:
        pa = require("pyarrow", "history()")
        fields = [pa.field(n, _arrow_type(k)) for n, k in STANDARD]
        kinds = dict(self.layout.fields) | dict(FREDDIE_ORIGINATION_FIELDS if self._origination else ())
        fields += [pa.field(n, _arrow_type(kinds[n])) for n in self.extra]
        return pa.schema(fields)

    def _block_bytes(self) -> int:
        return self.batch_rows * _RECORD_BYTES[self.layout.name]

    def file_batches(self, index: int, progress: Callable[[int], None] | None = None) -> Iterator[Any]:
        """The record batches of file ``index`` (in ``sources``), in file order."""
        pa = require("pyarrow", "history()")
        if self._files is not None:
            batches = self._files[index].to_batches()
            if progress is not None:
                progress(self._files[index].num_rows)
            yield from batches
            return
        source = self.sources[index]
        schema = self.schema
        found: list[RecordFailure] = []
        src = self.layout.sources
        key = self.layout.names.index(src["id"])
        for block in blocks(source, self._block_bytes()):
            c, numbers, bad = self._reader.read(block)
            c, numbers, unkeyed = _without_blank_keys(c, numbers, (src["id"], src["month"]))
            ids = c[src["id"]]
            failures = _failures(source, block, [*bad, *unkeyed], key)
            origination: dict[str, Any] = {}
            if self._origination is not None:
                origination, missing = self._origination.join(ids)
                if missing.any():
                    for row in missing.nonzero()[0].tolist():
                        failures.append(
                            RecordFailure(
                                source.name, int(numbers[row]), ids[row].as_py(), "no_origination",
                                "loan_sequence_number", ids[row].as_py(),
                            )
                        )  # fmt: skip
                    keep = pa.array(~missing)
                    c = {k: v.filter(keep) for k, v in c.items()}
                    origination = {k: v.filter(keep) for k, v in origination.items()}
                    failures.sort(key=lambda f: f.line)
            if failures and self.errors == "raise":
                raise failures[0].error()
            found.extend(failures)
            out = _standard(self.layout, c, origination)
            for name in self.extra:
                out[name] = c[name] if name in c else origination[name]
            if progress is not None:
                progress(block.lines)
            yield pa.record_batch([out[f.name] for f in schema], schema=schema)
        self._failures[index] = found

    def batches(self, progress: Callable[[int], None] | None = None) -> Iterator[Any]:
        """Every record batch of every file, in file order."""
        for index in range(len(self.sources)):
            yield from self.file_batches(index, progress)

    def _read_all(self) -> Any:
        pa = require("pyarrow", "history()")
        schema = self.schema
        files = [pa.Table.from_batches(list(self.file_batches(i)), schema=schema) for i in range(len(self.sources))]
        self._files = files
        self._table = pa.concat_tables(files) if files else schema.empty_table()
        return self._table

    # ------------------------------------------------------------ results

    @property
    def failures(self) -> list[RecordFailure]:
        """Every record that did not read, file by file, in line order (the files are read first if they
        have not been)."""
        for index in range(len(self.sources)):
            if index not in self._failures:
                for _ in self.file_batches(index):
                    pass
        return [*self._origination_failures, *(f for i in sorted(self._failures) for f in self._failures[i])]

    def failure_table(self) -> Any:
        """``failures`` as a pyarrow Table: file, line, id, code, field, value, reason."""
        return failure_table(self.failures)

    def to_arrow(self) -> Any:
        """The whole history as one pyarrow Table (in memory)."""
        if self._table is None:
            self._read_all()
        return self._table

    def __arrow_c_schema__(self) -> Any:
        return self.schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        pa = require("pyarrow", "history()")
        if self._table is not None:
            return self._table.__arrow_c_stream__(requested_schema)
        return pa.RecordBatchReader.from_batches(self.schema, self.batches()).__arrow_c_stream__(requested_schema)

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]:
        pa = require("pyarrow", "history()")
        table = self.to_arrow()
        batch = (
            pa.RecordBatch.from_struct_array(table.to_struct_array().combine_chunks())
            if table.num_rows
            else pa.RecordBatch.from_pylist([], schema=table.schema)
        )
        return batch.__arrow_c_array__(requested_schema)

    @property
    def num_rows(self) -> int:
        return int(self.to_arrow().num_rows)

    def __len__(self) -> int:
        return self.num_rows

    @property
    def column_names(self) -> list[str]:
        return list(self.schema.names)

    def __repr__(self) -> str:
        read = f" rows={self._table.num_rows}" if self._table is not None else " (read as used)"
        return f"<History layout={self.layout.name!r} files={len(self.sources)}{read}>"


def history(
    paths: Paths,
    layout: str,
    *,
    origination: Paths | None = None,
    columns: str | Iterable[str] | None = None,
    errors: str = "raise",
    batch_rows: int = DEFAULT_BATCH_ROWS,
) -> History:
    """A loan-level history in ``layout`` ("fannie-mae" or "freddie-mac") from ``paths`` (a file, a list of
    files, a folder or a glob; plain, .gz or .zip text). Freddie Mac's origination files come by
    ``origination=`` in the same forms. ``columns`` adds layout fields by their lower-case names (one name or several).
    ``errors="raise"`` raises ``RecordError`` (a ``LoanError``) at the first record that does not read;
    ``errors="skip"`` leaves such records out and lists them in ``History.failures``."""
    return History(paths, layout, origination=origination, columns=columns, errors=errors, batch_rows=batch_rows)
