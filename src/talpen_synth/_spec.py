"""A spec's fields, as the native module reads them.

The module alone knows how a spec text is read (white space, the text that
holds no spec, the object and array forms, defaults); Python asks it for the
spec's one normalised form and reads fields from that.
"""

from __future__ import annotations

import json
from typing import TypedDict, cast

from . import _talpen_columns


class Regime(TypedDict):
    kind: str
    len: int


class SpecFields(TypedDict):
    """A normalised spec: an object with every field present, in the module's
    order. Only the fields that Python reads are typed; the others are kept."""

    seed: int
    bars: int
    regimes: list[Regime]


def normalize(text: str) -> SpecFields | None:
    """The spec of `text`, read exactly as the ``Synth`` constructor reads it;
    None for a text that holds no spec (empty, white space, ``{}``).

    Raises ValueError with the constructor's message. Every double comes back
    bit for bit: the module writes the digits that read back as the same
    double.
    """
    normalized = _talpen_columns.normalize_spec(text)
    return None if normalized is None else cast(SpecFields, json.loads(normalized))


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
