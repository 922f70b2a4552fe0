"""Universes: several instruments on one clock whose bars' shocks move together.

A universe is a document (JSON; the command line also reads TOML and YAML)::

    {"instruments": [{"symbol": "BTC", "spec": {...}},
                     {"symbol": "ETH", "preset": "steady-trend", "seed": 7}],
     "correlation": [[1, 0.6], [0.6, 1]]}

or, in place of ``"correlation"``, a one-factor model
``"market": {"seed": 11, "loading": {"BTC": 0.9, "ETH": 0.7}}``: each
instrument's shock is loading × a market shock + √(1 − loading²) × its own
shock, the market shock drawn each bar from its own source seeded by
``"seed"``. A loading is a correlation with the market, not a regression
beta: an instrument's size of move comes from its own ``vol``.

Each instrument is any spec the package accepts (object or array form), or a
preset by name; ``"seed"`` beside either replaces the spec's seed. Every
instrument keeps its own random source. In every bar each draws its standard
normal shock first, as a standalone run does; the shocks are mixed by the
lower Cholesky factor of the matrix (computed natively, in a fixed order of
operations) or by the market model; then each instrument finishes its bar as
a standalone run would, with the mixed shock. So with the identity matrix
every instrument's tables are byte for byte those of its standalone run.

What moves together is the bars' shocks: log returns take the target
correlation exactly in trend and vol regimes (their return is linear in the
shock) and approximately in range and crash regimes; wicks, volume, books
and trades stay independent per instrument.

The outputs: :func:`universe_tables` (the tables of ``to_arrow`` stacked
instrument by instrument, with a dictionary-encoded ``symbol`` column),
:class:`UniverseStream` (one of those tables as an Arrow stream, made chunk
by chunk), :func:`universe_ohlcv` (one OHLCV frame indexed by symbol and
time), :func:`universe_events` (JSON lines) and :func:`write_universe_parquet`
(a Parquet dataset partitioned by symbol).
"""

from __future__ import annotations

import itertools
import json
import math
import operator
import re
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any, Union

from . import _talpen_columns, presets
from ._extras import require
from .chunked import chunk_size
from ._spec import SpecFields, exact_float, normalize_with_text, spec_text, with_fields
from ._talpen_columns import Table
from .frames import TABLE_NAMES, RunTables

if TYPE_CHECKING:
    import os

    import pandas as pd
    import pyarrow as pa

__all__ = [
    "Instrument",
    "MarketFactor",
    "UniverseSpec",
    "UniverseError",
    "read_universe",
    "is_universe",
    "universe_tables",
    "UniverseStream",
    "universe_ohlcv",
    "universe_events",
    "write_universe_parquet",
    "preset_index",
    "preset_text",
]

U64_MAX = 2**64 - 1
INT64_MAX = 2**63 - 1
# The stride between the seeds that a dataset's seed S gives one instrument:
# 2^64 / golden ratio, so that nearby S never lands one instrument on another's seed.
SEED_STRIDE = 0x9E3779B97F4A7C15

# Rows a chunk may hold over all instruments (candles, book levels, trades):
# bounds the memory of a chunk to some megabytes, and a chunk that small is
# laid out into tables while much of it is still in the processor's caches
# (50 instruments x 100,000 bars took 2.15 s in chunks of two million rows,
# 1.86 s in chunks of half a million).
CHUNK_ROWS = 1 << 19
# Rows per chunk of universe_tables and universe_ohlcv, which hold the whole
# run anyway: each chunk's tables pass through pyarrow or NumPy piece by
# piece, in Python, so fewer and larger chunks cost less.
TABLES_ROWS = 1 << 21
MAX_CHUNK_BARS = 65536
# Rows per chunk of events: a feed's first event waits for its first chunk,
# and text is written a chunk at a time.
EVENT_ROWS = 1 << 16
# Rows per chunk of a universe's one-table Arrow stream: each batch is laid
# out from every instrument's chunk just made, and a chunk this small (a few
# megabytes of records) is still in the processor's cache when it is.
STREAM_ROWS = 1 << 17
# Rows per chunk of a Parquet partition (a universe's symbols, a dataset's
# seed): a chunk's records, their columns, its Arrow tables and the writers'
# encoding of them are in memory together, about 160 MB a million rows, so a
# chunk of half a million rows keeps the command well under 300 MB.
PARQUET_ROWS = 1 << 19

