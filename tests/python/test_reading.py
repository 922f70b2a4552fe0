"""The reader's messages and positions as a command's caller sees them."""

import json

import pytest

from talpen_synth import Synth

Q = '"'


@pytest.mark.parametrize(
    "text, error",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("   ", "EOF while parsing a value at line 1 column 3"),
        ("\n", "EOF while parsing a value at line 2 column 0"),
        ("[1,]", "trailing comma at line 1 column 4"),
        ('{"a":1,}', "trailing comma at line 1 column 8"),
        ('{"a" 1}', "expected `:` at line 1 column 6"),
        ("{1:2}", "key must be a string at line 1 column 2"),
        ("[1 2]", "expected `,` or `]` at line 1 column 4"),
        ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
        ("tru", "EOF while parsing a value at line 1 column 3"),
        ("trUe", "expected ident at line 1 column 3"),
        ("01", "invalid number at line 1 column 2"),
        ("1.", "EOF while parsing a value at line 1 column 2"),
        ("1.e5", "invalid number at line 1 column 3"),
        ("-", "EOF while parsing a value at line 1 column 1"),
        ("-x", "invalid number at line 1 column 2"),
        ("+1", "expected value at line 1 column 1"),
        ("1e400", "number out of range at line 1 column 5"),
        ('{"cmd":"version"} x', "trailing characters at line 1 column 19"),
        (Q + "a\t", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
        (Q + "a\n", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
        (Q + "\\x" + Q, "invalid escape at line 1 column 3"),
        (Q + "\\uD800" + Q, "unexpected end of hex escape at line 1 column 8"),
        (Q + "\\uDC00" + Q, "lone leading surrogate in hex escape at line 1 column 7"),
        ("[" * 128, "recursion limit exceeded at line 1 column 128"),
        (Q + "abc", "EOF while parsing a string at line 1 column 4"),
    ],
)
def test_reader_errors_reach_the_envelope(text, error):
    assert json.loads(Synth("").command(text)) == {"ok": False, "error": "parse: " + error}


@pytest.mark.parametrize(
    "text",
    [
        "[" * 127 + "]" * 127,  # the deepest nesting that reads
        '{"cmd":"version"} \t\r\n ',
        "1e-400", "-0", "18446744073709551615", "18446744073709551616", "-9223372036854775808",
        "-9223372036854775809", "7e23", '"\\uD83D\\uDE00"',
    ],
)
def test_readable_documents_without_cmd_or_with_it(text):
    answer = Synth("").command(text)
    if text.startswith('{"cmd"'):
        assert answer == '{"version":"0.1.4"}'
    else:
        assert answer == '{"ok":false,"error":"bad spec: missing cmd"}'


def test_last_of_repeated_keys_wins():
    assert Synth("").command('{"cmd":"generate","cmd":"version"}') == '{"version":"0.1.4"}'
