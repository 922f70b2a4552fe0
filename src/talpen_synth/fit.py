"""A spec fitted to a price history, and a regime model to draw new schedules
from.

:func:`fit_spec` reads OHLCV bars (see :mod:`talpen_synth.history`), cuts the
history into regimes and fits each regime's kind, drift and vol by maximum
likelihood under the kinds' return formulas (:mod:`talpen_synth.kinds`). The
spec it writes replays that one schedule, bar for bar, so every seed of it
crashes at the same bar; the :class:`RegimeModel` fitted beside it says which
kinds occur with which parameters, how long each lasts and which follows
which, and :func:`sample_spec` draws a new schedule from it for every seed.

Segmentation. The history is cut by binary segmentation (ruptures' Binseg)
over the standardised log returns with a Gaussian cost, which finds where the
level or the scale of the returns changes. Binary segmentation rather than a
hidden Markov model (hmmlearn), because:

- a spec is a list of contiguous regimes with lengths, which is what change
  points give directly, while an HMM labels every bar on its own and, on real
  data whose volatility clusters, switches state every few bars unless its
  transition matrix is held down by hand;
- an HMM's states are i.i.d. normal laws, which cannot express a range's pull
  toward the level it started at or a crash's lopsided shocks: the kinds are
  judged here on each segment by their own likelihoods instead;
- Binseg's solutions are nested, so one pass gives the best cut for every
  number of segments up to the cap, and the number is then chosen by the
  kinds' own penalised likelihood; ruptures is maintained for this job, while
  hmmlearn is in limited maintenance.

The number of regimes is the K in 1..max_regimes that maximises
``sum over segments of (log likelihood - 0.5 * parameters * ln n)
- penalty * (K - 1) * ln n``: the Bayesian information criterion of the kinds'
parameters plus a cost per extra segment that the caller can raise, so the
penalty grows with the number of segments and the fit does not chase noise.
"""

from __future__ import annotations

import json
import math
import os
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TypeAlias, Union

from ._extras import missing_stats

try:
    import numpy as np
    import pandas as pd
    import ruptures
    from scipy import stats as sps
    from statsmodels.stats.diagnostic import acorr_ljungbox
except ImportError:  # pragma: no cover - depends on the installation
    missing_stats("talpen_synth.fit")

from . import kinds
from ._talpen_columns import check_spec
from .history import DataError, History, bar_returns, history_from_frame, iso_time, read_history

__all__ = ["FitResult", "SegmentFit", "RegimeModel", "fit_spec", "sample_spec", "read_model"]

MODEL_FORMAT = "talpen_synth regime model"
MODEL_VERSION = 1
DEFAULT_MAX_REGIMES = 8
DEFAULT_MIN_BARS = 20
DEFAULT_PENALTY = 1.0
# Used for what OHLCV bars cannot tell: the default preset's book and trades.
DEFAULT_MICROSTRUCTURE: dict[str, Any] = {"book_depth": 5, "spread_bps": 2.0, "trade_rate": 3.0}
# Pseudo-count added to every observed kind-to-kind transition count, so that
# a schedule seen once does not become the only one the model can draw.
TRANSITION_PRIOR = 0.5


def _g(x: float) -> float:
    """A parameter as written into specs and models: 6 significant digits,
    well inside what the fit can tell apart."""
    return float(f"{x:.6g}")


# --- Segmentation -------------------------------------------------------------------------------------------

@dataclass(frozen=True)
class SegmentFit:
    """One fitted regime and how well its kind fits."""

    start: int
    bars: int
    fit: kinds.KindFit
    # BIC score of the chosen kind less that of the next best (nats).
    kind_margin: float
    # Kolmogorov-Smirnov p-value of the recovered shocks against N(0, 1).
    ks_pvalue: float
    # Excess kurtosis of the recovered shocks (0 when the normal shock fits).
    shock_excess_kurtosis: float
    # Ljung-Box p-value (lag 10) of the absolute shocks: small when the
    # volatility clusters inside the regime, which no kind can produce.
    clustering_pvalue: float | None

    def to_json(self, ts: Sequence[int]) -> dict[str, Any]:
        def num(x: float | None) -> float | None:
            return None if x is None or not math.isfinite(x) else _g(x)
        return {"start_bar": self.start, "bars": self.bars, "from": iso_time(int(ts[self.start])),
                "kind": self.fit.kind, "drift": _g(self.fit.drift), "vol": _g(self.fit.vol),
                "loglik_per_bar": num(self.fit.loglik / self.bars), "kind_margin": num(self.kind_margin),
                "ks_pvalue": num(self.ks_pvalue), "shock_excess_kurtosis": num(self.shock_excess_kurtosis),
                "clustering_pvalue": num(self.clustering_pvalue)}


