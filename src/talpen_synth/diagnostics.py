"""Measured properties of candles: the stylized facts of returns, candle
shapes and drawdowns, and from a run its books, trades and funding.

A source is a run (a spec, as a dict, JSON text or file, or ``preset:NAME``),
a pandas frame of OHLCV bars, or a CSV or Parquet file of them (see
:mod:`talpen_synth.history`). :func:`diagnose` returns a JSON-able dict whose
keys name each statistic plainly; ``DEFINITIONS`` says exactly what each one
is, and the dict carries those definitions with it.

Returns are close-to-close log returns, so a history of n bars has n - 1 of
them; candle shapes are measured over the same n - 1 bars. Autocorrelations
and Ljung-Box tests come from statsmodels, moments and tests from scipy;
confidence intervals (:func:`bootstrap_intervals`, :func:`compare`) from
arch's stationary block bootstrap, which resamples whole stretches of bars so
that the dependence between neighbouring bars (volatility clustering) is kept.
"""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeAlias, Union, cast

from ._extras import missing_stats

try:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd
    from arch.bootstrap import StationaryBootstrap, optimal_block_length
    from scipy import stats as sps
    from statsmodels.stats.diagnostic import acorr_ljungbox
    from statsmodels.tsa.stattools import acf
except ImportError:  # pragma: no cover - depends on the installation
    missing_stats("talpen_synth.diagnostics")

from . import kinds, presets
from ._spec import normalize
from .frames import RunTables, generate_frames, spec_json
from .history import OHLCV_SUFFIXES, DataError, Gaps, History, bar_returns, history_from_frame, iso_time, \
    read_history
from .spec_files import SpecFileError, describe_error, read_spec_file

__all__ = ["DEFINITIONS", "COMPARED", "Sample", "SpecParts", "load_source", "sample_of", "diagnose",
           "bootstrap_intervals", "compare"]

Floats = npt.NDArray[np.float64]

MAX_LAG = 50
QUANTILES = (0.01, 0.05, 0.25, 0.5, 0.75, 0.95, 0.99)
LJUNG_BOX_LAGS = (1, 5, 10, 20, 50)
HILL_SHARE = 0.05

