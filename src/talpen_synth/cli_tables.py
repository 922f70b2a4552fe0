"""Per-table files of a run: CSV, JSON lines or Parquet, written chunk by
chunk into a staged folder that is renamed into place when complete.

Four tables, one file each: candles; book, the book levels in long form (one
row per level, `level` 0 being the best price of its side); trades; funding.
CSV and JSON lines carry every number exactly as the module writes it, from
the native cursor. Parquet files get a row group per chunk.

Book and trade rows also carry `available_at`, the end of their bar (`ts` +
`bar_secs`): a bar's book is quoted around its close and its trades print
near it, so neither is known at the bar's opening time `ts`.

The folder gets `manifest.json`, written last: the spec, seed and version
that made it, and each file's rows, bytes and SHA-256.
"""

from __future__ import annotations

import os
import sys
import threading
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

from . import __version__
from ._extras import require
from .chunked import TABLE_COLUMNS, TEXT_BARS, TEXT_ROWS, bars_for_rows, write_rows
from .cli_args import counted
from .cli_spec import CliError, SpecSource, held_spec, open_synth, spec_error
from .frames import spec_json
from .staging import FileRecord, HashingFile, StagedFolder, hash_file, signals_held

FORMATS = ("csv", "jsonl", "parquet")
TABLES = tuple(TABLE_COLUMNS)

Report = Callable[[str], None]


def write_tables(source: SpecSource, out_dir: Path, fmt: str, progress: bool, force: bool = False,
                 report: Report | None = None) -> list[str]:
    """Runs the spec and writes its four tables into out_dir; answers one
    summary line per file. `report` is told of stale staging removed."""
    synth = open_synth(source)  # the module's verdict on the spec comes first, whatever the format
    spec = held_spec(source, synth)
    if fmt == "parquet":
        require("pyarrow", "frames", "--format parquet")
        require("pyarrow.parquet", "frames", "--format parquet")
    text = spec_json(spec)
    made: list[Path] = []  # folders above out_dir made for it, removed again unless it is written
    written = False
    try:
        folder = StagedFolder(out_dir, force=force, report=report)
        make_parents(out_dir, made)
        folder.check()
    except OSError as e:
        remove_empty(made)
        raise CliError(f"cannot write into {out_dir}: {e.strerror or e}") from None
    tables = len(TABLES) if fmt != "parquet" else 1
    bar = progress_bar(spec["bars"], passes=tables) if progress else None
    advance: Callable[[int], object] = bar.update if bar is not None else (lambda n: None)
    lock = threading.Lock()

    def locked_advance(n: int) -> None:
        with lock:
            advance(n)
    try:
        with folder:
            if fmt == "parquet":
                _write_parquet(source, text, spec, folder, locked_advance)
            else:
                _write_text_tables(source, text, spec, fmt, folder, locked_advance)
            syncing(bar)
            folder.commit({"spec": _RAW_SPEC, "seed": spec["seed"], "version": __version__, "format": fmt,
                           "bars": spec["bars"]}, raw={_RAW_SPEC: text})
        written = True
    except OSError as e:
        raise CliError(f"cannot write into {out_dir}: {e.strerror or e}") from None
    finally:
        if not written:
            remove_empty(made)
        if bar is not None:
            bar.close()
    return [f"wrote {out_dir / r.name} ({counted(r.rows, 'row')})" for r in folder.files]


_RAW_SPEC = "\0spec\0"  # stands for the spec's own text in the manifest


def make_parents(out_dir: Path, made: list[Path]) -> None:
    """Makes the missing folders above out_dir, outermost first, adding each
    to `made` as it is made."""
    missing = []
    parent = out_dir.parent
    while not parent.exists() and parent != parent.parent:
        missing.append(parent)
        parent = parent.parent
    for folder in reversed(missing):
        folder.mkdir(exist_ok=True)
        made.append(folder)


def remove_empty(made: list[Path]) -> None:
    """Removes the folders of `made`, innermost first, as far as they are
    empty: an output that was not written leaves nothing behind."""
    for folder in reversed(made):
        try:
            folder.rmdir()
        except OSError:
            break