def _segment_fit(h: Any, start: int, end: int, log_n: float) -> SegmentFit:
    part = h[start:end]
    fits = kinds.fit_all(part)
    best = kinds.best_fit(fits, log_n)
    others = [f.bic_score(log_n) for f in fits.values() if f.kind != best.kind]
    z = kinds.shocks(best, part)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        kurt = float(sps.kurtosis(z, fisher=True, bias=False)) if z.size > 3 else math.nan
        ks = float(sps.kstest(z, "norm").pvalue)
    clustering = None
    if z.size > 20 and float(np.var(np.abs(z))) > 0:
        clustering = float(acorr_ljungbox(np.abs(z), lags=[10])["lb_pvalue"].iloc[0])
    return SegmentFit(start, end - start, best, best.bic_score(log_n) - max(others), ks, kurt, clustering)


class _GaussianCost(ruptures.base.BaseCost):  # type: ignore[misc]
    """ruptures' "normal" cost of one series (a segment's length times the log
    of its variance, plus 1e-6), from prefix sums: each segment costs a few
    operations instead of a pass over its values, which binary segmentation
    asks for at every candidate cut. On standardised returns (variance 1) the
    1e-6 only keeps a stretch of unchanged prices from an infinite likelihood."""

    model = "normal"
    min_size = 2

    def fit(self, signal: Any) -> _GaussianCost:
        self.signal = np.asarray(signal, dtype=np.float64).reshape(-1, 1)
        x = self.signal[:, 0]
        self._s1 = np.concatenate(([0.0], np.cumsum(x))).tolist()
        self._s2 = np.concatenate(([0.0], np.cumsum(x * x))).tolist()
        return self

    def error(self, start: int, end: int) -> float:
        n = end - start
        mean = (self._s1[end] - self._s1[start]) / n
        var = (self._s2[end] - self._s2[start]) / n - mean * mean
        return n * math.log(max(var, 0.0) + 1e-6)


def _cuts(h: Any, max_regimes: int, min_bars: int) -> list[list[int]]:
    """The ends of the segments for 1, 2, ... up to max_regimes segments (as
    many as the minimum length allows), nested as binary segmentation finds them."""
    std = float(np.std(h))
    signal = (h - float(np.mean(h))) / (std if std > 0 else 1.0)
    algo = ruptures.Binseg(custom_cost=_GaussianCost(), min_size=min_bars, jump=1).fit(signal)
    out: list[list[int]] = [[h.size]]
    for k in range(1, max_regimes):
        try:
            ends = [int(e) for e in algo.predict(n_bkps=k)]
        except ruptures.exceptions.BadSegmentationParameters:
            break
        if len(ends) != k + 1:  # nothing left to split
            break
        out.append(ends)
    return out


@dataclass(frozen=True)
class Segmentation:
    segments: list[SegmentFit]
    # The criterion for each number of segments tried, 1 first.
    scores: list[float]