DEFINITIONS: dict[str, str] = {
    "returns": "close-to-close log returns r[i] = ln(close[i] / close[i-1]), i = 1..n-1",
    "count": "number of returns (bars less one)",
    "mean": "arithmetic mean of the returns",
    "std": "sample standard deviation of the returns (divisor count - 1)",
    "skew": "adjusted Fisher-Pearson sample skewness of the returns (scipy.stats.skew, bias=False)",
    "excess_kurtosis": "sample kurtosis of the returns less 3, bias-corrected "
                       "(scipy.stats.kurtosis, fisher=True, bias=False); 0 for a normal law",
    "quantiles": "empirical quantiles of the returns (numpy.quantile, linear interpolation)",
    "hill_tail_index": "Hill estimate of the tail index alpha over the k largest absolute returns: "
                       "1 / (mean of ln|r|(j), j = 1..k, less ln|r|(k+1)), |r|(1) the largest; "
                       "smaller means heavier tails (a normal law gives large values)",
    "hill_k": "k of the Hill estimate: the largest 5% of absolute returns, at least 1",
    "acf_returns": "autocorrelation of the returns at lags 1..lags (statsmodels acf)",
    "acf_abs_returns": "autocorrelation of the absolute returns at lags 1..lags; positive values "
                       "that decay slowly are volatility clustering",
    "ljung_box_returns": "Ljung-Box test of no autocorrelation in the returns up to each lag "
                         "(statsmodels acorr_ljungbox): statistic and p-value",
    "ljung_box_abs_returns": "the same test on the absolute returns",
    "max_drawdown": "largest fall from a running peak of the close, as a fraction of the peak",
    "max_drawdown_peak": "time of the peak before the largest fall",
    "max_drawdown_trough": "time of the bottom of the largest fall",
    "longest_drawdown_bars": "longest stretch of consecutive bars closing below an earlier peak",
    "time_under_water": "share of bars closing below an earlier peak",
    "hl_range_mean": "mean of ln(high / low) over the bars",
    "hl_range_median": "median of ln(high / low)",
    "body_ratio_mean": "mean of |close - open| / (high - low), bars with high > low",
    "upper_wick_ratio_mean": "mean of (high - max(open, close)) / (high - low), bars with high > low",
    "lower_wick_ratio_mean": "mean of (min(open, close) - low) / (high - low), bars with high > low",
    "regimes": "per regime of the spec: its bars' log returns (the first against the regime's opening "
               "price) fitted by maximum likelihood under the regime's kind; realised_vol is that fit's "
               "vol, realised_std the plain standard deviation, vol_ratio realised_vol / spec vol",
    "spread_bps": "best ask less best bid over their midpoint, in basis points, per book snapshot",
    "spread_over_base_median": "median spread over the spec's spread_bps (the base spread; "
                               "the quoted spread widens with the bar's move)",
    "depth_levels": "price levels a side per snapshot (median)",
    "level0_qty_mean": "mean quantity at the best level, both sides",
    "side_qty_mean": "mean quantity summed over a side's levels",
    "trade_count": "number of trades per bar: mean, variance and variance / mean (dispersion index, "
                   "1 for a Poisson law)",
    "poisson_chi2": "chi-square goodness-of-fit test of the per-bar trade counts against a Poisson law "
                    "with the spec's trade_rate (or the mean count, one degree of freedom less, without "
                    "a spec); counts binned so each bin expects at least 5 bars",
    "funding": "funding points: number, bars between them (median) and the rates' mean, std, min, max",
    "block_length": "mean block length of the stationary bootstrap: the larger of the Politis-White "
                    "estimates for the returns and the absolute returns (arch optimal_block_length), "
                    "between 2 bars and a tenth of the returns",
    "interval": "95% interval of the statistic from stationary block-bootstrap resamples: the 2.5% and "
                "97.5% quantiles of the resampled values, shifted by the statistic less their median so that "
                "the interval is centred on the statistic (resampling in blocks pulls autocorrelations "
                "toward 0, which would otherwise leave a value outside its own interval)",
    "differs": "the value lies outside the first source's 95% interval, or the first source's value "
               "outside this source's interval; a screen, not a test at the 5% level: two samples of one "
               "law are marked in about one statistic in five",
}


# --- Sources ------------------------------------------------------------------------------------------------

@dataclass(frozen=True)
class Regime:
    kind: kinds.Kind
    bars: int
    drift: float
    vol: float


@dataclass(frozen=True)
class SpecParts:
    """The fields of a spec that diagnostics compare against."""

    bar_secs: int
    regimes: list[Regime]
    microstructure: dict[str, Any]

    @staticmethod
    def of(spec: Mapping[str, Any] | str) -> SpecParts:
        """The fields of a spec (a dict or JSON text), as the module reads
        them; ValueError with the module's message for a spec it refuses."""
        fields = normalize(spec_json(spec))
        if fields is None:
            raise ValueError("bad spec: no spec set")
        doc = cast(dict[str, Any], fields)
        regimes = [Regime(r["kind"], int(r["len"]), float(r["drift"]), float(r["vol"])) for r in doc["regimes"]]
        m = doc["microstructure"]
        micro: dict[str, Any] = {"book_depth": int(m["book_depth"]), "spread_bps": float(m["spread_bps"]),
                                 "trade_rate": float(m["trade_rate"])}
        if m.get("funding") is not None:
            f = m["funding"]
            micro["funding"] = {"interval_bars": int(f["interval_bars"]), "base_rate": float(f["base_rate"]),
                                "sensitivity": float(f["sensitivity"])}
        return SpecParts(int(doc["bar_secs"]), regimes, micro)


