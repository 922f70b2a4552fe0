"""Many runs at once: one spec over many seeds, or a list of specs.

:func:`sweep` hands the runs to an executor and yields each result as soon
as it is done. By default the executor is a thread pool of this package's
own: runs release the interpreter lock, so threads give real parallelism.
Any :class:`concurrent.futures.Executor` serves as well, a process pool or a
Dask cluster's (``Client.get_executor()``); results are plain NumPy arrays in
plain data classes, so they travel between processes.

A progress bar (tqdm, extra ``progress``) shows on a terminal.
"""

from __future__ import annotations

import concurrent.futures as cf
import json
import operator
import os
import sys
from collections.abc import Iterable, Iterator, Mapping, Sized
from dataclasses import dataclass
from typing import Any

from . import _talpen_columns
from .frames import RunTables, generate_arrays, spec_json

__all__ = ["SweepResult", "sweep"]

# Submitted but not yet yielded runs, per worker, when the executor tells its
# size; otherwise in all. Bounds the memory held by finished results that the
# consumer has not taken yet, and the work lost when it stops early.
_PENDING_PER_WORKER = 2
_PENDING_UNKNOWN_EXECUTOR = 32


@dataclass(frozen=True)
class SweepResult:
    """One finished run of a sweep.

    `index` is the run's place in the seeds (or in the list of specs),
    `seed` the seed it ran with, and `tables` its tables as dicts of NumPy
    arrays, as :func:`talpen_synth.generate_arrays` returns them.
    """

    index: int
    seed: int
    tables: RunTables


def _run_job(index: int, seed: int, text: str) -> SweepResult:
    # Module level, so that process pools and Dask can ship it by name.
    return SweepResult(index, seed, generate_arrays(text))


def _json_int(literal: str) -> int | float:
    # "-0" is a floating number to the spec reader (it decodes to -0.0); a
    # round trip through Python's int would lose the sign.
    return -0.0 if literal == "-0" else int(literal)


def _base_spec(spec: Mapping[str, Any] | str) -> Any:
    """The spec as a JSON value (dict, or list for the array form), checked
    first with the messages of a generate command."""
    text = spec_json(spec)
    _talpen_columns.check_spec(text)
    if isinstance(spec, Mapping):
        return spec
    return json.loads(text, parse_int=_json_int)


def _with_seed(base: Any, seed: int) -> str:
    if isinstance(base, list):  # the array form: the seed comes first
        return json.dumps([seed, *base[1:]], separators=(",", ":"))
    return json.dumps({**base, "seed": seed}, separators=(",", ":"))


def _seed_jobs(base: Any, seeds: Iterable[Any]) -> Iterator[tuple[int, int, str]]:
    for index, seed in enumerate(seeds):
        seed = operator.index(seed)  # NumPy integers welcome, floats not
        text = _with_seed(base, seed)
        _talpen_columns.check_spec(text)  # a seed out of range fails here, before any work
        yield index, seed, text


def _spec_jobs(specs: Iterable[Mapping[str, Any] | str]) -> Iterator[tuple[int, int, str]]:
    for index, spec in enumerate(specs):
        text = spec_json(spec)
        yield index, _talpen_columns.check_spec(text), text


def _cpu_count() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _bar_class(progress: bool | None) -> Any:
    """The tqdm class when a bar is to be shown, else None."""
    if progress is False:
        return None
    if progress is None:
        stream = sys.stderr
        if stream is None or not hasattr(stream, "isatty") or not stream.isatty():
            return None
        try:
            from tqdm import tqdm
        except ImportError:
            return None
        return tqdm
    try:
        from tqdm import tqdm
    except ImportError as error:
        raise ImportError(
            "sweep(progress=True) needs tqdm, which is not installed; "
            "install the extra with: pip install 'talpen_synth[progress]'"
        ) from error
    return tqdm


def _results(jobs: Iterator[tuple[int, int, str]], executor: cf.Executor | None, bar_class: Any,
             total: int | None, max_pending: int | None) -> Iterator[SweepResult]:
    # A generator: nothing starts (no pool, no bar) until the first result is asked for.
    own = executor is None
    pool = executor if executor is not None else cf.ThreadPoolExecutor(
        max_workers=_cpu_count(), thread_name_prefix="talpen-sweep")
    if max_pending is None:
        workers = getattr(pool, "_max_workers", None)
        max_pending = (_PENDING_PER_WORKER * workers if isinstance(workers, int) and workers > 0
                       else _PENDING_UNKNOWN_EXECUTOR)
    pending: set[cf.Future[SweepResult]] = set()
    finished = False
    bar = bar_class(total=total, unit="run", desc="sweep") if bar_class is not None else None
    try:
        def top_up() -> None:
            for job in jobs:
                pending.add(pool.submit(_run_job, *job))
                if len(pending) >= max_pending:
                    return

        top_up()
        while pending:
            done, rest = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
            pending.clear()
            pending.update(rest)
            results = [future.result() for future in done]  # a failed run raises here
            top_up()  # keep the workers busy while the consumer looks at these
            for result in results:
                if bar is not None:
                    bar.update(1)
                yield result
        finished = True
    finally:
        # On an error or an early stop, runs not yet started are dropped; a run
        # already inside native code cannot be stopped and ends on its own.
        for future in pending:
            future.cancel()
        if own:
            pool.shutdown(wait=finished, cancel_futures=True)
        if bar is not None:
            bar.close()


def sweep(spec: Any, seeds: Iterable[Any] | None = None, executor: cf.Executor | None = None,
          progress: bool | None = None, *, max_pending: int | None = None) -> Iterator[SweepResult]:
    """Run `spec` once per seed in `seeds` (or, with `seeds` None, run each
    spec of the list `spec`) and yield a :class:`SweepResult` per run as it
    finishes, so not necessarily in order: `index` tells the place.

    `spec` is a dict or JSON text (or a list of them); each run's spec is
    `spec` with its ``seed`` replaced. Specs and seeds are checked as a
    generate command checks its spec, before each run is handed out, and a
    bad one raises ValueError with the command's error text; so does a run
    that fails, when its turn comes.

    `executor` is any :class:`concurrent.futures.Executor`; by default a
    thread pool with one thread per available CPU, shut down at the end.
    At most `max_pending` runs are handed out ahead of the consumer (by
    default twice the executor's workers when it tells them, else 32).
    Stopping early (``break``, or closing the iterator) cancels the runs not
    yet started.

    `progress`: None shows a tqdm bar on standard error when that is a
    terminal and tqdm is installed; False never; True always (needs tqdm,
    extra ``progress``).

    Results carry NumPy arrays: needs NumPy (extra ``frames``).
    """
    if seeds is None:
        if isinstance(spec, (str, Mapping)) or not isinstance(spec, Iterable):
            raise TypeError("sweep needs seeds, or a list of specs in place of spec")
        specs = list(spec)
        jobs = _spec_jobs(specs)
        total: int | None = len(specs)
    else:
        if not isinstance(spec, (str, Mapping)):
            raise TypeError(f"with seeds, spec is one dict or JSON text, not {type(spec).__name__!r}")
        base = _base_spec(spec)
        jobs = _seed_jobs(base, seeds)
        total = len(seeds) if isinstance(seeds, Sized) else None
    if max_pending is not None and max_pending < 1:
        raise ValueError("max_pending must be at least 1")
    return _results(jobs, executor, _bar_class(progress), total, max_pending)
