"""A run as Arrow record batches, chunk by chunk, and Parquet files written
a row group per chunk.

:func:`iter_batches` yields, for each chunk of bars, the four tables of that
chunk as pyarrow RecordBatches; :func:`table_stream` gives one table as an
Arrow C stream (``__arrow_c_stream__``) that pyarrow, Polars and DuckDB read
batch by batch, each reader running its own cursor. Memory follows the chunk,
never the run.

In every Arrow table of this package ``ts`` (and ``available_at``) is a UTC
timestamp in seconds: the generated int64 epoch seconds, relabelled without a
copy. Parquet has no seconds unit, so Parquet files store milliseconds.
"""

from __future__ import annotations

from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import Future, ThreadPoolExecutor
from types import ModuleType
from typing import TYPE_CHECKING, Any

from . import _talpen_columns
from ._extras import require
from .chunked import INT64_MAX, TIMED_TABLES, chunk_size
from .staging import signals_held

if TYPE_CHECKING:
    import pyarrow as pa

    from .frames import RunTables, Spec

__all__ = ["TableStream", "iter_batches", "table_stream", "write_parquet_chunks"]

TABLE_NAMES = ("candles", "book", "trades", "funding")
DEFAULT_BARS_PER_BATCH = 65536
# Bars per Parquet row group: about 160,000 book rows of the typical depth, in
# about ten megabytes. The command line holds a chunk to about PARQUET_ROWS
# records (see chunked.bars_for_rows), for deeper books.
PARQUET_BARS = 8192
PARQUET_ROWS = 1 << 18

# The columns that Parquet dictionary-encodes: those whose values repeat (a
# bar's time stamps, sides, levels). Prices, quantities and rates hardly ever
# repeat, and trying a dictionary on them would cost a third of the writing
# and make the files larger.
DICTIONARY_COLUMNS = ("ts", "side", "level", "available_at")

# The seconds that Parquet's millisecond timestamps reach either side of 1970.
_MS_LIMIT = INT64_MAX // 1000


def _arrow(feature: str) -> tuple[ModuleType, ModuleType]:
    return require("pyarrow", "frames", feature), require("pyarrow.compute", "frames", feature)


def timestamp_type(pa: ModuleType) -> Any:
    return pa.timestamp("s", tz="UTC")


def int64_scalar(value: int, pa: ModuleType) -> Any:
    """An Arrow int64 scalar made from its bytes: pyarrow converting a Python
    int (pa.scalar, or an int operand of a compute function) first imports
    pandas to rule out its types, a fifth of a second in every fresh worker."""
    return pa.Array.from_buffers(pa.int64(), 1, [None, pa.py_buffer(value.to_bytes(8, "little", signed=True))])[0]


def arrow_batch(data: Any, name: str, bar_secs: int, pa: ModuleType, pc: ModuleType) -> pa.RecordBatch:
    """One table (a native Table or a RecordBatch of its columns) as the
    package hands it to Arrow: `ts` a UTC timestamp in seconds, and for books
    and trades `available_at`, the end of the row's bar, as well."""
    batch = data if isinstance(data, pa.RecordBatch) else pa.record_batch(data)
    stamp = timestamp_type(pa)
    fields = list(batch.schema)
    arrays = list(batch.columns)
    ts = arrays[0]
    arrays[0] = ts.view(stamp)  # the same int64 seconds, no copy
    fields[0] = pa.field("ts", stamp, nullable=False)
    if name in TIMED_TABLES:
        # A bar that would end past the last int64 second ends there.
        ends = pc.if_else(pc.greater(ts, int64_scalar(INT64_MAX - bar_secs, pa)), int64_scalar(INT64_MAX, pa),
                          pc.add(ts, int64_scalar(bar_secs, pa)))
        arrays.append(ends.view(stamp))
        fields.append(pa.field("available_at", stamp, nullable=False))
    return pa.RecordBatch.from_arrays(arrays, schema=pa.schema(fields))