@dataclass(frozen=True)
class Sample:
    """What diagnostics read: candles (the columns of a run's candles table)
    and, from a run, its spec and other tables."""

    label: str
    candles: pd.DataFrame
    bar_secs: int
    gaps: Gaps | None = None
    spec: SpecParts | None = None
    book: pd.DataFrame | None = None
    trades: pd.DataFrame | None = None
    funding: pd.DataFrame | None = None

    @property
    def is_run(self) -> bool:
        return self.book is not None


SourceLike: TypeAlias = Union[Sample, History, pd.DataFrame, "RunTables[pd.DataFrame]", Mapping[str, Any], str,
                              os.PathLike[str]]


def run_sample(spec: Mapping[str, Any] | str, label: str = "run") -> Sample:
    """Run a spec (dict or JSON text, read as the Synth constructor reads it)
    and take its four tables."""
    try:
        fields = normalize(spec_json(spec))
        if fields is None:
            raise ValueError("bad spec: no spec set")
        tables = generate_frames(fields, datetimes=False)
    except ValueError as e:
        raise DataError(f"{label}: {e}") from None
    parts = SpecParts.of(fields)
    return Sample(label, tables.candles, parts.bar_secs, None, parts, tables.book, tables.trades,
                  tables.funding)


def load_source(source: str | os.PathLike[str]) -> Sample:
    """A source named as the command line names it: ``preset:NAME``, an OHLCV
    file (``.csv``, ``.parquet``, ``.pq``) or a spec file (anything else: JSON,
    or TOML or YAML by their extensions)."""
    text = os.fspath(source)
    if text.startswith("preset:"):
        name = text[len("preset:"):]
        try:
            spec = presets.spec_text(name)
        except KeyError:
            raise DataError(f"unknown preset {name!r} (known: {', '.join(presets.names())})") from None
        return run_sample(spec, text)
    if Path(text).suffix.lower() in OHLCV_SUFFIXES:
        history = read_history(text)
        return Sample(history.label, history.candles, history.bar_secs, history.gaps)
    return run_sample(spec_file_text(text), text)


def spec_file_text(path: str) -> str:
    """The spec of a JSON, TOML or YAML file as JSON text, checked as the
    Synth constructor checks it; DataError naming the file (and, for TOML and
    YAML, the field) of a spec that cannot be read or is refused."""
    try:
        spec_file = read_spec_file(path)
    except SpecFileError as e:
        raise DataError(str(e)) from None
    try:
        if normalize(spec_file.text) is None:
            raise ValueError("bad spec: no spec set")
    except ValueError as e:
        raise DataError(describe_error(spec_file, str(e))) from None
    return spec_file.text


def sample_of(source: SourceLike, spec: Mapping[str, Any] | str | None = None, label: str | None = None) -> Sample:
    """Any source as a :class:`Sample`: a str is JSON spec text when it starts
    with "{" or "[", else a name as :func:`load_source` takes it. `spec` (for
    a frame or file of a run's candles) adds the per-regime comparison."""
    if isinstance(source, Sample):
        sample = source
    elif isinstance(source, History):
        sample = Sample(source.label, source.candles, source.bar_secs, source.gaps)
    elif isinstance(source, RunTables):
        candles = source.candles
        sample = Sample(label or "run", candles, _median_step(candles), None, None, source.book, source.trades,
                        source.funding)
    elif isinstance(source, pd.DataFrame):
        history = history_from_frame(source, label or "frame")
        sample = Sample(history.label, history.candles, history.bar_secs, history.gaps)
    elif isinstance(source, Mapping) or (isinstance(source, str) and source.lstrip()[:1] in ("{", "[")):
        sample = run_sample(source, label or "spec")
    else:
        sample = load_source(source)
    if spec is not None:
        parts = SpecParts.of(spec)
        sample = Sample(sample.label, sample.candles, parts.bar_secs, sample.gaps, parts, sample.book,
                        sample.trades, sample.funding)
    if len(sample.candles) < 3:
        raise DataError(f"{sample.label}: {len(sample.candles)} bars; diagnostics need at least 3")
    return sample


