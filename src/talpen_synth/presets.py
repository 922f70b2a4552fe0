"""Named scenarios shipped with the package.

Each scenario is a spec file ``presets/<name>.json``; ``presets/index.json``
maps every name to a one-line description, in the order in which they are
listed. The descriptions live apart from the specs because a spec object
accepts no keys beyond its own fields.

    from talpen_synth import presets, Synth

    for name, description in presets.index().items():
        print(name, description)
    synth = Synth(presets.spec_text("flash-crash"))
"""

from __future__ import annotations

import json
import sys
from importlib import resources
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    if sys.version_info >= (3, 11):
        from importlib.resources.abc import Traversable
    else:
        from importlib.abc import Traversable

DEFAULT = "default"


def _folder() -> Traversable:
    return resources.files("talpen_synth").joinpath("presets")


def index() -> dict[str, str]:
    """Every preset name mapped to its one-line description, in listing order."""
    text = _folder().joinpath("index.json").read_text(encoding="utf-8")
    entries: dict[str, str] = json.loads(text)
    return entries


def names() -> list[str]:
    return list(index())


def spec_text(name: str) -> str:
    """The spec text of the preset `name`, exactly as shipped.

    Raises KeyError for a name that is not in the index."""
    if name not in index():
        raise KeyError(name)
    return _folder().joinpath(f"{name}.json").read_text(encoding="utf-8")