_TOP_KEYS = ("instruments", "correlation", "market")
_INSTRUMENT_KEYS = ("symbol", "spec", "preset", "seed")
_MARKET_KEYS = ("seed", "loading")
_CLOCK = ("bars", "start_ts", "bar_secs")


class UniverseError(ValueError):
    """A universe document that cannot be run. `path` names the member at
    fault (``instruments[2].symbol``, ``correlation[1][0]``,
    ``market.loading.ETH``; empty for the document), and the message starts
    with it."""

    def __init__(self, path: str, what: str) -> None:
        super().__init__(f"{path}: {what}" if path else what)
        self.path = path
        self.what = what


@dataclass(frozen=True)
class Instrument:
    """One instrument: its symbol, its spec as the module reads it, and that
    spec's JSON text (exact: every number reads back to the same double)."""

    symbol: str
    spec: SpecFields
    text: str


@dataclass(frozen=True)
class MarketFactor:
    seed: int
    loadings: tuple[float, ...]  # in the instruments' order


@dataclass(frozen=True)
class UniverseSpec:
    """A checked universe: every instrument runs, the clock is one and the
    mix is one the native universe takes. Made by :func:`read_universe`."""

    instruments: tuple[Instrument, ...]
    correlation: tuple[tuple[float, ...], ...] | None = None
    market: MarketFactor | None = None

    @property
    def symbols(self) -> tuple[str, ...]:
        return tuple(i.symbol for i in self.instruments)

    @property
    def bars(self) -> int:
        return self.instruments[0].spec["bars"]

    @property
    def bar_secs(self) -> int:
        return self.instruments[0].spec["bar_secs"]

    def chunk_bars(self) -> int:
        """Bars per chunk that keep a chunk of every instrument's rows near CHUNK_ROWS."""
        return chunk_bars([i.spec for i in self.instruments])

    def open(self, bars_per_chunk: int | None = None) -> _talpen_columns.Universe:
        """A native universe at its first bar."""
        mix: dict[str, Any]
        if self.market is not None:
            mix = {"market_seed": self.market.seed, "loadings": list(self.market.loadings)}
        else:
            assert self.correlation is not None
            mix = {"correlation": [list(row) for row in self.correlation]}
        return _talpen_columns.Universe([i.text for i in self.instruments], list(self.symbols),
                                        bars_per_chunk=bars_per_chunk or self.chunk_bars(), **mix)

    def with_seed(self, seed: int) -> UniverseSpec:
        """The universe of a dataset's seed `seed`: instrument i runs with
        (its own seed + seed × 0x9E3779B97F4A7C15) mod 2^64, and the market
        source likewise, so seed 0 is the universe as written."""
        seed = operator.index(seed)
        if not 0 <= seed <= U64_MAX:
            raise ValueError(f"seed {seed} is not a whole number from 0 to {U64_MAX}")

        def moved(own: int) -> int:
            return (own + seed * SEED_STRIDE) % 2**64
        instruments = []
        for i in self.instruments:
            spec = with_fields(i.spec, seed=moved(i.spec["seed"]))
            instruments.append(Instrument(i.symbol, spec, spec_text(spec)))
        market = None if self.market is None else replace(self.market, seed=moved(self.market.seed))
        return UniverseSpec(tuple(instruments), self.correlation, market)

    def with_bars(self, bars: int, tile: Callable[[SpecFields, int], tuple[SpecFields, str] | None]
                  ) -> tuple[UniverseSpec, list[str]]:
        """Every instrument with `bars` bars, its regimes changed by `tile`
        (spec, bars) -> (spec, note) | None; the notes, one per instrument."""
        instruments, notes = [], []
        for i in self.instruments:
            spec = with_fields(i.spec, bars=bars)
            tiled = tile(spec, bars)
            if tiled is not None:
                spec = tiled[0]
                notes.append(f"{i.symbol}: {tiled[1]}")
            instruments.append(Instrument(i.symbol, spec, spec_text(spec)))
        return UniverseSpec(tuple(instruments), self.correlation, self.market), notes

    def to_json(self) -> str:
        """The universe as a document of the normalised specs, each number
        written so that it reads back to the same double."""
        parts = ['{"instruments":[' + ",".join(
            '{"symbol":' + json.dumps(i.symbol, ensure_ascii=False) + ',"spec":' + i.text + "}"
            for i in self.instruments) + "]"]
        if self.correlation is not None:
            parts.append('"correlation":' + json.dumps([list(r) for r in self.correlation]))
        if self.market is not None:
            loading = dict(zip(self.symbols, self.market.loadings))
            parts.append('"market":' + json.dumps({"seed": self.market.seed, "loading": loading},
                                                  ensure_ascii=False))
        return ",".join(parts) + "}"


