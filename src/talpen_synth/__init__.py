"""Deterministic synthetic market data from a seeded JSON spec.

A :class:`Synth` handle keeps one generation spec and answers JSON commands
with JSON text::

    from talpen_synth import Synth

    synth = Synth(spec_json)
    response = synth.command('{"cmd":"generate"}')
"""

from ._talpen_synth import Synth, __version__
from .batches import TableStream, iter_batches, table_stream
from .frames import RunTables, generate_arrays, generate_columns, generate_frames, to_arrow, write_parquet
from .ohlcv import to_ohlcv
from .sweep import SweepError, SweepFailure, SweepResult, sweep
from .universe import (UniverseError, UniverseSpec, UniverseStream, read_universe, universe_events, universe_ohlcv,
                       universe_tables, write_universe_parquet)
from .dataset import DatasetError, DatasetSummary, write_dataset

__all__ = [
    "__version__",
    "Synth",
    "RunTables",
    "SweepError",
    "SweepFailure",
    "SweepResult",
    "TableStream",
    "generate_arrays",
    "generate_columns",
    "generate_frames",
    "iter_batches",
    "sweep",
    "table_stream",
    "to_arrow",
    "to_ohlcv",
    "write_parquet",
    "UniverseError",
    "UniverseSpec",
    "UniverseStream",
    "read_universe",
    "universe_events",
    "universe_ohlcv",
    "universe_tables",
    "write_universe_parquet",
    "DatasetError",
    "DatasetSummary",
    "write_dataset",
]