def segment(h: Any, max_regimes: int = DEFAULT_MAX_REGIMES, min_bars: int = DEFAULT_MIN_BARS,
            penalty: float = DEFAULT_PENALTY) -> Segmentation:
    """Regimes of the log returns `h` (see the module's description)."""
    if max_regimes < 1:
        raise ValueError("max_regimes must be at least 1")
    if min_bars < 2:
        raise ValueError("min_bars must be at least 2")
    if not penalty >= 0:
        raise ValueError("penalty must be 0 or more")
    if h.size < min_bars:
        # Fewer returns than the shortest regime may hold: a drift and a vol
        # fitted to them would be noise.
        raise DataError(f"the history gives {h.size} bar returns; fitting a regime takes at least {min_bars} "
                        f"(min_bars)")
    log_n = math.log(h.size)
    best: list[SegmentFit] | None = None
    best_score = -math.inf
    scores = []
    cache: dict[tuple[int, int], SegmentFit] = {}
    for ends in _cuts(h, max_regimes, min_bars) if h.size >= 2 * min_bars else [[h.size]]:
        segs = []
        for start, end in zip([0, *ends[:-1]], ends):
            if (start, end) not in cache:
                cache[(start, end)] = _segment_fit(h, start, end, log_n)
            segs.append(cache[(start, end)])
        score = sum(s.fit.bic_score(log_n) for s in segs) - penalty * (len(segs) - 1) * log_n
        scores.append(score)
        if score > best_score:
            best, best_score = segs, score
    assert best is not None
    return Segmentation(best, scores)


# --- Microstructure from a run's tables ---------------------------------------------------------------------

def _read_table(source: pd.DataFrame | str | os.PathLike[str], what: str, columns: Sequence[str]) -> pd.DataFrame:
    if isinstance(source, pd.DataFrame):
        frame, label = source, what
    else:
        label = os.fspath(source)
        try:
            suffix = Path(label).suffix.lower()
            frame = pd.read_parquet(label) if suffix in (".parquet", ".pq") else pd.read_csv(label)
        except OSError as e:
            raise DataError(f"cannot read {what} table {label}: {e.strerror or e}") from None
        except (ValueError, pd.errors.ParserError, pd.errors.EmptyDataError) as e:
            raise DataError(f"{label}: cannot read the {what} table: {e}") from None
    names = {str(c).strip().lower(): c for c in frame.columns}
    missing = [c for c in columns if c not in names]
    if missing:
        raise DataError(f"{label}: the {what} table has no {', '.join(repr(c) for c in missing)} column")
    out = pd.DataFrame({c: frame[names[c]].to_numpy() for c in columns})
    for c in columns:
        if c in ("side",):
            continue
        values = pd.to_numeric(out[c], errors="coerce")
        bad = np.flatnonzero(values.isna().to_numpy())
        if bad.size:
            raise DataError(f"{label}: column {names[c]!r} row {bad[0] + 1}: not a number")
        out[c] = values
    return out


def _bar_vols(segments: Sequence[SegmentFit], n: int) -> Any:
    vols = np.empty(n)
    for s in segments:
        vols[s.start:s.start + s.bars] = s.fit.vol
    return vols


def _book_parameters(book: pd.DataFrame, candles: pd.DataFrame, h: Any, vols: Any) -> dict[str, Any]:
    # The quoted spread is the base spread widened by the bar's move against
    # its regime's vol: full = close * base * (|h| / vol + 1).
    best = book[book["level"] == 0]
    side = best["side"].astype(str).str.lower()
    bid = best[side == "bid"].set_index("ts")["price"]
    ask = best[side == "ask"].set_index("ts")["price"]
    ts = candles["ts"].to_numpy()
    full = (ask - bid).reindex(ts).to_numpy(dtype=np.float64)
    close = candles["close"].to_numpy(dtype=np.float64)
    base = full / (close * (np.abs(h) / (vols + 1e-9) + 1.0)) * 1e4
    base = base[np.isfinite(base)]
    if not base.size:
        raise DataError("the book table has no best bid and ask at the candles' times")
    depth = int(book.groupby(["ts", "side"])["level"].max().median()) + 1
    return {"book_depth": depth, "spread_bps": _g(float(np.median(base)))}


def _trade_rate(trades: pd.DataFrame, candles: pd.DataFrame) -> float:
    ts = candles["ts"].to_numpy()
    inside = (trades["ts"] >= ts[0]) & (trades["ts"] <= ts[-1])
    return _g(float(np.count_nonzero(inside)) / ts.size)