def _median_step(candles: pd.DataFrame) -> int:
    ts = candles["ts"].to_numpy()
    return int(np.median(np.diff(ts))) if ts.size > 1 else 3600


# --- Statistics ---------------------------------------------------------------------------------------------

def _num(x: Any) -> float | None:
    """A JSON number, or None for what JSON cannot say (NaN, infinities)."""
    value = float(x)
    return value if math.isfinite(value) else None


@dataclass(frozen=True)
class BarFeatures:
    """Per bar that has a return (all but the first): the return and the
    candle's shape."""

    returns: Floats
    hl_range: Floats
    body: Floats
    upper: Floats
    lower: Floats

    @staticmethod
    def of(candles: pd.DataFrame) -> BarFeatures:
        o, hi, lo, c = (candles[k].to_numpy(dtype=np.float64)[1:] for k in ("open", "high", "low", "close"))
        close = candles["close"].to_numpy(dtype=np.float64)
        span = hi - lo
        with np.errstate(divide="ignore", invalid="ignore"):
            ok = span > 0
            body = np.where(ok, np.abs(c - o) / span, np.nan)
            upper = np.where(ok, (hi - np.maximum(o, c)) / span, np.nan)
            lower = np.where(ok, (np.minimum(o, c) - lo) / span, np.nan)
        return BarFeatures(np.diff(np.log(close)), np.log(hi / lo), body, upper, lower)

    def matrix(self) -> Floats:
        return np.column_stack((self.returns, self.hl_range, self.body, self.upper, self.lower))


def hill(abs_returns: Floats, share: float = HILL_SHARE) -> tuple[float, int]:
    """(tail index, k) by Hill's estimator over the largest `share` of values."""
    x = np.sort(abs_returns)[::-1]
    k = max(1, int(share * x.size))
    if x.size <= k or x[k] <= 0.0:
        return math.nan, k
    return float(1.0 / (np.mean(np.log(x[:k])) - math.log(x[k]))), k


def _drawdown_path(returns: Floats) -> Floats:
    level = np.concatenate(([0.0], np.cumsum(returns)))
    return np.asarray(np.exp(level - np.maximum.accumulate(level)) - 1.0, dtype=np.float64)


def _longest_run(mask: npt.NDArray[np.bool_]) -> int:
    best = run = 0
    for flag in mask:
        run = run + 1 if flag else 0
        best = max(best, run)
    return best


def acf_lags(x: Floats, lags: int) -> Floats:
    """Autocorrelations at lags 1..lags (NaN for a constant series)."""
    if x.size < 2 or float(np.var(x)) == 0.0:
        return np.full(lags, np.nan)
    return np.asarray(acf(x, nlags=lags, fft=True, missing="none"), dtype=np.float64)[1:]


def _ljung_box(x: Floats, lags: int) -> dict[str, Any]:
    chosen = [lag for lag in LJUNG_BOX_LAGS if lag <= lags]
    if not chosen or float(np.var(x)) == 0.0:
        return {"lags": chosen, "statistic": [None] * len(chosen), "pvalue": [None] * len(chosen)}
    table = acorr_ljungbox(x, lags=chosen)
    return {"lags": chosen, "statistic": [_num(v) for v in table["lb_stat"]],
            "pvalue": [_num(v) for v in table["lb_pvalue"]]}


def moments(r: Floats) -> tuple[float, float, float, float]:
    """Mean, standard deviation, skew and excess kurtosis, as DEFINITIONS says."""
    with warnings.catch_warnings():
        # A constant series has no skew or kurtosis: NaN, said in the output.
        warnings.simplefilter("ignore", RuntimeWarning)
        return (float(np.mean(r)), float(np.std(r, ddof=1)), float(sps.skew(r, bias=False)),
                float(sps.kurtosis(r, fisher=True, bias=False)))


