"""Many runs at once: one spec over many seeds, or a list of specs.

:func:`sweep` hands the runs to an executor and yields each result as soon
as it is done. By default the executor is a thread pool of this package's
own: runs release the interpreter lock, so threads give real parallelism.
Any :class:`concurrent.futures.Executor` serves as well, a process pool or a
Dask cluster's (``Client.get_executor()``); results are plain NumPy arrays in
plain data classes, so they travel between processes.

A progress bar (tqdm, extra ``progress``) shows on a terminal.

A run that fails raises :class:`SweepError`, which names its seed; with
``errors="collect"`` it is yielded as a :class:`SweepFailure` instead and the
other runs go on.
"""

from __future__ import annotations

import concurrent.futures as cf
import operator
import os
import sys
from collections.abc import Iterable, Iterator, Mapping, Sized
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, Union, overload

from . import _talpen_columns
from ._extras import require
from ._spec import SpecFields, normalize, with_fields
from .frames import RunTables, Spec, generate_arrays, spec_json

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["SweepResult", "SweepFailure", "SweepError", "sweep"]

# Submitted but not yet yielded runs, per thread of the sweep's own pool;
# with an executor of the caller's, whose size is its own business, in all.
# Bounds the memory held by finished results that the consumer has not taken
# yet, and the work lost when it stops early.
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
    tables: RunTables[dict[str, NDArray[Any]]]


@dataclass(frozen=True)
class SweepFailure:
    """One run of a sweep that failed (``errors="collect"``).

    `error` is the module's text ("bad spec: ...", "numeric: ..."); `seed` is
    the seed it was to run with (None for a spec whose seed could not be read).
    """

    index: int
    seed: int | None
    error: str

    def describe(self, seeds_given: bool = True) -> str:
        """The failure in one line, naming its seed."""
        who = f"seed {self.seed}" if seeds_given else f"spec {self.index} (seed {self.seed})"
        return f"{who}: {self.error}"


class SweepError(ValueError):
    """A run of a sweep failed; the message names its seed, `failure` tells
    its place, seed and the module's text."""

    def __init__(self, failure: SweepFailure, seeds_given: bool) -> None:
        super().__init__(failure.describe(seeds_given))
        self.failure = failure


def _run_job(index: int, seed: int, text: str) -> SweepResult:
    # Module level, so that process pools and Dask can ship it by name.
    return SweepResult(index, seed, generate_arrays(text))


def _base_spec(spec: Spec) -> SpecFields:
    """The spec's normalised fields, checked first with the messages of a
    generate command."""
    text = spec_json(spec)
    _talpen_columns.check_spec(text)
    base = normalize(text)
    if base is None:  # check_spec has refused every text that holds no spec
        raise ValueError("bad spec: no spec set")
    return base


# A run to hand out, or one refused before it starts.
_Job = Union[tuple[int, int, str], SweepFailure]


def _seed_jobs(base: SpecFields, seeds: Iterable[Any]) -> Iterator[_Job]:
    for index, value in enumerate(seeds):
        seed = operator.index(value)  # NumPy integers welcome, floats not
        text = spec_json(with_fields(base, seed=seed))
        try:
            _talpen_columns.check_spec(text)  # a seed out of range fails here, before any work
        except ValueError as error:
            yield SweepFailure(index, seed, str(error))
            continue
        yield index, seed, text


def _spec_jobs(specs: Iterable[Spec]) -> Iterator[_Job]:
    for index, spec in enumerate(specs):
        text = spec_json(spec)
        try:
            seed = _talpen_columns.check_spec(text)
        except ValueError as error:
            yield SweepFailure(index, _seed_of(spec), str(error))
            continue
        yield index, seed, text


def _seed_of(spec: Spec) -> int | None:
    """The seed of a spec the module refused, when it reads one at all."""
    try:
        fields = normalize(spec_json(spec))
    except (ValueError, TypeError):
        return None
    return None if fields is None else fields["seed"]


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
    return require("tqdm", "progress", "sweep(progress=True)").tqdm