def _funding_parameters(funding: pd.DataFrame, candles: pd.DataFrame, h: Any, bar_secs: int) -> dict[str, Any]:
    # rate = base_rate + sensitivity * (mean log return of the interval that
    # ends at the funding bar): a straight line, fitted by least squares.
    ts = candles["ts"].to_numpy()
    fts = funding["ts"].to_numpy()
    if fts.size < 2:
        raise DataError("the funding table needs at least two points to tell their interval and law")
    interval = max(1, int(round(float(np.median(np.diff(fts))) / bar_secs)))
    at = np.searchsorted(ts, fts)
    ok = (at < ts.size) & (at + 1 >= interval)
    ok[ok] &= ts[at[ok]] == fts[ok]
    if np.count_nonzero(ok) < 2:
        raise DataError("the funding table's times do not fall on the candles' bars")
    csum = np.concatenate(([0.0], np.cumsum(h)))
    means = (csum[at[ok] + 1] - csum[at[ok] + 1 - interval]) / interval
    rates = funding["rate"].to_numpy(dtype=np.float64)[ok]
    if float(np.ptp(means)) == 0.0:
        return {"interval_bars": interval, "base_rate": _g(float(rates.mean())), "sensitivity": 0.0}
    slope, intercept = np.polyfit(means, rates, 1)
    return {"interval_bars": interval, "base_rate": _g(float(intercept)), "sensitivity": _g(float(slope))}


# --- The regime model ---------------------------------------------------------------------------------------

@dataclass(frozen=True)
class KindModel:
    # The fitted regimes of this kind: (drift, vol, bars); a new regime takes
    # the parameters of one of them, chosen in proportion to its bars.
    regimes: list[tuple[float, float, int]]
    min_bars: int
    mean_bars: float

    def to_json(self) -> dict[str, Any]:
        return {"regimes": [{"drift": d, "vol": v, "bars": b} for d, v, b in self.regimes],
                "duration": {"law": "min_bars + geometric", "min_bars": self.min_bars,
                             "mean_bars": _g(self.mean_bars)}}


@dataclass(frozen=True)
class RegimeModel:
    """Which kinds occur with which parameters, how long each lasts and which
    follows which; with the clock, start and microstructure of new specs."""

    kinds: dict[str, KindModel]
    initial: dict[str, float]
    transitions: dict[str, dict[str, float]]
    start_price: float
    start_ts: int
    bar_secs: int
    bars: int
    microstructure: dict[str, Any]
    fit: dict[str, Any] = field(default_factory=dict)

    def to_json(self) -> dict[str, Any]:
        return {"model": MODEL_FORMAT, "version": MODEL_VERSION, "bars": self.bars, "bar_secs": self.bar_secs,
                "start_ts": self.start_ts, "start_price": self.start_price,
                "kinds": {k: m.to_json() for k, m in self.kinds.items()},
                "initial": self.initial, "transitions": self.transitions,
                "microstructure": self.microstructure, "fit": self.fit}

    @staticmethod
    def from_json(doc: Any, label: str = "model") -> RegimeModel:
        return _model_from_json(doc, label)


def _duration_model(lengths: list[int], last_is_censored: bool, min_bars: int) -> tuple[int, float]:
    # Lengths run from min_bars up: the excess is geometric. The last regime of
    # the history was cut off by its end, so it counts its bars but not as a
    # finished regime (the maximum-likelihood estimate under censoring).
    floor = min(min_bars, min(lengths))
    finished = len(lengths) - (1 if last_is_censored else 0)
    excess = sum(lengths) - floor * len(lengths)
    return floor, floor + excess / max(finished, 1)


def build_model(segments: Sequence[SegmentFit], min_bars: int, start_price: float, start_ts: int, bar_secs: int,
                bars: int, microstructure: dict[str, Any], fit_info: dict[str, Any]) -> RegimeModel:
    seen: list[str] = [k for k in kinds.KINDS if any(s.fit.kind == k for s in segments)]
    kind_models: dict[str, KindModel] = {}
    for k in seen:
        own = [s for s in segments if s.fit.kind == k]
        floor, mean = _duration_model([s.bars for s in own], own[-1] is segments[-1], min_bars)
        kind_models[k] = KindModel([(_g(s.fit.drift), _g(s.fit.vol), s.bars) for s in own], floor, mean)
    total = sum(s.bars for s in segments)
    initial = {k: _g(sum(s.bars for s in segments if s.fit.kind == k) / total) for k in seen}
    counts = {a: {b: TRANSITION_PRIOR for b in seen} for a in seen}
    for a, b in zip(segments, segments[1:]):
        counts[a.fit.kind][b.fit.kind] += 1
    transitions = {a: {b: _g(c / sum(row.values())) for b, c in row.items()} for a, row in counts.items()}
    return RegimeModel(kind_models, initial, transitions, start_price, start_ts, bar_secs, bars,
                       microstructure, fit_info)