def arrow_schema(name: str, pa: ModuleType) -> pa.Schema:
    """The schema of one table's batches, as `arrow_batch` makes them."""
    empty = _talpen_columns.generate(_EMPTY_RUN)[TABLE_NAMES.index(name)]
    return arrow_batch(pa.record_batch(empty).slice(0, 0), name, 1, pa, require("pyarrow.compute", "frames",
                                                                                  "Arrow tables")).schema


# A one-bar run, for schemas.
_EMPTY_RUN = ('{"seed":1,"bars":1,"start_price":1.0,"regimes":[{"kind":"vol","len":1,"drift":0.0,"vol":0.0}],'
              '"microstructure":{"book_depth":1,"spread_bps":1.0,"trade_rate":0.0}}')


def _bar_secs(text: str) -> int:
    from .frames import bar_secs_of
    return bar_secs_of(text)


def iter_batches(spec: Spec, bars_per_batch: int = DEFAULT_BARS_PER_BATCH) -> Iterator[RunTables[pa.RecordBatch]]:
    """Run `spec` chunk by chunk and yield, for each chunk of `bars_per_batch`
    bars, its four tables (candles, book, trades, funding) as pyarrow
    RecordBatches, in the columns and values of :func:`to_arrow`. Each chunk
    is made without the interpreter lock; memory follows the chunk. A bad
    spec raises ValueError before the first batch, a failed run ("numeric:
    ...") at the chunk that fails. Needs pyarrow (extra ``frames``)."""
    from .frames import RunTables
    from .frames import spec_json
    pa, pc = _arrow("iter_batches")
    text = spec_json(spec)
    # The module's verdict on the spec comes first.
    cursor = _talpen_columns.Cursor(text, chunk_size(bars_per_batch, "bars_per_batch"))
    bar_secs = _bar_secs(text)
    while (tables := cursor.next_tables()) is not None:
        candles, book, trades, funding = (arrow_batch(t, t.name, bar_secs, pa, pc) for t in tables)
        yield RunTables(candles, book, trades, funding)


class TableStream:
    """One table of a run as an Arrow C stream. Every read
    (``pyarrow.RecordBatchReader.from_stream``, ``pyarrow.table``,
    ``polars.from_arrow``, DuckDB's scans) calls ``__arrow_c_stream__``,
    which starts a cursor of its own at the run's first bar and makes the
    table's batches as the reader pulls them."""

    def __init__(self, spec: Spec, table: str, bars_per_batch: int = DEFAULT_BARS_PER_BATCH) -> None:
        from .frames import spec_json
        self._pa, self._pc = _arrow("table_stream")
        text = spec_json(spec)
        if table not in TABLE_NAMES:
            raise ValueError(f"table must be candles, book, trades or funding, not {table!r}")
        self._native = _talpen_columns.TableStream(text, table, chunk_size(bars_per_batch, "bars_per_batch"))
        self._bar_secs = _bar_secs(text)
        self.name = table
        self.schema = arrow_schema(table, self._pa)

    def reader(self) -> pa.RecordBatchReader:
        """A pyarrow reader over a fresh pass of the table."""
        pa, pc, name, bar_secs = self._pa, self._pc, self.name, self._bar_secs
        source = pa.RecordBatchReader.from_stream(self._native)
        return pa.RecordBatchReader.from_batches(
            self.schema, (arrow_batch(b, name, bar_secs, pa, pc) for b in source))

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> Any:
        return self.reader().__arrow_c_stream__(requested_schema)


def table_stream(spec: Spec, table: str, bars_per_batch: int = DEFAULT_BARS_PER_BATCH) -> TableStream:
    """One table of `spec`'s run ("candles", "book", "trades" or "funding")
    as an object with ``__arrow_c_stream__``, which pyarrow, Polars and
    DuckDB read batch by batch without a copy. Each read runs the spec from
    its first bar with a cursor of its own, so reading one table never holds
    the others. Needs pyarrow (extra ``frames``)."""
    return TableStream(spec, table, bars_per_batch)


