"""Many runs at once: one spec over many seeds, or a list of specs."""

import concurrent.futures as cf
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any, overload

import numpy as np

from .frames import RunTables

__all__: list[str]

@dataclass(frozen=True)
class SweepResult:
    """One finished run of a sweep: its place, its seed, its tables as NumPy arrays."""

    index: int
    seed: int
    tables: RunTables[dict[str, np.ndarray[Any, Any]]]

@overload
def sweep(
    spec: Mapping[str, Any] | str,
    seeds: Iterable[int],
    executor: cf.Executor | None = None,
    progress: bool | None = None,
    *,
    max_pending: int | None = None,
) -> Iterator[SweepResult]: ...
@overload
def sweep(
    spec: Iterable[Mapping[str, Any] | str],
    seeds: None = None,
    executor: cf.Executor | None = None,
    progress: bool | None = None,
    *,
    max_pending: int | None = None,
) -> Iterator[SweepResult]: ...