class _Doc:
    """Reads a model document, naming the field of anything wrong with it."""

    def __init__(self, label: str):
        self.label = label

    def fail(self, where: str, what: str) -> DataError:
        return DataError(f"{self.label}: {where}: {what}")

    def obj(self, v: Any, where: str) -> dict[str, Any]:
        if not isinstance(v, dict):
            raise self.fail(where, "expected an object")
        return v

    def get(self, d: dict[str, Any], key: str, where: str) -> Any:
        if key not in d:
            raise self.fail(f"{where}{key}" if where else key, "missing")
        return d[key]

    def number(self, v: Any, where: str, low: float = -math.inf, positive: bool = False) -> float:
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
            raise self.fail(where, "expected a finite number")
        if v < low or (positive and v <= 0):
            raise self.fail(where, f"expected a number {'above' if positive else 'of at least'} {low:g}")
        return float(v)

    def whole(self, v: Any, where: str, low: int) -> int:
        if isinstance(v, bool) or not isinstance(v, int) or v < low:
            raise self.fail(where, f"expected a whole number of at least {low}")
        return v


def _model_from_json(doc: Any, label: str) -> RegimeModel:
    r = _Doc(label)
    top = r.obj(doc, "the document")
    if top.get("model") != MODEL_FORMAT:
        raise DataError(f"{label}: not a regime model (written by `talpen-synth fit`)")
    if top.get("version") != MODEL_VERSION:
        raise r.fail("version", f"expected {MODEL_VERSION}")
    kinds_doc = r.obj(r.get(top, "kinds", ""), "kinds")
    if not kinds_doc:
        raise r.fail("kinds", "expected at least one kind")
    kind_models: dict[str, KindModel] = {}
    for k, m in kinds_doc.items():
        where = f"kinds.{k}"
        if k not in kinds.KINDS:
            raise r.fail(where, f"not a regime kind (one of {', '.join(kinds.KINDS)})")
        m = r.obj(m, where)
        regimes_doc = r.get(m, "regimes", where + ".")
        if not isinstance(regimes_doc, list) or not regimes_doc:
            raise r.fail(where + ".regimes", "expected a list of at least one regime")
        regs = []
        for i, g in enumerate(regimes_doc):
            gw = f"{where}.regimes[{i}]"
            g = r.obj(g, gw)
            regs.append((r.number(r.get(g, "drift", gw + "."), gw + ".drift"),
                         r.number(r.get(g, "vol", gw + "."), gw + ".vol", low=0.0),
                         r.whole(r.get(g, "bars", gw + "."), gw + ".bars", 1)))
        d = r.obj(r.get(m, "duration", where + "."), where + ".duration")
        floor = r.whole(r.get(d, "min_bars", where + ".duration."), where + ".duration.min_bars", 1)
        mean = r.number(r.get(d, "mean_bars", where + ".duration."), where + ".duration.mean_bars", low=floor)
        kind_models[k] = KindModel(regs, floor, mean)

    def distribution(v: Any, where: str) -> dict[str, float]:
        d = r.obj(v, where)
        out: dict[str, float] = {}
        for k, p in d.items():
            if k not in kind_models:
                raise r.fail(f"{where}.{k}", "a kind the model has no regimes of")
            out[k] = r.number(p, f"{where}.{k}", low=0.0)
        if not out or sum(out.values()) <= 0:
            raise r.fail(where, "expected probabilities that add up to more than 0")
        return out

    initial = distribution(r.get(top, "initial", ""), "initial")
    trans_doc = r.obj(r.get(top, "transitions", ""), "transitions")
    transitions: dict[str, dict[str, float]] = {}
    for k in kind_models:
        if k not in trans_doc:
            raise r.fail(f"transitions.{k}", "missing")
        transitions[k] = distribution(trans_doc[k], f"transitions.{k}")
    micro = r.obj(r.get(top, "microstructure", ""), "microstructure")
    fit_info = top.get("fit")
    model = RegimeModel(kind_models, initial, transitions,
                        r.number(r.get(top, "start_price", ""), "start_price", positive=True),
                        int(r.number(r.get(top, "start_ts", ""), "start_ts")),
                        r.whole(r.get(top, "bar_secs", ""), "bar_secs", 1),
                        r.whole(r.get(top, "bars", ""), "bars", 1), micro,
                        fit_info if isinstance(fit_info, dict) else {})
    return model


