"""The spec's fields as Python reads them: the native module's normalised
form, exact enough that its JSON text runs the same as the text it came from."""

from __future__ import annotations

import json
import random

import pytest

from talpen_synth import Synth, presets
from talpen_synth._spec import normalize, spec_text, with_fields
from talpen_synth.frames import spec_json

from conftest import WORKED_SPEC

WORKED_TEXT = json.dumps(WORKED_SPEC)
ARRAY_TEXT = json.dumps([42, 3, 100, 1700000000, 3600,
                         [[{"trend": None}, 1, 0.001, 0.01], ["range", 2, 0.5, 0.02]], [2, 5, 1, [3, 1e-4, 0.5]]])


def generated(text: str) -> str:
    return Synth(text).command('{"cmd":"generate"}')


@pytest.mark.parametrize("text", [
    WORKED_TEXT, ARRAY_TEXT, "\u00a0\n" + WORKED_TEXT + "\u3000",
    WORKED_TEXT.replace("0.001", "-0").replace("100.0", "100.100000000000000000001"),
    WORKED_TEXT.replace("0.001", "5e-324").replace("0.02", "0.30000000000000004"),
    *(presets.spec_text(name) for name in presets.names()),
])
def test_the_normalised_form_runs_as_the_text(text):
    fields = normalize(text)
    assert fields is not None
    assert generated(spec_json(fields)) == generated(text)
    assert [(r["kind"], r["len"]) for r in fields["regimes"]] == [
        (r["kind"], r["len"]) for r in json.loads(spec_json(fields))["regimes"]]


def test_both_forms_give_one_object():
    assert normalize(ARRAY_TEXT) == normalize(WORKED_TEXT) == WORKED_SPEC


@pytest.mark.parametrize("text", ["", " \t\u2028", "{}", "\u3000{}\n"])
def test_a_text_without_spec(text):
    assert normalize(text) is None


@pytest.mark.parametrize("text", ["{ }", '{"seed": 1,}', "\ufeff{}", WORKED_TEXT.replace('"bars": 3', '"bars": 4')])
def test_a_refused_text_fails_as_in_the_constructor(text):
    with pytest.raises(ValueError) as constructor:
        Synth(text)
    with pytest.raises(ValueError) as normalizing:
        normalize(text)
    assert str(normalizing.value) == str(constructor.value)


def test_with_fields_replaces_only_those():
    fields = normalize(WORKED_TEXT)
    assert fields is not None
    changed = with_fields(fields, seed=2**64 - 1, bars=5)
    assert changed == {**fields, "seed": 2**64 - 1, "bars": 5}
    assert with_fields(fields) == fields and fields["seed"] == 42  # the original is left alone


def test_numbers_the_reader_rounds_off_nearest_still_run_exactly():
    # The module's reader does not always round to the nearest double, so the
    # shortest digits of a value can read as its neighbour (and some values are
    # reached only by long digit strings); the normalised text must still read
    # back to every original bit.
    rng = random.Random(11)
    for _ in range(400):
        numbers = [f"{rng.randint(10**17, 10**19)}e-{rng.randint(18, 40)}" for _ in range(3)]
        text = WORKED_TEXT.replace('"start_price": 100.0', f'"start_price": {numbers[0]}')
        text = text.replace('"spread_bps": 5.0', f'"spread_bps": {numbers[1]}')
        text = text.replace('"drift": 0.001', f'"drift": {numbers[2]}')
        normal = normalize(text)
        assert normal is not None
        again = spec_json(normal)
        assert normalize(again) == normal
        assert generated(again) == generated(text), text


# spec_text writes what json.dumps writes (compactly), whatever it wrote
# before: keys that are one key to a dict (True, 1, 1.0) are written apart.
@pytest.mark.parametrize("value", [{True: 1}, {1: 1}, {1.0: [0.1, -0.0, 5e-324, 1e308]}, {"a": {"b": 2.5}}])
def test_spec_text_writes_what_json_dumps_writes(value):
    for earlier in ({True: 0}, {1: 0}, {1.0: 0}):
        spec_text(earlier)
        assert spec_text(value) == json.dumps(value, separators=(",", ":"))
