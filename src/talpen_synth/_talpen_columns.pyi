"""A run as tables of typed columns (`talpen_synth._talpen_columns`)."""

from collections.abc import Callable, Sequence
from typing import Any, Protocol, final

# A PyCapsule ("arrow_schema", "arrow_array", "arrow_array_stream",
# "dltensor", "dltensor_versioned"): opaque, for consumers to take.
from typing_extensions import CapsuleType

__all__ = ["generate", "check_spec", "normalize_spec", "write_answer", "Column", "Table", "Cursor", "TableStream", "Universe"]

@final
class Column:
    """One column of a run's table: contiguous typed values, owned and immutable.

    It lends its memory without a copy to Arrow consumers (pyarrow.array,
    Polars, DuckDB) through `__arrow_c_array__` and to NumPy through
    `numpy.from_dlpack` or `numpy.asarray`. Every such view shares this
    column's memory and keeps it alive. Side columns hold the codes 0 and 1;
    `categories` names them, and Arrow receives them as a dictionary.
    """

    @property
    def name(self) -> str:
        """The column's name."""
    @property
    def dtype(self) -> str:
        """The value type, by NumPy's name ("int64", "uint64", "uint32", "uint8", "float64")."""
    @property
    def nbytes(self) -> int:
        """The size of the values in bytes."""
    @property
    def categories(self) -> tuple[str, str] | None:
        """The names of the codes 0 and 1 of a side column, else None."""
    def __len__(self) -> int: ...
    def _dlpack_for_owner(self) -> CapsuleType:
        """A versioned DLPack capsule of a writable view, for a caller that
        holds the only reference to this column's run."""
    def __arrow_c_schema__(self) -> CapsuleType:
        """The column's Arrow type, as an "arrow_schema" capsule."""
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[CapsuleType, CapsuleType]:
        """The pair of "arrow_schema" and "arrow_array" capsules, sharing the column's memory."""
    def __dlpack__(
        self,
        *,
        stream: None = None,
        max_version: tuple[int, int] | None = None,
        dl_device: tuple[int, int] | None = None,
        copy: bool | None = None,
    ) -> CapsuleType:
        """A DLPack capsule of the column's memory (a copy when copy is true)."""
    def __dlpack_device__(self) -> tuple[int, int]:
        """The device of the column's memory: (1, 0), the CPU."""
    def __array__(self, dtype: Any = None, copy: bool | None = None) -> Any:
        """The column as a NumPy array (a view unless asked otherwise)."""

@final
class Table:
    """One table of a run: named, equally long typed columns.

    Arrow consumers take it whole and without a copy (pyarrow.table, Polars,
    DuckDB) through `__arrow_c_stream__`; `table[name]` or `table[i]` gives
    one Column; len(table) is its number of rows.
    """

    @property
    def name(self) -> str:
        """"candles", "book", "trades" or "funding"."""
    @property
    def num_rows(self) -> int:
        """The number of rows."""
    @property
    def column_names(self) -> tuple[str, ...]:
        """The column names, in order."""
    @property
    def nbytes(self) -> int:
        """The size of all columns' values in bytes."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: str | int, /) -> Column: ...
    def __arrow_c_schema__(self) -> CapsuleType:
        """The table's schema as an Arrow struct type, in an "arrow_schema" capsule."""
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[CapsuleType, CapsuleType]:
        """The table as one Arrow struct array: "arrow_schema" and "arrow_array" capsules."""
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> CapsuleType:
        """The table as an Arrow stream of one batch, in an "arrow_array_stream" capsule."""

@final
class Cursor:
    """A run produced chunk by chunk, in memory bounded by the chunk. Each
    next_* call makes the next `bars_per_chunk` bars (without the interpreter
    lock) and returns them in one form, or None once the run is over."""

    def __new__(cls, spec_json: str, bars_per_chunk: int = 65536) -> Cursor: ...
    @property
    def bars(self) -> int: ...
    @property
    def bars_done(self) -> int: ...
    @property
    def has_funding(self) -> bool: ...
    def next_json(self, kind: str) -> bytes | None:
        """The chunk's records of `kind` ("candles", "book_snapshots", "trades",
        "funding", "events") as JSON text joined by commas, without brackets."""
    def next_rows(self, table: str, fmt: str) -> bytes | None:
        """The chunk's rows of `table` as "csv" (no header) or "jsonl" lines."""
    def next_tables(self) -> tuple[Table, Table, Table, Table] | None: ...

@final
class TableStream:
    """One table of a run as an Arrow stream; each `__arrow_c_stream__` call
    starts its own cursor at the run's first bar."""

    def __new__(cls, spec_json: str, table: str, bars_per_chunk: int = 65536) -> TableStream: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> CapsuleType: ...

@final
class Universe:
    """Instruments on one clock whose bars' shocks move together, chunk by
    chunk: each keeps its own source; its shock, drawn first in every bar, is
    mixed by the lower Cholesky factor of `correlation` or by a market factor;
    with the identity every instrument's run is its standalone run."""

    def __new__(
        cls,
        spec_jsons: Sequence[str],
        symbols: Sequence[str],
        correlation: Sequence[Sequence[float]] | None = None,
        market_seed: int | None = None,
        loadings: Sequence[float] | None = None,
        bars_per_chunk: int = 65536,
    ) -> Universe: ...
    @property
    def bars(self) -> int: ...
    @property
    def bars_done(self) -> int: ...
    @property
    def symbols(self) -> tuple[str, ...]: ...
    def next_tables(self) -> tuple[tuple[Table, Table, Table, Table], ...] | None: ...
    def next_table(self, table: str) -> Table | None:
        """The chunk's `table` of every instrument as one table, led by a "symbol"
        column of uint32 codes; the other tables are not laid out."""
    def next_events(self) -> bytes | None:
        """The chunk's events as JSON lines, each with a first member "symbol"."""

def generate(spec_json: str) -> tuple[Table, Table, Table, Table]:
    """Run a spec (JSON text) and return its tables (candles, book, trades, funding).

    The spec is read as a generate command reads its "spec" member, and a
    failure raises ValueError with the same text ("parse: ...", "bad spec: ...",
    "numeric: ..."). The run releases the interpreter lock. Exhausted memory
    raises MemoryError.
    """

class _BinaryWriter(Protocol):
    def write(self, data: memoryview, /) -> object: ...

def write_answer(spec_json: str, kind: str, out: _BinaryWriter, bars_per_chunk: int = 1024,
                 progress: Callable[[int], object] | None = None, lookahead_bytes: int = 167772160) -> None:
    """Write the "generate" or "generate_stream" (`kind`) answer for a spec to
    `out` by calls of out.write(), byte for byte the module's answer text, in
    memory bounded by a few chunks; `lookahead_bytes` bounds the text made
    ahead of the piece being written. `progress(bars)` is
    told of bars written, once per record list. A failed run raises ValueError
    with the module's text, part of the answer written."""

def check_spec(spec_json: str) -> int:
    """Read and validate a spec (JSON text) as generate does, without running it;
    return its seed."""

def normalize_spec(spec_json: str) -> str | None:
    """Read a spec (JSON text) exactly as the ``Synth`` constructor does and
    return it as JSON text in object form with every field present; None for
    a text that holds no spec (empty, white space only, or "{}").

    A failure raises ValueError with the constructor's text ("parse: ...",
    "bad spec: ...").
    """
