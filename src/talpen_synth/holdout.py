"""Out-of-sample check of a fitted regime model: fit on the first part of a
history, draw specs for many seeds, run them, and hold their statistics
against the part the fit never saw.

Three properties, each with its band:

==========================  =========================================  =======
property                    miss                                       band
==========================  =========================================  =======
std                         median over seeds / held-out value - 1     +-15%
excess_kurtosis             median over seeds - held-out value         +-1.0
acf_abs_returns lag 1       median over seeds - held-out value         +-0.1
==========================  =========================================  =======

A miss outside its band says what the model does not reproduce. The regime
model has no volatility clustering inside a regime and normal shocks, so on
real markets the kurtosis and the autocorrelation of absolute returns are
expected to miss; a history whose second part is calmer or wilder than its
first misses the standard deviation, which no fit of the first part can know.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from ._extras import missing_stats

try:
    import numpy as np
    import pandas as pd
except ImportError:  # pragma: no cover - depends on the installation
    missing_stats("talpen_synth.holdout")

from .diagnostics import BarFeatures, acf_lags, moments
from .fit import fit_spec, sample_spec
from .frames import generate_frames
from .history import History, history_from_frame, read_history

__all__ = ["BANDS", "PropertyCheck", "HoldoutResult", "holdout_check"]

# property: (how the miss is measured, band)
BANDS: dict[str, tuple[str, float]] = {
    "std": ("relative", 0.15),
    "excess_kurtosis": ("absolute", 1.0),
    "acf_abs_returns lag 1": ("absolute", 0.1),
}


def _properties(candles: pd.DataFrame) -> dict[str, float]:
    r = BarFeatures.of(candles).returns
    _, std, _, kurt = moments(r)
    return {"std": std, "excess_kurtosis": kurt, "acf_abs_returns lag 1": float(acf_lags(np.abs(r), 1)[0])}


@dataclass(frozen=True)
class PropertyCheck:
    name: str
    held_out: float
    sampled_median: float
    sampled_low: float  # 5% quantile over the seeds
    sampled_high: float  # 95% quantile
    miss: float
    band: float

    @property
    def within(self) -> bool:
        return abs(self.miss) <= self.band

    def to_json(self) -> dict[str, Any]:
        return {"property": self.name, "held_out": self.held_out, "sampled_median": self.sampled_median,
                "sampled_5_95": [self.sampled_low, self.sampled_high], "miss": self.miss,
                "miss_measure": BANDS[self.name][0], "band": self.band, "within": self.within}


@dataclass(frozen=True)
class HoldoutResult:
    label: str
    fitted_bars: int
    held_out_bars: int
    seeds: list[int]
    regimes: int
    kinds: list[str]
    checks: list[PropertyCheck]

    @property
    def misses(self) -> list[str]:
        return [c.name for c in self.checks if not c.within]

    def to_json(self) -> dict[str, Any]:
        return {"source": self.label, "fitted_bars": self.fitted_bars, "held_out_bars": self.held_out_bars,
                "seeds": self.seeds, "regimes": self.regimes, "kinds": self.kinds,
                "checks": [c.to_json() for c in self.checks], "misses": self.misses}

    def table(self) -> str:
        """The checks as text, one line per property."""
        head = (f"{self.label}: fitted on {self.fitted_bars} bars ({self.regimes} regimes: "
                f"{', '.join(self.kinds)}), {len(self.seeds)} sampled runs against the next "
                f"{self.held_out_bars} bars")
        rows = [["property", "held out", "sampled median", "sampled 5%-95%", "miss", "band", ""]]
        for c in self.checks:
            relative = BANDS[c.name][0] == "relative"
            rows.append([c.name, f"{c.held_out:.4g}", f"{c.sampled_median:.4g}",
                         f"{c.sampled_low:.3g} to {c.sampled_high:.3g}",
                         f"{c.miss:+.1%}" if relative else f"{c.miss:+.3g}",
                         f"+-{c.band:.0%}" if relative else f"+-{c.band:g}",
                         "ok" if c.within else "MISS"])
        widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
        lines = ["  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(r, widths)))
                 .rstrip() for r in rows]
        return "\n".join([head, *("  " + line for line in lines)])


def holdout_check(prices: History | pd.DataFrame | str | os.PathLike[str], *, seeds: Iterable[int] = range(20),
                  split: float = 0.5, label: str | None = None, **fit_options: Any) -> HoldoutResult:
    """Fit on the first `split` of the bars, sample a spec for each seed as
    long as the rest, run them, and check the three properties (see the
    module's description). `fit_options` go to :func:`fit_spec`."""
    if isinstance(prices, History):
        history = prices
    elif isinstance(prices, pd.DataFrame):
        history = history_from_frame(prices, label or "frame")
    else:
        history = read_history(prices)
    if not 0.0 < split < 1.0:
        raise ValueError("split must lie between 0 and 1")
    first, rest = history.split(int(history.bars * split))
    result = fit_spec(first, **fit_options)
    seed_list = list(seeds)
    if not seed_list:
        raise ValueError("holdout_check needs at least one seed")
    held = _properties(rest.candles)
    runs = [_properties(generate_frames(sample_spec(result.model, s, rest.bars), datetimes=False).candles) for s in seed_list]
    checks = []
    for name, (measure, band) in BANDS.items():
        values = np.array([r[name] for r in runs], dtype=np.float64)
        median = float(np.nanmedian(values))
        miss = median / held[name] - 1.0 if measure == "relative" else median - held[name]
        checks.append(PropertyCheck(name, held[name], median, float(np.nanquantile(values, 0.05)),
                                    float(np.nanquantile(values, 0.95)), miss, band))
    return HoldoutResult(label or history.label, first.bars, rest.bars, seed_list, len(result.segments),
                         sorted({s.fit.kind for s in result.segments}), checks)
