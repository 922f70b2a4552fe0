"""The event stream as JSON lines, optionally paced like a live feed.

Pacing follows a fixed schedule measured from the first event, so a slow
consumer or a late wake-up never makes the feed drift: event k is due at
k / rate seconds, or, at a speed factor, at (ts_k - ts_0) / speed seconds, all
events of one bar sharing their bar's timestamp.
"""

from __future__ import annotations

import time
from typing import TextIO

from .cli_spec import StreamEvent


def due_offsets(events: list[StreamEvent], rate: float | None, speed: float | None) -> list[float] | None:
    """Seconds after the start at which each event is due; None when unpaced."""
    if rate is not None:
        return [k / rate for k in range(len(events))]
    if speed is not None and events:
        ts0 = events[0].ts
        return [(e.ts - ts0) / speed for e in events]
    return None


def write_stream(events: list[StreamEvent], out: TextIO, rate: float | None = None,
                 speed: float | None = None) -> None:
    """Writes one event per line. A paced feed flushes every line as it falls
    due; an unpaced one writes as fast as the consumer reads."""
    offsets = due_offsets(events, rate, speed)
    if offsets is None:
        for e in events:
            out.write(e.text)
            out.write("\n")
        out.flush()
        return
    start = time.monotonic()
    for e, due in zip(events, offsets):
        wait = start + due - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        out.write(e.text)
        out.write("\n")
        out.flush()
