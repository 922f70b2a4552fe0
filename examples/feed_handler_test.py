"""Test a feed handler against a live local feed.

`talpen-synth serve` replays a run over WebSocket on loopback; the handler
below consumes it as it would a venue's feed and checks what a feed handler
relies on: time never goes back, trade sequence numbers have no gaps, and each
bar arrives as its trades, then its book, then its candle (the book and the
candle close the bar). At the end its state is compared with the same run
taken from the module directly.

    pip install 'talpen_synth[serve]'
    python examples/feed_handler_test.py
"""

from __future__ import annotations

import json
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Any

from websockets.sync.client import connect

import talpen_synth
from talpen_synth import presets


@dataclass
class FeedHandler:
    last_ts: int | None = None
    next_seq: int = 0
    bars: int = 0
    volume_traded: float = 0.0
    best: tuple[float, float] | None = None
    funding: list[float] = field(default_factory=list)
    _bar_state: str = "open"  # "open", then "booked" once the book came

    def on_message(self, text: str) -> None:
        event: dict[str, Any] = json.loads(text)
        kind = event["type"]
        record = event[{"trade": "trade", "book": "snapshot", "candle": "candle", "funding": "sample"}[kind]]
        if self.last_ts is not None:
            assert record["ts"] >= self.last_ts, f"time went back at {record}"
        self.last_ts = record["ts"]
        if kind == "trade":
            assert self._bar_state == "open", "a trade after its bar's book"
            assert record["seq"] == self.next_seq, f"gap before trade {record['seq']}"
            self.next_seq += 1
            self.volume_traded += record["qty"]
        elif kind == "book":
            assert self._bar_state == "open", "two books in one bar"
            self.best = (record["bids"][0]["price"], record["asks"][0]["price"])
            self._bar_state = "booked"
        elif kind == "candle":
            assert self._bar_state == "booked", "a candle before its book"
            self.bars += 1
            self._bar_state = "open"
        else:
            self.funding.append(record["rate"])


spec = presets.spec_text("perp-funding")
server = subprocess.Popen(
    [sys.executable, "-m", "talpen_synth", "serve", "--preset", "perp-funding", "--port", "0", "--clients", "1",
     "--rate", "20000", "--quiet"], stdout=subprocess.PIPE, text=True)
try:
    url = server.stdout.readline().split()[-1]  # "serving N events on ws://127.0.0.1:PORT"
    handler = FeedHandler()
    with connect(url, open_timeout=10) as ws:
        for message in ws:  # ends with the server's normal close after the last event
            handler.on_message(str(message))
    assert server.wait(timeout=30) == 0
finally:
    server.kill()

# The same run, straight from the module: the handler must have seen all of it.
candles, book, trades, funding = talpen_synth.generate_arrays(spec)
assert handler.bars == len(candles["ts"])
assert handler.next_seq == len(trades["seq"])
assert abs(handler.volume_traded - trades["qty"].sum()) < 1e-6
assert handler.funding == funding["rate"].tolist()
print(f"feed handler ok: {handler.bars} bars, {handler.next_seq} trades, {len(handler.funding)} funding points, "
      f"last best bid/ask {handler.best}")
