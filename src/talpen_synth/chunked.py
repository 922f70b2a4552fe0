"""A run written chunk by chunk: JSON answers, JSON lines and CSV tables,
Parquet files. Memory follows the chunk, never the run.

The text comes from the native cursor (`_talpen_columns.Cursor`) with the
module's own number text, so the JSON written here is byte for byte the
module's "generate" and "generate_stream" answers, and the CSV and JSON lines
keep every digit the module writes. Each function writes to a binary file
object (a file, standard output's buffer, a staged file) and never holds
more than a few chunks.

The two JSON answers are written by the native `write_answer`: the answer
is cut into pieces in its own order (a record list's chunk of bars each),
made by native threads a few pieces ahead of the one being written, each
from its chunk's first bar as a walk of the run marked it; so the cores stay
busy and a run of any length stays in bounded memory.
"""

from __future__ import annotations

import math
import numbers
import threading
from collections.abc import Callable, Iterator, Mapping
from types import ModuleType
from typing import Any, Protocol

from . import _talpen_columns

__all__ = [
    "BOOK_COLUMNS",
    "TABLE_COLUMNS",
    "Writable",
    "record_chunks",
    "stream_lines",
    "write_generate",
    "write_generate_stream",
    "write_rows",
    "bars_for_rows",
]

# Bars per chunk of text: small enough to stay in cache while it is written.
TEXT_BARS = 4096
# Bars per chunk of a JSON answer: its pieces are made on several threads
# and wait for the writer, so they are kept smaller still (a book of ten
# levels a side makes some 750 kB of text per 1024 bars).
ANSWER_BARS = 1024
# What the command line's chunks may hold, in records (a candle, a book
# level, a trade): a bar of a deep book or a busy tape holds thousands, so
# its chunks have fewer bars and memory stays bounded whatever the spec.
# A run of the typical depth (10 a side, 5 trades a bar) keeps the chunks
# above in bars.
TEXT_ROWS = 1 << 17
ANSWER_ROWS = 1 << 15


