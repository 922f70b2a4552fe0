"""Output files that are never left half-written under their final name.

Each file is written under a temporary name in its own folder and renamed
into place once complete: a reader sees the old file or the new one, and a
failed or interrupted write leaves no file that looks finished.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from .staging import file_destination, new_file_mode

__all__ = ["atomic_path", "write_bytes", "write_text"]


@contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[Path]:
    """A temporary path beside `path` to write to; renamed to `path` when the
    block ends without an exception, removed otherwise."""
    final = file_destination(path)
    if final is None:  # a device or a pipe: written straight into
        yield Path(path)
        return
    fd, name = tempfile.mkstemp(prefix=f".{final.name}.", suffix=".part", dir=final.parent)
    os.close(fd)
    temporary = Path(name)
    try:
        yield temporary
        # mkstemp makes the file readable by its owner only; the finished file
        # gets the permissions of the file it replaces, or of any new file.
        os.chmod(temporary, new_file_mode(final))
        os.replace(temporary, final)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def write_bytes(path: str | os.PathLike[str], data: bytes) -> None:
    with atomic_path(path) as temporary:
        temporary.write_bytes(data)


def write_text(path: str | os.PathLike[str], text: str) -> None:
    """Writes `text` as UTF-8, line ends as they are."""
    write_bytes(path, text.encode("utf-8"))
