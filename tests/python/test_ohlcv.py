"""Frames in the layouts other tools take: the OHLCV frame run through a real
backtesting library, resampling, `available_at`, sweeps that name the failing
seed, and Parquet options checked before anything is written."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import talpen_synth
from talpen_synth import SweepError, SweepFailure, presets, sweep, to_ohlcv

from conftest import WORKED_SPEC, make_spec


def test_the_frame_is_the_candles_with_their_trades():
    spec = presets.spec_text("flash-crash")
    frame = to_ohlcv(spec)
    candles, _, trades, _ = talpen_synth.generate_arrays(spec)
    assert list(frame.columns) == ["Open", "High", "Low", "Close", "Volume", "Trades", "TradeQty"]
    assert str(frame.index.dtype) == "datetime64[s, UTC]" and frame.index.is_monotonic_increasing
    assert (frame.index.asi8 == candles["ts"]).all()
    for ours, theirs in [("Open", "open"), ("High", "high"), ("Low", "low"), ("Close", "close"), ("Volume", "volume")]:
        assert np.array_equal(frame[ours].to_numpy(), candles[theirs])
    by_bar = pd.Series(trades["qty"]).groupby(trades["ts"])
    assert frame["Trades"].sum() == len(trades["seq"]) and frame["Trades"].dtype == np.int64
    assert np.array_equal(frame["Trades"][frame["Trades"] > 0].to_numpy(), by_bar.size().to_numpy())
    assert np.allclose(frame["TradeQty"][frame["Trades"] > 0].to_numpy(), by_bar.sum().to_numpy())


def test_a_run_without_trades_keeps_the_column_types():
    frame = to_ohlcv(make_spec(microstructure={**WORKED_SPEC["microstructure"], "trade_rate": 0.0}))
    assert frame["Trades"].sum() == 0
    assert (frame["Trades"].dtype, frame["TradeQty"].dtype) == (np.int64, np.float64)


def test_resampling_folds_whole_bars():
    spec = presets.spec_text("default")  # minute bars
    fine, coarse = to_ohlcv(spec), to_ohlcv(spec, "15min")
    assert len(coarse) == 96 and (coarse.index[1] - coarse.index[0]) == pd.Timedelta(minutes=15)
    first = fine.iloc[:15]
    assert coarse.iloc[0].to_dict() == pytest.approx({
        "Open": first["Open"].iloc[0], "High": first["High"].max(), "Low": first["Low"].min(),
        "Close": first["Close"].iloc[-1], "Volume": first["Volume"].sum(), "Trades": first["Trades"].sum(),
        "TradeQty": first["TradeQty"].sum()})
    assert coarse["Trades"].sum() == fine["Trades"].sum()
    for rule in ("30s", "90s"):
        with pytest.raises(ValueError, match="whole number of the spec's 60-second bars"):
            to_ohlcv(spec, rule)


def test_a_backtesting_library_runs_on_the_frame():
    backtesting = pytest.importorskip("backtesting")
    from backtesting.lib import crossover
    from backtesting.test import SMA

    class SmaCross(backtesting.Strategy):
        def init(self):
            self.fast = self.I(SMA, self.data.Close, 10)
            self.slow = self.I(SMA, self.data.Close, 30)

        def next(self):
            if crossover(self.fast, self.slow):
                self.buy()
            elif crossover(self.slow, self.fast):
                self.position.close()

    frame = to_ohlcv(presets.spec_text("choppy-range"))
    stats = backtesting.Backtest(frame, SmaCross, cash=10_000, finalize_trades=True).run()
    assert stats["# Trades"] > 5
    assert stats["Start"] == frame.index[0] and stats["End"] == frame.index[-1]
    again = backtesting.Backtest(frame, SmaCross, cash=10_000, finalize_trades=True).run()
    assert stats["Equity Final [$]"] == again["Equity Final [$]"]  # the same spec, the same backtest


@pytest.mark.parametrize("make", ["arrays", "frames", "arrow"])
def test_books_and_trades_are_available_at_the_end_of_their_bar(make):
    spec = make_spec(bar_secs=60)
    tables = {"arrays": talpen_synth.generate_arrays, "frames": talpen_synth.generate_frames,
              "arrow": talpen_synth.to_arrow}[make](spec)
    for table in (tables.book, tables.trades):
        # Arrays keep int64 seconds; Arrow and frames have UTC timestamps of those seconds.
        ts, available = (np.asarray(table[c] if make != "frames" else table[c].dt.tz_localize(None))
                         for c in ("ts", "available_at"))
        assert available.dtype == (np.int64 if make == "arrays" else np.dtype("datetime64[s]"))
        assert (available.view(np.int64) - ts.view(np.int64) == 60).all()
    assert "available_at" not in (tables.candles.column_names if make == "arrow" else list(tables.candles))
    dated = talpen_synth.generate_frames(spec, datetimes=True).book
    assert ((dated["available_at"] - dated["ts"]) == pd.Timedelta(seconds=60)).all()


def test_a_bar_ending_past_int64_ends_at_its_last_second():
    spec = make_spec(bars=1, start_ts=2**63 - 10, regimes=[{"kind": "vol", "len": 1, "drift": 0.0, "vol": 0.01}])
    assert talpen_synth.generate_arrays(spec).book["available_at"].tolist() == [2**63 - 1] * 4
    assert talpen_synth.to_arrow(spec).book["available_at"].cast("int64").to_pylist() == [2**63 - 1] * 4


BAD = make_spec(seed=5, bars=1, regimes=[{"kind": "trend", "len": 1, "drift": 0.0, "vol": 3000.0}])


def test_a_sweep_names_the_seed_that_failed_or_collects_it():
    with pytest.raises(SweepError, match=r"^spec 1 \(seed 5\): numeric: ") as raised:
        list(sweep([WORKED_SPEC, BAD, WORKED_SPEC], progress=False))
    assert raised.value.failure == SweepFailure(1, 5, "numeric: price walk produced a non-finite value")
    out = sorted(sweep([WORKED_SPEC, BAD, "{", WORKED_SPEC], progress=False, errors="collect"),
                 key=lambda r: r.index)
    assert [type(r).__name__ for r in out] == ["SweepResult", "SweepFailure", "SweepFailure", "SweepResult"]
    assert out[2].seed is None and out[2].error.startswith("parse: ")
    seeded = list(sweep(WORKED_SPEC, [1, -1, 2], progress=False, errors="collect"))
    assert sorted((r.seed, isinstance(r, SweepFailure)) for r in seeded) == [(-1, True), (1, False), (2, False)]


def test_unknown_parquet_options_are_refused_before_anything_is_made(tmp_path):
    with pytest.raises(TypeError, match="unknown Parquet option 'compresion' \\(did you mean 'compression'\\?\\)"):
        talpen_synth.write_parquet(WORKED_SPEC, tmp_path / "out", compresion="zstd")
    assert not (tmp_path / "out").exists()
    for codec in ("no-such-codec", "lzo"):  # lzo: a name pyarrow knows but cannot write
        with pytest.raises(ValueError, match=f"compression '{codec}' is not one this pyarrow writes"):
            talpen_synth.write_parquet(WORKED_SPEC, tmp_path / "out", compression=codec)
        assert not (tmp_path / "out").exists()
