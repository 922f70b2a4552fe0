from ._talpen_synth import Synth as Synth, __version__ as __version__
from .frames import (
    RunTables as RunTables,
    generate_arrays as generate_arrays,
    generate_columns as generate_columns,
    generate_frames as generate_frames,
    to_arrow as to_arrow,
    write_parquet as write_parquet,
)
from .sweep import SweepResult as SweepResult, sweep as sweep

__all__: list[str]
