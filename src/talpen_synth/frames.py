"""A run as tables: NumPy arrays, pandas DataFrames, Arrow tables, Parquet.

Every function here runs one spec and returns its four tables, in the order
candles, book, trades, funding, as a :class:`RunTables`:

========  ==============================================================
candles   ``ts`` int64, ``open``, ``high``, ``low``, ``close``, ``volume``
          float64; one row per bar
book      the order books in long form: ``ts`` int64, ``side`` (0 bid,
          1 ask), ``level`` uint32 (0 is the best price), ``price``,
          ``qty`` float64, ``available_at`` int64; per bar its bids, best
          first, then its asks
trades    ``ts`` int64, ``seq`` uint64, ``price``, ``qty`` float64,
          ``side`` (0 buy, 1 sell), ``available_at`` int64
funding   ``ts`` int64, ``rate`` float64; empty without funding
========  ==============================================================

``ts`` is the opening time of a row's bar. A bar's book is quoted around its
close and its trades print near the close, so neither is known before the
bar ends: ``available_at`` (``ts`` + ``bar_secs``) is when they are. A
backtest that joins books or trades to candles on ``ts`` sees the future;
join on ``available_at``. A bar that would end past the last int64 second
ends at that second. (The native tables of :func:`generate_columns` hold the
generated columns only.)

The values are those of the ``"generate"`` command's answer for the same
spec, bit for bit. A spec is a dict or JSON text and is read exactly as a
generate command reads its ``"spec"`` member: a bad one raises
:class:`ValueError` with the command's error text (``"parse: ..."``,
``"bad spec: ..."``; a failed run ``"numeric: ..."``). Runs release the
interpreter lock, so runs on several threads proceed side by side.

:func:`generate_columns` needs nothing beyond this package: its tables go to
any Arrow consumer (``pyarrow.table``, ``polars.DataFrame``, DuckDB) without
a copy. The others need the extra ``frames`` (``pip install
'talpen_synth[frames]'``): NumPy, pandas and pyarrow.
"""

from __future__ import annotations

import json
import os
import sys
import warnings
from collections.abc import Mapping
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any, Generic, NamedTuple, TypeVar, Union

from . import _talpen_columns
from ._extras import require
from .chunked import chunk_size
from ._spec import SpecFields, normalize, spec_text
from ._talpen_columns import Column, Table

if TYPE_CHECKING:
    import pandas as pd
    import pyarrow as pa
    from numpy.typing import NDArray

__all__ = [
    "RunTables",
    "generate_columns",
    "generate_arrays",
    "generate_frames",
    "to_arrow",
    "write_parquet",
]

TABLE_NAMES = ("candles", "book", "trades", "funding")

# The names of the codes of the two side columns.
BOOK_SIDES = ("bid", "ask")
TRADE_SIDES = ("buy", "sell")

_T = TypeVar("_T")

# A spec: a dict of its JSON value, or its JSON text.
Spec = Union[Mapping[str, Any], str]

if sys.version_info >= (3, 11) or TYPE_CHECKING:
    class RunTables(NamedTuple, Generic[_T]):
        """The four tables of one run, in the order candles, book, trades, funding.

        The element type depends on the function that made it: a native
        ``Table``, a dict of NumPy arrays, a pandas DataFrame, a pyarrow Table
        or a Parquet file path.
        """

        candles: _T
        book: _T
        trades: _T
        funding: _T
else:
    # Python 3.10 cannot make a NamedTuple generic; the annotations that
    # subscript it are never evaluated there.
    class RunTables(NamedTuple):
        candles: Any
        book: Any
        trades: Any
        funding: Any


def spec_json(spec: Spec) -> str:
    """The JSON text of a spec given as a dict (or already as text).

    Only the JSON value matters: key order and spacing change nothing, and
    whatever the JSON text cannot say (NaN, an object that is not JSON) fails
    as it would inside a command's text.
    """
    if isinstance(spec, str):
        return spec
    if isinstance(spec, Mapping):
        # JSON-able only; ensure_ascii keeps lone surrogates as \\u escapes,
        # which the reader judges as it would in a command.
        return spec_text(spec)
    raise TypeError(f"a spec is a dict or JSON text, not {type(spec).__name__!r}")


def _generate(spec: Spec) -> tuple[Table, Table, Table, Table]:
    return _talpen_columns.generate(spec_json(spec))


def generate_columns(spec: Spec) -> RunTables[Table]:
    """Run `spec` and return its tables as native ``Table`` objects.

    The tables own their columns and lend them out without a copy: to Arrow
    consumers (``pyarrow.table(t)``, ``polars.DataFrame(t)``, DuckDB) through
    the Arrow PyCapsule interface, and column by column (``t["price"]``) to
    NumPy through DLPack. Side columns are category codes: Arrow receives them
    as dictionaries of ``"bid"``/``"ask"`` and ``"buy"``/``"sell"``.
    Needs no optional dependency.
    """
    return RunTables(*_generate(spec))


