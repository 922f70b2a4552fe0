"""The command protocol: reading the command document, choosing the command,
and the error envelope."""

from __future__ import annotations

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from talpen_synth import Synth

from conftest import WORKED_SPEC, cmd, envelope

VERSION = '{"version":"0.1.4"}'


@pytest.fixture
def handle():
    return Synth(json.dumps(WORKED_SPEC))


@pytest.mark.parametrize(
    "text, error",
    [
        ("", "parse: EOF while parsing a value at line 1 column 0"),
        ("   ", "parse: EOF while parsing a value at line 1 column 3"),
        ("\n", "parse: EOF while parsing a value at line 2 column 0"),
        ("not json", "parse: expected ident at line 1 column 2"),
        ("{", "parse: EOF while parsing an object at line 1 column 1"),
        ('{"cmd":"version"', "parse: EOF while parsing an object at line 1 column 16"),
        ("[1,]", "parse: trailing comma at line 1 column 4"),
        ('{"cmd":"version"} x', "parse: trailing characters at line 1 column 19"),
        ('{"cmd":"version"}\n{}', "parse: trailing characters at line 2 column 1"),
        # Only the four JSON white-space bytes may surround a command: unlike
        # the constructor, no Unicode space is trimmed.
        ('\u00a0{"cmd":"version"}', "parse: expected value at line 1 column 1"),
        ('{"cmd":"version"}\u00a0', "parse: trailing characters at line 1 column 18"),
        ('\u3000{"cmd":"version"}', "parse: expected value at line 1 column 1"),
        ('\ufeff{"cmd":"version"}', "parse: expected value at line 1 column 1"),
        ("[" * 128, "parse: recursion limit exceeded at line 1 column 128"),
    ],
)
def test_unreadable_text(handle, text, error):
    assert handle.command(text) == envelope(error)


@pytest.mark.parametrize(
    "text",
    [
        "[]", "1", "-1.5", '"version"', "null", "true", "{}", '{"a":1}', '{"Cmd":"version"}',
        '{"cmd":1}', '{"cmd":null}', '{"cmd":{}}', '{"cmd":["version"]}', '{"cmd":true}',
        '[{"cmd":"version"}]', "[" * 127 + "]" * 127,
    ],
)
def test_missing_cmd(handle, text):
    assert handle.command(text) == '{"ok":false,"error":"bad spec: missing cmd"}'


@pytest.mark.parametrize(
    "name, written",
    [
        ("VERSION", "VERSION"),
        ("version ", "version "),
        ("generate ", "generate "),
        ("", ""),
        ("Generate", "Generate"),
        ("set_specs", "set_specs"),
        ("generate_Stream", "generate_Stream"),
        ("generatestream", "generatestream"),
        # The name is echoed as read and escaped as a JSON string.
        ('a"b', 'a\\"b'),
        ("a\\b", "a\\\\b"),
        ("tab\there", "tab\\there"),
        ("\x01\x1f", "\\u0001\\u001f"),
        ("nul\x00", "nul\\u0000"),
        ("caf\u00e9/\x7f", "caf\u00e9/\x7f"),
        ("\U0001f600", "\U0001f600"),
    ],
)
def test_unknown_cmd(handle, name, written):
    answer = handle.command(json.dumps({"cmd": name}))
    assert answer == '{"ok":false,"error":"bad spec: unknown cmd: ' + written + '"}'
    assert json.loads(answer)["error"] == "bad spec: unknown cmd: " + name


def test_escaped_cmd_name_is_resolved(handle):
    assert handle.command('{"cmd":"\\u0076ersion"}') == VERSION
    assert handle.command('{"cmd":"ver\\/sion"}') == envelope("bad spec: unknown cmd: ver/sion")


@pytest.mark.parametrize(
    "text",
    [
        '{"cmd":"version"}',
        ' \t\r\n{"cmd":"version"} \t\r\n',
        '{"cmd":"version","spec":null}',
        '{"cmd":"version","spec":"garbage"}',
        '{"cmd":"version","spec":{"bars":0}}',
        '{"cmd":"version","other":[1,2,3]}',
        '{"cmd":"generate","cmd":"version"}',
        '{"spec":1,"cmd":"version"}',
    ],
)
def test_version(handle, text):
    assert handle.command(text) == VERSION


def test_version_without_spec():
    assert Synth("").command(cmd("version")) == VERSION


def test_last_of_repeated_cmd_wins(handle):
    assert handle.command('{"cmd":"version","cmd":"nope"}') == envelope("bad spec: unknown cmd: nope")


def test_commands_of_equal_length_are_told_apart():
    # "set_spec" and "generate" share a length.
    h = Synth("")
    assert h.command(cmd("generate")) == envelope("bad spec: no spec set")
    assert h.command(cmd("set_spec")) == envelope("bad spec: set_spec requires a spec")


@settings(max_examples=300, deadline=None)
@given(st.text(max_size=60))
def test_any_text_gets_a_json_answer(text):
    h = Synth("")
    answer = h.command(text)
    doc = json.loads(answer)
    assert doc == {"version": "0.1.4"} or list(doc) == ["ok", "error"] or doc == {"ok": True}
    if "error" in doc:
        assert doc["error"].startswith(("parse: ", "bad spec: ", "numeric: "))


@settings(max_examples=200, deadline=None)
@given(st.text())
def test_unknown_names_round_trip_through_the_envelope(name):
    h = Synth("")
    doc = json.loads(h.command(json.dumps({"cmd": name})))
    if name not in ("version", "set_spec", "generate", "generate_stream"):
        assert doc == {"ok": False, "error": "bad spec: unknown cmd: " + name}
