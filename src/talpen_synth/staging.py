"""Outputs that appear under their final name complete or not at all.

Everything is first written beside its destination under a staging name,
``.NAME.partial-PID`` (PID: the writing process), flushed to disk, and renamed
into place only once complete. A folder is staged whole and renamed as one;
it replaces an existing folder only at that rename. A failure or an
interrupt removes the staging, so nothing is left under the final name.

A process killed outright (SIGKILL, a power cut) cannot clean up: its staging
stays behind, recognisable by its name. The next output into the same place
reports it and removes it, once the process that wrote it is gone.

A destination that is a symbolic link is followed: its target is staged
beside and replaced, and the link stays. One that is no regular file (a
device such as /dev/null, a pipe) cannot be replaced and is written straight
into, as a shell redirection would.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import errno
import hashlib
import json
import os
import re
import shutil
import signal
import stat
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from types import FrameType, TracebackType
from typing import Any, BinaryIO

__all__ = [
    "MANIFEST",
    "FileRecord",
    "HashingFile",
    "Interrupted",
    "StagedFile",
    "StagedFolder",
    "clean_stale",
    "file_destination",
    "hash_file",
    "interrupts_raise",
    "signals_held",
    "staging_path",
]

MANIFEST = "manifest.json"

_MARK = ".partial-"
_Report = Callable[[str], None]


class Interrupted(BaseException):
    """SIGTERM (or SIGHUP) arrived: raised in the main thread so that every
    staged output on the way out is removed, as for Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


