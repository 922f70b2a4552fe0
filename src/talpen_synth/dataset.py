"""Datasets at scale: a spec or a universe over many seeds, as one
Hive-partitioned Parquet dataset, one task per seed, on local processes or a
Dask cluster.

Layout, one dataset per table (each has its own columns)::

    OUT/candles/seed=0/part-0.parquet                  a spec
    OUT/candles/seed=0/symbol=BTC/part-0.parquet       a universe
    OUT/book/...  OUT/trades/...  OUT/funding/...
    OUT/_dataset.json      what the dataset is of (the spec or the universe)
    OUT/_manifest.jsonl    one line per finished seed, with its row counts

Seed S of a spec runs the spec with its seed replaced by S (as ``sweep``
does); seed S of a universe gives each instrument, and the market source,
(its own seed + S × 0x9E3779B97F4A7C15) mod 2^64 (see
``UniverseSpec.with_seed``), so seed 0 is the universe as written. The
files hold the tables of ``to_arrow``, without the partition columns, which
the readers take from the folder names.

A task runs its seed chunk by chunk (a run cursor, or the universe's
instruments in lockstep) through ``pyarrow.parquet.ParquetWriter``, one row
group per chunk, in memory bounded by the chunk. A universe's seed is one
task, all its symbols together: its instruments are made in lockstep.

Resumable and idempotent: a task writes its seed's files under
``OUT/.staging`` and renames each table's folder into place when all are
complete; the manifest gets the seed's line only after that. A rerun skips
the seeds in the manifest and writes the others again, replacing whatever a
killed worker or an interrupted run left of them, so no row is ever there
twice. One run at a time per folder.
"""

from __future__ import annotations

import concurrent.futures as cf
import errno
import json
import multiprocessing
import numbers
import os
import shutil
import sys
import uuid
from collections.abc import Iterable, Mapping
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Union
from urllib.parse import quote

from . import _talpen_columns
from ._extras import require
from .batches import close_writers
from .chunked import chunk_size
from ._spec import normalize, spec_text, with_fields
from .frames import TABLE_NAMES, Spec, spec_json
from .universe import (PARQUET_ROWS, U64_MAX, UniverseLike, UniverseSpec, arrow_table, chunk_bars, is_universe,
                       read_universe)

__all__ = ["DatasetError", "DatasetSummary", "write_dataset", "parse_seeds"]

DEFINITION = "_dataset.json"
MANIFEST = "_manifest.jsonl"
STAGING = ".staging"
PART = "part-0.parquet"

# Tasks handed out ahead of the finished ones, per worker.
_PENDING_PER_WORKER = 2


class DatasetError(ValueError):
    """A dataset that cannot be written: a folder holding another dataset, a
    seed whose run fails (named), a worker or cluster lost."""


@dataclass(frozen=True)
class DatasetSummary:
    """What :func:`write_dataset` did: the seeds asked for, those written now
    and those the manifest had already, and the rows of every table over all
    the seeds asked for."""

    out: Path
    kind: str  # "spec" or "universe"
    seeds: tuple[int, ...]
    written: tuple[int, ...]
    skipped: tuple[int, ...]
    rows: dict[str, int] = field(default_factory=dict)


def parse_seeds(text: str) -> list[int]:
    """Seeds as the command line takes them: ``A:B`` (A to B - 1), a list
    ``a,b,c``, or both mixed (``0:8,100``); repeats are dropped."""
    seeds: list[int] = []
    for item in text.split(","):
        item = item.strip()
        try:
            if ":" in item:
                a, b = item.split(":")
                low, high = int(a, 10), int(b, 10)
                if low >= high:
                    raise ValueError(f"the range {item} holds no seed (A:B is A to B - 1)")
                for seed in (low, high - 1):  # before the range is laid out
                    if not 0 <= seed <= U64_MAX:
                        raise ValueError(f"seed {seed} is not a whole number from 0 to {U64_MAX}")
                seeds.extend(range(low, high))
            else:
                seeds.append(int(item, 10))
        except ValueError as e:
            told = str(e)
            hint = told if "holds no seed" in told or told.startswith("seed ") else \
                f"{item!r} is not a seed or a range A:B"
            raise ValueError(hint) from None
    for seed in seeds:
        if not 0 <= seed <= U64_MAX:
            raise ValueError(f"seed {seed} is not a whole number from 0 to {U64_MAX}")
    return list(dict.fromkeys(seeds))