def _return_stats(r: Floats) -> dict[str, Any]:
    mean, std, skew, kurt = moments(r)
    alpha, k = hill(np.abs(r))
    return {"count": int(r.size), "mean": _num(mean), "std": _num(std), "skew": _num(skew),
            "excess_kurtosis": _num(kurt),
            "quantiles": {str(q): _num(v) for q, v in zip(QUANTILES, np.quantile(r, QUANTILES))},
            "hill_tail_index": _num(alpha), "hill_k": k}


def _drawdown_stats(r: Floats, ts: npt.NDArray[np.int64]) -> dict[str, Any]:
    dd = _drawdown_path(r)
    trough = int(np.argmin(dd))
    peak = int(np.argmax(np.concatenate(([0.0], np.cumsum(r)))[:trough + 1]))
    return {"max_drawdown": _num(-dd[trough]), "max_drawdown_peak": iso_time(int(ts[peak])),
            "max_drawdown_trough": iso_time(int(ts[trough])),
            "longest_drawdown_bars": _longest_run(dd < 0), "time_under_water": _num(np.mean(dd < 0))}


def _candle_stats(f: BarFeatures) -> dict[str, Any]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all bars flat: NaN, said as null
        return {"hl_range_mean": _num(np.mean(f.hl_range)), "hl_range_median": _num(np.median(f.hl_range)),
                "body_ratio_mean": _num(np.nanmean(f.body)), "upper_wick_ratio_mean": _num(np.nanmean(f.upper)),
                "lower_wick_ratio_mean": _num(np.nanmean(f.lower))}


def _regime_stats(candles: pd.DataFrame, spec: SpecParts) -> list[dict[str, Any]]:
    h = bar_returns(candles)
    out = []
    start = 0
    for regime in spec.regimes:
        part = h[start:start + regime.bars]
        row: dict[str, Any] = {"kind": regime.kind, "start_bar": start, "bars": regime.bars,
                               "spec_drift": regime.drift, "spec_vol": regime.vol}
        if part.size:
            fit = kinds.fit_kind(regime.kind, part)
            std = float(np.std(part, ddof=1)) if part.size > 1 else math.nan
            row.update({"realised_drift": _num(fit.drift), "realised_vol": _num(fit.vol),
                        "realised_std": _num(std),
                        "vol_ratio": _num(fit.vol / regime.vol) if regime.vol > 0 else None})
        out.append(row)
        start += regime.bars
    return out


def _book_stats(book: pd.DataFrame, spec: SpecParts | None) -> dict[str, Any]:
    best = book[book["level"] == 0]
    bids = best[best["side"] == "bid"]["price"].to_numpy(dtype=np.float64)
    asks = best[best["side"] == "ask"]["price"].to_numpy(dtype=np.float64)
    spread = (asks - bids) / ((asks + bids) * 0.5) * 1e4
    per_side = book.groupby(["ts", "side"], observed=True)["qty"]
    out: dict[str, Any] = {
        "snapshots": int(bids.size),
        "spread_bps": {"mean": _num(np.mean(spread)), "median": _num(np.median(spread)),
                       "q05": _num(np.quantile(spread, 0.05)), "q95": _num(np.quantile(spread, 0.95))},
        "depth_levels": int(np.median(per_side.size().to_numpy())),
        "level0_qty_mean": _num(best["qty"].mean()),
        "side_qty_mean": _num(per_side.sum().mean()),
    }
    if spec is not None:
        base = spec.microstructure["spread_bps"]
        out["spec_spread_bps"] = base
        out["spread_over_base_median"] = _num(np.median(spread) / base) if base > 0 else None
    return out