def bars_for_rows(spec: Mapping[str, Any], rows: int, most: int) -> int:
    """Bars per chunk for a checked spec's fields (as `normalize_spec`
    answers them): as many as hold about `rows` records, from 1 to `most`."""
    micro = spec["microstructure"]
    per_bar = 1 + 2 * int(micro["book_depth"]) + math.ceil(min(float(micro["trade_rate"]), 1e9))
    return max(1, min(most, rows // per_bar))

# The command line's table files: their columns, in order.
TABLE_COLUMNS: dict[str, tuple[str, ...]] = {
    "candles": ("ts", "open", "high", "low", "close", "volume"),
    "book": ("ts", "side", "level", "price", "qty", "available_at"),
    "trades": ("ts", "seq", "price", "qty", "side", "available_at"),
    "funding": ("ts", "rate"),
}
BOOK_COLUMNS = TABLE_COLUMNS["book"]

# The tables whose rows gain `available_at`, the end of their bar.
TIMED_TABLES = ("book", "trades")
INT64_MAX = 2**63 - 1


def chunk_size(value: object, name: str) -> int:
    """`value` as a count of bars per chunk, refused by `name` unless a whole
    number from 1: the native cursors read a count as unsigned, so -1 would
    be one chunk of the whole run, with memory no longer bounded."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} is a whole number of bars, not {value!r}")
    count = int(value)
    if not 1 <= count < 2**64:
        raise ValueError(f"{name} must be at least 1 (and below 2**64), not {count}")
    return count


class Writable(Protocol):
    """A binary file, or anything with its write(): given a memoryview of a
    piece of text, valid only during the call (the writer reuses the memory
    and releases the view after), it takes the bytes and answers how many
    it took (None for all of them)."""

    def write(self, data: bytes | memoryview, /) -> Any: ...


def lists(spec: str) -> list[str]:
    """The record lists of the "generate" answer for `spec`, in order."""
    funding = _talpen_columns.Cursor(spec, 1).has_funding
    return ["candles", "book_snapshots", "trades"] + (["funding"] if funding else [])


def write_generate(spec: str, out: Writable, bars_per_chunk: int = ANSWER_BARS,
                   progress: Callable[[int], object] | None = None) -> None:
    """Writes the "generate" answer for `spec` (JSON text, read as a generate
    command reads its "spec" member) to `out`, byte for byte as the module
    answers it. `progress` is told of every chunk of bars written, once per
    record list (`lists(spec)` of them). A failed run raises ValueError with
    the module's text, part of the answer written."""
    _talpen_columns.write_answer(spec, "generate", out, chunk_size(bars_per_chunk, "bars_per_chunk"), progress)


def write_generate_stream(spec: str, out: Writable, bars_per_chunk: int = ANSWER_BARS,
                          progress: Callable[[int], object] | None = None) -> None:
    """Writes the "generate_stream" answer for `spec` to `out`, byte for byte
    as the module answers it."""
    _talpen_columns.write_answer(spec, "generate_stream", out, chunk_size(bars_per_chunk, "bars_per_chunk"),
                                 progress)


def record_chunks(spec: str, kind: str, bars_per_chunk: int = TEXT_BARS,
                  progress: Callable[[int], object] | None = None) -> Iterator[bytes]:
    """The text of one record list of the run (`kind`, as Cursor.next_json
    takes it), chunk by chunk: each chunk's records joined by commas, b""
    for a chunk without any. `progress(bars)` is told of every chunk."""
    cursor, done = _talpen_columns.Cursor(spec, bars_per_chunk), 0
    while (part := cursor.next_json(kind)) is not None:
        if progress is not None:
            progress(cursor.bars_done - done)
            done = cursor.bars_done
        yield part


# An event object of the stream starts with its type; nothing nested in an
# event does, so this marks exactly the boundaries between events.
_EVENT_START = b',{"type":'


def stream_lines(cursor: _talpen_columns.Cursor) -> bytes | None:
    """The next chunk's events, one JSON line each ("\\n" after every
    event); b"" for a chunk without events, None once the run is over."""
    part = cursor.next_json("events")
    if not part:
        return part
    return part.replace(_EVENT_START, b'\n{"type":') + b"\n"


# --- Table rows --------------------------------------------------------------------------------------------

def header(table: str, fmt: str) -> bytes:
    """The first line of a table file: the column names for CSV, nothing for JSON lines."""
    return (",".join(TABLE_COLUMNS[table]) + "\n").encode() if fmt == "csv" else b""


def write_rows(spec: str, table: str, fmt: str, out: Writable, start_ts: int, bar_secs: int,
               bars_per_chunk: int = TEXT_BARS, progress: Callable[[int], object] | None = None,
               stop: threading.Event | None = None) -> int:
    """Writes one table of the run as CSV (with its header) or JSON lines to
    `out`, books and trades with `available_at`; returns the number of rows.
    `stop`, when set, ends the writing between chunks (InterruptedError)."""
    np = _numpy()
    cursor = _talpen_columns.Cursor(spec, bars_per_chunk)
    out.write(header(table, fmt))
    rows = 0
    timed = table in TIMED_TABLES
    while True:
        if stop is not None and stop.is_set():
            raise InterruptedError("stopped")
        first_bar = cursor.bars_done
        part = cursor.next_rows(table, fmt)
        if part is None:
            return rows
        bars = cursor.bars_done - first_bar
        if progress is not None:
            progress(bars)
        if not part:
            continue
        count = part.count(b"\n")
        rows += count
        if timed:
            out.write(with_available_at(part, fmt, count, start_ts + first_bar * bar_secs, bars, bar_secs, np))
        else:
            out.write(part)


def _numpy() -> ModuleType | None:
    try:
        import numpy
    except ImportError:
        return None
    return numpy


def _available(ts: int, bar_secs: int) -> int:
    # As the frames have it: a bar that would end past the last int64 second ends there.
    return INT64_MAX if ts > INT64_MAX - bar_secs else ts + bar_secs


def with_available_at(rows: bytes, fmt: str, count: int, first_ts: int, bars: int, bar_secs: int,
                      np: ModuleType | None) -> bytes | memoryview:
    """`rows` (`count` lines of book or trade rows of `bars` bars from
    `first_ts` on) with `available_at` appended to each: a last CSV cell, or
    a last JSON member. Each line's timestamp is read from its start."""
    last_ts = first_ts + (bars - 1) * bar_secs
    if (np is None or first_ts < 0 or len(str(first_ts)) != len(str(last_ts))
            or last_ts > INT64_MAX - bar_secs or len(str(first_ts + bar_secs)) != len(str(last_ts + bar_secs))):
        return _with_available_at_lines(rows, fmt, bar_secs)
    return _with_available_at_arrays(rows, fmt, count, first_ts, bars, bar_secs, np)


def _with_available_at_lines(rows: bytes, fmt: str, bar_secs: int) -> bytes:
    """Line by line: for the rare chunk whose timestamps change their number
    of digits, or that ends past the last int64 second."""
    out = []
    for line in rows.split(b"\n")[:-1]:
        if fmt == "csv":
            ts = int(line[:line.index(b",")])
            out.append(b"%s,%d\n" % (line, _available(ts, bar_secs)))
        else:
            ts = int(line[6:line.index(b",")])  # after '{"ts":'
            out.append(b'%s,"available_at":%d}\n' % (line[:-1], _available(ts, bar_secs)))
    return b"".join(out)


def _with_available_at_arrays(rows: bytes, fmt: str, count: int, first_ts: int, bars: int, bar_secs: int,
                              np: ModuleType) -> memoryview:
    """The same, with arrays: every timestamp of the chunk has the same
    number of digits, and so has every `available_at`."""
    a = np.frombuffer(rows, np.uint8)
    ends = np.flatnonzero(a == 10)  # the newline of each line
    starts = np.empty(count, np.int64)
    starts[0] = 0
    starts[1:] = ends[:-1] + 1
    width = len(str(first_ts))
    offset = 0 if fmt == "csv" else 6  # '{"ts":'
    digits = a[(starts + offset)[:, None] + np.arange(width)].astype(np.int64) - 48
    ts = digits @ (10 ** np.arange(width - 1, -1, -1, dtype=np.int64))
    bar = (ts - first_ts) // bar_secs
    # One text per bar, picked for each line by its bar.
    prefix = b"," if fmt == "csv" else b',"available_at":'
    avail_width = len(str(first_ts + bar_secs))
    available = first_ts + bar_secs * np.arange(1, bars + 1, dtype=np.int64)
    texts = np.empty((bars, len(prefix) + avail_width), np.uint8)
    texts[:, :len(prefix)] = np.frombuffer(prefix, np.uint8)
    powers = 10 ** np.arange(avail_width - 1, -1, -1, dtype=np.int64)
    texts[:, len(prefix):] = (available[:, None] // powers) % 10 + 48
    # Inserted before each line's newline (CSV) or its closing brace (JSON lines).
    at = ends if fmt == "csv" else ends - 1
    size = texts.shape[1]
    out = np.empty(a.size + count * size, np.uint8)
    where = (at + np.arange(count, dtype=np.int64) * size)[:, None] + np.arange(size)
    keep = np.ones(out.size, bool)
    keep[where] = False
    out[keep] = a
    out[where] = texts[bar]
    return memoryview(out)