# --- One partition ------------------------------------------------------------------------------------------

@dataclass(frozen=True)
class PartitionTask:
    """One seed of a dataset, in plain values, so that process pools and Dask
    ship it by pickling."""

    out: str
    seed: int
    kind: str
    source: str  # the spec's text, or the universe as written (UniverseSpec.to_json)
    bars_per_chunk: int | None
    options: tuple[tuple[str, Any], ...]
    pyarrow_threads: int | None


@dataclass(frozen=True)
class PartitionDone:
    seed: int
    rows: dict[str, int]


def write_partition(task: PartitionTask) -> PartitionDone:
    """Writes one seed's partition of every table (module level, so that
    workers find it by name)."""
    if task.pyarrow_threads is not None:
        limit_pyarrow_threads(task.pyarrow_threads)
    source: UniverseSpec | str
    if task.kind == "universe":
        source = read_universe(task.source).with_seed(task.seed)
    else:
        spec = normalize(task.source)
        assert spec is not None  # checked before the task was made
        source = spec_text(with_fields(spec, seed=task.seed))
    rows = write_partition_files(Path(task.out), source, task.seed, task.bars_per_chunk, dict(task.options))
    return PartitionDone(task.seed, rows)


def limit_pyarrow_threads(n: int) -> None:
    pa = require("pyarrow", "frames", "datasets")
    pa.set_cpu_count(n)
    pa.set_io_thread_count(n)


def write_partition_files(out: Path, source: UniverseSpec | str, seed: int | None, bars_per_chunk: int | None,
                          options: Mapping[str, Any]) -> dict[str, int]:
    """Runs `source` (a universe, or a spec's text) chunk by chunk into
    ``out/<table>/[seed=SEED/][symbol=SYMBOL/]part-0.parquet``: every file
    under a staging folder first, then each table's folder renamed into
    place (an existing one is replaced). Returns the rows of each table."""
    require("pyarrow", "frames", "Parquet datasets")
    pq = require("pyarrow.parquet", "frames", "Parquet datasets")
    staging_root = out / STAGING
    staging_root.mkdir(parents=True, exist_ok=True)
    staging = staging_root / f"{'all' if seed is None else f'seed={seed}'}-{uuid.uuid4().hex}"
    writers: dict[tuple[int, int], Any] = {}
    rows = [0] * len(TABLE_NAMES)
    try:
        def write(t: int, i: int, table: Any, folder: Path) -> None:
            writer = writers.get((t, i))
            if writer is None:
                folder.mkdir(parents=True, exist_ok=True)
                writer = writers[(t, i)] = pq.ParquetWriter(folder / PART, table.schema, **options)
            writer.write_table(table)
            rows[t] += table.num_rows

        if isinstance(source, UniverseSpec):
            specs = [i.spec for i in source.instruments]
            native_universe = source.open(bars_per_chunk or chunk_bars(specs, PARQUET_ROWS))
            folders = [f"symbol={quote(s, safe='')}" for s in source.symbols]
            while (chunk := native_universe.next_tables()) is not None:
                for i, four in enumerate(chunk):
                    for t, table in enumerate(four):
                        write(t, i, arrow_table(table, source.bar_secs), staging / TABLE_NAMES[t] / folders[i])
        else:
            spec = normalize(source)
            assert spec is not None
            cursor = _talpen_columns.Cursor(source, bars_per_chunk or chunk_bars([spec], PARQUET_ROWS))
            while (tables := cursor.next_tables()) is not None:
                for t, table in enumerate(tables):
                    write(t, 0, arrow_table(table, spec["bar_secs"]), staging / TABLE_NAMES[t])
        open_writers = list(writers.values())
        writers.clear()
        close_writers(open_writers)
        partition = None if seed is None else f"seed={seed}"
        for name in TABLE_NAMES:
            final = out / name if partition is None else out / name / partition
            _place(staging / name, final, staging_root)
    finally:
        close_writers(writers.values())
        shutil.rmtree(staging, ignore_errors=True)
    return dict(zip(TABLE_NAMES, rows))