def _poisson_chi2(counts: npt.NDArray[np.int64], rate: float, fitted: bool) -> dict[str, Any]:
    n = counts.size
    if rate <= 0 or n < 5:
        return {"statistic": None, "dof": None, "pvalue": None}
    # Bins 0, 1, ... while each expects at least 5 bars, the rest in one tail.
    top = 0
    while sps.poisson.sf(top, rate) * n >= 5 and sps.poisson.pmf(top + 1, rate) * n >= 5:
        top += 1
    expected = np.append(sps.poisson.pmf(np.arange(top + 1), rate), sps.poisson.sf(top, rate)) * n
    observed = np.append(np.bincount(np.minimum(counts, top + 1), minlength=top + 2)[:top + 1],
                         np.count_nonzero(counts > top))
    ddof = 1 if fitted else 0
    if observed.size - 1 - ddof < 1:
        return {"statistic": None, "dof": 0, "pvalue": None}
    result = sps.chisquare(observed, expected * (observed.sum() / expected.sum()), ddof=ddof)
    return {"statistic": _num(result.statistic), "dof": int(observed.size - 1 - ddof),
            "pvalue": _num(result.pvalue)}


def _trade_stats(trades: pd.DataFrame, candles: pd.DataFrame, spec: SpecParts | None) -> dict[str, Any]:
    ts = candles["ts"].to_numpy()
    counts = np.bincount(np.searchsorted(ts, trades["ts"].to_numpy()), minlength=ts.size)[:ts.size]
    mean = float(counts.mean())
    var = float(counts.var(ddof=1)) if counts.size > 1 else math.nan
    rate = spec.microstructure["trade_rate"] if spec is not None else mean
    out: dict[str, Any] = {
        "trades": int(len(trades)),
        "trade_count": {"mean": _num(mean), "variance": _num(var),
                        "dispersion_index": _num(var / mean) if mean > 0 else None},
        "poisson_rate": _num(rate),
        "poisson_chi2": _poisson_chi2(counts.astype(np.int64), rate, fitted=spec is None),
        "qty_mean": _num(trades["qty"].mean()) if len(trades) else None,
        "buy_share": _num(np.mean(trades["side"] == "buy")) if len(trades) else None,
    }
    if spec is not None:
        out["spec_trade_rate"] = spec.microstructure["trade_rate"]
    return out