def _results(jobs: Iterator[_Job], executor: cf.Executor | None, bar_class: Any,
             total: int | None, max_pending: int | None, collect: bool,
             seeds_given: bool) -> Iterator[SweepResult | SweepFailure]:
    # A generator: nothing starts (no pool, no bar) until the first result is asked for.
    own = executor is None
    if executor is None:
        workers = _cpu_count()
        pool: cf.Executor = cf.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="talpen-sweep")
        window = max_pending or _PENDING_PER_WORKER * workers
    else:
        pool = executor
        window = max_pending or _PENDING_UNKNOWN_EXECUTOR
    pending: dict[cf.Future[SweepResult], tuple[int, int]] = {}
    refused: list[SweepFailure] = []
    finished = False
    bar = bar_class(total=total, unit="run", desc="sweep") if bar_class is not None else None

    def failed(failure: SweepFailure) -> SweepFailure:
        if not collect:
            raise SweepError(failure, seeds_given)
        return failure

    try:
        def top_up() -> None:
            for job in jobs:
                if isinstance(job, SweepFailure):
                    refused.append(failed(job))
                    continue
                pending[pool.submit(_run_job, *job)] = job[:2]
                if len(pending) >= window:
                    return

        top_up()
        while pending or refused:
            results: list[SweepResult | SweepFailure] = list(refused)
            refused.clear()
            if pending:
                done, _ = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
                for future in done:
                    index, seed = pending.pop(future)
                    try:
                        results.append(future.result())
                    except ValueError as error:
                        results.append(failed(SweepFailure(index, seed, str(error))))
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


@overload
def sweep(spec: Spec, seeds: Iterable[Any], executor: cf.Executor | None = None,
          progress: bool | None = None, *, max_pending: int | None = None,
          errors: Literal["raise"] = "raise") -> Iterator[SweepResult]: ...


@overload
def sweep(spec: Spec, seeds: Iterable[Any], executor: cf.Executor | None = None,
          progress: bool | None = None, *, max_pending: int | None = None,
          errors: Literal["collect"]) -> Iterator[SweepResult | SweepFailure]: ...


@overload
def sweep(spec: Iterable[Spec], seeds: None = None, executor: cf.Executor | None = None,
          progress: bool | None = None, *, max_pending: int | None = None,
          errors: Literal["raise"] = "raise") -> Iterator[SweepResult]: ...


@overload
def sweep(spec: Iterable[Spec], seeds: None = None, executor: cf.Executor | None = None,
          progress: bool | None = None, *, max_pending: int | None = None,
          errors: Literal["collect"]) -> Iterator[SweepResult | SweepFailure]: ...


def sweep(spec: Spec | Iterable[Spec], seeds: Iterable[Any] | None = None,
          executor: cf.Executor | None = None, progress: bool | None = None, *,
          max_pending: int | None = None,
          errors: Literal["raise", "collect"] = "raise"
          ) -> Iterator[SweepResult] | Iterator[SweepResult | SweepFailure]:
    """Run `spec` once per seed in `seeds` (or, with `seeds` None, run each
    spec of the list `spec`) and yield a :class:`SweepResult` per run as it
    finishes, so not necessarily in order: `index` tells the place.

    `spec` is a dict or JSON text (or a list of them); each run's spec is
    `spec` with its ``seed`` replaced. Specs and seeds are checked as a
    generate command checks its spec, before each run is handed out. A bad
    `spec` raises ValueError with the command's error text at the call. A bad
    seed, or a run that fails, raises :class:`SweepError` (a ValueError) when
    its turn comes, naming the seed before the command's text ("seed 7:
    numeric: ..."); with ``errors="collect"`` it is yielded as a
    :class:`SweepFailure` instead and the sweep goes on with the other runs.

    `executor` is any :class:`concurrent.futures.Executor`; by default a
    thread pool with one thread per available CPU, shut down at the end.
    At most `max_pending` runs are handed out ahead of the consumer (by
    default twice the threads of the default pool; with an executor of the
    caller's, 32: pass `max_pending` to suit its size).
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
    if errors not in ("raise", "collect"):
        raise ValueError(f"errors is 'raise' or 'collect', not {errors!r}")
    return _results(jobs, executor, _bar_class(progress), total, max_pending, errors == "collect",
                    seeds is not None)