def _place(staged: Path, final: Path, staging_root: Path) -> None:
    """Renames a finished folder into place, replacing what is there (the
    same seed's files from an earlier attempt: the same bytes, or a part)."""
    final.parent.mkdir(parents=True, exist_ok=True)
    try:
        os.rename(staged, final)
        return
    except OSError as e:
        if e.errno not in (errno.ENOTEMPTY, errno.EEXIST):
            raise
    aside = staging_root / f"old-{uuid.uuid4().hex}"
    os.rename(final, aside)
    os.rename(staged, final)
    shutil.rmtree(aside, ignore_errors=True)


# --- The whole dataset --------------------------------------------------------------------------------------

# A spec (dict or JSON text) or a universe (UniverseSpec, document or its text).
Source = Union[Spec, UniverseLike]


def _short(text: str) -> str:
    return repr(text if len(text) <= 60 else text[:57] + "...")


def _definition(source: Source) -> tuple[str, str, str]:
    """(kind, the source's text for the tasks, the text of _dataset.json)."""
    if is_universe(source):
        universe = read_universe(source)
        text = universe.to_json()
        return "universe", text, '{"kind":"universe","source":' + text + "}\n"
    text = spec_json(source)  # type: ignore[arg-type]
    if not text.lstrip().startswith("{"):
        raise ValueError(f"{_short(text)} is not a spec or a universe: give its JSON text or a dict (for a file, "
                         "its text; for a preset, presets.spec_text(name))")
    _talpen_columns.check_spec(text)  # the generate command's messages
    spec = normalize(text)
    if spec is None:
        raise ValueError("bad spec: no spec set")
    text = spec_text(spec)
    # The spec's own seed plays no part: every partition replaces it.
    return "spec", text, '{"kind":"spec","source":' + spec_text(with_fields(spec, seed=0)) + "}\n"


def _wanted_seeds(seeds: Iterable[int] | str) -> list[int]:
    """The seeds of a call, in order without repeats. Text is read as
    --seeds reads it ("0:64", "1,5,9"), not as a string of digits."""
    if isinstance(seeds, str):
        return parse_seeds(seeds)
    wanted: list[int] = []
    for seed in seeds:
        if isinstance(seed, bool) or not isinstance(seed, numbers.Integral):
            raise TypeError(f"a seed is a whole number, not {seed!r}")
        if not 0 <= int(seed) <= U64_MAX:
            raise ValueError(f"seed {seed} is not a whole number from 0 to {U64_MAX}")
        wanted.append(int(seed))
    return list(dict.fromkeys(wanted))


def read_manifest(out: Path) -> dict[int, dict[str, int]]:
    """The finished seeds of a dataset folder and their rows. A line cut short
    by a killed run is not a finished seed."""
    done: dict[int, dict[str, int]] = {}
    try:
        text = (out / MANIFEST).read_text(encoding="utf-8")
    except FileNotFoundError:
        return done
    for line in text.splitlines():
        try:
            entry = json.loads(line)
            done[int(entry["seed"])] = {k: int(v) for k, v in entry["rows"].items()}
        except (ValueError, KeyError, TypeError, AttributeError):
            continue
    return done