def read_model(path: str | os.PathLike[str]) -> RegimeModel:
    """A regime model from the JSON file that `fit` wrote."""
    try:
        text = Path(path).read_bytes().decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise DataError(f"cannot read model file {path}: not UTF-8 text (byte {e.start})") from None
    except OSError as e:
        raise DataError(f"cannot read model file {path}: {e.strerror or e}") from None
    try:
        doc = json.loads(text)
    except json.JSONDecodeError as e:
        raise DataError(f"{path}: not JSON: {e.msg} at line {e.lineno} column {e.colno}") from None
    return RegimeModel.from_json(doc, os.fspath(path))


def _pick(u: float, weights: Sequence[float]) -> int:
    """The index whose share of the cumulated weights covers u (inverse CDF)."""
    cum = np.cumsum(np.asarray(weights, dtype=np.float64))
    return int(min(np.searchsorted(cum, u * cum[-1], side="right"), len(weights) - 1))


def sample_spec(model: RegimeModel, seed: int, bars: int | None = None) -> dict[str, Any]:
    """A spec with a new regime schedule drawn from `model`, `bars` long (the
    fitted history's length by default), with `seed` as its seed.

    The schedule comes from numpy's PCG64 generator seeded with `seed`, through
    its uniform doubles only (kinds and parameters by inverse CDF, durations by
    inverting the geometric law), so a seed gives the same spec on every
    platform. A new regime's kind follows the model's transitions from the
    last one (the first from its initial shares), its parameters are those of
    one fitted regime of that kind, chosen in proportion to its bars, and its
    length is min_bars plus a geometric number of bars with the kind's mean;
    the last regime is cut to end at `bars`.
    """
    if not 0 <= seed < 2**64:
        raise ValueError(f"seed must be a whole number from 0 to {2**64 - 1}")
    n = model.bars if bars is None else bars
    if n < 1:
        raise ValueError("bars must be at least 1")
    rng = np.random.Generator(np.random.PCG64(seed))
    names = list(model.initial)
    kind = names[_pick(float(rng.random()), list(model.initial.values()))]
    regimes: list[dict[str, Any]] = []
    left = n
    while left > 0:
        km = model.kinds[kind]
        drift, vol, _ = km.regimes[_pick(float(rng.random()), [b for _, _, b in km.regimes])]
        excess = km.mean_bars - km.min_bars
        length = km.min_bars
        if excess > 0:
            p = 1.0 / (1.0 + excess)
            u = 1.0 - float(rng.random())  # in (0, 1]
            length += int(math.floor(math.log(u) / math.log1p(-p))) if p < 1.0 else 0
        length = min(max(length, 1), left)
        regimes.append({"kind": kind, "len": length, "drift": drift, "vol": vol})
        left -= length
        row = model.transitions[kind]
        kind = list(row)[_pick(float(rng.random()), list(row.values()))]
    return {"seed": seed, "bars": n, "start_price": model.start_price, "start_ts": model.start_ts,
            "bar_secs": model.bar_secs, "regimes": regimes, "microstructure": dict(model.microstructure)}


# --- Fitting ------------------------------------------------------------------------------------------------

