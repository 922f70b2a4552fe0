"""Commands that involve a spec ("set_spec", "generate", "generate_stream"):
which spec a request runs on, when the handle changes, and the documents
that the two generate commands answer with."""

from __future__ import annotations

import json
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from talpen_synth import Synth

from conftest import WORKED_SPEC, cmd, envelope, make_spec, micro, raw_elements

OK = '{"ok":true}'
NO_SPEC = envelope("bad spec: no spec set")

# A second valid spec whose output differs from the worked one.
OTHER_SPEC = make_spec(seed=7, bars=2, regimes=[{"kind": "vol", "len": 2, "drift": 0.0, "vol": 0.01}])


def generate(spec) -> str:
    """The answer to "generate" for `spec`, from a handle that holds nothing."""
    return Synth("").command(cmd("generate", spec=spec))


# --- the handle's spec ----------------------------------------------------


def test_set_spec_then_generate_uses_the_new_spec():
    h = Synth("")
    assert h.command(cmd("set_spec", spec=WORKED_SPEC)) == OK
    assert h.command(cmd("generate")) == generate(WORKED_SPEC)
    assert h.command(cmd("set_spec", spec=OTHER_SPEC)) == OK
    assert h.command(cmd("generate")) == generate(OTHER_SPEC)


@pytest.mark.parametrize(
    "bad, error",
    [
        (make_spec(bars=0), "bad spec: bars must be > 0"),
        (make_spec(bars=4), "bad spec: sum of regime lengths must equal bars"),
        (make_spec(microstructure=micro(book_depth=0)), "bad spec: book_depth must be > 0"),
        (make_spec(seed=None), "parse: missing field `seed`"),
        (make_spec(seed=-1), "parse: invalid value: integer `-1`, expected u64"),
        (None, "parse: invalid type: null, expected struct GenSpec"),
        (5, "parse: invalid type: integer `5`, expected struct GenSpec"),
        ([], "parse: invalid length 0, expected struct GenSpec with 7 elements"),
    ],
)
@pytest.mark.parametrize("earlier", [None, OTHER_SPEC])
def test_failed_set_spec_leaves_the_handle(bad, error, earlier):
    h = Synth("" if earlier is None else json.dumps(earlier))
    before = h.command(cmd("generate"))
    assert h.command(cmd("set_spec", spec=bad)) == envelope(error)
    assert h.command(cmd("generate")) == (NO_SPEC if earlier is None else before)


def test_set_spec_requires_a_spec():
    h = Synth(json.dumps(WORKED_SPEC))
    before = h.command(cmd("generate"))
    assert h.command(cmd("set_spec")) == envelope("bad spec: set_spec requires a spec")
    assert h.command('{"cmd":"set_spec","Spec":{}}') == envelope("bad spec: set_spec requires a spec")
    assert h.command(cmd("generate")) == before


@pytest.mark.parametrize("name", ["generate", "generate_stream"])
def test_request_spec_serves_one_request(name):
    h = Synth("")
    alone = Synth(json.dumps(WORKED_SPEC)).command(cmd(name))
    assert h.command(cmd(name, spec=WORKED_SPEC)) == alone
    assert h.command(cmd(name)) == NO_SPEC

    h = Synth(json.dumps(OTHER_SPEC))
    own = h.command(cmd(name))
    assert h.command(cmd(name, spec=WORKED_SPEC)) == alone
    assert h.command(cmd(name)) == own


@pytest.mark.parametrize("name", ["generate", "generate_stream"])
@pytest.mark.parametrize(
    "spec_member, error",
    [
        ("null", "parse: invalid type: null, expected struct GenSpec"),
        ("3", "parse: invalid type: integer `3`, expected struct GenSpec"),
        ("true", "parse: invalid type: boolean `true`, expected struct GenSpec"),
        # A string is never read as spec text.
        ('"{}"', 'parse: invalid type: string "{}", expected struct GenSpec'),
        ("{}", "parse: missing field `seed`"),
        (json.dumps(make_spec(start_price=0)), "bad spec: start_price must be finite and > 0"),
    ],
)
def test_bad_request_spec(name, spec_member, error):
    h = Synth(json.dumps(WORKED_SPEC))
    before = h.command(cmd(name))
    assert h.command('{"cmd":"%s","spec":%s}' % (name, spec_member)) == envelope(error)
    assert h.command(cmd(name)) == before


def test_spec_positions_only_on_text():
    spec = make_spec(bars=None)
    with pytest.raises(ValueError) as info:
        Synth(json.dumps(spec, separators=(",", ":")))
    assert str(info.value).startswith("parse: missing field `bars` at line 1 column ")
    assert Synth("").command(cmd("set_spec", spec=spec)) == envelope("parse: missing field `bars`")