def _claim_folder(out: Path, definition: str) -> bool:
    """Makes `out` a dataset of `definition`, or checks that it is one.
    Returns whether this call made the claim (the folder was new or empty)."""
    if out.exists() and not out.is_dir():
        raise DatasetError(f"{out} exists and is not a folder; a dataset is a folder")
    out.mkdir(parents=True, exist_ok=True)
    path = out / DEFINITION
    try:
        held = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        from .outputs import write_text
        if any(out.iterdir()):
            raise DatasetError(f"{out} is not empty and holds no dataset ({DEFINITION}); write to a new folder")
        write_text(path, definition)
        return True
    if held != definition:
        raise DatasetError(f"{out} holds a dataset of another spec or universe (see its {DEFINITION}); "
                           "write to a new folder, or remove this one")
    return False


def write_dataset(source: Source, seeds: Iterable[int] | str, out: str | os.PathLike[str], *, workers: int | None = None,
                  scheduler: str | None = None, executor: cf.Executor | None = None,
                  bars_per_chunk: int | None = None, progress: bool | None = None,
                  pyarrow_threads: int | None = None, **options: Any) -> DatasetSummary:
    """Write `source` (a spec, or a universe) over `seeds` (whole numbers, or
    text as ``--seeds`` takes it: ``"0:64"``) as a
    Hive-partitioned Parquet dataset in `out` (see the module), one task per
    seed, and return a :class:`DatasetSummary`.

    The tasks run on `executor` if given; else on the Dask cluster whose
    scheduler is at `scheduler` (``"tcp://host:8786"``; extra ``cluster``;
    `out` must then be a folder that every worker sees at the same path);
    else on `workers` local processes (default: one per CPU).
    `pyarrow_threads` limits pyarrow's thread pools in each worker.
    `options` go to ``pyarrow.parquet.ParquetWriter`` (``compression`` is
    ``"zstd"`` unless given). `bars_per_chunk` bounds a task's memory (by
    default chunks of about two million rows).

    Seeds already in the manifest are skipped: run it again after a killed
    worker or an interrupted run and it finishes the rest. A seed whose run
    fails raises :class:`DatasetError` naming it, once the tasks already
    started have finished and been recorded. `progress`: None shows a tqdm
    bar on a terminal, False never, True always.
    """
    require("pyarrow", "frames", "write_dataset")
    from .frames import _check_parquet_options
    from .sweep import _bar_class

    _check_parquet_options(options, require("pyarrow.parquet", "frames", "write_dataset"))
    options.setdefault("compression", "zstd")
    wanted = _wanted_seeds(seeds)
    if bars_per_chunk is not None:
        bars_per_chunk = chunk_size(bars_per_chunk, "bars_per_chunk")
    if workers is not None and workers < 1:
        raise ValueError("workers must be at least 1")
    kind, text, definition = _definition(source)
    folder = Path(out)
    existed = folder.exists()
    claimed = _claim_folder(folder, definition)
    shutil.rmtree(folder / STAGING, ignore_errors=True)  # what killed tasks of an earlier run left
    done = read_manifest(folder)
    todo = [s for s in wanted if s not in done]
    tasks = [PartitionTask(str(folder.resolve()), s, kind, text, bars_per_chunk, tuple(sorted(options.items())),
                           pyarrow_threads) for s in todo]
    written: list[int] = []
    if tasks:
        try:
            pool = _Pool(workers, scheduler, executor, pyarrow_threads)
        except BaseException:
            # Nothing was written: a claim made for this run is taken back,
            # so that the folder is free for another spec.
            if claimed:
                (folder / DEFINITION).unlink(missing_ok=True)
                for empty in ([folder / STAGING] + ([] if existed else [folder])):
                    try:
                        empty.rmdir()
                    except OSError:
                        pass
            raise
        bar_class = _bar_class(progress)
        bar = bar_class(total=len(wanted), initial=len(wanted) - len(todo), unit="partition",
                        desc="dataset") if bar_class is not None else None
        try:
            with pool:
                for finished in _run(pool, tasks):
                    _record(folder, finished)
                    done[finished.seed] = finished.rows
                    written.append(finished.seed)
                    if bar is not None:
                        bar.update(1)
        finally:
            if bar is not None:
                bar.close()
            try:
                (folder / STAGING).rmdir()  # when no task left anything there
            except OSError:
                pass
    try:
        (folder / STAGING).rmdir()
    except OSError:
        pass
    rows = {name: sum(done[s].get(name, 0) for s in wanted) for name in TABLE_NAMES}
    return DatasetSummary(folder, kind, tuple(wanted), tuple(written), tuple(s for s in wanted if s not in written),
                          rows)


