"""Price histories: OHLCV bars from a CSV or Parquet file or a pandas frame,
in one shape.

A :class:`History` holds the bars as a frame with the columns of a run's
candles table (``ts`` int64 epoch seconds, ``open``, ``high``, ``low``,
``close``, ``volume`` float64), sorted by time, with its bar length and the
gaps in it. Reading is forgiving about form and strict about content:

- column names are matched without regard to case or surrounding space; the
  time comes from a column named ``ts``, ``timestamp``, ``time``, ``date`` or
  ``datetime``, or from an unnamed first column or a frame's index (the way
  pandas writes a dated frame); ``volume`` may be missing;
- times are parsed as dates (UTC unless they say otherwise) or, when they are
  whole numbers, as epoch seconds (milli-, micro- or nanoseconds when their
  size says so);
- rows are put in time order; a repeated time, a price that is missing, not a
  number or not above zero is an error naming the file, the column and the row;
- the bar length is the median step between bars, and every longer step is
  reported as a gap.
"""

from __future__ import annotations

import importlib.util
import os
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from ._extras import missing_stats

try:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd
except ImportError:  # pragma: no cover - depends on the installation
    missing_stats("talpen_synth.history")

__all__ = ["DataError", "Gaps", "History", "read_history", "history_from_frame", "iso_time"]

Ints = npt.NDArray[np.int64]

PRICE_COLUMNS = ("open", "high", "low", "close")
TIME_COLUMNS = ("ts", "timestamp", "time", "date", "datetime")
OHLCV_SUFFIXES = (".csv", ".parquet", ".pq")
# How many of the largest gaps a summary names.
_LISTED_GAPS = 5


class DataError(ValueError):
    """Input that cannot be used, with the file (or source) and field named."""


@dataclass(frozen=True)
class Gaps:
    """Steps between consecutive bars longer than the bar length."""

    count: int
    missing_bars: int
    # The largest few: (time of the bar before the gap, whole bars missing).
    largest: list[tuple[int, int]] = field(default_factory=list)
    # Steps shorter than the bar length (irregular data).
    short_steps: int = 0

    def to_json(self) -> dict[str, Any]:
        return {"count": self.count, "missing_bars": self.missing_bars,
                "largest": [{"after": iso_time(ts), "missing_bars": bars} for ts, bars in self.largest],
                "short_steps": self.short_steps}

    def describe(self) -> str:
        if not self.count and not self.short_steps:
            return "no gaps"
        text = f"{self.count} gaps ({self.missing_bars} bars missing"
        if self.largest:
            ts, bars = self.largest[0]
            text += f"; largest {bars} bars after {iso_time(ts)}"
        text += ")"
        if self.short_steps:
            text += f", {self.short_steps} steps shorter than a bar"
        return text


@dataclass(frozen=True)
class History:
    candles: pd.DataFrame
    bar_secs: int
    gaps: Gaps
    label: str

    @property
    def bars(self) -> int:
        return len(self.candles)

    def split(self, at: int) -> tuple[History, History]:
        """The bars before `at` and from `at` on, as two histories."""
        first = self.candles.iloc[:at].reset_index(drop=True)
        second = self.candles.iloc[at:].reset_index(drop=True)
        return (history_from_frame(first, f"{self.label} [:{at}]"),
                history_from_frame(second, f"{self.label} [{at}:]"))


def iso_time(ts: int) -> str:
    """An epoch second as an ISO 8601 UTC time ("2004-08-19" at midnight)."""
    try:
        stamp = datetime.fromtimestamp(ts, tz=timezone.utc)
    except (OverflowError, OSError, ValueError):
        return str(ts)
    if stamp.hour == stamp.minute == stamp.second == 0:
        return stamp.strftime("%Y-%m-%d")
    return stamp.strftime("%Y-%m-%dT%H:%M:%SZ")


def bar_length_text(secs: int) -> str:
    """A bar length for people: "1 day", "5 minutes", "90 s"."""
    for unit, size in (("day", 86400), ("hour", 3600), ("minute", 60)):
        if secs % size == 0:
            count = secs // size
            return f"1 {unit}" if count == 1 else f"{count} {unit}s"
    return f"{secs} s"


def read_history(path: str | os.PathLike[str]) -> History:
    """The OHLCV bars of a CSV or Parquet file (chosen by its extension)."""
    p = Path(path)
    suffix = p.suffix.lower()
    if suffix not in OHLCV_SUFFIXES:
        raise DataError(f"{p}: not an OHLCV file (expected {', '.join(OHLCV_SUFFIXES)})")
    try:
        if suffix == ".csv":
            frame = pd.read_csv(p)
        else:
            if importlib.util.find_spec("pyarrow") is None:  # pandas reads Parquet through it
                raise DataError(f"{p}: reading Parquet needs pyarrow: pip install talpen_synth[frames]")
            frame = pd.read_parquet(p)
    except OSError as e:
        raise DataError(f"cannot read {p}: {e.strerror or e}") from None
    except (ValueError, pd.errors.ParserError, pd.errors.EmptyDataError) as e:
        if isinstance(e, DataError):
            raise
        first_line = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        raise DataError(f"{p}: cannot read as {suffix[1:]}: {first_line}") from None
    return history_from_frame(frame, str(p))


