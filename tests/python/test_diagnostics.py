"""Diagnostics of candles: price histories read from files and frames, the
statistics against hand-computed and known values, runs' books, trades and
funding, and block-bootstrap comparisons."""

from __future__ import annotations

import json
import math

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("statsmodels")
pytest.importorskip("arch")

from talpen_synth import generate_frames, presets  # noqa: E402
from talpen_synth.diagnostics import DEFINITIONS, compare, diagnose, hill, sample_of  # noqa: E402
from talpen_synth.history import DataError, history_from_frame, read_history  # noqa: E402


def candles(closes, start=1_700_000_000, step=3600, spread=0.01):
    closes = np.asarray(closes, dtype=float)
    opens = np.concatenate(([closes[0]], closes[:-1]))
    return pd.DataFrame({"ts": start + step * np.arange(closes.size), "open": opens,
                         "high": np.maximum(opens, closes) * (1 + spread),
                         "low": np.minimum(opens, closes) * (1 - spread), "close": closes,
                         "volume": np.ones(closes.size)})


# --- Reading histories --------------------------------------------------------------------------------------

def test_history_reading_is_forgiving_about_form(tmp_path):
    # Columns in any case, times in an unnamed first column (as pandas writes
    # a dated frame), newest first, a weekend gap, no volume.
    text = (",OPEN,High,low,Close\n"
            "2024-01-08,104,106,103,105\n2024-01-05,102,105,101,104\n"
            "2024-01-04,101,103,100,102\n2024-01-03,100,102,99,101\n")
    (tmp_path / "p.csv").write_text(text)
    h = read_history(tmp_path / "p.csv")
    assert h.bar_secs == 86400
    assert h.candles["close"].tolist() == [101, 102, 104, 105]
    assert h.candles["ts"].iloc[0] == 1704240000  # 2024-01-03 UTC
    assert (h.gaps.count, h.gaps.missing_bars) == (1, 2)
    assert h.candles["volume"].isna().all()
    # Parquet of the same bars, times as epoch milliseconds in a "Timestamp" column.
    frame = h.candles.rename(columns={"ts": "Timestamp"}).assign(Timestamp=h.candles["ts"] * 1000)
    frame.to_parquet(tmp_path / "p.parquet")
    again = read_history(tmp_path / "p.parquet")
    assert again.candles["ts"].tolist() == h.candles["ts"].tolist()
    # Epoch seconds written as decimals are seconds all the same.
    frame.assign(Timestamp=h.candles["ts"] + 0.25).to_csv(tmp_path / "f.csv", index=False)
    assert read_history(tmp_path / "f.csv").candles["ts"].tolist() == h.candles["ts"].tolist()