class _SoleOwner:
    """A column handed over whole to one NumPy array. A Column lends read-only
    views; here nothing else will ever see the column, so its array may be
    written, and the column hands it over that way."""

    def __init__(self, column: Column) -> None:
        self._column = column

    def __dlpack__(self, **_: Any) -> Any:
        return self._column._dlpack_for_owner()

    def __dlpack_device__(self) -> tuple[int, int]:
        device: tuple[int, int] = self._column.__dlpack_device__()
        return device


def _arrays_of(table: Table, np: ModuleType) -> dict[str, NDArray[Any]]:
    # Each array takes sole ownership of its column's memory, so writing to
    # it disturbs nothing else.
    return {name: np.from_dlpack(_SoleOwner(table[name])) for name in table.column_names}


_INT64_MAX = 2**63 - 1
# The tables that gain an available_at column.
_TIMED_TABLES = ("book", "trades")


def bar_secs_of(spec: Spec) -> int:
    """The bar length of a spec that a run has just accepted."""
    return run_fields(spec)["bar_secs"]


def run_fields(spec: Spec) -> SpecFields:
    """The fields of a spec that a run has just accepted."""
    text = spec_json(spec)
    try:
        fields = normalize(text)
    except ValueError:
        # A run reads a spec as a command's "spec" member does, where the last
        # of repeated keys wins; reading it as a value does the same.
        fields = normalize(json.dumps(json.loads(text)))
    if fields is None:  # the run has refused every text that holds no spec
        raise ValueError("bad spec: no spec set")
    return fields


def _with_available_at(table: Table, arrays: dict[str, NDArray[Any]], bar_secs: int,
                       np: ModuleType) -> dict[str, NDArray[Any]]:
    """The arrays of a table, with `available_at` for books and trades."""
    if table.name in _TIMED_TABLES:
        ts = arrays["ts"]
        available = ts + np.int64(bar_secs)
        # A bar that ends past the last int64 second ends at that second.
        available[ts > _INT64_MAX - bar_secs] = _INT64_MAX
        arrays["available_at"] = available
    return arrays


def generate_arrays(spec: Spec) -> RunTables[dict[str, NDArray[Any]]]:
    """Run `spec` and return each table as a dict of NumPy arrays, column name
    to 1-D array, without copying the generated values.

    Side columns are ``uint8`` codes (book: 0 bid, 1 ask; trades: 0 buy,
    1 sell). The arrays pickle as ordinary NumPy arrays. Needs NumPy (extra
    ``frames``).
    """
    np = require("numpy", "frames", "generate_arrays")
    tables = _generate(spec)
    bar_secs = bar_secs_of(spec)
    candles, book, trades, funding = (_with_available_at(t, _arrays_of(t, np), bar_secs, np) for t in tables)
    return RunTables(candles, book, trades, funding)


def _datetimes(ts: NDArray[Any], np: ModuleType, pandas: ModuleType) -> pd.DatetimeIndex:
    # Timestamps are epoch seconds; seconds resolution holds every int64,
    # except the one that NumPy reserves for "not a time".
    if ts.size and ts.min() == np.iinfo(np.int64).min:
        raise ValueError("timestamp -9223372036854775808 has no datetime form (it is NaT)")
    return pandas.DatetimeIndex(ts.view("datetime64[s]")).tz_localize("UTC")


def _frame_of(columns: dict[str, NDArray[Any]], sides: tuple[str, str] | None, datetimes: bool,
              np: ModuleType, pandas: ModuleType) -> pd.DataFrame:
    data: dict[str, Any] = {}
    for name, values in columns.items():
        if name in ("ts", "available_at") and datetimes:
            data[name] = _datetimes(values, np, pandas)
        elif name == "side" and sides is not None:
            # The codes are 0 and 1 in one byte: read as int8 in place.
            data[name] = pandas.Categorical.from_codes(values.view(np.int8), categories=list(sides))
        else:
            data[name] = values
    return pandas.DataFrame(data, copy=False)


def generate_frames(spec: Spec, *, datetimes: bool = True) -> RunTables[pd.DataFrame]:
    """Run `spec` and return each table as a pandas DataFrame.

    Numeric columns wrap the generated values without a copy. ``side``
    columns are categoricals (``"bid"``/``"ask"``, ``"buy"``/``"sell"``).
    ``ts`` and ``available_at`` are UTC datetimes of second resolution,
    reading the generated int64 epoch seconds without a copy; with
    ``datetimes=False`` they stay those int64 seconds.
    Needs NumPy and pandas (extra ``frames``).
    """
    np = require("numpy", "frames", "generate_frames")
    pandas = require("pandas", "frames", "generate_frames")
    candles, book, trades, funding = _generate(spec)
    bar_secs = bar_secs_of(spec)

    def frame(table: Table, sides: tuple[str, str] | None) -> pd.DataFrame:
        arrays = _with_available_at(table, _arrays_of(table, np), bar_secs, np)
        return _frame_of(arrays, sides, datetimes, np, pandas)
    return RunTables(frame(candles, None), frame(book, BOOK_SIDES), frame(trades, TRADE_SIDES),
                     frame(funding, None))