def _funding_stats(funding: pd.DataFrame, bar_secs: int, spec: SpecParts | None) -> dict[str, Any]:
    rates = funding["rate"].to_numpy(dtype=np.float64)
    ts = funding["ts"].to_numpy()
    out: dict[str, Any] = {
        "points": int(rates.size),
        "interval_bars": int(np.median(np.diff(ts)) // bar_secs) if ts.size > 1 else None,
        "rate_mean": _num(rates.mean()) if rates.size else None,
        "rate_std": _num(rates.std(ddof=1)) if rates.size > 1 else None,
        "rate_min": _num(rates.min()) if rates.size else None,
        "rate_max": _num(rates.max()) if rates.size else None,
    }
    if spec is not None and "funding" in spec.microstructure:
        out["spec"] = dict(spec.microstructure["funding"])
    return out


def diagnose(source: SourceLike, *, spec: Mapping[str, Any] | str | None = None,
             label: str | None = None) -> dict[str, Any]:
    """Every measured property of a source, as a JSON-able dict (see the
    module's description and ``DEFINITIONS``)."""
    s = sample_of(source, spec, label)
    f = BarFeatures.of(s.candles)
    r = f.returns
    lags = min(MAX_LAG, r.size - 1)
    ts = s.candles["ts"].to_numpy()
    out: dict[str, Any] = {
        "source": {"label": s.label, "kind": "run" if s.is_run else "candles", "bars": int(len(s.candles)),
                   "bar_secs": s.bar_secs, "start": iso_time(int(ts[0])), "end": iso_time(int(ts[-1])),
                   "gaps": s.gaps.to_json() if s.gaps is not None else None},
        "returns": _return_stats(r),
        "autocorrelation": {"lags": lags, "acf_returns": [_num(v) for v in acf_lags(r, lags)],
                            "acf_abs_returns": [_num(v) for v in acf_lags(np.abs(r), lags)],
                            "ljung_box_returns": _ljung_box(r, lags),
                            "ljung_box_abs_returns": _ljung_box(np.abs(r), lags)},
        "drawdowns": _drawdown_stats(r, ts),
        "candles": _candle_stats(f),
        "regimes": _regime_stats(s.candles, s.spec) if s.spec is not None else None,
        "book": _book_stats(s.book, s.spec) if s.book is not None and len(s.book) else None,
        "trades": _trade_stats(s.trades, s.candles, s.spec) if s.trades is not None and s.is_run else None,
        "funding": (_funding_stats(s.funding, s.bar_secs, s.spec)
                    if s.funding is not None and len(s.funding) else None),
        "definitions": DEFINITIONS,
    }
    return out


# --- Bootstrap and comparison -------------------------------------------------------------------------------

@dataclass(frozen=True)
class Compared:
    """One statistic that comparisons put intervals on: where it sits in the
    output of :func:`diagnose` and its name in a comparison."""

    section: str
    name: str
    index: int | str | None = None  # a lag, or a quantile's key

    @property
    def label(self) -> str:
        if self.index is None:
            return self.name
        return f"{self.name} lag {self.index}" if isinstance(self.index, int) else f"quantile {self.index}"

    def value(self, diagnosis: Mapping[str, Any]) -> Any:
        v = diagnosis[self.section][self.name]
        if isinstance(self.index, int):
            return v[self.index - 1]
        return v if self.index is None else v[self.index]


COMPARED: tuple[Compared, ...] = (
    Compared("returns", "mean"), Compared("returns", "std"), Compared("returns", "skew"),
    Compared("returns", "excess_kurtosis"),
    Compared("returns", "quantiles", "0.01"), Compared("returns", "quantiles", "0.05"),
    Compared("returns", "quantiles", "0.95"), Compared("returns", "quantiles", "0.99"),
    Compared("returns", "hill_tail_index"),
    Compared("autocorrelation", "acf_returns", 1),
    Compared("autocorrelation", "acf_abs_returns", 1), Compared("autocorrelation", "acf_abs_returns", 5),
    Compared("autocorrelation", "acf_abs_returns", 20),
    Compared("drawdowns", "max_drawdown"),
    Compared("candles", "hl_range_mean"), Compared("candles", "body_ratio_mean"),
    Compared("candles", "upper_wick_ratio_mean"), Compared("candles", "lower_wick_ratio_mean"),
)
_MAX_COMPARED_LAG = max(c.index for c in COMPARED if isinstance(c.index, int))


def _compared_vector(m: Floats) -> Floats:
    """The COMPARED statistics, in order, of a matrix of BarFeatures rows."""
    r, hl, body, upper, lower = m.T
    mean, std, skew, kurt = moments(r)
    q01, q05, q95, q99 = np.quantile(r, (0.01, 0.05, 0.95, 0.99))
    lags = min(_MAX_COMPARED_LAG, r.size - 1)
    acf_r = np.full(_MAX_COMPARED_LAG, np.nan)
    acf_a = np.full(_MAX_COMPARED_LAG, np.nan)
    acf_r[:lags] = acf_lags(r, lags)
    acf_a[:lags] = acf_lags(np.abs(r), lags)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        shape = [np.mean(hl), np.nanmean(body), np.nanmean(upper), np.nanmean(lower)]
    return np.array([mean, std, skew, kurt, q01, q05, q95, q99, hill(np.abs(r))[0], acf_r[0], acf_a[0], acf_a[4],
                     acf_a[19], -np.min(_drawdown_path(r)), *shape], dtype=np.float64)


def block_length(returns: Floats) -> float:
    """The stationary bootstrap's mean block length for these returns (see
    DEFINITIONS["block_length"])."""
    if returns.size < 20 or float(np.var(returns)) == 0.0:
        return 2.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        table = optimal_block_length(np.column_stack((returns, np.abs(returns))))
    estimate = float(np.nanmax(table["stationary"].to_numpy(dtype=np.float64)))
    return float(min(max(estimate, 2.0), max(2.0, returns.size / 10)))


@dataclass(frozen=True)
class Intervals:
    block_length: float
    reps: int
    low: Floats  # per COMPARED statistic
    high: Floats


def bootstrap_intervals(source: SourceLike, reps: int = 300, seed: int = 0, level: float = 0.95) -> Intervals:
    """Intervals of the COMPARED statistics from `reps` stationary block-bootstrap
    resamples of the bars (see DEFINITIONS["interval"]; deterministic in `seed`)."""
    s = sample_of(source)
    m = BarFeatures.of(s.candles).matrix()
    b = block_length(m[:, 0])
    bs = StationaryBootstrap(max(1, int(round(b))), m, seed=np.random.Generator(np.random.PCG64(seed)))
    results = np.asarray(bs.apply(_compared_vector, reps), dtype=np.float64)
    tail = (1.0 - level) / 2.0 * 100.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a statistic NaN in every resample
        low, middle, high = np.nanpercentile(results, (tail, 50.0, 100.0 - tail), axis=0)
    shift = _compared_vector(m) - middle
    return Intervals(b, reps, low + shift, high + shift)


def _outside(value: Any, low: float, high: float) -> bool:
    return value is not None and math.isfinite(low) and math.isfinite(high) and not low <= value <= high


# Statistics of runs shown side by side without intervals: (section, path).
_RUN_ROWS: tuple[tuple[str, tuple[str, ...]], ...] = (
    ("book", ("spread_bps", "median")), ("book", ("depth_levels",)), ("book", ("level0_qty_mean",)),
    ("trades", ("trade_count", "mean")), ("trades", ("trade_count", "dispersion_index")),
    ("funding", ("points",)), ("funding", ("rate_mean",)), ("funding", ("rate_std",)),
)


def compare(sources: Sequence[SourceLike], reps: int = 300, seed: int = 0) -> dict[str, Any]:
    """Sources side by side. Each source after the first is compared with the
    first: a statistic differs when either value lies outside the other's 95%
    block-bootstrap interval. Returns the JSON-able comparison, with every
    source's full diagnosis."""
    if len(sources) < 2:
        raise ValueError("compare needs at least two sources")
    samples = [sample_of(s) for s in sources]
    diagnoses = [diagnose(s) for s in samples]
    intervals = [bootstrap_intervals(s, reps=reps, seed=seed) for s in samples]
    rows: list[dict[str, Any]] = []
    for i, c in enumerate(COMPARED):
        values = [c.value(d) for d in diagnoses]
        bounds = [(float(iv.low[i]), float(iv.high[i])) for iv in intervals]
        differs: list[bool | None] = [None]
        for j in range(1, len(samples)):
            differs.append(_outside(values[j], *bounds[0]) or _outside(values[0], *bounds[j]))
        rows.append({"section": c.section, "statistic": c.name,
                     **({"lag": c.index} if isinstance(c.index, int) else {}),
                     **({"quantile": float(c.index)} if isinstance(c.index, str) else {}),
                     "label": c.label, "values": values,
                     "intervals": [[_num(lo), _num(hi)] for lo, hi in bounds], "differs": differs})
    for section, path in _RUN_ROWS:
        values = []
        for d in diagnoses:
            v: Any = d[section]
            for key in path:
                v = v.get(key) if isinstance(v, Mapping) else None
            values.append(v)
        if any(v is not None for v in values):
            rows.append({"section": section, "statistic": ".".join(path), "label": " ".join(path),
                         "values": values, "intervals": None, "differs": None})
    return {
        "sources": [s.label for s in samples],
        "bars": [len(s.candles) for s in samples],
        "bootstrap": {"method": "stationary block bootstrap (arch)", "reps": reps, "seed": seed,
                      "level": 0.95, "block_length": [iv.block_length for iv in intervals]},
        "statistics": rows,
        "differences": [[r["label"] for r in rows if r["differs"] and r["differs"][j]]
                        for j in range(len(samples))],
        "diagnoses": diagnoses,
        "definitions": DEFINITIONS,
    }
