from typing import Any, Iterator, Literal, Mapping, Protocol

__all__ = [
    "schedules",
    "stream_schedules",
    "cashflows",
    "Schedules",
    "Cashflows",
    "ScheduleStream",
    "ErrorTable",
    "LoanError",
]

class _ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = ...) -> Any: ...

class _ArrowArrayExportable(Protocol):
    def __arrow_c_array__(self, requested_schema: Any = ...) -> tuple[Any, Any]: ...

Loans = Mapping[str, Any] | _ArrowStreamExportable | _ArrowArrayExportable
Terms = tuple[float, float, int, int, int]

class LoanError(ValueError):
    index: int
    id: str | None
    reason: str
    terms: Terms | None
    def __init__(self, index: int, id: str | None, reason: str, terms: Terms | None = ...) -> None: ...

class _Table:
    def __arrow_c_schema__(self) -> Any: ...
    def __arrow_c_array__(self, requested_schema: Any = ...) -> tuple[Any, Any]: ...
    def __arrow_c_stream__(self, requested_schema: Any = ...) -> Any: ...
    @property
    def num_rows(self) -> int: ...
    def __len__(self) -> int: ...
    @property
    def column_names(self) -> list[str]: ...
    @property
    def nbytes(self) -> int: ...
    def column(self, name: str) -> memoryview: ...
    def to_numpy(self) -> dict[str, Any]: ...
    def to_arrow(self) -> Any: ...
    def to_pandas(self) -> Any: ...
    def to_polars(self) -> Any: ...

class ErrorTable(_Table):
    def __iter__(self) -> Iterator[tuple[int, str | None, str]]: ...
    def exceptions(self) -> list[LoanError]: ...

class Schedules(_Table):
    layout: Literal["long", "list"]
    errors: ErrorTable
    @property
    def offsets(self) -> memoryview: ...

class Cashflows(_Table):
    errors: ErrorTable

class ScheduleStream:
    layout: Literal["long", "list"]
    def __arrow_c_schema__(self) -> Any: ...
    def __arrow_c_stream__(self, requested_schema: Any = ...) -> Any: ...
    @property
    def consumed(self) -> bool: ...
    @property
    def errors(self) -> ErrorTable: ...
    def to_reader(self) -> Any: ...

def schedules(
    loans: Loans,
    *,
    layout: Literal["long", "list"] = ...,
    errors: Literal["raise", "skip"] = ...,
    threads: int | None = ...,
) -> Schedules: ...
def stream_schedules(
    loans: Loans,
    *,
    batch_rows: int = ...,
    layout: Literal["long", "list"] = ...,
    errors: Literal["raise", "skip"] = ...,
    threads: int | None = ...,
) -> ScheduleStream: ...
def cashflows(
    loans: Loans,
    *,
    errors: Literal["raise", "skip"] = ...,
    threads: int | None = ...,
) -> Cashflows: ...