def test_repeated_key_in_a_request_spec_takes_the_last():
    text = json.dumps(WORKED_SPEC)
    doubled = text.replace('"seed": 42', '"seed": 1, "seed": 42')
    with pytest.raises(ValueError, match="^parse: duplicate field `seed` at line 1 column "):
        Synth(doubled)
    h = Synth("")
    assert h.command('{"cmd":"set_spec","spec":%s}' % doubled) == OK
    assert h.command(cmd("generate")) == generate(WORKED_SPEC)


@pytest.mark.parametrize("name", ["generate", "generate_stream"])
def test_repeated_runs_are_identical(name):
    h = Synth(json.dumps(WORKED_SPEC))
    first = h.command(cmd(name))
    assert h.command(cmd(name)) == first
    assert Synth(json.dumps(WORKED_SPEC)).command(cmd(name)) == first


@pytest.mark.parametrize("name", ["generate", "generate_stream"])
def test_run_failure_is_an_envelope(name):
    # Valid, but the first bar's wick overflows.
    spec = make_spec(bars=1, regimes=[{"kind": "trend", "len": 1, "drift": 0.0, "vol": 3000.0}])
    h = Synth(json.dumps(spec))
    assert h.command(cmd(name)) == envelope("numeric: price walk produced a non-finite value")
    assert h.command(cmd("version")) == '{"version":"0.1.4"}'


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer aborts on allocations it cannot serve")
@pytest.mark.parametrize("name", ["generate", "generate_stream"])
@pytest.mark.parametrize("depth", [2**40, 2**62])
def test_exhausted_memory_raises_and_leaves_the_handle_usable(name, depth):
    h = Synth(json.dumps(make_spec(microstructure=micro(book_depth=depth))))
    with pytest.raises(MemoryError):
        h.command(cmd(name))
    assert h.command(cmd("version")) == '{"version":"0.1.4"}'
    with pytest.raises(MemoryError):
        h.command(cmd(name))  # the spec is still the same


# --- the documents --------------------------------------------------------

# Bar by bar, from the worked example.
CANDLES = [
    '{"ts":1700000000,"open":100.0,"high":100.74470633,"low":99.09357854,"close":99.83153469,'
    '"volume":1362.45253483}',
    '{"ts":1700003600,"open":99.83153469,"high":101.18842882,"low":97.81413475,"close":99.1436087,'
    '"volume":1383.99183998}',
    '{"ts":1700007200,"open":99.1436087,"high":99.80182071,"low":96.82219416,"close":97.46499435,'
    '"volume":2062.23442159}',
]
BOOKS = [
    '{"ts":1700000000,"bids":[{"price":99.80236873,"qty":8.96752245},{"price":99.79238557,"qty":5.8824614}],'
    '"asks":[{"price":99.86070066,"qty":5.62676221},{"price":99.87068381,"qty":5.94551978}]}',
    '{"ts":1700003600,"bids":[{"price":99.11025341,"qty":5.34765236},{"price":99.10033905,"qty":5.19711133}],'
    '"asks":[{"price":99.17696398,"qty":7.7300192},{"price":99.18687834,"qty":4.49235963}]}',
    '{"ts":1700007200,"bids":[{"price":97.41982407,"qty":8.26277903},{"price":97.41007757,"qty":5.65057652}],'
    '"asks":[{"price":97.51016464,"qty":9.07920774},{"price":97.51991114,"qty":4.23274587}]}',
]
TRADES = [
    '{"ts":1700007200,"seq":0,"price":97.49858826,"qty":0.58448318,"side":"buy"}',
    '{"ts":1700007200,"seq":1,"price":97.47737906,"qty":1.21937866,"side":"buy"}',
]
FUNDING = ['{"ts":1700007200,"rate":-0.00417948}']


def test_worked_example_generate_document():
    expected = (
        '{"candles":[' + ",".join(CANDLES) + '],"book_snapshots":[' + ",".join(BOOKS)
        + '],"trades":[' + ",".join(TRADES) + '],"funding":[' + ",".join(FUNDING) + "]}"
    )
    assert generate(WORKED_SPEC) == expected


def test_worked_example_stream_document():
    def event(kind, key, record):
        return '{"type":"%s","%s":%s}' % (kind, key, record)

    events = [
        event("book", "snapshot", BOOKS[0]), event("candle", "candle", CANDLES[0]),
        event("book", "snapshot", BOOKS[1]), event("candle", "candle", CANDLES[1]),
        event("trade", "trade", TRADES[0]), event("trade", "trade", TRADES[1]),
        event("book", "snapshot", BOOKS[2]), event("candle", "candle", CANDLES[2]),
        event("funding", "sample", FUNDING[0]),
    ]
    answer = Synth("").command(cmd("generate_stream", spec=WORKED_SPEC))
    assert answer == '{"events":[' + ",".join(events) + "]}"


