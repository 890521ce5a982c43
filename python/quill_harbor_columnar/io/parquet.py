"""One Parquet file whose row groups are encoded on several threads.

Encoding is most of the cost of writing schedules, and pyarrow's writer
encodes on the calling thread. Here each row group is encoded on a thread of
its own, as a complete in-memory Parquet file (pyarrow releases the
interpreter lock while it encodes); one more thread appends each part's
column chunks to the output in order, and at the end the caller writes one footer:
the parts' row groups with their byte offsets moved to where the chunks now
lie. The footer is Thrift's compact protocol, which this module reads and
writes generically, changing only the offset fields, the row count and the
row-group ordinals. Readers see an ordinary single Parquet file.
"""

from __future__ import annotations

import struct
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, BinaryIO

from .._internal.deps import require

MAGIC = b"PAR1"

# Thrift compact type ids.
_TRUE, _FALSE, _BYTE, _I16, _I32, _I64, _DOUBLE, _BINARY, _LIST, _SET, _MAP, _STRUCT = range(1, 13)


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        b = self.data[self.pos]
        self.pos += 1
        return b

    def varint(self) -> int:
        shift = result = 0
        while True:
            b = self.byte()
            result |= (b & 0x7F) << shift
            if not b & 0x80:
                return result
            shift += 7

    def zigzag(self) -> int:
        n = self.varint()
        return (n >> 1) ^ -(n & 1)

    def value(self, t: int) -> Any:
        if t in (_TRUE, _FALSE):
            return None  # a field's boolean lives in its type
        if t == _BYTE:
            return self.byte()
        if t in (_I16, _I32, _I64):
            return self.zigzag()
        if t == _DOUBLE:
            v = self.data[self.pos : self.pos + 8]
            self.pos += 8
            return v
        if t == _BINARY:
            n = self.varint()
            v = self.data[self.pos : self.pos + n]
            self.pos += n
            return v
        if t in (_LIST, _SET):
            head = self.byte()
            size, et = head >> 4, head & 0x0F
            if size == 15:
                size = self.varint()
            if et in (_TRUE, _FALSE):  # booleans in a list are one byte each
                return (et, [self.byte() for _ in range(size)])
            return (et, [self.value(et) for _ in range(size)])
        if t == _MAP:
            size = self.varint()
            if size == 0:
                return (0, 0, [])
            kv = self.byte()
            kt, vt = kv >> 4, kv & 0x0F
            return (kt, vt, [(self.value(kt), self.value(vt)) for _ in range(size)])
        if t == _STRUCT:
            return self.struct()
        raise ValueError(f"unknown Thrift compact type {t}")

    def struct(self) -> list[list[Any]]:
        fields: list[list[Any]] = []
        last = 0
        while True:
            head = self.byte()
            if head == 0:
                return fields
            t, delta = head & 0x0F, head >> 4
            fid = last + delta if delta else self.zigzag()
            fields.append([fid, t, self.value(t)])
            last = fid


class _Writer:
    def __init__(self) -> None:
        self.out = bytearray()

    def varint(self, n: int) -> None:
        while True:
            b = n & 0x7F
            n >>= 7
            if n:
                self.out.append(b | 0x80)
            else:
                self.out.append(b)
                return

    def zigzag(self, n: int) -> None:
        self.varint((n << 1) ^ (n >> 63))

    def value(self, t: int, v: Any) -> None:
        if t in (_TRUE, _FALSE):
            return
        if t == _BYTE:
            self.out.append(v)
        elif t in (_I16, _I32, _I64):
            self.zigzag(v)
        elif t == _DOUBLE:
            self.out += v
        elif t == _BINARY:
            self.varint(len(v))
            self.out += v
        elif t in (_LIST, _SET):
            et, items = v
            if len(items) < 15:
                self.out.append(len(items) << 4 | et)
            else:
                self.out.append(0xF0 | et)
                self.varint(len(items))
            for item in items:
                if et in (_TRUE, _FALSE):
                    self.out.append(item)
                else:
                    self.value(et, item)
        elif t == _MAP:
            kt, vt, items = v
            self.varint(len(items))
            if items:
                self.out.append(kt << 4 | vt)
                for k, val in items:
                    self.value(kt, k)
                    self.value(vt, val)
        elif t == _STRUCT:
            self.struct(v)
        else:
            raise ValueError(f"unknown Thrift compact type {t}")

    def struct(self, fields: list[list[Any]]) -> None:
        last = 0
        for fid, t, v in fields:
            delta = fid - last
            if 0 < delta <= 15:
                self.out.append(delta << 4 | t)
            else:
                self.out.append(t)
                self.zigzag(fid)
            self.value(t, v)
            last = fid
        self.out.append(0)