def _write_text_tables(source: SpecSource, text: str, spec: Any, fmt: str, folder: StagedFolder,
                       advance: Callable[[int], None]) -> None:
    """The four tables at once, a thread and a cursor each: the cursors work
    without the interpreter lock, so the files are written side by side."""
    stop = threading.Event()
    finished = threading.Semaphore(0)  # a release per thread that has ended
    results: dict[str, FileRecord] = {}
    failures: list[BaseException] = []

    def write(table: str) -> None:
        name = f"{table}.{fmt}"
        try:
            with open(folder.path / name, "xb") as raw:
                out = HashingFile(raw)
                rows = write_rows(text, table, fmt, out, spec["start_ts"], spec["bar_secs"],
                                  bars_for_rows(spec, TEXT_ROWS, TEXT_BARS), progress=advance, stop=stop)
            results[table] = FileRecord(name, rows, out.size, out.sha256.hexdigest())
        except InterruptedError:
            pass
        except BaseException as error:
            failures.append(error)
            stop.set()
        finally:
            finished.release()

    # The book is the largest table: it starts first. Signals wait until
    # every thread has started, so that the finally joins them all. The
    # wait wakes for signals on a semaphore, not with Thread.join(timeout):
    # a KeyboardInterrupt inside that join can mark a running thread as
    # ended (CPython 3.11), and the join in the finally would then return
    # at once and leave it running as the interpreter exits.
    threads = [threading.Thread(target=write, args=(t,), name=f"talpen-{t}")
               for t in ("book", "trades", "candles", "funding")]
    try:
        with signals_held():
            for t in threads:
                t.start()
        for _ in threads:
            while not finished.acquire(timeout=0.1):
                pass
    finally:
        stop.set()
        for t in threads:
            if t.ident is not None:  # started
                t.join()
    if failures:
        error = failures[0]
        if isinstance(error, ValueError):
            raise CliError(spec_error(source, str(error))) from None
        raise error
    for table in TABLES:
        folder.add(results[table])


def _write_parquet(source: SpecSource, text: str, spec: Any, folder: StagedFolder,
                   advance: Callable[[int], None]) -> None:
    from .batches import PARQUET_BARS, PARQUET_ROWS, write_parquet_chunks
    metadata = {"talpen_synth.spec": text, "talpen_synth.seed": str(spec["seed"]),
                "talpen_synth.version": __version__}
    paths = {table: folder.path / f"{table}.parquet" for table in TABLES}
    try:
        rows = write_parquet_chunks(text, paths, metadata, spec["bar_secs"],
                                    bars_for_rows(spec, PARQUET_ROWS, PARQUET_BARS), progress=advance)
    except ValueError as e:
        raise CliError(spec_error(source, str(e))) from None
    # Hashed once written, side by side (hashing and reading work without the
    # interpreter lock): pyarrow writing through a Python file object would
    # take the lock for every page.
    with ThreadPoolExecutor(len(TABLES)) as pool:
        records = list(pool.map(lambda t: hash_file(paths[t], rows[t]), TABLES))
    for record in records:
        folder.add(record)


def progress_bar(total: int, desc: str = "writing", passes: int = 1) -> Any:
    """A tqdm bar of a run's `total` bars on stderr, or None when stderr is
    not a terminal or tqdm is not installed (the bar is a convenience, not a
    feature worth failing for). It shows from the first chunk on. Written in
    `passes` over the bars (tables, record lists), each told as it goes, the
    bar still counts the run's bars."""
    if not sys.stderr.isatty() or os.environ.get("TERM") == "dumb":
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    bar = tqdm(total=total, desc=desc, unit="bars", unit_scale=True, file=sys.stderr, leave=False, mininterval=0.2)
    return bar if passes == 1 else _Passes(bar, passes)


class _Passes:
    """A bar of bars told of each of several passes over them."""

    def __init__(self, bar: Any, passes: int) -> None:
        self.bar, self.passes = bar, passes

    def update(self, n: int) -> None:
        self.bar.update(n / self.passes)

    def close(self) -> None:
        self.bar.close()


def syncing(bar: Any) -> None:
    """Shows a progress_bar full, as "syncing", once everything is written:
    the passes need not end evenly (a record list may come whole at its
    end), and flushing a large output to disk can take seconds more."""
    if bar is None:
        return
    inner = bar.bar if isinstance(bar, _Passes) else bar
    inner.n = inner.total
    inner.set_description("syncing", refresh=True)
