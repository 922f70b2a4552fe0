"""Spec sources, field overrides and module calls for the command line.

Everything the user is told about a spec comes from the native module itself:
this file only finds the spec text, has the module read it, applies
`--seed`/`--bars` to the spec as read without judging them, and turns the
module's error envelopes into `CliError`s.
"""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass
from json import JSONDecoder
from pathlib import Path

from . import Synth, presets
from ._spec import SpecFields, normalize, with_fields
from .frames import spec_json

U64_MAX = 2**64 - 1


class CliError(Exception):
    """A failure reported to the user as one line; `status` is the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


@dataclass(frozen=True)
class SpecSource:
    text: str  # what the handle is made from: the text as read, or the spec with its overrides
    label: str  # names the spec in titles: "preset default", "my.json"
    spec: SpecFields | None  # the fields of `text`; None when it holds no spec


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
    try:
        # The module's messages point into the text as read, whose lines and
        # columns the user knows, overrides or not.
        spec = normalize(text)
    except ValueError as e:
        raise CliError(str(e)) from None
    if spec is None or (seed is None and bars is None):
        # A text that holds no spec has no fields to replace: every command
        # then fails with the module's own "no spec set".
        return SpecSource(text, label, spec)
    spec = with_fields(spec, seed=seed, bars=bars)
    return SpecSource(spec_json(spec), label, spec)


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


# --- Module calls -------------------------------------------------------------------------------------------

def open_synth(source: SpecSource) -> Synth:
    """A handle on the spec, or CliError with the module's own message."""
    try:
        return Synth(source.text)
    except ValueError as e:
        raise CliError(str(e)) from None


def held_spec(source: SpecSource, synth: Synth) -> SpecFields:
    """The spec's fields; for a source that holds no spec, the module's own
    failure of a run without one."""
    if source.spec is None:
        run_command(synth, "generate")
        raise CliError("the module ran without a spec")  # run_command has failed already
    return source.spec


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
    events: list[StreamEvent] = []
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
