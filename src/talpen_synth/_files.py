"""Files written whole or not at all."""

from __future__ import annotations

import json
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any


def write_text_atomic(path: str | os.PathLike[str], text: str) -> None:
    """Writes `text` under a staging name beside `path` and renames it into
    place, so that `path` never holds half a file."""
    target = Path(path)
    staging = target.with_name(f".{target.name}.{os.getpid()}.tmp")
    try:
        staging.write_text(text, encoding="utf-8")
        os.replace(staging, target)
    except BaseException:
        staging.unlink(missing_ok=True)
        raise


def write_json_atomic(path: str | os.PathLike[str], doc: Mapping[str, Any] | Sequence[Any]) -> None:
    write_text_atomic(path, json.dumps(doc, indent=2) + "\n")