def _time_column(frame: pd.DataFrame, names: dict[str, Any], label: str) -> pd.Series[Any]:
    for name in TIME_COLUMNS:
        if name in names:
            column: pd.Series[Any] = frame[names[name]]
            return column
    first = frame.columns[0] if len(frame.columns) else None
    if isinstance(first, str) and (first.strip() == "" or first.lower().startswith(("unnamed", "index"))):
        column = frame[first]
        return column
    if not isinstance(frame.index, pd.RangeIndex):
        return pd.Series(frame.index, index=pd.RangeIndex(len(frame)), name=frame.index.name or "index")
    raise DataError(f"{label}: no time column (looked for {', '.join(TIME_COLUMNS)}, "
                    f"an unnamed first column or a time index)")


def _epoch_seconds(column: pd.Series[Any], label: str) -> Ints:
    values = column.reset_index(drop=True)
    if pd.api.types.is_numeric_dtype(values.dtype) and not pd.api.types.is_bool_dtype(values.dtype):
        numbers = values.to_numpy(dtype=np.float64)
        bad = np.flatnonzero(~np.isfinite(numbers))
        if bad.size:
            raise DataError(f"{label}: column {column.name!r} row {bad[0] + 1}: not a time")
        raw = (values.to_numpy(dtype=np.int64) if pd.api.types.is_integer_dtype(values.dtype)
               else np.floor(numbers).astype(np.int64))
        # Numbers are epoch times; their size tells the unit (1e11 s is the
        # year 5138, so anything larger is finer than seconds).
        biggest = int(np.abs(raw).max()) if raw.size else 0
        for scale, limit in ((10**9, 10**17), (10**6, 10**14), (10**3, 10**11)):
            if biggest >= limit:
                return np.asarray(raw // scale, dtype=np.int64)
        return np.asarray(raw, dtype=np.int64)
    try:
        if pd.api.types.is_datetime64_any_dtype(values.dtype):
            times = pd.DatetimeIndex(values)
        else:
            times = pd.DatetimeIndex(pd.to_datetime(values, utc=True, format="mixed"))
    except (ValueError, TypeError, OverflowError) as e:
        raise DataError(f"{label}: column {column.name!r}: cannot read the times: {e}") from None
    if times.tz is None:
        times = times.tz_localize("UTC")
    missing = np.flatnonzero(times.isna())
    if missing.size:
        raise DataError(f"{label}: column {column.name!r} row {missing[0] + 1}: not a time")
    return np.asarray(times.as_unit("s").asi8, dtype=np.int64)


def history_from_frame(frame: pd.DataFrame, label: str = "frame") -> History:
    """A history from a frame of OHLCV bars (see the module's description)."""
    if not isinstance(frame, pd.DataFrame):
        raise DataError(f"{label}: expected a pandas DataFrame of OHLCV bars, not {type(frame).__name__}")
    names: dict[str, Any] = {}
    for col in frame.columns:
        key = str(col).strip().lower()
        names.setdefault(key, col)
    missing = [c for c in PRICE_COLUMNS if c not in names]
    if missing:
        raise DataError(f"{label}: no {', '.join(repr(c) for c in missing)} column "
                        f"(columns: {', '.join(map(str, frame.columns))})")
    ts = _epoch_seconds(_time_column(frame, names, label), label)
    data: dict[str, Any] = {"ts": ts}
    for col in (*PRICE_COLUMNS, "volume"):
        if col not in names:
            data[col] = np.full(len(frame), np.nan)
            continue
        raw = frame[names[col]].reset_index(drop=True)
        values = pd.to_numeric(raw, errors="coerce").to_numpy(dtype=np.float64)
        if col == "volume":  # volume may be missing; it is not used to fit or measure prices
            bad = np.flatnonzero(values < 0)
        else:
            bad = np.flatnonzero(~np.isfinite(values) | (values <= 0))
        if bad.size:
            row = int(bad[0])
            what = "not a number" if not np.isfinite(values[row]) else (
                "not above zero" if col != "volume" else "negative")
            raise DataError(f"{label}: column {names[col]!r} row {row + 1}: {what} ({str(raw.iloc[row])!r})")
        data[col] = values
    candles = pd.DataFrame(data)
    if len(candles) < 2:
        raise DataError(f"{label}: {len(candles)} bars; at least 2 are needed")
    order = np.argsort(candles["ts"].to_numpy(), kind="stable")
    candles = candles.iloc[order].reset_index(drop=True)
    steps = np.diff(candles["ts"].to_numpy())
    repeated = np.flatnonzero(steps == 0)
    if repeated.size:
        raise DataError(f"{label}: time {iso_time(int(candles['ts'].iloc[repeated[0]]))} occurs twice")
    bar_secs = max(1, int(round(float(np.median(steps)))))
    return History(candles, bar_secs, _gaps(candles["ts"].to_numpy(), steps, bar_secs), label)


def _gaps(ts: Ints, steps: Ints, bar_secs: int) -> Gaps:
    # A step of up to half a bar beyond the bar length is jitter, not a gap.
    long = np.flatnonzero(steps * 2 > bar_secs * 3)
    missing = np.rint(steps[long] / bar_secs).astype(np.int64) - 1
    order = np.argsort(-missing, kind="stable")[:_LISTED_GAPS]
    largest = [(int(ts[long[i]]), int(missing[i])) for i in order]
    short = int(np.count_nonzero(steps * 2 < bar_secs))
    return Gaps(int(long.size), int(missing.sum()), largest, short)


def bar_returns(candles: pd.DataFrame) -> npt.NDArray[np.float64]:
    """Every bar's log return as the price walk makes it: the first bar's
    close over its open, then each close over the close before."""
    close = candles["close"].to_numpy(dtype=np.float64)
    before = np.concatenate(([float(candles["open"].iloc[0])], close[:-1]))
    return np.asarray(np.log(close / before), dtype=np.float64)