def decode(data: bytes) -> list[list[Any]]:
    """A Thrift compact struct as [field id, type, value] lists."""
    return _Reader(data).struct()


def encode(fields: list[list[Any]]) -> bytes:
    w = _Writer()
    w.struct(fields)
    return bytes(w.out)


def _field(fields: list[list[Any]], fid: int) -> list[Any] | None:
    for f in fields:
        if f[0] == fid:
            return f
    return None


# Parquet's footer, by Thrift field id: the fields that hold file offsets.
_FILE_ROWS, _FILE_ROW_GROUPS = 3, 4
_RG_COLUMNS, _RG_FILE_OFFSET, _RG_ORDINAL = 1, 5, 7
_CC_FILE_OFFSET, _CC_META, _CC_OFFSET_INDEX, _CC_COLUMN_INDEX = 2, 3, 4, 6
_CM_OFFSETS = (9, 10, 11, 14)  # data page, index page, dictionary page, bloom filter


def _shift_row_group(rg: list[list[Any]], shift: int) -> None:
    f = _field(rg, _RG_FILE_OFFSET)
    if f is not None:
        f[2] += shift
    for cc in _field(rg, _RG_COLUMNS)[2][1]:  # type: ignore[index]
        for fid in (_CC_FILE_OFFSET, _CC_OFFSET_INDEX, _CC_COLUMN_INDEX):
            f = _field(cc, fid)
            if f is not None and not (fid == _CC_FILE_OFFSET and f[2] == 0):
                f[2] += shift
        meta = _field(cc, _CC_META)
        if meta is not None:
            for fid in _CM_OFFSETS:
                f = _field(meta[2], fid)
                if f is not None:
                    f[2] += shift


def split_part(buf: Any) -> tuple[memoryview, list[list[Any]]]:
    """A complete Parquet file's column-chunk bytes (without the leading magic) and its decoded footer."""
    view = memoryview(buf)
    n = len(view)
    if bytes(view[:4]) != MAGIC or bytes(view[n - 4 :]) != MAGIC:
        raise ValueError("not a Parquet file")
    (footer_len,) = struct.unpack("<I", view[n - 8 : n - 4])
    start = n - 8 - footer_len
    return view[4:start], decode(bytes(view[start : n - 8]))


