"""Spec sources, field overrides and module calls for the command line.

Everything the user is told about a spec comes from the native module itself:
this file only finds the spec text, applies `--seed`/`--bars` without judging
them, and turns the module's error envelopes into `CliError`s.
"""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass
from json import JSONDecoder
from pathlib import Path

from . import Synth, presets

U64_MAX = 2**64 - 1

# The characters that the Synth constructor trims from both ends of a spec
# text (Unicode White_Space). Python's str.strip() differs (it also strips
# U+001C..U+001F), so the set is spelled out.
_WHITE_SPACE = (
    "\u0009\u000a\u000b\u000c\u000d\u0020\u0085\u00a0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)


class CliError(Exception):
    """A failure reported to the user as one line; `status` is the exit status."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status


@dataclass
class SpecSource:
    text: str
    label: str  # names the spec in titles: "preset default", "my.json"
    # The text as read, when overrides rewrote it: the module's parse messages
    # are reported against this one, whose lines and columns the user knows.
    original: str | None = None


def load_spec(spec_path: str | None, preset: str | None, seed: int | None = None,
              bars: int | None = None) -> SpecSource:
    """Reads the spec named on the command line (the default preset when
    neither a file nor a preset is given) and applies the overrides."""
    if spec_path is not None:
        text = read_text_file(spec_path, "spec file")
        label = "stdin" if spec_path == "-" else Path(spec_path).name
    else:
        name = preset or presets.DEFAULT
        try:
            text = presets.spec_text(name)
        except KeyError:
            known = ", ".join(presets.names())
            raise CliError(f"unknown preset {name!r} (known: {known})") from None
        label = f"preset {name}"
    if seed is None and bars is None:
        return SpecSource(text, label)
    rewritten = override_fields(text, seed=seed, bars=bars)
    if rewritten is None:
        # Only a text that is not a spec document can fail to be rewritten;
        # the module says what is wrong with it.
        open_synth(SpecSource(text, label))
        raise CliError("cannot apply --seed/--bars: the spec is not a JSON object or array")
    return SpecSource(rewritten, label, original=text)


def read_text_file(path: str, what: str) -> str:
    """The file's text ('-': standard input). A byte-order mark belongs to the
    file's encoding, not to its text, and is dropped with it."""
    try:
        if path == "-":
            return sys.stdin.buffer.read().decode("utf-8-sig")
        return Path(path).read_bytes().decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise CliError(f"cannot read {what} {path}: not UTF-8 text (byte {e.start})") from None
    except OSError as e:
        raise CliError(f"cannot read {what} {path}: {e.strerror or e}") from None


# --- Overrides ----------------------------------------------------------------------------------------------

class _Number(str):
    """A JSON number kept as the text it was written in."""


class _Members(list):
    """A JSON object as its (key, value) pairs, in text order and with repeated
    keys kept, so that rewriting a spec leaves the module the same document."""


class _NotPlainJson(ValueError):
    pass


def _refuse_constant(name: str):
    raise _NotPlainJson(name)


def _parse_keeping_text(text: str):
    return json.loads(text, parse_float=_Number, parse_int=_Number, parse_constant=_refuse_constant,
                      object_pairs_hook=_Members)


def _write(value, out: list[str]) -> None:
    if isinstance(value, _Number):
        out.append(value)
    elif isinstance(value, _Members):
        out.append("{")
        for i, (key, item) in enumerate(value):
            if i:
                out.append(",")
            out.append(json.dumps(key, ensure_ascii=False))
            out.append(":")
            _write(item, out)
        out.append("}")
    elif isinstance(value, list):
        out.append("[")
        for i, item in enumerate(value):
            if i:
                out.append(",")
            _write(item, out)
        out.append("]")
    else:
        out.append(json.dumps(value, ensure_ascii=False))


def override_fields(text: str, seed: int | None, bars: int | None) -> str | None:
    """The spec text with `seed` and/or `bars` replaced, everything else kept
    digit for digit. Nothing else changes: in particular the regime lengths are
    not re-tiled, so a `bars` that no longer matches them is the module's to
    refuse. None when the text is not a JSON object or an array of at least
    two elements."""
    try:
        doc = _parse_keeping_text(text.strip(_WHITE_SPACE))
    except (ValueError, RecursionError):
        return None
    changes = [(0, "seed", seed), (1, "bars", bars)]
    if isinstance(doc, _Members):
        for _, key, value in changes:
            if value is None:
                continue
            hits = [i for i, (k, _) in enumerate(doc) if k == key]
            for i in hits:
                doc[i] = (key, _Number(str(value)))
            if not hits:
                doc.append((key, _Number(str(value))))
    elif isinstance(doc, list) and len(doc) >= 2:
        # The array form of a spec holds its fields in order: seed first, then bars.
        for pos, _, value in changes:
            if value is not None:
                doc[pos] = _Number(str(value))
    else:
        return None
    out: list[str] = []
    _write(doc, out)
    return "".join(out)


# --- Module calls -------------------------------------------------------------------------------------------

def open_synth(source: SpecSource) -> Synth:
    """A handle on the spec, or CliError with the module's own message."""
    try:
        return Synth(source.text)
    except ValueError as e:
        message = str(e)
    if source.original is not None and message.startswith("parse: "):
        try:
            Synth(source.original)
        except ValueError as e:
            message = str(e)
    raise CliError(message)


def spec_document(text: str):
    """The parsed spec text, read as the constructor reads it (after trimming
    white space). Only for texts the module has accepted."""
    return json.loads(text.strip(_WHITE_SPACE))


def spec_text_for_value_reading(text: str) -> str:
    """The text without the white space that only the constructor trims, for
    readers that take a spec as a command's "spec" member does."""
    return text.strip(_WHITE_SPACE)


def has_spec(text: str) -> bool:
    """Whether the constructor would keep a spec for this text (it keeps none
    for an empty text or exactly "{}")."""
    return text.strip(_WHITE_SPACE) not in ("", "{}")


def run_command(synth: Synth, cmd: str) -> str:
    """The module's answer to a command; its error envelope becomes CliError."""
    try:
        response = synth.command(json.dumps({"cmd": cmd}))
    except MemoryError:
        raise CliError("out of memory: the run is too large for this machine") from None
    if response.startswith('{"ok":false,"error":'):
        raise CliError(json.loads(response)["error"])
    return response


@dataclass
class StreamEvent:
    text: str  # the event object exactly as the module wrote it
    ts: int


def split_events(response: str) -> list[StreamEvent]:
    """The events of a "generate_stream" answer, each as its own text."""
    prefix = '{"events":['
    if not response.startswith(prefix):
        raise CliError("unexpected answer from the module: no event list")
    decoder = JSONDecoder()
    events = []
    pos = len(prefix)
    if response[pos] == "]":
        return events
    while True:
        event, end = decoder.raw_decode(response, pos)
        record = event[_RECORD_KEY[event["type"]]]
        events.append(StreamEvent(response[pos:end], record["ts"]))
        if response[end] == "]":
            return events
        pos = end + 1


_RECORD_KEY = {"candle": "candle", "book": "snapshot", "trade": "trade", "funding": "sample"}


# --- Optional extras ----------------------------------------------------------------------------------------

def require(module: str, extra: str, what: str):
    """Imports `module`, or fails naming the extra that installs it."""
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".")[0]
        raise CliError(f"{what} needs {top}: pip install talpen_synth[{extra}]") from None