def chunk_bars(specs: Sequence[SpecFields], rows: int = CHUNK_ROWS) -> int:
    """Bars per chunk that keep a chunk of all the specs' rows (candles, book
    levels, trades) near `rows`."""
    per_bar = sum(1 + 2 * s["microstructure"]["book_depth"] + s["microstructure"]["trade_rate"] for s in specs)
    return max(1, min(MAX_CHUNK_BARS, int(rows / per_bar)))


def _clock(spec: SpecFields) -> dict[str, int]:
    return {"bars": spec["bars"], "start_ts": spec["start_ts"], "bar_secs": spec["bar_secs"]}


# A universe: a checked one, its document as a dict, or its JSON text.
UniverseLike = Union[UniverseSpec, Mapping[str, Any], str]


def is_universe(value: Any) -> bool:
    """Whether a spec-or-universe value is a universe: a UniverseSpec, or a
    document (dict or JSON text of an object) with an "instruments" member."""
    if isinstance(value, UniverseSpec):
        return True
    if isinstance(value, str):
        try:
            value = json.loads(value)
        except ValueError:
            return False
    return isinstance(value, Mapping) and "instruments" in value


def read_universe(universe: UniverseLike) -> UniverseSpec:
    """Read and check a universe document (a dict, or its JSON text); a
    UniverseSpec is returned as it is.

    Raises :class:`UniverseError` (a ValueError) naming the member at fault:
    an unknown member, symbols that are empty or repeat, an instrument spec
    the module refuses (with the module's message), instruments whose
    ``bars``, ``start_ts`` or ``bar_secs`` differ (one clock), two
    instruments on one seed (they would draw the same shocks), a correlation
    matrix of the wrong shape, an entry outside [-1, 1], a diagonal other
    than 1, a matrix that is not symmetric or not positive semidefinite (with
    its smallest eigenvalue), a market seed or loading out of range.
    """
    if isinstance(universe, UniverseSpec):
        return universe
    doc: Any = universe
    if isinstance(universe, str):
        try:
            doc = json.loads(universe, parse_float=exact_float)
        except json.JSONDecodeError as e:
            raise UniverseError("", f"parse: {e.msg} at line {e.lineno} column {e.colno}") from None
    if not isinstance(doc, Mapping):
        raise UniverseError("", "a universe is an object with \"instruments\" and \"correlation\" or \"market\"")
    _known_keys(doc, _TOP_KEYS, "")
    instruments = _instruments(doc.get("instruments"))
    has_corr, has_market = "correlation" in doc, "market" in doc
    if has_corr == has_market:
        raise UniverseError("", "give either \"correlation\" (a matrix; the identity for independent instruments) "
                                "or \"market\" (a one-factor model), not " + ("both" if has_corr else "neither"))
    symbols = [i.symbol for i in instruments]
    if has_corr:
        spec = UniverseSpec(tuple(instruments), correlation=_correlation(doc["correlation"], len(instruments)))
    else:
        spec = UniverseSpec(tuple(instruments), market=_market(doc["market"], symbols))
    _native_check(spec)
    return spec


# A spec's own members: a document of them at the top is a spec, not a universe.
_SPEC_KEYS = ("seed", "bars", "start_price", "start_ts", "bar_secs", "regimes", "microstructure")


def _known_keys(obj: Mapping[Any, Any], known: Sequence[str], path: str) -> None:
    for key in obj:
        if key not in known:
            where = f"{path}.{key}" if path else str(key)
            hint = "; this looks like a spec: a spec runs with generate, stream or serve" if (
                not path and key in _SPEC_KEYS) else ""
            raise UniverseError(where, f"unknown member (known: {', '.join(known)}){hint}")