class ParallelParquetWriter:
    """Writes batches to one Parquet file, encoding row groups on ``threads`` threads.

    ``row_group_rows`` rows are gathered per row group; at most ``threads``
    groups are being encoded while one more is gathered, which bounds memory
    at about (threads + 1) row groups. ``options`` go to ``pq.write_table``.
    """

    def __init__(
        self, sink: BinaryIO, schema: Any, *, threads: int = 2, row_group_rows: int = 1 << 20, **options: Any
    ) -> None:
        self.pa = require("pyarrow", "writing Parquet")
        self.pq = require("pyarrow.parquet", "writing Parquet")
        if options.get("write_page_index") or options.get("bloom_filter_options"):
            raise ValueError("page indexes and bloom filters lie outside the row groups; they are not moved")
        self.sink = sink
        self.schema = schema
        self.threads = max(1, threads)
        self.row_group_rows = row_group_rows
        self.options = options
        self.pool = ThreadPoolExecutor(self.threads, thread_name_prefix="parquet-encode")
        # Parts are appended to the file on a thread of their own, in order, so
        # the caller goes back to computing the next row groups at once.
        self.appender = ThreadPoolExecutor(1, thread_name_prefix="parquet-append")
        self.pending: deque[Future[Any]] = deque()  # the appends of the parts in flight, in file order
        self.failed = False
        self.batches: list[Any] = []
        self.rows = 0
        self.pos = 0
        self.footer: list[list[Any]] | None = None
        self.row_groups: list[Any] = []
        self.num_rows = 0
        self.closed = False

    def _encode(self, table: Any) -> Any:
        # Batches carry a dictionary each, and the encoder is several times
        # slower on chunks whose dictionaries differ; one shared dictionary
        # costs an index remap, not a copy of the floats.
        table = table.unify_dictionaries()
        out = self.pa.BufferOutputStream()
        self.pq.write_table(table, out, row_group_size=max(table.num_rows, 1), **self.options)
        return out.getvalue()

    def _submit(self) -> None:
        table = self.pa.Table.from_batches(self.batches, schema=self.schema)
        self.batches, self.rows = [], 0
        encoded = self.pool.submit(self._encode, table)
        self.pending.append(self.appender.submit(self._append_encoded, encoded))
        while len(self.pending) > self.threads:
            self.pending.popleft().result()

    def _append_encoded(self, encoded: Future[Any]) -> None:
        # After a part failed no later part is appended: the file would have a hole.
        if self.failed:
            return
        try:
            self._append(encoded.result())
        except BaseException:
            self.failed = True
            raise

    def _append(self, buf: Any) -> None:
        if self.pos == 0:
            self.sink.write(MAGIC)
            self.pos = len(MAGIC)
        body, footer = split_part(buf)
        shift = self.pos - len(MAGIC)
        groups = _field(footer, _FILE_ROW_GROUPS)
        for rg in groups[2][1] if groups else []:
            _shift_row_group(rg, shift)
            self.row_groups.append(rg)
        rows = _field(footer, _FILE_ROWS)
        self.num_rows += rows[2] if rows else 0
        if self.footer is None:
            self.footer = footer
        self.sink.write(body)
        self.pos += len(body)

    def write_batch(self, batch: Any) -> None:
        if batch.num_rows == 0:
            return
        self.batches.append(batch)
        self.rows += batch.num_rows
        if self.rows >= self.row_group_rows:
            self._submit()

    def close(self) -> None:
        """Encodes what is left and writes the footer."""
        if self.closed:
            return
        self.closed = True
        try:
            if self.batches or self.footer is None and not self.pending:
                self._submit()
            while self.pending:
                self.pending.popleft().result()
        finally:
            self.pool.shutdown(wait=True, cancel_futures=True)
            self.appender.shutdown(wait=True, cancel_futures=True)
        if self.failed:
            raise RuntimeError("a row group failed to be written")  # its own error was raised above
        footer = self.footer
        assert footer is not None
        for ordinal, rg in enumerate(self.row_groups):
            f = _field(rg, _RG_ORDINAL)
            if f is not None:
                if ordinal < 2**15:
                    f[2] = ordinal
                else:  # the field is an i16: leave it out past that
                    rg.remove(f)
        _field(footer, _FILE_ROWS)[2] = self.num_rows  # type: ignore[index]
        groups = _field(footer, _FILE_ROW_GROUPS)
        if groups is not None:
            groups[2] = (groups[2][0], self.row_groups)
        data = encode(footer)
        self.sink.write(data)
        self.sink.write(struct.pack("<I", len(data)))
        self.sink.write(MAGIC)

    def abort(self) -> None:
        """Stops without a footer (the caller removes the file)."""
        self.closed = True
        self.failed = True
        for f in self.pending:
            f.cancel()
        self.pool.shutdown(wait=True, cancel_futures=True)
        self.appender.shutdown(wait=True, cancel_futures=True)