def _record(out: Path, finished: PartitionDone) -> None:
    line = json.dumps({"seed": finished.seed, "rows": finished.rows}, separators=(",", ":")) + "\n"
    with open(out / MANIFEST, "a", encoding="utf-8") as f:
        f.write(line)
        f.flush()
        os.fsync(f.fileno())


class _Pool:
    """The executor the tasks run on, and how many to hand out at once."""

    def __init__(self, workers: int | None, scheduler: str | None, executor: cf.Executor | None,
                 pyarrow_threads: int | None) -> None:
        self.client: Any = None
        self.own = executor is None
        if executor is not None:
            self.executor = executor
            self.window = 32
        elif scheduler is not None:
            distributed = require("distributed", "cluster", "datasets on a Dask cluster")
            try:
                self.client = distributed.Client(scheduler, timeout="30s")
            except OSError as e:
                raise DatasetError(f"cannot reach the Dask scheduler at {scheduler}: {e}") from None
            self.executor = self.client.get_executor(pure=False)
            threads = sum(self.client.nthreads().values())
            self.window = _PENDING_PER_WORKER * max(1, threads)
        else:
            n = workers or _cpu_count()
            # Fresh interpreters: the caller's threads (a progress bar, a
            # client) are never forked half-way through their work. Each
            # task limits pyarrow's threads itself when asked.
            self.executor = cf.ProcessPoolExecutor(n, mp_context=multiprocessing.get_context("spawn"))
            self.window = _PENDING_PER_WORKER * n

    def __enter__(self) -> _Pool:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.client is not None:
            # Seeds not yet started are dropped with the client's futures.
            self.client.close()
        elif self.own:
            self.executor.shutdown(wait=exc[0] is None, cancel_futures=True)


def _cpu_count() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _lost_hint(error: Exception) -> str:
    """What most often breaks a local pool at once: a script whose top level
    calls write_dataset, which every spawned worker runs again on import."""
    main = sys.modules.get("__main__")
    if isinstance(error, BrokenProcessPool) and getattr(main, "__file__", None):
        return (" (local workers import the calling script: if it calls write_dataset at its top level, call it "
                "under `if __name__ == \"__main__\":`)")
    return ""


def _run(pool: _Pool, tasks: list[PartitionTask]) -> Iterable[PartitionDone]:
    """Finished partitions as they come. On a failure no new task starts; those
    already running finish (and are yielded) before the error is raised."""
    queue = iter(tasks)
    pending: dict[cf.Future[PartitionDone], int] = {}
    failure: DatasetError | None = None

    def top_up() -> None:
        while failure is None and len(pending) < pool.window:
            task = next(queue, None)
            if task is None:
                return
            pending[pool.executor.submit(write_partition, task)] = task.seed

    top_up()
    try:
        while pending:
            finished, _ = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
            for future in finished:
                seed = pending.pop(future)
                try:
                    yield future.result()
                except ValueError as e:
                    failure = failure or DatasetError(f"seed {seed}: {e}")
                except Exception as e:  # a lost worker or cluster: the rerun finishes the rest
                    failure = failure or DatasetError(f"seed {seed}: {type(e).__name__}: {e}{_lost_hint(e)}; the "
                                                      f"finished seeds are in {MANIFEST}: run again to write the rest")
            top_up()
    except BaseException as stop:
        if isinstance(stop, GeneratorExit):
            raise
        # Interrupted: the partitions that had finished are still handed on,
        # to be recorded, before the interrupt goes on.
        for future in list(pending):
            if future.done() and not future.cancelled() and future.exception() is None:
                del pending[future]
                yield future.result()
        raise
    if failure is not None:
        raise failure
