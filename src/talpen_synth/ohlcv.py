"""A run as the OHLCV frame that backtesting and charting libraries take.

:func:`to_ohlcv` gives one row per bar, indexed by the bar's opening time as
a UTC ``DatetimeIndex``, with the columns ``Open``, ``High``, ``Low``,
``Close`` and ``Volume`` (backtesting.py, mplfinance, vectorbt and most
others read these names) and two more from the trades: ``Trades``, how many
printed in the bar, and ``TradeQty``, their summed quantity. The candle's
``Volume`` and the trades are independent draws of the model: ``Volume`` is
not the sum of the trades' quantities.
"""

from __future__ import annotations

from types import ModuleType
from typing import TYPE_CHECKING, Any

from ._extras import require
from .frames import Spec, _datetimes, bar_secs_of, generate_arrays

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["to_ohlcv", "OHLCV_COLUMNS"]

OHLCV_COLUMNS = ("Open", "High", "Low", "Close", "Volume", "Trades", "TradeQty")

# How each column folds into a coarser bar.
_FOLD = {"Open": "first", "High": "max", "Low": "min", "Close": "last", "Volume": "sum", "Trades": "sum",
         "TradeQty": "sum"}


def to_ohlcv(spec: Spec, rule: str | None = None) -> pd.DataFrame:
    """Run `spec` and return its candles as an OHLCV frame (see the module).

    `rule` resamples to coarser bars, in pandas' words (``"15min"``, ``"1h"``,
    ``"1D"``): the first open, the highest high, the lowest low, the last
    close, and the sums of ``Volume``, ``Trades`` and ``TradeQty``. Bins are
    labelled by their opening time. A fixed rule must be a whole number of the
    spec's bars. Needs NumPy and pandas (extra ``frames``).
    """
    np = require("numpy", "frames", "to_ohlcv")
    pandas = require("pandas", "frames", "to_ohlcv")
    candles, _, trades, _ = generate_arrays(spec)
    offset = _check_rule(rule, bar_secs_of(spec), pandas) if rule is not None else None
    ts = candles["ts"]
    # Every trade carries its bar's opening time, and bars are in time order.
    bar_of_trade = np.searchsorted(ts, trades["ts"])
    frame: pd.DataFrame = pandas.DataFrame({
        "Open": candles["open"], "High": candles["high"], "Low": candles["low"], "Close": candles["close"],
        "Volume": candles["volume"],
        "Trades": np.bincount(bar_of_trade, minlength=ts.size).astype(np.int64),
        # Without a trade numpy's weighted count comes out as whole numbers.
        "TradeQty": np.bincount(bar_of_trade, weights=trades["qty"], minlength=ts.size).astype(np.float64,
                                                                                                copy=False),
    }, index=_datetimes(ts, np, pandas).rename("ts"), copy=False)
    if offset is None:
        return frame
    coarse: pd.DataFrame = frame.resample(offset, label="left", closed="left").agg(_FOLD)
    return coarse


def _check_rule(rule: str, bar_secs: int, pandas: ModuleType) -> Any:
    try:
        offset = pandas.tseries.frequencies.to_offset(rule)
    except ValueError as error:
        raise ValueError(f"rule {rule!r} is not a pandas frequency: {error}") from None
    if isinstance(offset, pandas.offsets.Tick):
        nanos = int(offset.nanos)
        if nanos % (bar_secs * 1_000_000_000) or nanos == 0:
            raise ValueError(f"rule {rule!r} is not a whole number of the spec's {bar_secs}-second bars; "
                             "to_ohlcv only makes coarser bars of whole bars")
    return offset