@contextmanager
def interrupts_raise() -> Iterator[None]:
    """SIGTERM and SIGHUP raise Interrupted in the main thread inside the
    block (SIGINT already raises KeyboardInterrupt); the previous handlers
    come back after it. Elsewhere than the main thread this does nothing."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def handler(signum: int, frame: FrameType | None) -> None:
        raise Interrupted(signum)

    previous = {s: signal.signal(s, handler) for s in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for s, h in previous.items():
            signal.signal(s, h)


@contextmanager
def signals_held() -> Iterator[None]:
    """Holds SIGINT, SIGTERM and SIGHUP back in the block, delivered on
    leaving it: for starting threads. A KeyboardInterrupt raised inside
    Thread.start() leaves a thread running that nobody joins, not even the
    interpreter at its exit when it came before the thread had registered;
    if that thread is then in the module's native code, the pthread_exit
    that ends it unwinds through C++ frames, which aborts the process.
    Threads started here inherit the mask, so the signals go to the main
    thread, as Python wants them. Elsewhere than the main thread, or without
    pthread_sigmask, this does nothing."""
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def staging_path(final: Path) -> Path:
    """The name this process stages `final` under."""
    return final.with_name(f".{final.name}{_MARK}{os.getpid()}")


def file_destination(path: str | os.PathLike[str]) -> Path | None:
    """Where a file output is renamed into place: `path` itself, or the file
    a symbolic link names (so the link stays a link). None when `path` is no
    regular file to replace (a device, a pipe), to be written straight into.
    A folder, or a name that names none (``""``, ``/``), is refused."""
    final = Path(path)
    text = os.fspath(path)
    try:
        mode: int | None = os.stat(final).st_mode
    except FileNotFoundError:
        mode = None  # missing (or a dangling link): created by the rename
    # (Any other failure, a loop of links or a file taken for a folder, is
    # the writer's to report, as a shell redirection's would be.)
    if (mode is not None and stat.S_ISDIR(mode)) or not final.name or not text or text.endswith(os.sep):
        raise IsADirectoryError(errno.EISDIR, "is a folder, not a file", text or '""')
    if mode is not None and not stat.S_ISREG(mode):
        return None
    return Path(os.path.realpath(final)) if final.is_symlink() else final


def folder_destination(path: str | os.PathLike[str]) -> Path:
    """The folder a folder output replaces: `path`, or the folder a symbolic
    link names (so the link stays a link, and no staging is left beside it).
    The current folder, or one holding it, is refused."""
    final = Path(path)
    resolved = Path(os.path.realpath(final))
    if final.is_symlink() or final.name in ("", ".", ".."):
        final = resolved
    try:
        here = Path.cwd()
    except OSError:
        here = None
    # Replaced, the folder a shell is in (or one holding it) would leave that
    # shell in a deleted folder; an unset variable (--out "$DIR") names it.
    if not os.fspath(path) or not final.name or (here is not None and resolved in (here, *here.parents)):
        raise IsADirectoryError(errno.EINVAL, "is the current folder or holds it, which is not replaced",
                                os.fspath(path) or '""')
    return final


def new_file_mode(final: Path, new: int = 0o666) -> int:
    """The permissions of an output, staged and finished: those of the file
    or folder it replaces, so that a private one stays private; else those
    of anything this process makes (`new` less the umask)."""
    try:
        return stat.S_IMODE(os.stat(final).st_mode)
    except OSError:
        return new & ~process_umask()


def _alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # someone else's live process
    return True


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        path.unlink(missing_ok=True)


def clean_stale(final: Path, report: _Report | None = None) -> list[Path]:
    """Removes the staging of `final` that processes now gone left behind,
    telling `report` of each; returns what was removed. Staging of a live
    process (another run writing the same place) is left alone."""
    pattern = re.compile(re.escape(f".{final.name}{_MARK}") + r"(\d+)(-old)?\Z")
    removed: list[Path] = []
    try:
        entries = list(final.parent.iterdir())
    except OSError:
        return removed
    for entry in entries:
        m = pattern.match(entry.name)
        if m is None or _alive(int(m.group(1))):
            continue
        _remove(entry)
        removed.append(entry)
        if report is not None:
            report(f"removed {entry}, the unfinished output of process {m.group(1)}, which was stopped "
                   "before it completed")
    return removed


def _fsync_folder(folder: Path) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass  # some file systems cannot sync a folder; the rename still stands
    finally:
        os.close(fd)


def process_umask() -> int:
    # Read, not set and reset: os.umask would change it for every thread.
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("Umask:"):
                return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    return 0o022


class HashingFile:
    """A binary file that counts and hashes what is written to it (also as
    the sink of a pyarrow writer)."""

    def __init__(self, raw: BinaryIO) -> None:
        self.raw = raw
        self.size = 0
        self.sha256 = hashlib.sha256()

    def write(self, data: bytes | bytearray | memoryview) -> int:
        n = self.raw.write(data)
        self.sha256.update(data)
        self.size += len(data)
        return n

    def flush(self) -> None:
        self.raw.flush()

    def tell(self) -> int:
        return self.size

    def writable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return False

    @property
    def closed(self) -> bool:
        return self.raw.closed

    def close(self) -> None:
        self.raw.close()


class StagedFile:
    """One file written under its staging name and renamed to `final` by
    `commit()`; leaving the block without a commit (an exception, an
    interrupt) removes the staging and leaves `final` as it was.

    `file` counts and hashes what is written (`size`, `sha256`). An existing
    `final` is replaced only at the rename."""

    def __init__(self, final: str | os.PathLike[str], report: _Report | None = None) -> None:
        destination = file_destination(final)
        # A device or a pipe is written straight into (self.path is final).
        self.direct = destination is None
        self.final = Path(final) if destination is None else destination
        self.path = self.final if self.direct else staging_path(self.final)
        self._report = report
        self._raw: BinaryIO | None = None
        self.file: HashingFile | None = None
        self.committed = False

    def __enter__(self) -> StagedFile:
        if self.direct:
            self._raw = open(self.path, "wb")  # noqa: SIM115 - closed by commit or abort
        else:
            clean_stale(self.final, self._report)
            fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, new_file_mode(self.final))
            self._raw = os.fdopen(fd, "wb")  # noqa: SIM115 - closed by commit or abort
        self.file = HashingFile(self._raw)
        return self

    def write(self, data: bytes | bytearray | memoryview) -> int:
        assert self.file is not None
        return self.file.write(data)

    def commit(self) -> None:
        assert self._raw is not None
        self._raw.flush()
        if self.direct:
            self._raw.close()
            self.committed = True
            return
        os.fsync(self._raw.fileno())
        self._raw.close()
        os.chmod(self.path, new_file_mode(self.final))
        os.replace(self.path, self.final)
        self.committed = True
        _fsync_folder(self.final.parent)

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        if not self.committed:
            if self._raw is not None:
                try:
                    self._raw.close()
                except OSError:
                    pass  # a full disk fails the last flush as well
            if not self.direct:
                self.path.unlink(missing_ok=True)


@dataclass
class FileRecord:
    """One file of a folder output, as its manifest lists it."""

    name: str
    rows: int
    bytes: int
    sha256: str


def hash_file(path: Path, rows: int) -> FileRecord:
    """The manifest's record of a finished file, read back to hash it."""
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
            size += len(block)
    return FileRecord(path.name, rows, size, digest.hexdigest())


