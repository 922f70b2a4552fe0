"""A spec's fields, as the native module reads them.

The module alone knows how a spec text is read (white space, the text that
holds no spec, the object and array forms, defaults); Python asks it for the
spec's one normalised form and reads fields from that.
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from typing import Any, TypedDict, cast

from . import _talpen_columns


class ExactFloat(float):
    """A double of a normalised spec together with the module's text for it.

    The module's number reader does not always round to the nearest double, so
    Python's own digits for a value (its ``repr``) can read back as a
    neighbour; the module's text reads back to the exact bits. As a float it
    is Python's nearest reading of that text, good for showing, not for
    writing back: `spec_text` writes the module's text.
    """

    text: str

    def __new__(cls, text: str) -> ExactFloat:
        value = super().__new__(cls, text)
        value.text = text
        return value


def spec_text(value: Any) -> str:
    """The JSON text of a spec value, each `ExactFloat` written as the
    module's own text for it, so the spec runs exactly as the one it came
    from; anything else as `json.dumps` writes it."""
    # The common types first, by exact type: a long run's tiled regimes are
    # hundreds of thousands of small objects.
    kind = type(value)
    if kind is ExactFloat:
        return cast(ExactFloat, value).text
    if kind is int:
        return int.__repr__(value)
    if kind is str:
        return _text_of(value)
    if kind is float and math.isfinite(value):
        return float.__repr__(value)  # as json.dumps writes a finite double
    if kind is dict:
        keys = _KEY_TEXTS
        return "{" + ",".join([(keys.get(k) or _key_text(k)) + ":" + spec_text(v) for k, v in value.items()]) + "}"
    if isinstance(value, ExactFloat):
        return value.text
    if isinstance(value, Mapping):
        return "{" + ",".join(_key_text(k) + ":" + spec_text(v) for k, v in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ",".join([spec_text(v) for v in value]) + "]"
    return json.dumps(value)


_KEY_TEXTS: dict[Any, str] = {}
_TEXTS: dict[str, str] = {}


def _key_text(key: Any) -> str:
    """A member name as json.dumps writes it (a non-text key becomes its
    text), remembered: a long run's regimes repeat the same four names."""
    text = _KEY_TEXTS.get(key)
    if text is None:
        text = json.dumps({key: None}, separators=(",", ":"))[1:-6]
        # Only names are kept: True, 1 and 1.0 are one key to a dict but
        # are written differently.
        if type(key) is str and len(_KEY_TEXTS) < 1024:
            _KEY_TEXTS[key] = text
    return text


def _text_of(value: str) -> str:
    """A text value as json.dumps writes it, short ones (regime kinds)
    remembered."""
    text = _TEXTS.get(value)
    if text is None:
        text = json.dumps(value)
        if len(value) <= 16 and len(_TEXTS) < 1024:
            _TEXTS[value] = text
    return text


class Regime(TypedDict):
    kind: str
    len: int
    drift: float
    vol: float


class Funding(TypedDict):
    interval_bars: int
    base_rate: float
    sensitivity: float


class Microstructure(TypedDict):
    book_depth: int
    spread_bps: float
    trade_rate: float
    funding: Funding | None


class SpecFields(TypedDict):
    """A normalised spec: an object with every field present, in the module's
    order."""

    seed: int
    bars: int
    start_price: float
    start_ts: int
    bar_secs: int
    regimes: list[Regime]
    microstructure: Microstructure


def normalize(text: str) -> SpecFields | None:
    """The spec of `text`, read exactly as the ``Synth`` constructor reads it;
    None for a text that holds no spec (empty, white space, ``{}``).

    Raises ValueError with the constructor's message. Every double comes back
    as an `ExactFloat`, so `spec_text` of the result (or of a copy with other
    fields changed) gives the module the very same doubles.
    """
    found = normalize_with_text(text)
    return None if found is None else found[0]


def normalize_with_text(text: str) -> tuple[SpecFields, str] | None:
    """`normalize`, with the module's own text of the normalised spec (exact
    as `spec_text` of the spec is, and already made)."""
    normalized = _talpen_columns.normalize_spec(text)
    if normalized is None:
        return None
    return cast(SpecFields, json.loads(normalized, parse_float=exact_float)), normalized


_EXACT: dict[str, ExactFloat] = {}


def exact_float(text: str) -> ExactFloat:
    """The `ExactFloat` of a number's text, one object for each text seen
    recently: a long run's regimes repeat a few values hundreds of thousands
    of times. (An ExactFloat is never changed once made.)"""
    value = _EXACT.get(text)
    if value is None:
        value = ExactFloat(text)
        if len(_EXACT) >= 4096:
            _EXACT.clear()
        _EXACT[text] = value
    return value


def with_fields(spec: SpecFields, *, seed: int | None = None, bars: int | None = None) -> SpecFields:
    """A normalised `spec` with `seed` and/or `bars` replaced, every other
    value kept exactly (its JSON text gives the module the same doubles).
    Nothing else changes: the regime lengths are not re-tiled, so a `bars`
    that no longer matches them is the module's to refuse."""
    changed = spec.copy()
    if seed is not None:
        changed["seed"] = seed
    if bars is not None:
        changed["bars"] = bars
    return changed
