"""A run as tables: NumPy arrays, pandas DataFrames, Arrow tables, Parquet."""

import os
from collections.abc import Mapping
from pathlib import Path
from typing import Any, Generic, NamedTuple, TypeVar

import numpy as np
import pandas as pd
import pyarrow as pa

from ._talpen_columns import Table

__all__: list[str]

_T = TypeVar("_T")

TABLE_NAMES: tuple[str, str, str, str]
BOOK_SIDES: tuple[str, str]
TRADE_SIDES: tuple[str, str]

class RunTables(NamedTuple, Generic[_T]):
    """The four tables of one run, in the order candles, book, trades, funding."""

    candles: _T
    book: _T
    trades: _T
    funding: _T

Spec = Mapping[str, Any] | str

def spec_json(spec: Spec) -> str:
    """The JSON text of a spec given as a dict (or already as text)."""

def generate_columns(spec: Spec) -> RunTables[Table]:
    """Run `spec` and return its tables as native ``Table`` objects (no copy)."""

def generate_arrays(spec: Spec) -> RunTables[dict[str, np.ndarray[Any, Any]]]:
    """Run `spec` and return each table as a dict of NumPy arrays (no copy)."""

def generate_frames(spec: Spec, *, datetimes: bool = False) -> RunTables[pd.DataFrame]:
    """Run `spec` and return each table as a pandas DataFrame."""

def to_arrow(spec: Spec) -> RunTables[pa.Table]:
    """Run `spec` and return each table as a pyarrow Table (no copy)."""

def write_parquet(spec: Spec, directory: str | os.PathLike[str], **options: Any) -> RunTables[Path]:
    """Run `spec` and write its tables as Parquet files into `directory`."""