def write_parquet_chunks(spec: str, sinks: Mapping[str, Any], metadata: Mapping[str, str], bar_secs: int,
                         bars_per_chunk: int = PARQUET_BARS, progress: Callable[[int], object] | None = None,
                         **options: Any) -> dict[str, int]:
    """Writes the run's four tables as Parquet files, each to its sink in
    `sinks` (by table name: a path or a binary file object), one row group
    per chunk of bars, `metadata` in each file's key-value metadata; `ts` and
    `available_at` are stored as UTC timestamps in milliseconds. `options` go
    to ``ParquetWriter`` (``row_group_size`` caps the rows of a group;
    ``use_dictionary`` defaults to `DICTIONARY_COLUMNS`).
    Returns the row count per table.

    Each table has a writer thread of its own (pyarrow encodes without the
    interpreter lock) at most a chunk behind the cursor, which makes the
    next chunk meanwhile: the book, the largest table, is encoded on one core
    while the rest is made and written on the other."""
    from .frames import run_fields
    pa, pc = _arrow("Parquet output")
    pq = require("pyarrow.parquet", "frames", "Parquet output")
    fields = run_fields(spec)
    first, end = fields["start_ts"], fields["start_ts"] + fields["bars"] * fields["bar_secs"]
    if not -_MS_LIMIT <= first <= end <= _MS_LIMIT:
        raise ValueError(f"Parquet keeps times in milliseconds, from {-_MS_LIMIT} to {_MS_LIMIT} seconds; this "
                         f"run's bars run from {first} to {end}")
    meta = {k.encode(): v.encode() for k, v in metadata.items()}
    schemas = {name: arrow_schema(name, pa).with_metadata(meta) for name in TABLE_NAMES}
    rows = dict.fromkeys(TABLE_NAMES, 0)
    group = options.pop("row_group_size", None)
    options.setdefault("coerce_timestamps", "ms")
    options.setdefault("use_dictionary", list(DICTIONARY_COLUMNS))
    cursor = _talpen_columns.Cursor(spec, bars_per_chunk)
    writers: dict[str, Any] = {}
    pools = {name: ThreadPoolExecutor(1, thread_name_prefix=f"talpen-{name}") for name in TABLE_NAMES}
    pending: dict[str, deque[Future[None]]] = {name: deque() for name in TABLE_NAMES}
    try:
        # Each pool's thread starts here, with signals held until all have:
        # one interrupted as it starts would be left for nobody to join.
        with signals_held():
            for pool in pools.values():
                pool.submit(int).result()
        for name in TABLE_NAMES:
            writers[name] = pq.ParquetWriter(sinks[name], schemas[name], **options)
        while (tables := cursor.next_tables()) is not None:
            for name, table in zip(TABLE_NAMES, tables):
                batch = arrow_batch(table, name, bar_secs, pa, pc).replace_schema_metadata(meta)
                if not batch.num_rows:
                    continue
                rows[name] += batch.num_rows
                waiting = pending[name]
                waiting.append(pools[name].submit(writers[name].write_batch, batch,
                                                  row_group_size=group or batch.num_rows))
                while len(waiting) > 1:
                    waiting.popleft().result()
            if progress is not None:
                progress(len(tables[0]))  # a candle per bar
        for waiting in pending.values():
            while waiting:
                waiting.popleft().result()
    finally:
        for name, pool in pools.items():
            for future in pending[name]:
                future.cancel()
            pool.shutdown(wait=True)
        # Signals wait until the writers are closed and dropped: a signal's
        # exception raised inside a writer's finalizer would be printed and
        # lost, and the run would end as if never stopped.
        with signals_held():
            try:
                close_writers(writers.values())
            finally:
                writers.clear()
    return rows


def close_writers(writers: Iterable[Any]) -> None:
    """Closes every Parquet writer, then raises the first failure (on a full
    disk each fails). A writer whose close failed is marked closed: pyarrow
    would otherwise close it again once it is collected, and print that
    failure as an ignored exception after the command's own message."""
    first: OSError | None = None
    for writer in writers:
        try:
            writer.close()
        except OSError as e:
            first = first or e
            writer.is_open = False
    if first is not None:
        raise first