@dataclass(frozen=True)
class FitResult:
    spec: dict[str, Any]
    model: RegimeModel
    segments: list[SegmentFit]
    history: History
    scores: list[float]
    notes: list[str]

    @property
    def segment_quality(self) -> list[dict[str, Any]]:
        ts = self.history.candles["ts"].tolist()
        return [s.to_json(ts) for s in self.segments]


TableSource: TypeAlias = Union["pd.DataFrame", str, "os.PathLike[str]"]


def fit_spec(prices: History | pd.DataFrame | str | os.PathLike[str], *, max_regimes: int = DEFAULT_MAX_REGIMES,
             min_bars: int = DEFAULT_MIN_BARS, penalty: float = DEFAULT_PENALTY, seed: int = 0,
             book: TableSource | None = None, trades: TableSource | None = None,
             funding: TableSource | None = None) -> FitResult:
    """Fit a spec and a regime model to OHLCV bars (a History, a frame, or a
    CSV or Parquet file).

    The spec starts at the first bar's open and time, with the history's bar
    length and bar count, the fitted regimes, and book and trade parameters
    from a run's `book`, `trades` and `funding` tables when given (frames or
    files as ``generate --out`` writes them), else the defaults. The model's
    samples continue where the history ends: from its last close, one bar
    after its last bar.
    """
    if isinstance(prices, History):
        history = prices
    elif isinstance(prices, pd.DataFrame):
        history = history_from_frame(prices)
    else:
        history = read_history(prices)
    candles = history.candles
    h = bar_returns(candles)
    seg = segment(h, max_regimes=max_regimes, min_bars=min_bars, penalty=penalty)
    notes = []
    if history.gaps.count:
        notes.append(f"{history.gaps.describe()}: the spec's bars are evenly spaced, so each gap is "
                     f"fitted as one bar's move")
    micro: dict[str, Any] = dict(DEFAULT_MICROSTRUCTURE)
    sources = {"book": "defaults", "trades": "defaults", "funding": "none"}
    vols = _bar_vols(seg.segments, h.size)
    if book is not None:
        micro.update(_book_parameters(_read_table(book, "book", ("ts", "side", "level", "price")), candles, h,
                                      vols))
        sources["book"] = "book table"
    if trades is not None:
        micro["trade_rate"] = _trade_rate(_read_table(trades, "trades", ("ts",)), candles)
        sources["trades"] = "trades table"
    if funding is not None:
        micro["funding"] = _funding_parameters(_read_table(funding, "funding", ("ts", "rate")), candles, h,
                                               history.bar_secs)
        sources["funding"] = "funding table"
    if sources["book"] == "defaults" or sources["trades"] == "defaults":
        notes.append("OHLCV bars say nothing of books and trades: "
                     + ", ".join(k for k in ("book", "trades") if sources[k] == "defaults")
                     + " parameters are the defaults")
    spec = {"seed": seed, "bars": history.bars, "start_price": float(candles["open"].iloc[0]),
            "start_ts": int(candles["ts"].iloc[0]), "bar_secs": history.bar_secs,
            "regimes": [{"kind": s.fit.kind, "len": s.bars, "drift": _g(s.fit.drift), "vol": _g(s.fit.vol)}
                        for s in seg.segments],
            "microstructure": micro}
    try:
        check_spec(json.dumps(spec))
    except ValueError as e:  # pragma: no cover - a fitted spec always validates
        raise DataError(f"{history.label}: the fitted spec does not validate: {e}") from None
    ts = candles["ts"].tolist()
    fit_info = {"source": history.label, "bars": history.bars, "start": iso_time(ts[0]), "end": iso_time(ts[-1]),
                "gaps": history.gaps.to_json(), "max_regimes": max_regimes, "min_bars": min_bars,
                "penalty": penalty, "criterion_by_regimes": [round(s, 3) for s in seg.scores],
                "microstructure_from": sources, "segments": [s.to_json(ts) for s in seg.segments]}
    model = build_model(seg.segments, min_bars, float(candles["close"].iloc[-1]),
                        int(ts[-1]) + history.bar_secs, history.bar_secs, history.bars, micro, fit_info)
    return FitResult(spec, model, seg.segments, history, seg.scores, notes)