def _whole(value: Any, path: str, low: int = 0, high: int = U64_MAX) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise UniverseError(path, f"expected a whole number from {low} to {high}, got {json.dumps(value)}")
    return value


_EXPONENT_ONLY = re.compile(r"[-+]?[0-9]+[eE][-+]?[0-9]+")


def _number(value: Any, path: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        # YAML reads a number in exponent form without a point ("7e-1") as text.
        hint = f" (YAML reads {value} as text: write it with a decimal point, as in 1.0e-3)" if (
            isinstance(value, str) and _EXPONENT_ONLY.fullmatch(value.strip())) else ""
        raise UniverseError(path, f"expected a number, got {json.dumps(value)}{hint}")
    number = float(value)
    if not math.isfinite(number):
        raise UniverseError(path, f"{value} is not finite")
    return number


def _instruments(value: Any) -> list[Instrument]:
    if not isinstance(value, list) or not value:
        raise UniverseError("instruments", "expected a list of one instrument or more, each "
                                           "{\"symbol\": ..., \"spec\": {...}}")
    out: list[Instrument] = []
    first_of: dict[str, int] = {}
    seed_of: dict[int, int] = {}
    for i, item in enumerate(value):
        path = f"instruments[{i}]"
        if not isinstance(item, Mapping):
            raise UniverseError(path, "expected an object {\"symbol\": ..., \"spec\": {...}}")
        _known_keys(item, _INSTRUMENT_KEYS, path)
        symbol = item.get("symbol")
        if not isinstance(symbol, str) or not symbol.strip():
            raise UniverseError(f"{path}.symbol", "expected a non-empty text")
        if symbol in first_of:
            raise UniverseError(f"{path}.symbol", f"{symbol!r} is already the symbol of "
                                                  f"instruments[{first_of[symbol]}] (symbols are unique)")
        first_of[symbol] = i
        spec, text = _instrument_spec(item, path)
        seed_path = f"{path}.seed" if "seed" in item else f"{path}.spec.seed"
        if "seed" in item:
            spec = with_fields(spec, seed=_whole(item["seed"], seed_path))
            text = spec_text(spec)
        if spec["seed"] in seed_of:
            other = seed_of[spec["seed"]]
            raise UniverseError(seed_path, f"{symbol} has the seed of {out[other].symbol} ({spec['seed']}): "
                                           "they would draw the same shocks; give each instrument its own seed")
        seed_of[spec["seed"]] = i
        if out:
            first, mine, theirs = out[0], _clock(spec), _clock(out[0].spec)
            for field in _CLOCK:
                if mine[field] != theirs[field]:
                    where = f"{path}.spec.{field}" if "spec" in item else f"{path}.preset"
                    raise UniverseError(where, f"{symbol}'s {field} {mine[field]} differs from {first.symbol}'s "
                                               f"{theirs[field]} (the instruments share one clock)")
        out.append(Instrument(symbol, spec, text))
    return out


def _instrument_spec(item: Mapping[str, Any], path: str) -> tuple[SpecFields, str]:
    """An instrument's spec, normalised, and the module's text of it."""
    if ("spec" in item) == ("preset" in item):
        raise UniverseError(path, "give either \"spec\" or \"preset\"")
    if "preset" in item:
        name = item["preset"]
        try:
            text = presets.spec_text(name) if isinstance(name, str) else None
        except KeyError:
            text = None
        if text is None:
            raise UniverseError(f"{path}.preset", f"unknown preset {json.dumps(name)} "
                                                  f"(known: {', '.join(presets.names())})")
        where = f"{path}.preset"
    else:
        if not isinstance(item["spec"], (Mapping, list)):
            raise UniverseError(f"{path}.spec", "expected a spec: an object, or an array of its fields")
        text = spec_text(item["spec"])
        where = f"{path}.spec"
    try:
        found = normalize_with_text(text)
    except ValueError as e:
        from .spec_files import _POSITION, bad_spec_path, scheduled_bars
        message = str(e)
        field = bad_spec_path(text, message) if message.startswith("bad spec: ") else None
        located = _POSITION.match(message)
        if located is not None and "spec" in item:
            # The module's position is in the text made from the document's
            # object, not in the file: the member at it says where.
            field = _member_at(item["spec"], int(located.group(2))) or None
            message = located.group(1)
        numbers = scheduled_bars(text) if message == "bad spec: sum of regime lengths must equal bars" else None
        if numbers is not None:
            message += f" (the regimes add up to {numbers[0]} bars, bars is {numbers[1]})"
        raise UniverseError(f"{where}.{field}" if field else where, message) from None
    if found is None:
        raise UniverseError(where, "bad spec: no spec set (an empty object is no spec)")
    return found


def _member_at(value: Any, offset: int) -> str:
    """The path of the innermost member of `value` whose text, as
    `spec_text` lays it out, holds `offset`: the module points just past a
    key or a value, or at an array or object."""
    spans: list[tuple[int, int, str]] = []

    def walk(item: Any, path: str, at: int) -> int:
        start = at
        if isinstance(item, Mapping):
            at += 1
            for i, (key, member) in enumerate(item.items()):
                at += 1 if i else 0
                name = f"{path}.{key}" if path else str(key)
                key_text = spec_text({key: None})[1:-6]
                spans.append((at, at + len(key_text), name))
                at = walk(member, name, at + len(key_text) + 1)
            at += 1
        elif isinstance(item, (list, tuple)):
            at += 1
            for i, member in enumerate(item):
                at = walk(member, f"{path}[{i}]", at + (1 if i else 0))
            at += 1
        else:
            at += len(spec_text(item))
        spans.append((start, at, path))
        return at

    walk(value, "", 0)
    holders = [s for s in spans if s[0] <= offset <= s[1]]
    return min(holders, key=lambda s: s[1] - s[0])[2] if holders else ""


def _correlation(value: Any, n: int) -> tuple[tuple[float, ...], ...]:
    if not isinstance(value, list) or len(value) != n:
        raise UniverseError("correlation", f"expected {n} rows of {n} numbers, one row per instrument")
    rows: list[tuple[float, ...]] = []
    for i, row in enumerate(value):
        if not isinstance(row, list) or len(row) != n:
            raise UniverseError(f"correlation[{i}]", f"expected a row of {n} numbers, one per instrument")
        rows.append(tuple(_number(v, f"correlation[{i}][{j}]") for j, v in enumerate(row)))
    for i in range(n):
        for j in range(n):
            v = rows[i][j]
            if not -1.0 <= v <= 1.0:
                raise UniverseError(f"correlation[{i}][{j}]", f"{v:g} lies outside [-1, 1]")
            if i == j and v != 1.0:
                raise UniverseError(f"correlation[{i}][{j}]", f"{v:g} is on the diagonal, which must be 1")
            if j < i and v != rows[j][i]:
                raise UniverseError(f"correlation[{i}][{j}]", f"{v:g} differs from its mirror "
                                    f"correlation[{j}][{i}] = {rows[j][i]:g} (the matrix must be symmetric)")
    return tuple(rows)


def _market(value: Any, symbols: list[str]) -> MarketFactor:
    if not isinstance(value, Mapping):
        raise UniverseError("market", "expected {\"seed\": N, \"loading\": {SYMBOL: number, ...}}")
    _known_keys(value, _MARKET_KEYS, "market")
    if "seed" not in value:
        raise UniverseError("market.seed", "missing: the market source needs its own seed")
    seed = _whole(value["seed"], "market.seed")
    loading = value.get("loading")
    if not isinstance(loading, Mapping):
        raise UniverseError("market.loading", "expected an object of one loading per symbol")
    for key in loading:
        if key not in symbols:
            raise UniverseError(f"market.loading.{key}", "no instrument has this symbol")
    loadings = []
    for symbol in symbols:
        if symbol not in loading:
            raise UniverseError(f"market.loading.{symbol}", "missing (give 0 for an instrument that does not "
                                                             "follow the market)")
        v = _number(loading[symbol], f"market.loading.{symbol}")
        if not -1.0 <= v <= 1.0:
            raise UniverseError(f"market.loading.{symbol}", f"{v:g} lies outside [-1, 1] (a loading is a "
                                                             "correlation with the market)")
        loadings.append(v)
    return MarketFactor(seed, tuple(loadings))


def _native_check(spec: UniverseSpec) -> None:
    """The native universe's verdict (positive semidefinite; a run that fits)."""
    try:
        spec.open(bars_per_chunk=1)
    except ValueError as e:
        message = str(e)
        if "not positive semidefinite" in message and spec.correlation is not None:
            raise UniverseError("correlation", "the matrix is not positive semidefinite"
                                + _smallest_eigenvalue(spec.correlation)) from None
        raise UniverseError("", message) from None


def _smallest_eigenvalue(rows: tuple[tuple[float, ...], ...]) -> str:
    try:
        import numpy as np
    except ImportError:
        return ""
    return f" (smallest eigenvalue {float(np.linalg.eigvalsh(np.array(rows)).min()):.6g})"


# --- Named universes ----------------------------------------------------------------------------------------

def _preset_folder() -> Any:
    from importlib import resources
    return resources.files("talpen_synth").joinpath("presets").joinpath("universes")


def preset_index() -> dict[str, str]:
    """Every named universe mapped to its one-line description, in listing order."""
    entries: dict[str, str] = json.loads(_preset_folder().joinpath("index.json").read_text(encoding="utf-8"))
    return entries


def preset_text(name: str) -> str:
    """The document of the named universe `name`, exactly as shipped; KeyError
    for a name that is not in the index."""
    if name not in preset_index():
        raise KeyError(name)
    text: str = _preset_folder().joinpath(f"{name}.json").read_text(encoding="utf-8")
    return text


# --- Arrow --------------------------------------------------------------------------------------------------

_TIMED_TABLES = ("book", "trades")


def arrow_table(table: Table, bar_secs: int) -> pa.Table:
    """A native table as pyarrow's, without a copy, exactly as
    :func:`talpen_synth.to_arrow` gives it (``available_at`` for books and
    trades, times as UTC timestamps)."""
    from .batches import arrow_batch
    pyarrow = require("pyarrow", "frames", "universe tables")
    compute = require("pyarrow.compute", "frames", "universe tables")
    return pyarrow.Table.from_batches([arrow_batch(table, table.name, bar_secs, pyarrow, compute)])


class _Symbols:
    """The dictionary-encoded ``symbol`` columns of a universe's tables, kept
    by instrument and length: a chunk's tables mostly have the lengths of the
    chunk before."""

    def __init__(self, symbols: Sequence[str]) -> None:
        self.pa = require("pyarrow", "frames", "universe tables")
        self.dictionary = self.pa.array(list(symbols), self.pa.string())
        self.columns: dict[tuple[int, int], Any] = {}

    def add_to(self, table: pa.Table, index: int) -> pa.Table:
        pyarrow = self.pa
        column = self.columns.get((index, table.num_rows))
        if column is None:
            indices = pyarrow.array(itertools.repeat(index, table.num_rows), pyarrow.int32()) if table.num_rows \
                else pyarrow.array([], pyarrow.int32())
            column = pyarrow.DictionaryArray.from_arrays(indices, self.dictionary)
            if len(self.columns) > 4 * len(self.dictionary):  # the lengths of a chunk and of the last, table by table
                self.columns.clear()
            self.columns[(index, table.num_rows)] = column
        return table.add_column(0, pyarrow.field("symbol", column.type, nullable=False), column)


def _chunks(spec: UniverseSpec, bars_per_chunk: int | None) -> Iterator[tuple[tuple[Table, Table, Table, Table], ...]]:
    """The chunks of a universe whose caller keeps them all (its tables, its
    OHLCV frame)."""
    native = spec.open(bars_per_chunk or chunk_bars([i.spec for i in spec.instruments], TABLES_ROWS))
    while (chunk := native.next_tables()) is not None:
        yield chunk


def universe_tables(universe: UniverseLike, bars_per_chunk: int | None = None) -> RunTables[pa.Table]:
    """Run a universe and return its four tables (candles, book, trades,
    funding) as pyarrow Tables: every instrument's ``to_arrow`` table, one
    after another in the universe's order, each row led by its ``symbol``
    (a dictionary of the universe's symbols, int32 codes in their order).
    ``table.filter(pc.field("symbol") == "BTC")`` is BTC's own table.
    Needs pyarrow (extra ``frames``)."""
    pyarrow = require("pyarrow", "frames", "universe_tables")
    spec = read_universe(universe)
    pieces: list[list[list[pa.Table]]] = [[[] for _ in TABLE_NAMES] for _ in spec.instruments]
    for chunk in _chunks(spec, bars_per_chunk):
        for i, four in enumerate(chunk):
            for t, table in enumerate(four):
                pieces[i][t].append(arrow_table(table, spec.bar_secs))
    symbols = _Symbols(spec.symbols)
    tables = [pyarrow.concat_tables([symbols.add_to(pyarrow.concat_tables(pieces[i][t]), i)
                                     for i in range(len(spec.instruments))])
              for t in range(len(TABLE_NAMES))]
    return RunTables(*tables)


class UniverseStream:
    """One table of a universe (``"candles"``, ``"book"``, ``"trades"`` or
    ``"funding"``) as an Arrow stream, made chunk by chunk in memory bounded
    by the chunk: ``pyarrow.RecordBatchReader.from_stream(s)``,
    ``polars.from_arrow``, DuckDB and every other consumer of the Arrow
    PyCapsule stream interface read it. Each ``__arrow_c_stream__`` call
    runs its own native universe from the first bar.

    A batch per chunk, with the columns of :func:`universe_tables`, its rows
    instrument by instrument in the universe's order; sorting the rows by
    the symbol's dictionary code (its place in the universe), stably, gives
    that table. A chunk is `bars_per_chunk` bars of
    every instrument; by default as many as keep the four tables of a chunk
    together near STREAM_ROWS (131,072) rows, so a book batch is many times
    the rows of a candles batch.
    """

    def __init__(self, universe: UniverseLike, table: str = "candles", bars_per_chunk: int | None = None) -> None:
        if table not in TABLE_NAMES:
            raise ValueError(f"table is one of {', '.join(TABLE_NAMES)}, not {table!r}")
        if bars_per_chunk is not None:
            bars_per_chunk = chunk_size(bars_per_chunk, "bars_per_chunk")
        self.spec = read_universe(universe)
        self.table = table
        self.bars_per_chunk = bars_per_chunk

    def batches(self) -> Iterator[pa.RecordBatch]:
        """The stream's batches, chunk by chunk."""
        from .batches import arrow_batch
        pyarrow = require("pyarrow", "frames", "UniverseStream")
        compute = require("pyarrow.compute", "frames", "UniverseStream")
        schema = self.schema()
        dictionary = pyarrow.array(list(self.spec.symbols), pyarrow.string())
        native = self.spec.open(self.bars_per_chunk or chunk_bars([i.spec for i in self.spec.instruments], STREAM_ROWS))
        while (table := native.next_table(self.table)) is not None:
            # The native table leads with the symbols' codes: the rest is the
            # instruments' table as to_arrow makes it.
            columns = pyarrow.record_batch(table)
            rest = pyarrow.RecordBatch.from_arrays(columns.columns[1:], names=columns.schema.names[1:])
            batch = arrow_batch(rest, self.table, self.spec.bar_secs, pyarrow, compute)
            codes = pyarrow.DictionaryArray.from_arrays(columns.column(0).cast(pyarrow.int32()), dictionary)
            yield pyarrow.RecordBatch.from_arrays([codes, *batch.columns], schema=schema)

    def schema(self) -> pa.Schema:
        """The schema of every batch: `symbol`, then the table's columns."""
        from .batches import arrow_schema
        pyarrow = require("pyarrow", "frames", "UniverseStream")
        symbol = pyarrow.field("symbol", pyarrow.dictionary(pyarrow.int32(), pyarrow.string()), nullable=False)
        return pyarrow.schema([symbol, *arrow_schema(self.table, pyarrow)])

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> Any:
        pyarrow = require("pyarrow", "frames", "UniverseStream")
        reader = pyarrow.RecordBatchReader.from_batches(self.schema(), self.batches())
        return reader.__arrow_c_stream__(requested_schema)


def universe_events(universe: UniverseLike, bars_per_chunk: int | None = None) -> Iterator[bytes]:
    """The universe's events as JSON lines, chunk by chunk (each chunk ends
    with a line feed): bar by bar, and in each bar instrument by instrument
    in the universe's order, each instrument's trades, book, candle and
    funding point as ``generate_stream`` writes them, led by ``"symbol"``.
    Each instrument keeps its own trade ``seq``."""
    spec = read_universe(universe)
    native = spec.open(bars_per_chunk or chunk_bars([i.spec for i in spec.instruments], EVENT_ROWS))
    while (text := native.next_events()) is not None:
        yield text


def universe_ohlcv(universe: UniverseLike, rule: str | None = None) -> pd.DataFrame:
    """The universe's candles as one OHLCV frame with a row per symbol and
    bar, indexed by (``symbol``, ``ts``): ``frame.loc["BTC"]`` is BTC's
    frame as :func:`talpen_synth.to_ohlcv` gives it (``Open``, ``High``,
    ``Low``, ``Close``, ``Volume``, ``Trades``, ``TradeQty``, a UTC
    DatetimeIndex of bar opening times), and ``frame["Close"].unstack(0)``
    puts the closes side by side. `rule` resamples as ``to_ohlcv`` does.
    Needs NumPy and pandas (extra ``frames``)."""
    np = require("numpy", "frames", "universe_ohlcv")
    pandas = require("pandas", "frames", "universe_ohlcv")
    from .frames import _datetimes
    from .ohlcv import _FOLD, _check_rule

    spec = read_universe(universe)
    offset = _check_rule(rule, spec.bar_secs, pandas) if rule is not None else None
    candles: list[list[Table]] = [[] for _ in spec.instruments]
    trades: list[list[Table]] = [[] for _ in spec.instruments]
    for chunk in _chunks(spec, None):
        for i, four in enumerate(chunk):
            candles[i].append(four[0])
            trades[i].append(four[2])
    frames = []
    for i in range(len(spec.instruments)):
        def joined(tables: list[Table], name: str) -> Any:
            return np.concatenate([np.asarray(t[name]) for t in tables])
        ts = joined(candles[i], "ts")
        bar_of_trade = np.searchsorted(ts, joined(trades[i], "ts"))
        frame = pandas.DataFrame({
            "Open": joined(candles[i], "open"), "High": joined(candles[i], "high"),
            "Low": joined(candles[i], "low"), "Close": joined(candles[i], "close"),
            "Volume": joined(candles[i], "volume"),
            "Trades": np.bincount(bar_of_trade, minlength=ts.size).astype(np.int64),
            "TradeQty": np.bincount(bar_of_trade, weights=joined(trades[i], "qty"), minlength=ts.size),
        }, index=_datetimes(ts, np, pandas).rename("ts"))
        if offset is not None:
            frame = frame.resample(offset, label="left", closed="left").agg(_FOLD)
        frames.append(frame)
    result: pd.DataFrame = pandas.concat(frames, keys=list(spec.symbols), names=["symbol", "ts"])
    return result


def write_universe_parquet(universe: UniverseLike, directory: str | os.PathLike[str],
                           bars_per_chunk: int | None = None, **options: Any) -> RunTables[Path]:
    """Run a universe chunk by chunk into a Parquet dataset partitioned by
    symbol: ``DIRECTORY/<table>/symbol=<SYMBOL>/part-0.parquet`` for the four
    tables, each file the instrument's ``to_arrow`` table (the symbol lives in
    the folder's name, as Hive partitioning has it; read the table with
    ``pyarrow.dataset.dataset(DIRECTORY / "candles", partitioning="hive")``,
    ``pandas.read_parquet``, Polars or DuckDB). Each table's folder is
    written under a staging name and renamed into place when complete; an
    existing one is replaced. `options` go to ``pyarrow.parquet.ParquetWriter``
    (e.g. ``compression="zstd"``). Returns the four table folders. Needs
    pyarrow (extra ``frames``)."""
    from .dataset import STAGING, write_partition_files

    spec = read_universe(universe)
    out = Path(directory)
    made = not out.exists()
    out.mkdir(parents=True, exist_ok=True)
    try:
        write_partition_files(out, spec, None, bars_per_chunk, options)
    finally:
        # A failed run leaves nothing behind: no staging folder, and no
        # folder of its own making. (Each only goes if empty.)
        for folder in (out / STAGING, *((out,) if made else ())):
            try:
                folder.rmdir()
            except OSError:
                pass
    return RunTables(*(out / name for name in TABLE_NAMES))