def stream_from_batch(batch: str) -> str:
    """The stream document that must correspond to a batch document, built
    from the batch's own record texts: per bar its trades, book, candle and
    funding point (bars are told apart by their timestamps)."""
    candles = raw_elements(batch, "candles")
    books = raw_elements(batch, "book_snapshots")
    trades = raw_elements(batch, "trades")
    funding = raw_elements(batch, "funding")
    events = []
    for candle, book in zip(candles, books, strict=True):
        ts = json.loads(candle)["ts"]
        events += ['{"type":"trade","trade":%s}' % t for t in trades if json.loads(t)["ts"] == ts]
        events.append('{"type":"book","snapshot":%s}' % book)
        events.append('{"type":"candle","candle":%s}' % candle)
        events += ['{"type":"funding","sample":%s}' % f for f in funding if json.loads(f)["ts"] == ts]
    return '{"events":[' + ",".join(events) + "]}"


regime = st.fixed_dictionaries({
    "kind": st.sampled_from(["trend", "range", "crash", "vol"]),
    "len": st.integers(1, 3),
    "drift": st.floats(-0.01, 0.01),
    "vol": st.floats(0.0, 0.05),
})


@st.composite
def small_specs(draw):
    regimes = draw(st.lists(regime, min_size=1, max_size=3))
    m = {
        "book_depth": draw(st.integers(1, 3)),
        "spread_bps": draw(st.floats(0.0, 50.0)),
        "trade_rate": draw(st.sampled_from([0.0, 0.5, 2.0, 5.0])),
    }
    if draw(st.booleans()):
        m["funding"] = {"interval_bars": draw(st.integers(1, 4)), "base_rate": 0.0001, "sensitivity": 0.5}
    return {
        "seed": draw(st.integers(0, 2**64 - 1)),
        "bars": sum(r["len"] for r in regimes),
        "start_price": draw(st.floats(1.0, 1000.0)),
        "start_ts": draw(st.integers(-(2**40), 2**40)),
        "bar_secs": draw(st.integers(1, 86400)),
        "regimes": regimes,
        "microstructure": m,
    }


@settings(max_examples=60, deadline=None)
@given(small_specs())
def test_stream_holds_the_batch_records_in_time_order(spec):
    h = Synth(json.dumps(spec))
    batch = h.command(cmd("generate"))
    stream = h.command(cmd("generate_stream"))
    assert stream == stream_from_batch(batch)
    doc = json.loads(batch)
    assert list(doc) == ["candles", "book_snapshots", "trades"] + (["funding"] if doc.get("funding") else [])
    assert len(doc["candles"]) == spec["bars"]
    for book in doc["book_snapshots"]:
        assert list(book) == ["ts", "bids", "asks"]
        assert len(book["bids"]) == len(book["asks"]) == spec["microstructure"]["book_depth"]
    assert [t["seq"] for t in doc["trades"]] == list(range(len(doc["trades"])))
    # Every double keeps a "." or an exponent, every timestamp is an integer.
    for record in raw_elements(batch, "candles"):
        fields = record[1:-1].split(",")
        assert fields[0].startswith('"ts":') and "." not in fields[0]
        assert all("." in f or "e" in f for f in fields[1:])


@pytest.mark.parametrize(
    "spec, absent",
    [
        (make_spec(microstructure=micro(funding=None)), '"funding"'),
        (make_spec(microstructure=micro(funding={"interval_bars": 4, "base_rate": 0.0, "sensitivity": 0.0})),
         '"funding"'),
        (make_spec(microstructure=micro(trade_rate=0.0)), '"type":"trade"'),
    ],
)
def test_left_out_members(spec, absent):
    batch = generate(spec)
    stream = Synth("").command(cmd("generate_stream", spec=spec))
    assert absent not in batch
    assert absent not in stream
    if absent == '"funding"':
        assert batch.endswith("]}") and '"trades":[' in batch
    else:
        assert '"trades":[]' in batch
        events = [json.loads(e)["type"] for e in raw_elements(stream, "events")]
        assert events[: 2 * 3 : 2] == ["book"] * 3 and events[1::2][:3] == ["candle"] * 3


def test_sides_negative_timestamps_and_whole_prices():
    spec = make_spec(
        start_ts=-7200, start_price=100, bars=40,
        regimes=[{"kind": "vol", "len": 40, "drift": 0.0, "vol": 0.0}],
        microstructure=micro(trade_rate=5.0),
    )
    batch = generate(spec)
    assert batch.startswith('{"candles":[{"ts":-7200,"open":100.0,"high":100.0,"low":100.0,"close":100.0,')
    sides = {json.loads(t)["side"] for t in raw_elements(batch, "trades")}
    assert sides == {"buy", "sell"}
    assert all(t.endswith(('"side":"buy"}', '"side":"sell"}')) for t in raw_elements(batch, "trades"))


def test_a_long_run_is_one_document():
    spec = make_spec(bars=5000, regimes=[{"kind": "range", "len": 5000, "drift": 0.1, "vol": 0.01}])
    doc = json.loads(generate(spec))
    assert len(doc["candles"]) == len(doc["book_snapshots"]) == 5000
    assert len(doc["funding"]) == 5000 // 3