def to_arrow(spec: Spec) -> RunTables[pa.Table]:
    """Run `spec` and return each table as a pyarrow Table, sharing the
    generated memory. ``ts`` and ``available_at`` are UTC timestamps in
    seconds (the generated epoch seconds, relabelled without a copy). Side
    columns are dictionaries (int8 codes into ``"bid"``/``"ask"`` or
    ``"buy"``/``"sell"``); no column has nulls. Needs pyarrow (extra
    ``frames``). For a run too long to hold, see :func:`iter_batches`.
    """
    from .batches import arrow_batch
    pyarrow = require("pyarrow", "frames", "to_arrow")
    compute = require("pyarrow.compute", "frames", "to_arrow")
    tables = _generate(spec)
    bar_secs = bar_secs_of(spec)

    def arrow(t: Table) -> pa.Table:
        return pyarrow.Table.from_batches([arrow_batch(t, t.name, bar_secs, pyarrow, compute)])
    candles, book, trades, funding = (arrow(t) for t in tables)
    return RunTables(candles, book, trades, funding)


def write_parquet(spec: Spec, directory: str | os.PathLike[str], *, bars_per_chunk: int = 8192,
                  **options: Any) -> RunTables[Path]:
    """Run `spec` chunk by chunk and write its tables as ``candles.parquet``,
    ``book.parquet``, ``trades.parquet`` and ``funding.parquet`` into
    `directory` (created when missing; existing files of those names are
    replaced), a row group per chunk of `bars_per_chunk` bars, so memory
    follows the chunk. Every file is written, an empty table included.
    ``ts`` and ``available_at`` are stored as UTC timestamps (milliseconds:
    Parquet has no seconds unit); each file's key-value metadata holds the
    spec (``talpen_synth.spec``), its seed and the package version.
    `options` go to pyarrow's Parquet writer (e.g. ``compression="zstd"``); a
    name it does not take raises TypeError before anything is run or
    created. The files are written under staging names and renamed into
    place together once all are complete. Returns the four paths. Needs
    pyarrow (extra ``frames``).
    """
    from . import __version__
    from .batches import write_parquet_chunks
    from .staging import clean_stale, staging_path
    require("pyarrow", "frames", "write_parquet")
    pq = require("pyarrow.parquet", "frames", "write_parquet")
    _check_parquet_options(options, pq)
    bars_per_chunk = chunk_size(bars_per_chunk, "bars_per_chunk")
    text = spec_json(spec)
    seed = _talpen_columns.check_spec(text)
    bar_secs = bar_secs_of(text)
    out = Path(directory)
    created = not out.exists()
    out.mkdir(parents=True, exist_ok=True)
    candles, book, trades, funding = (out / f"{name}.parquet" for name in TABLE_NAMES)
    paths = RunTables(candles, book, trades, funding)
    for path in paths:
        # What a process killed while writing here left behind (a Python
        # process without a handler dies of SIGTERM as of SIGKILL).
        clean_stale(path, lambda line: warnings.warn(line, RuntimeWarning, stacklevel=4))
    staged = {name: staging_path(path) for name, path in zip(TABLE_NAMES, paths)}
    metadata = {"talpen_synth.spec": text, "talpen_synth.seed": str(seed), "talpen_synth.version": __version__}
    try:
        write_parquet_chunks(text, staged, metadata, bar_secs, bars_per_chunk, **options)
        for name, path in zip(TABLE_NAMES, paths):
            os.replace(staged[name], path)
    except BaseException:
        for temporary in staged.values():
            temporary.unlink(missing_ok=True)
        if created:
            try:
                out.rmdir()  # a folder made for nothing does not stay behind
            except OSError:
                pass
        raise
    return paths


def _check_parquet_options(options: Mapping[str, Any], pq: ModuleType) -> None:
    """Refuses option names that pyarrow's Parquet writer does not take."""
    import difflib
    import inspect

    known: set[str] = set()
    for function in (pq.write_table, pq.ParquetWriter.__init__):
        known.update(name for name, p in inspect.signature(function).parameters.items()
                     if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY))
    known -= {"self", "table", "where", "schema"}
    for name in options:
        if name not in known:
            close = difflib.get_close_matches(name, sorted(known), n=1)
            hint = f" (did you mean {close[0]!r}?)" if close else ""
            raise TypeError(f"write_parquet: unknown Parquet option {name!r}{hint}; it takes the options of "
                            "pyarrow.parquet.write_table")
    codec = options.get("compression")
    if isinstance(codec, str) and codec.lower() != "none":
        import pyarrow
        try:
            available = pyarrow.Codec.is_available(codec)
        except ValueError:
            available = False
        if not available:
            raise ValueError(f"compression {codec!r} is not one this pyarrow writes (none, snappy, gzip, brotli, "
                             "lz4 or zstd)")