@pytest.mark.parametrize("text, message", [
    ("ts,open,high,low\n1,1,1,1\n2,1,1,1\n", "no 'close' column"),
    ("ts,open,high,low,close\n1,1,1,1,1\n2,1,1,1,abc\n", "column 'close' row 2: not a number ('abc')"),
    ("ts,open,high,low,close\n1,1,1,1,1\n2,1,0,1,1\n", "column 'high' row 2: not above zero"),
    ("ts,open,high,low,close\n1,1,1,1,1\n1,1,1,1,1\n", "occurs twice"),
    ("open,high,low,close\n1,1,1,1\n2,1,1,1\n", "no time column"),
    ("date,open,high,low,close\nmonday,1,1,1,1\n", "cannot read the times"),
    ("ts,open,high,low,close\n1,1,1,1,1\n", "1 bars; at least 2 are needed"),
])
def test_bad_histories_name_the_file_and_field(tmp_path, text, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(DataError) as e:
        read_history(path)
    assert str(e.value).startswith(str(path)) and message in str(e.value)


# --- Statistics ---------------------------------------------------------------------------------------------

def test_statistics_of_a_path_worked_by_hand():
    # Closes 100 120 90 110 130 65: returns ln(1.2) ..., the largest fall from
    # 130 to 65 (50%), two bars under 120 then one under 130.
    d = diagnose(candles([100, 120, 90, 110, 130, 65], spread=0.0))
    r = np.diff(np.log([100, 120, 90, 110, 130, 65]))
    assert d["returns"]["count"] == 5
    assert d["returns"]["mean"] == pytest.approx(r.mean())
    assert d["returns"]["std"] == pytest.approx(r.std(ddof=1))
    assert d["drawdowns"]["max_drawdown"] == pytest.approx(0.5)
    assert d["drawdowns"]["longest_drawdown_bars"] == 2
    assert d["drawdowns"]["time_under_water"] == pytest.approx(3 / 6)
    # Flat candles (high == low) have no shape; bodies fill the others.
    assert d["candles"]["body_ratio_mean"] == pytest.approx(1.0)


def test_candle_shape_ratios():
    frame = pd.DataFrame({"ts": [0, 60, 120], "open": [100, 100, 100], "high": [110, 110, 104],
                          "low": [90, 90, 96], "close": [100, 105, 98], "volume": [1, 1, 1]})
    c = diagnose(frame)["candles"]
    # Bars 1 and 2: bodies 5/20 and 2/8, upper wicks 5/20 and 4/8, lower 10/20 and 2/8.
    assert c["body_ratio_mean"] == pytest.approx(0.25)
    assert c["upper_wick_ratio_mean"] == pytest.approx((0.25 + 0.5) / 2)
    assert c["lower_wick_ratio_mean"] == pytest.approx((0.5 + 0.25) / 2)


def test_hill_recovers_a_pareto_tail():
    rng = np.random.default_rng(5)
    alpha, k = hill(rng.pareto(3.0, 40_000) + 1.0)
    assert k == 2000 and alpha == pytest.approx(3.0, rel=0.1)


def test_every_statistic_is_defined_and_the_output_is_json():
    d = diagnose(presets.spec_text("perp-funding"), label="perp")
    json.dumps(d, allow_nan=False)
    names = set()
    for section in ("returns", "autocorrelation", "drawdowns", "candles", "book", "trades", "funding"):
        names |= {k for k in d[section] if k not in ("lags", "snapshots", "trades", "points", "spec")}
    names -= {"interval_bars", "rate_mean", "rate_std", "rate_min", "rate_max", "spec_spread_bps",
              "spec_trade_rate", "poisson_rate", "qty_mean", "buy_share"}
    assert names <= set(DEFINITIONS), names - set(DEFINITIONS)
    assert len(d["autocorrelation"]["acf_abs_returns"]) == 50


def test_a_run_against_its_spec():
    d = diagnose(presets.spec_text("default"))
    for regime in d["regimes"]:
        # Each regime's realised vol, fitted under its own kind (tolerance: 15%).
        assert regime["vol_ratio"] == pytest.approx(1.0, abs=0.15), regime
    book, trades, funding = d["book"], d["trades"], d["funding"]
    assert book["depth_levels"] == 5 and book["spread_over_base_median"] >= 1.0
    assert trades["trade_count"]["dispersion_index"] == pytest.approx(1.0, abs=0.15)
    assert trades["poisson_chi2"]["pvalue"] > 0.001
    assert (funding["points"], funding["interval_bars"]) == (3, 480)


def test_trade_counts_that_are_not_poisson_are_found():
    sample = sample_of(presets.spec_text("default"))
    ts = sample.candles["ts"].to_numpy()
    lumpy = np.repeat(ts[::2], 6)  # 0 and 6 trades in turn: mean 3, far from Poisson(3)
    trades = pd.DataFrame({"ts": lumpy, "qty": 1.0, "side": "buy"})
    d = diagnose(type(sample)(sample.label, sample.candles, sample.bar_secs, None, sample.spec, sample.book,
                              trades, sample.funding))
    assert d["trades"]["trade_count"]["dispersion_index"] == pytest.approx(3.0, abs=0.01)  # variance 9, mean 3
    assert d["trades"]["poisson_chi2"]["pvalue"] < 1e-9


def test_compare_marks_what_differs_and_nothing_else():
    def spec(vol, seed):
        return {"seed": seed, "bars": 1500, "start_price": 100.0, "bar_secs": 60,
                "regimes": [{"kind": "vol", "len": 1500, "drift": 0.0, "vol": vol}],
                "microstructure": {"book_depth": 1, "spread_bps": 1.0, "trade_rate": 1.0}}
    base, wider = (generate_frames(spec(v, s)).candles for v, s in ((0.01, 1), (0.02, 3)))
    cmp = compare([base, base, wider], reps=100, seed=3)
    rows = {r["label"]: r for r in cmp["statistics"]}
    assert cmp["differences"][1] == []  # a source never differs from itself
    # Twice the vol: every measure of scale differs, the scale-free kurtosis does not.
    for label in ("std", "quantile 0.01", "quantile 0.99", "hl_range_mean"):
        assert rows[label]["differs"] == [None, False, True], label
    assert not rows["excess_kurtosis"]["differs"][2]
    lo, hi = rows["std"]["intervals"][0]
    assert lo < rows["std"]["values"][0] < hi
    assert compare([base, wider], reps=100, seed=3)["statistics"] == compare([base, wider], reps=100,
                                                                             seed=3)["statistics"]


def test_history_split_keeps_every_bar():
    h = history_from_frame(candles(np.linspace(100, 110, 11)))
    a, b = h.split(4)
    assert (a.bars, b.bars) == (4, 7) and b.candles["ts"].iloc[0] == h.candles["ts"].iloc[4]
    assert math.isclose(b.candles["close"].iloc[-1], 110)
