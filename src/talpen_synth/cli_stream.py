"""The event stream as JSON lines, straight from a run cursor, optionally
paced like a live feed.

The run is made chunk by chunk as the stream goes, so the first event leaves
at once whatever the bar count, memory stays flat, and a spec of any length
is a feed that runs until it is stopped.

Pacing follows a fixed schedule measured from the start, so a slow consumer
or a late wake-up never makes the feed drift. At a rate, event k is due at
k / rate seconds. At a speed factor, the bars' own clock runs `speed` times as
fast from the first bar's opening time, and a bar's events are released when
the bar is over, at its close (`ts` + `bar_secs`): a candle's close is not
known at its opening time. `pace_at="open"` releases them at the bar's
opening time instead, as a replay that does not mind looking ahead may want.
"""

from __future__ import annotations

import math
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO

from . import _talpen_columns
from ._spec import SpecFields
from .chunked import stream_lines

PACE_AT = ("close", "open")

# Records of text per unpaced chunk: a few milliseconds of work, so the
# first event leaves at once and a chunk stays in cache.
_RECORDS_PER_CHUNK = 65536


@dataclass(frozen=True)
class Pacing:
    rate: float | None = None
    speed: float | None = None
    at: str = "close"

    @property
    def paced(self) -> bool:
        return self.rate is not None or self.speed is not None


def bars_per_chunk(spec: SpecFields, pacing: Pacing) -> int:
    """One bar at a time when paced (a bar is the unit of release); else as
    many bars as make about `_RECORDS_PER_CHUNK` records."""
    if pacing.paced:
        return 1
    micro = spec["microstructure"]
    per_bar = 3 + 2 * micro["book_depth"] + math.ceil(min(float(micro["trade_rate"]), 1e9))
    return max(1, min(4096, _RECORDS_PER_CHUNK // per_bar))


def event_chunks(spec_text: str, spec: SpecFields, pacing: Pacing) -> Iterator[tuple[float | None, bytes]]:
    """The run's events as chunks of JSON lines, each with the time (seconds
    after the start) at which its first event is due under `pacing` (None
    when unpaced; with a rate, each line of the chunk is due 1 / rate after
    the one before)."""
    cursor = _talpen_columns.Cursor(spec_text, bars_per_chunk(spec, pacing))
    bar_secs = spec["bar_secs"]
    sent = 0
    while True:
        bar = cursor.bars_done
        lines = stream_lines(cursor)
        if lines is None:
            return
        if not lines:
            continue
        if pacing.rate is not None:
            due: float | None = sent / pacing.rate
            sent += lines.count(b"\n")
        elif pacing.speed is not None:
            due = (bar + (1 if pacing.at == "close" else 0)) * bar_secs / pacing.speed
        else:
            due = None
        yield due, lines


def write_stream(spec_text: str, spec: SpecFields, out: BinaryIO, pacing: Pacing, limit: int | None = None) -> None:
    """Writes the run's events to `out`, one per line. A paced feed flushes
    every line as it falls due; an unpaced one writes a chunk at a time, as
    fast as the consumer reads."""
    left = limit
    start = time.monotonic()
    for due, lines in event_chunks(spec_text, spec, pacing):
        if left is not None:
            if left == 0:
                break
            count = lines.count(b"\n")
            if count > left:
                lines = _first_lines(lines, left)
                count = left
            left -= count
        if due is None:
            out.write(lines)
            out.flush()
        elif pacing.rate is not None:
            for k, line in enumerate(lines.splitlines(keepends=True)):
                _sleep_until(start + due + k / pacing.rate)
                out.write(line)
                out.flush()
        else:
            _sleep_until(start + due)
            out.write(lines)
            out.flush()
        if left == 0:
            break


def _first_lines(lines: bytes, n: int) -> bytes:
    end = -1
    for _ in range(n):
        end = lines.index(b"\n", end + 1)
    return lines[:end + 1]


def _sleep_until(when: float) -> None:
    wait = when - time.monotonic()
    if wait > 0:
        time.sleep(wait)
