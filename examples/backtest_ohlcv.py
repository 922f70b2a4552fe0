"""Backtest a moving-average crossover on a synthetic flash crash.

`talpen_synth.to_ohlcv` gives the frame backtesting.py takes (Open, High, Low,
Close, Volume on a UTC DatetimeIndex of bar opening times). The strategy also
reads the order book's quoted spread, and that is where look-ahead creeps in:
a bar's book is quoted around its close, so it is known at `available_at`
(the bar's end), not at its `ts`. The join below is on `available_at`, so the
row of bar i sees the book of bar i - 1, the latest one known when bar i opens.

    pip install 'talpen_synth[frames]' backtesting
    python examples/backtest_ohlcv.py
"""

from __future__ import annotations

import pandas as pd
from backtesting import Backtest, Strategy
from backtesting.lib import crossover
from backtesting.test import SMA

import talpen_synth
from talpen_synth import presets

spec = presets.spec_text("flash-crash")
ohlcv = talpen_synth.to_ohlcv(spec)

# The best bid and ask of every book, indexed by when they are known.
book = talpen_synth.generate_frames(spec, datetimes=True).book
best = book[book["level"] == 0].pivot(index="available_at", columns="side", values="price")
spread = ((best["ask"] - best["bid"]) / best["bid"] * 1e4).rename("SpreadBps")
# Each bar gets the last spread known at its opening time: never its own.
data = pd.merge_asof(ohlcv, spread.to_frame(), left_index=True, right_index=True)


class CrossWhenCalm(Strategy):
    fast, slow, widest_bps = 10, 40, 4.0

    def init(self) -> None:
        self.fast_ma = self.I(SMA, self.data.Close, self.fast)
        self.slow_ma = self.I(SMA, self.data.Close, self.slow)

    def next(self) -> None:
        calm = self.data.SpreadBps[-1] <= self.widest_bps  # NaN on the first bar: not calm
        if crossover(self.fast_ma, self.slow_ma) and calm:
            self.buy()
        elif crossover(self.slow_ma, self.fast_ma):
            self.position.close()


stats = Backtest(data, CrossWhenCalm, cash=100_000, commission=0.0005, finalize_trades=True).run()
print(stats[["Start", "End", "# Trades", "Return [%]", "Max. Drawdown [%]", "Win Rate [%]"]].to_string())
