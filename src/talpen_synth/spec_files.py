"""Spec files as people write them: JSON, TOML or YAML, chosen by extension.

A JSON file goes to the module as it is, so the module's messages point into
the user's own lines and columns. A TOML file (standard library; ``tomli`` on
Python 3.10) or a YAML file (extra ``yaml``: PyYAML) is read by its parser and
written out as compact JSON, remembering which field each stretch of that
text holds, so that what the module says about a value is reported against
the field's path in the file (``regimes[2].vol``) and not against a text the
user never saw.

Every message names the file.
"""

from __future__ import annotations

import datetime as _dt
import json
import math
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal

__all__ = ["SpecFile", "SpecFileError", "read_spec_file", "spec_format", "describe_error"]

_TOML_INT_MAX = 2**63 - 1
_TOML_INT_MIN = -2**63


class SpecFileError(ValueError):
    """A spec file that cannot be read; the message names the file."""


@dataclass(frozen=True)
class Span:
    start: int
    end: int  # one past the last character
    path: str


@dataclass(frozen=True)
class SpecFile:
    """A spec read from a file, as the JSON text the module takes."""

    text: str
    name: str  # how messages name the file: its path as given, or "standard input"
    format: Literal["json", "toml", "yaml"]
    # For a converted file: where each key and value of `text` came from.
    spans: tuple[Span, ...] = field(default=(), repr=False)


def spec_format(path: str) -> Literal["json", "toml", "yaml"]:
    """The format a spec file is read in, by its extension (JSON otherwise)."""
    suffix = Path(path).suffix.lower()
    if suffix == ".toml":
        return "toml"
    if suffix in (".yaml", ".yml"):
        return "yaml"
    return "json"


def read_spec_file(path: str) -> SpecFile:
    """Reads a spec file ('-': JSON from standard input) into JSON text.

    Raises SpecFileError, naming the file, for a file that cannot be read, is
    empty, does not parse (with the parser's line and column), or holds a
    value that JSON cannot carry to the module.
    """
    name = "standard input" if path == "-" else path
    try:
        raw = sys.stdin.buffer.read() if path == "-" else Path(path).read_bytes()
        # A byte-order mark belongs to the file's encoding, not to its text.
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise SpecFileError(f"cannot read spec file {name}: not UTF-8 text (byte {e.start})") from None
    except OSError as e:
        raise SpecFileError(f"cannot read spec file {name}: {e.strerror or e}") from None
    if not text.strip():
        raise SpecFileError(f"{name}: the file is empty" if path != "-" else "standard input is empty")
    fmt = "json" if path == "-" else spec_format(path)
    if fmt == "json":
        return SpecFile(text, name, "json")
    value = _parse_toml(text, name) if fmt == "toml" else _parse_yaml(text, name)
    if value is None or value == {}:
        raise SpecFileError(f"{name}: the file holds no spec (only comments or an empty document)")
    writer = _JsonWriter(name, fmt)
    writer.value(value, "")
    return SpecFile("".join(writer.out), name, fmt, tuple(writer.spans))


# --- Parsers --------------------------------------------------------------------------------------------------

_TOML_POSITION = re.compile(r"^(.*) \(at line (\d+), column (\d+)\)$", re.S)


def _parse_toml(text: str, name: str) -> Any:
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - the package's own dependency on 3.10
        import tomli as tomllib
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        message = str(e)
        m = _TOML_POSITION.match(message)
        if m is not None:
            message = f"{m.group(1)} at line {m.group(2)} column {m.group(3)}"
        raise SpecFileError(f"{name}: parse: {message}") from None


def _parse_yaml(text: str, name: str) -> Any:
    try:
        import yaml
    except ImportError:
        raise SpecFileError(f"{name}: YAML spec files need PyYAML: pip install talpen_synth[yaml]") from None
    try:
        return yaml.safe_load(text)
    except yaml.MarkedYAMLError as e:
        problem = e.problem or e.context or "not YAML"
        mark = e.problem_mark or e.context_mark
        where = f" at line {mark.line + 1} column {mark.column + 1}" if mark is not None else ""
        raise SpecFileError(f"{name}: parse: {problem}{where}") from None
    except yaml.YAMLError as e:
        raise SpecFileError(f"{name}: parse: {e}") from None


# --- Compact JSON with the path of every stretch ----------------------------------------------------------------

class _JsonWriter:
    def __init__(self, name: str, fmt: Literal["json", "toml", "yaml"]) -> None:
        self.name = name
        self.format = fmt
        self.out: list[str] = []
        self.spans: list[Span] = []
        self.offset = 0

    def _put(self, text: str) -> None:
        self.out.append(text)
        self.offset += len(text)

    def _refuse(self, path: str, what: str) -> SpecFileError:
        return SpecFileError(f"{self.name}: {path or 'the document'}: {what}")

    def value(self, value: Any, path: str) -> None:
        start = self.offset
        if value is None or isinstance(value, bool):
            self._put(json.dumps(value))
        elif isinstance(value, int):
            if self.format == "toml" and not _TOML_INT_MIN <= value <= _TOML_INT_MAX:
                raise self._refuse(path, f"{value} is beyond TOML's integers (at most 2^63 - 1 = {_TOML_INT_MAX}); "
                                         "a larger seed needs a JSON spec file (or --seed)")
            self._put(str(value))
        elif isinstance(value, float):
            if not math.isfinite(value):
                raise self._refuse(path, f"{value} is not a number a spec can hold (every spec number is finite)")
            self._put(repr(value))
        elif isinstance(value, str):
            self._put(json.dumps(value, ensure_ascii=False))
        elif isinstance(value, dict):
            self._put("{")
            for i, (key, item) in enumerate(value.items()):
                if not isinstance(key, str):
                    raise self._refuse(path, f"the key {key!r} is not text")
                member = f"{path}.{key}" if path else key
                if i:
                    self._put(",")
                key_start = self.offset
                self._put(json.dumps(key, ensure_ascii=False))
                self.spans.append(Span(key_start, self.offset, member))
                self._put(":")
                self.value(item, member)
            self._put("}")
        elif isinstance(value, list):
            self._put("[")
            for i, item in enumerate(value):
                if i:
                    self._put(",")
                self.value(item, f"{path}[{i}]")
            self._put("]")
        elif isinstance(value, (_dt.date, _dt.time)):
            raise self._refuse(path, "a date or time is not a spec value (timestamps are whole seconds "
                                     "since the epoch, bar_secs whole seconds)")
        else:
            raise self._refuse(path, f"a {type(value).__name__} value has no place in a spec")
        self.spans.append(Span(start, self.offset, path))


