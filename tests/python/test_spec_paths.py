"""One spec document, two ways in: as the constructor's text (read straight
from the text, with positions) and as a "set_spec" member (read from the
parsed value, no positions, members in byte order)."""

import json
import re

import pytest

from talpen_synth import Synth

REGIME = '{"kind":"trend","len":2,"drift":0.0,"vol":0.01}'
MICRO = '{"book_depth":1,"spread_bps":1.0,"trade_rate":0.0}'


def spec(seed="1", bars="2", regimes=None, micro=MICRO, extra=""):
    regimes = regimes if regimes is not None else "[" + REGIME + "]"
    return ('{"seed":%s,"bars":%s,"start_price":100.0%s,"regimes":%s,"microstructure":%s}'
            % (seed, bars, extra, regimes, micro))


def text_path(doc):
    try:
        Synth(doc)
    except ValueError as e:
        return str(e)
    return "ok"


def value_path(doc):
    answer = json.loads(Synth("").command('{"cmd":"set_spec","spec":%s}' % doc))
    return "ok" if answer == {"ok": True} else answer["error"]


POSITION = re.compile(r" at line \d+ column \d+$")

# (document, text path's message without its position, value path's message)
CASES = [
    ('{"seed":1,"seed":2}', "parse: duplicate field `seed`", "parse: missing field `bars`"),
    (spec(extra=',"colour":1').replace('"bars":2,', ""),
     "parse: unknown field `colour`, expected one of `seed`, `bars`, `start_price`, `start_ts`, `bar_secs`, "
     "`regimes`, `microstructure`",
     "parse: unknown field `colour`, expected one of `seed`, `bars`, `start_price`, `start_ts`, `bar_secs`, "
     "`regimes`, `microstructure`"),
    (spec(seed="-1", bars='"2"'), "parse: invalid value: integer `-1`, expected u64",
     'parse: invalid type: string "2", expected usize'),
    ('{"seed":1}', "parse: missing field `bars`", "parse: missing field `bars`"),
    ("[1,2,100.0,0,60,[]]", "parse: invalid length 6, expected struct GenSpec with 7 elements",
     "parse: invalid length 6, expected struct GenSpec with 7 elements"),
    ("[1,2,100.0]", "parse: invalid length 5, expected struct GenSpec with 7 elements",
     "parse: invalid length 5, expected struct GenSpec with 7 elements"),
    ("[1,2,100.0,0,60,[],%s,9]" % MICRO, "parse: trailing characters",
     "parse: invalid length 8, expected fewer elements in array"),
    (spec(regimes='[{"kind":5,"len":2,"drift":0.0,"vol":0.01}]'), "parse: expected value",
     "parse: invalid type: integer `5`, expected string or map"),
    (spec(regimes='[{"kind":{},"len":2,"drift":0.0,"vol":0.01}]'), "parse: expected value",
     "parse: invalid value: map, expected map with a single key"),
    (spec(regimes='[{"kind":{"trend":null,"range":null},"len":2,"drift":0.0,"vol":0.01}]'),
     "parse: expected value", "parse: invalid value: map, expected map with a single key"),
    (spec(regimes='[{"kind":{"trend":1},"len":2,"drift":0.0,"vol":0.01}]'),
     "parse: invalid type: integer `1`, expected unit", "parse: invalid type: integer `1`, expected unit"),
    (spec(regimes='[{"kind":"Trend","len":2,"drift":0.0,"vol":0.01}]'),
     "parse: unknown variant `Trend`, expected one of `trend`, `range`, `crash`, `vol`",
     "parse: unknown variant `Trend`, expected one of `trend`, `range`, `crash`, `vol`"),
    (spec(regimes='[{"kind":"trend","lenn":2,"drift":0.0,"vol":0.01}]'),
     "parse: unknown field `lenn`, expected one of `kind`, `len`, `drift`, `vol`",
     "parse: unknown field `lenn`, expected one of `kind`, `len`, `drift`, `vol`"),
    (spec(regimes="{}"), "parse: invalid type: map, expected a sequence",
     "parse: invalid type: map, expected a sequence"),
    (spec(seed="-0"), "parse: invalid type: floating point `-0.0`, expected u64",
     "parse: invalid type: floating point `-0.0`, expected u64"),
    (spec(bars="10.0"), "parse: invalid type: floating point `10.0`, expected usize",
     "parse: invalid type: floating point `10.0`, expected usize"),
    (spec(extra=',"start_ts":null'), "parse: invalid type: null, expected i64",
     "parse: invalid type: null, expected i64"),
    (spec(extra=',"bar_secs":9223372036854775808'),
     "parse: invalid value: integer `9223372036854775808`, expected i64",
     "parse: invalid value: integer `9223372036854775808`, expected i64"),
    (spec(micro='{"book_depth":1,"spread_bps":1.0,"trade_rate":0.0,"funding":{}}'),
     "parse: missing field `interval_bars`", "parse: missing field `interval_bars`"),
    (spec(regimes='[{"kind":"trend","len":2,"drift":0.0,"vol":-1.0}]'),
     "bad spec: regime vol must be finite and >= 0", "bad spec: regime vol must be finite and >= 0"),
    (spec().replace("100.0", "-0"), "bad spec: start_price must be finite and > 0",
     "bad spec: start_price must be finite and > 0"),
    (spec(bars="3"), "bad spec: sum of regime lengths must equal bars",
     "bad spec: sum of regime lengths must equal bars"),
]


@pytest.mark.parametrize("doc, text_message, value_message", CASES)
def test_both_paths(doc, text_message, value_message):
    got_text = text_path(doc)
    if text_message.startswith("parse: "):
        assert POSITION.search(got_text), got_text
        assert POSITION.sub("", got_text) == text_message
    else:
        assert got_text == text_message
    got_value = value_path(doc)
    assert not POSITION.search(got_value)
    assert got_value == value_message


@pytest.mark.parametrize(
    "doc, error",
    [
        ("{ }", "parse: missing field `seed` at line 1 column 3"),
        ('\n\n{"seed":1}', "parse: missing field `bars` at line 1 column 10"),
        ('{"seed":1,"seed":2}', "parse: duplicate field `seed` at line 1 column 16"),
        (spec(seed="-1"), "parse: invalid value: integer `-1`, expected u64 at line 1 column 10"),
    ],
)
def test_text_positions(doc, error):
    assert text_path(doc) == error


@pytest.mark.parametrize(
    "doc",
    [
        spec(),
        spec(micro='{"book_depth":1,"spread_bps":1.0,"trade_rate":0.0,"funding":null}'),
        spec(micro="[1,1.0,0.0]"),
        spec(regimes='[{"kind":{"trend":null},"len":2,"drift":0.0,"vol":0.01}]'),
        spec(regimes='[["trend",2,0.0,0.01]]'),
        "[1,2,100,1700000000,3600,[%s],%s]" % (REGIME, MICRO),
    ],
)
def test_equal_specs_give_equal_runs(doc):
    assert text_path(doc) == "ok"
    assert value_path(doc) == "ok"
    reference = Synth(spec()).command('{"cmd":"generate"}')
    assert Synth(doc).command('{"cmd":"generate"}') == reference
    assert Synth("").command('{"cmd":"generate","spec":%s}' % doc) == reference
