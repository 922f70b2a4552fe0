"""Record layouts of the two generate answers at their edges."""

import json

from talpen_synth import Synth


def run(cmd, spec):
    return Synth("").command(json.dumps({"cmd": cmd, "spec": spec}))


# A zero vol with a drift makes the spread a million times its base; with a
# base near the largest double it overflows, and every price built on it is
# not a number any more. Such values are written as null, and the answer stays
# valid JSON with the same layout.
OVERFLOWING_SPREAD = {
    "seed": 3, "bars": 2, "start_price": 100.0, "start_ts": -7200,
    "regimes": [{"kind": "trend", "len": 2, "drift": 0.001, "vol": 0.0}],
    "microstructure": {"book_depth": 2, "spread_bps": 1e308, "trade_rate": 4.0},
}


def test_non_finite_prices_are_written_as_null():
    text = run("generate", OVERFLOWING_SPREAD)
    doc = json.loads(text)
    book = doc["book_snapshots"][0]
    assert book["ts"] == -7200
    assert [lvl["price"] for lvl in book["bids"] + book["asks"]] == [None] * 4
    assert all(isinstance(lvl["qty"], float) for lvl in book["bids"] + book["asks"])
    assert doc["trades"], "this seed draws trades"
    assert all(t["price"] is None for t in doc["trades"])
    assert '"bids":[{"price":null,"qty":' in text
    # The same records, byte for byte, inside the stream's events.
    events = json.loads(run("generate_stream", OVERFLOWING_SPREAD))["events"]
    assert [e["snapshot"] for e in events if e["type"] == "book"] == doc["book_snapshots"]
    assert [e["trade"] for e in events if e["type"] == "trade"] == doc["trades"]


def test_record_layouts_byte_for_byte():
    spec = {
        "seed": 11, "bars": 1, "start_price": 1000.0, "start_ts": -9223372036854775808, "bar_secs": 1,
        "regimes": [{"kind": "vol", "len": 1, "drift": 0.0, "vol": 0.0}],
        "microstructure": {"book_depth": 1, "spread_bps": 0.0, "trade_rate": 0.0,
                           "funding": {"interval_bars": 1, "base_rate": 0.25, "sensitivity": 0.0}},
    }
    doc = run("generate", spec)
    ts = "-9223372036854775808"
    assert doc.startswith('{"candles":[{"ts":%s,"open":1000.0,"high":1000.0,"low":1000.0,"close":1000.0,'
                          '"volume":' % ts)
    assert '"book_snapshots":[{"ts":%s,"bids":[{"price":1000.0,"qty":' % ts in doc
    assert doc.endswith('"trades":[],"funding":[{"ts":%s,"rate":0.25}]}' % ts)
    stream = run("generate_stream", spec)
    assert stream.startswith('{"events":[{"type":"book","snapshot":{"ts":%s,"bids":[' % ts)
    assert stream.endswith(',{"type":"funding","sample":{"ts":%s,"rate":0.25}}]}' % ts)
