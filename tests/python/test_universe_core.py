"""The native universe: instruments in lockstep with mixed shocks. What the
correlation targets give is tested natively; here, the Python surface."""

from __future__ import annotations

import json

import pytest

from talpen_synth import _talpen_columns as native

from conftest import WORKED_SPEC

pa = pytest.importorskip("pyarrow")

A = json.dumps(WORKED_SPEC)
B = json.dumps({**WORKED_SPEC, "seed": 5})
TABLES = ("candles", "book", "trades", "funding")


def test_identity_gives_each_instrument_its_standalone_tables():
    universe = native.Universe([A, B], ["BTC", "ETH"], correlation=[[1, 0], [0, 1]], bars_per_chunk=2)
    chunks = []
    while (chunk := universe.next_tables()) is not None:
        chunks.append(chunk)
    for i, spec in enumerate((A, B)):
        whole = native.generate(spec)
        for t in range(4):
            got = pa.concat_tables([pa.table(chunk[i][t]) for chunk in chunks])
            assert got.equals(pa.table(whole[t]))


def test_a_universe_switching_tables_lays_out_the_book_when_asked():
    # One bar a chunk: the book, then the candles (its levels left out), then the book again.
    universe = native.Universe([A, B], ["BTC", "ETH"], correlation=[[1, 0.3], [0.3, 1]], bars_per_chunk=1)
    whole = native.Universe([A, B], ["BTC", "ETH"], correlation=[[1, 0.3], [0.3, 1]], bars_per_chunk=1)
    for index in (1, 0, 1):
        got = pa.table(universe.next_table(TABLES[index])).drop_columns(["symbol"])
        four = whole.next_tables()
        assert got.equals(pa.concat_tables([pa.table(four[i][index]) for i in range(2)])), TABLES[index]
    assert universe.next_table("trades") is None


def test_events_come_bar_by_bar_instrument_by_instrument_with_symbols():
    universe = native.Universe([A, B], ["BTC", "ETH"], market_seed=3, loadings=[0.5, -0.5])
    events = [json.loads(line) for line in universe.next_events().decode().splitlines()]
    candles = [(e["symbol"], e["candle"]["ts"]) for e in events if e["type"] == "candle"]
    assert candles == [(s, ts) for ts in (1700000000, 1700003600, 1700007200) for s in ("BTC", "ETH")]
    assert universe.next_events() is None


@pytest.mark.parametrize("kwargs, message", [
    ({"correlation": [[1, 0.5], [0.4, 1]]}, r"correlation\[0\]\[1\] must equal its mirror"),
    ({"correlation": [[1, 2], [2, 1]]}, r"correlation\[0\]\[1\] must lie within \[-1, 1\]"),
    ({"correlation": [[0.9, 0], [0, 1]]}, r"correlation\[0\]\[0\] must be 1"),
    ({"market_seed": 1, "loadings": [0.5, 1.5]}, "ETH: loading must lie within"),
    ({"market_seed": 1}, "needs loadings"),
])
def test_mixes_that_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=message):
        native.Universe([A, B], ["BTC", "ETH"], **kwargs)


def test_instruments_share_one_clock():
    other = json.dumps({**WORKED_SPEC, "bar_secs": 60})
    with pytest.raises(ValueError, match="ETH: bar_secs differs from BTC's"):
        native.Universe([A, other], ["BTC", "ETH"], correlation=[[1, 0], [0, 1]])