@dataclass
class StagedFolder:
    """A folder written whole under its staging name and renamed to `final`
    by `commit()`, which writes the manifest last. `final` may be missing or
    an empty folder; a non-empty one is refused unless `force`, and then
    replaced only at the rename. Leaving the block without a commit removes
    the staging."""

    final: Path
    force: bool = False
    report: _Report | None = None
    path: Path = field(init=False)
    files: list[FileRecord] = field(default_factory=list)
    committed: bool = False

    def __post_init__(self) -> None:
        self.final = folder_destination(self.final)
        self.path = staging_path(self.final)

    def check(self) -> None:
        """Refuses a destination that cannot be replaced (OSError with a
        message); call it before any work."""
        if self.final.exists() or self.final.is_symlink():
            if not self.final.is_dir():
                raise FileExistsError(errno.EEXIST, "exists and is not a folder", str(self.final))
            if not self.force and any(self.final.iterdir()):
                raise FileExistsError(errno.ENOTEMPTY, "folder exists and is not empty (--force replaces it)",
                                      str(self.final))
        if not self.final.parent.is_dir():
            raise FileNotFoundError(errno.ENOENT, "no such folder", str(self.final.parent))

    def __enter__(self) -> StagedFolder:
        self.check()
        clean_stale(self.final, self.report)
        self.path.mkdir(mode=new_file_mode(self.final, 0o777))
        return self

    def add(self, record: FileRecord) -> None:
        self.files.append(record)


    def commit(self, manifest: dict[str, Any], raw: dict[str, str] | None = None) -> None:
        """Syncs the files, writes the manifest (`manifest` plus the file
        list; a value that is a key of `raw` is written as that key's JSON
        text) and renames the folder into place."""
        for record in self.files:
            fd = os.open(self.path / record.name, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        text = json.dumps(dict(manifest, files=[vars(r) for r in self.files]), indent=2)
        for key, value in (raw or {}).items():
            text = text.replace(json.dumps(key), value)
        with open(self.path / MANIFEST, "x", encoding="utf-8") as f:
            f.write(text + "\n")
            f.flush()
            os.fsync(f.fileno())
        os.chmod(self.path, new_file_mode(self.final, 0o777))
        _fsync_folder(self.path)
        if self.final.is_dir() and any(self.final.iterdir()):
            _exchange(self.path, self.final)  # the old folder now has the staging name
            self.committed = True
            shutil.rmtree(self.path, ignore_errors=True)
        else:
            os.replace(self.path, self.final)  # over a missing or empty folder
            self.committed = True
        _fsync_folder(self.final.parent)

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        if not self.committed:
            shutil.rmtree(self.path, ignore_errors=True)


_RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def _exchange(a: Path, b: Path) -> None:
    """Swaps two folders in one step (Linux renameat2 RENAME_EXCHANGE), so
    that `b` is never missing; where the system cannot, the old `b` steps
    aside under `a`'s name first."""
    libc_name = ctypes.util.find_library("c")
    renameat2 = getattr(ctypes.CDLL(libc_name, use_errno=True), "renameat2", None) if libc_name else None
    if renameat2 is not None:
        if renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0:
            return
        err = ctypes.get_errno()
        if err not in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
            raise OSError(err, os.strerror(err), str(b))
    aside = a.with_name(a.name + "-old")
    os.rename(b, aside)
    os.rename(a, b)
    os.rename(aside, a)