# --- The module's messages against the file ---------------------------------------------------------------------

_POSITION = re.compile(r"^(parse: .*) at line 1 column (\d+)$", re.S)
_YAML_TEXT_NUMBER = re.compile(r'invalid type: string "([^"]*)", expected f64')


def describe_error(spec_file: SpecFile, message: str) -> str:
    """The module's `message` about the converted text of a TOML or YAML file,
    with its position (in the JSON text) replaced by the field's path."""
    m = _POSITION.match(message)
    if m is None or not spec_file.spans:
        return f"{spec_file.name}: {message}"
    offset = int(m.group(2))
    # The innermost key or value whose stretch holds the position: the
    # module points just past a key or value, or at an array or object.
    holders = [s for s in spec_file.spans if s.start <= offset <= s.end]
    path = min(holders, key=lambda s: s.end - s.start).path if holders else ""
    text = m.group(1)
    hint = ""
    number = _YAML_TEXT_NUMBER.search(text)
    if spec_file.format == "yaml" and number is not None and _is_float(number.group(1)):
        hint = f" (YAML reads {number.group(1)} as text: write it with a decimal point, as in 1.0e-3)"
    return f"{spec_file.name}: {path + ': ' if path else ''}{text}{hint}"


def _is_float(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


# The field each validation message is about. The module names the field in
# its words; the path says where it is in the file.
_RULE_PATHS = {
    "bad spec: bars must be > 0": "bars",
    "bad spec: start_price must be finite and > 0": "start_price",
    "bad spec: bar_secs must be > 0": "bar_secs",
    "bad spec: regimes must not be empty": "regimes",
    "bad spec: book_depth must be > 0": "microstructure.book_depth",
    "bad spec: spread_bps must be finite and >= 0": "microstructure.spread_bps",
    "bad spec: trade_rate must be finite and >= 0": "microstructure.trade_rate",
    "bad spec: funding.interval_bars must be > 0": "microstructure.funding.interval_bars",
    "bad spec: funding base_rate and sensitivity must be finite": "microstructure.funding",
    "bad spec: start_ts + (bars - 1) * bar_secs overflows i64": "start_ts",
}
_REGIME_RULES = {
    "bad spec: regime len must be > 0": "len",
    "bad spec: regime drift must be finite": "drift",
    "bad spec: regime vol must be finite and >= 0": "vol",
}


def bad_spec_path(text: str, message: str) -> str | None:
    """The path of the field that a "bad spec: ..." message of the module is
    about, for a spec text that the module decodes; None when the message
    names no one field.

    A rule about one regime does not say which: each regime is then given to
    the module on its own, and the first one it refuses with the same message
    is the one. (The module checks every regime before it adds up their
    lengths, so the bar count of that test spec does not matter.)
    """
    if message in _RULE_PATHS:
        return _RULE_PATHS[message]
    field_name = _REGIME_RULES.get(message)
    if field_name is None:
        return None
    from . import Synth

    fields = _raw_fields(text)
    regimes = fields.get("regimes") if fields is not None else None
    for i, regime in enumerate(regimes if isinstance(regimes, list) else []):
        alone = {"seed": 0, "bars": 1, "start_price": 1.0, "regimes": [regime],
                 "microstructure": {"book_depth": 1, "spread_bps": 0.0, "trade_rate": 0.0}}
        try:
            Synth(json.dumps(alone))
        except ValueError as e:
            if str(e) == message:
                return f"regimes[{i}].{field_name}"
    return None


# The fields of a spec in the order of its array form.
_SPEC_FIELDS = ("seed", "bars", "start_price", "start_ts", "bar_secs", "regimes", "microstructure")


def _raw_fields(text: str) -> dict[str, Any] | None:
    """The top-level fields of a spec text that the module decodes but may
    refuse (so it has no normalised form), by name, in either of its forms."""
    try:
        doc = json.loads(text.strip())
    except ValueError:
        return None
    if isinstance(doc, list):
        return dict(zip(_SPEC_FIELDS, doc))
    return doc if isinstance(doc, dict) else None


def scheduled_bars(text: str) -> tuple[int, int] | None:
    """The bars that the regimes of a spec text add up to, and its `bars`."""
    fields = _raw_fields(text)
    if fields is None or not isinstance(fields.get("regimes"), list):
        return None
    try:
        lengths = [r["len"] if isinstance(r, dict) else r[1] for r in fields["regimes"]]
        return sum(lengths), int(fields["bars"])
    except (KeyError, IndexError, TypeError, ValueError):
        return None
