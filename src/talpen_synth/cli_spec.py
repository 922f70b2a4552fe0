"""Spec sources, field overrides and module calls for the command line.

Everything the user is told about a spec comes from the native module itself:
this file only finds the spec text (JSON, TOML or YAML), has the module read
it, applies `--seed`/`--bars` to the spec as read (tiling the regimes to a new
bar count), and turns the module's error envelopes into `CliError`s that name
the spec's file and, where the module names a field, its path.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from json import JSONDecoder
from pathlib import Path

from . import Synth, presets
from ._spec import Regime, SpecFields, normalize, with_fields
from .checks import price_range_warning
from .frames import spec_json
from .spec_files import (SpecFile, SpecFileError, bad_spec_path, describe_error, read_spec_file,
                         scheduled_bars)

U64_MAX = 2**64 - 1

# Tiling never writes more regimes than this: a spec that needs more is
# better written out as a file.
MAX_TILED_REGIMES = 1_000_000


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
    origin: str = ""  # names the spec in messages: the file as given, or "preset NAME"
    spec_file: SpecFile | None = None  # the file it came from
    notes: tuple[str, ...] = ()  # what the user is told on standard error before the run (tiling)


def load_spec(spec_path: str | None, preset: str | None, seed: int | None = None,
              bars: int | None = None, keep_regimes: bool = False) -> SpecSource:
    """Reads the spec named on the command line (the default preset when
    neither a file nor a preset is given) and applies the overrides. With
    `bars`, the regimes are tiled to that many bars unless `keep_regimes`."""
    spec_file = None
    if spec_path is not None:
        try:
            spec_file = read_spec_file(spec_path)
        except SpecFileError as e:
            raise CliError(str(e)) from None
        text, origin = spec_file.text, spec_file.name
        label = "stdin" if spec_path == "-" else Path(spec_path).name
    else:
        name = preset or presets.DEFAULT
        try:
            text = presets.spec_text(name)
        except KeyError:
            raise unknown_preset(name) from None
        label = origin = f"preset {name}"
    source = SpecSource(text, label, None, origin, spec_file)
    try:
        # The module's messages point into the text as read, whose lines and
        # columns the user knows, overrides or not.
        spec = normalize(text)
    except ValueError as e:
        raise CliError(spec_error(source, str(e))) from None
    if spec is None:
        # A text that holds no spec ("{}"): every command would fail with the
        # module's own "no spec set", so it does here, named by the file.
        run_spec_command(source, "generate")
    if spec is None or (seed is None and bars is None):
        return SpecSource(text, label, spec, origin, spec_file)
    spec = with_fields(spec, seed=seed, bars=bars)
    notes: tuple[str, ...] = ()
    if bars is not None and not keep_regimes:
        tiled = tile_regimes(spec, bars)
        if tiled is not None:
            spec, note = tiled
            notes = (note,) + drift_warning(spec["regimes"], bars)
    return SpecSource(spec_json(spec), label, spec, origin, spec_file, notes)


def tile_regimes(spec: SpecFields, bars: int) -> tuple[SpecFields, str] | None:
    """The spec with its regime schedule tiled to `bars` bars, and a note that
    says so: the regimes repeat in order and the last one is cut short, so
    every regime keeps its length (a 15-minute crash stays one). None when
    nothing needs tiling, or nothing can be tiled (the module then judges the
    spec as it is)."""
    regimes = spec["regimes"]
    lengths = [r["len"] for r in regimes]
    schedule = sum(lengths)
    if bars == 0 or not regimes or schedule == bars or 0 in lengths:
        return None
    passes, rest = divmod(bars, schedule)
    if passes * len(regimes) > MAX_TILED_REGIMES:
        raise CliError(f"--bars {bars}: tiling the {schedule}-bar regime schedule would take "
                       f"{passes * len(regimes)} regimes; write the regimes out in a spec file, or "
                       f"keep them with --keep-regimes")
    tiled: list[Regime] = []
    left = bars
    take = length = 0
    while left:
        for regime in regimes:
            length = regime["len"]
            take = min(length, left)
            piece = regime.copy()
            piece["len"] = take
            tiled.append(piece)
            left -= take
            if not left:
                break
    changed = spec.copy()
    changed["regimes"] = tiled
    if bars < schedule:
        how = f"the first {_bars(bars)} of the {schedule}-bar regime schedule"
    else:
        times = {1: "once", 2: "twice"}.get(passes, f"{passes} times")
        how = f"the {schedule}-bar regime schedule {times}" + (f", then its first {_bars(rest)}" if rest else "")
    cut = ", the last cut short" if take < length else ""
    note = (f"--bars {bars}: regimes tiled: {how} ({len(tiled)} regime{'s' if len(tiled) > 1 else ''}{cut}; "
            f"--keep-regimes keeps them as written)")
    return changed, note


def drift_warning(regimes: list[Regime], bars: int) -> tuple[str, ...]:
    """A warning when tiling the regimes carries the price out of any
    market's range: a tiled schedule compounds its drift pass after pass."""
    moved = price_range_warning(list(regimes))
    if moved is None:
        return ()
    return (f"--bars {bars}: warning: {moved}. A shorter --bars, or a spec file with less drift, keeps them in range",)


def _bars(n: int) -> str:
    return "1 bar" if n == 1 else f"{n} bars"


# --- Module calls -------------------------------------------------------------------------------------------

def open_synth(source: SpecSource) -> Synth:
    """A handle on the spec, or CliError with the module's own message, named
    by where the spec came from and, where the module names a field, with the
    field's path."""
    try:
        return Synth(source.text)
    except ValueError as e:
        raise CliError(spec_error(source, str(e))) from None


_SUM_RULE = "bad spec: sum of regime lengths must equal bars"


def unknown_preset(name: str) -> CliError:
    """The error for a spec preset `name` that does not exist, pointing to
    the universe commands when it names a universe."""
    from .universe import preset_index
    known = ", ".join(presets.names())
    hint = f"; {name} is a universe: run it with talpen-synth universe" if name in preset_index() else ""
    return CliError(f"unknown preset {name!r} (known: {known}){hint}")


def spec_error(source: SpecSource, message: str) -> str:
    """The module's message about a spec or its run, as the user is told it."""
    if message.startswith("parse: unknown field `instruments`"):
        told = describe_error(source.spec_file, message) if source.spec_file is not None else (
            f"{source.origin}: {message}" if source.origin else message)
        return f"{told} (this looks like a universe: run it with talpen-synth universe)"
    if message.startswith("parse: ") and source.spec_file is not None:
        return describe_error(source.spec_file, message)
    where = f"{source.origin}: " if source.origin else ""
    if message == "bad spec: no spec set":
        return f"{where}{message} (an empty object is no spec)"
    numbers = scheduled_bars(source.text) if message == _SUM_RULE else None
    if numbers is not None:
        return f"{where}{message} (the regimes add up to {numbers[0]} bars, bars is {numbers[1]})"
    if message.startswith("bad spec: "):
        path = bad_spec_path(source.text, message)
        if path is not None:
            return f"{where}{path}: {message}"
    return f"{where}{message}"


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


def run_spec_command(source: SpecSource, cmd: str) -> str:
    """The module's answer to a command on the source's spec; its failures
    named as `spec_error` names them."""
    synth = open_synth(source)
    try:
        return run_command(synth, cmd)
    except CliError as e:
        if str(e).startswith(("bad spec: ", "numeric: ", "parse: ")):
            raise CliError(spec_error(source, str(e))) from None
        raise


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
