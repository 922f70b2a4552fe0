"""Maximum-likelihood fits of the four regime kinds to a stretch of log returns.

Each kind turns a standard normal shock z into a bar's log return h:

=======  ==================================================  ==========
kind     h                                                   parameters
=======  ==================================================  ==========
trend    z * vol + drift                                     drift, vol
range    z * vol - drift * x   (x: log price over the        drift, vol
         regime's starting price, before the bar)
crash    (z - 0.5 * |z|) * vol - |drift|                     drift, vol
vol      z * vol                                             vol
=======  ==================================================  ==========

Every formula is an invertible map from z to h given the past, so the
likelihood of a stretch is the normal density of the recovered shocks times
the map's Jacobian, and the maximum-likelihood estimates follow in closed form
or, for crash's drift, by a one-dimensional search of the profile likelihood:

- trend: drift is the mean and vol the standard deviation (divisor n);
- vol: vol is the root mean square;
- range: drift is the least-squares slope of -h on x through the origin (held
  at 0 or above: a negative drift would push prices away from the level, which
  is not a range), vol the root mean square of the residuals;
- crash: y = h + drift is a two-piece normal, scale 0.5 * vol above 0 and
  1.5 * vol below; for a given drift the best vol is closed form, and drift
  (0 or more; the formula uses |drift|) maximises what is left.

Kinds are compared by the Bayesian information criterion so that a kind with
two parameters must earn its second one.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Literal, TypeAlias

from ._extras import missing_stats

try:
    import numpy as np
    import numpy.typing as npt
    from scipy import optimize
except ImportError:  # pragma: no cover - depends on the installation
    missing_stats("talpen_synth.kinds")

Kind: TypeAlias = Literal["trend", "range", "crash", "vol"]
KINDS: tuple[Kind, ...] = ("trend", "range", "crash", "vol")
PARAMETERS: dict[Kind, int] = {"trend": 2, "range": 2, "crash": 2, "vol": 1}

Floats = npt.NDArray[np.float64]

_LOG_2PI = math.log(2.0 * math.pi)
# A stretch whose returns are all zero has no scale; this floor keeps its
# likelihood finite (and very high), so that such a stretch is still fitted.
_TINY_VOL = 1e-12
# The mean of z - 0.5 * |z| for a standard normal z, and its standard deviation.
CRASH_SHOCK_MEAN = -0.5 * math.sqrt(2.0 / math.pi)
CRASH_SHOCK_STD = math.sqrt(1.25 - CRASH_SHOCK_MEAN**2)


@dataclass(frozen=True)
class KindFit:
    """The maximum-likelihood parameters of one kind over one stretch."""

    kind: Kind
    drift: float
    vol: float
    loglik: float
    bars: int

    @property
    def parameters(self) -> int:
        return PARAMETERS[self.kind]

    def bic_score(self, log_n: float) -> float:
        """Log likelihood less half a log n per parameter: higher is better."""
        return self.loglik - 0.5 * self.parameters * log_n


def levels(h: Floats) -> Floats:
    """x for every bar of a stretch: the log price before the bar over the
    price at the stretch's start (0 for the first bar)."""
    x = np.empty_like(h)
    if h.size:
        x[0] = 0.0
        np.cumsum(h[:-1], out=x[1:])
    return x


def _normal_loglik(n: int, vol: float) -> float:
    # The log likelihood of n normal residuals at their own root mean square.
    return -0.5 * n * (_LOG_2PI + 2.0 * math.log(vol) + 1.0)


def fit_trend(h: Floats) -> KindFit:
    drift = float(h.mean())
    vol = max(float(np.sqrt(np.mean((h - drift) ** 2))), _TINY_VOL)
    return KindFit("trend", drift, vol, _normal_loglik(h.size, vol), h.size)


def fit_vol(h: Floats) -> KindFit:
    vol = max(float(np.sqrt(np.mean(h**2))), _TINY_VOL)
    return KindFit("vol", 0.0, vol, _normal_loglik(h.size, vol), h.size)


def fit_range(h: Floats) -> KindFit:
    x = levels(h)
    sxx = float(x @ x)
    drift = max(0.0, -float(h @ x) / sxx) if sxx > 0.0 else 0.0
    resid = h + drift * x
    vol = max(float(np.sqrt(np.mean(resid**2))), _TINY_VOL)
    return KindFit("range", drift, vol, _normal_loglik(h.size, vol), h.size)


def _crash_profile(h: Floats, drift: float) -> tuple[float, float]:
    """(log likelihood, vol) of crash at this drift, vol at its best."""
    y = h + drift
    up = y >= 0.0
    n_up = int(up.sum())
    n_down = y.size - n_up
    scaled = float(np.sum(y[up] ** 2)) / 0.25 + float(np.sum(y[~up] ** 2)) / 2.25
    vol = max(math.sqrt(scaled / y.size), _TINY_VOL)
    loglik = (-0.5 * y.size * (_LOG_2PI + 1.0) - y.size * math.log(vol)
              - n_up * math.log(0.5) - n_down * math.log(1.5))
    return loglik, vol


def fit_crash(h: Floats) -> KindFit:
    # The profile likelihood in drift is smooth but need not have one peak:
    # a coarse grid finds the right hill, a bounded search climbs it.
    top = max(float(np.max(np.abs(h))), _TINY_VOL)
    grid = np.linspace(0.0, top, 65)
    values = [_crash_profile(h, float(d))[0] for d in grid]
    best = int(np.argmax(values))
    low, high = float(grid[max(best - 1, 0)]), float(grid[min(best + 1, grid.size - 1)])
    found = optimize.minimize_scalar(lambda d: -_crash_profile(h, float(d))[0], bounds=(low, high),
                                     method="bounded", options={"xatol": top * 1e-9})
    drift = float(found.x) if -float(found.fun) >= values[best] else float(grid[best])
    loglik, vol = _crash_profile(h, drift)
    return KindFit("crash", drift, vol, loglik, h.size)


_FITTERS = {"trend": fit_trend, "range": fit_range, "crash": fit_crash, "vol": fit_vol}


def fit_kind(kind: Kind, h: Floats) -> KindFit:
    """The maximum-likelihood fit of `kind` to the stretch of log returns `h`
    (at least one bar; the first return is the first bar's, relative to the
    price at which the stretch starts)."""
    if h.size == 0:
        raise ValueError("a stretch needs at least one bar")
    return _FITTERS[kind](np.asarray(h, dtype=np.float64))


def fit_all(h: Floats) -> dict[Kind, KindFit]:
    return {kind: fit_kind(kind, h) for kind in KINDS}


def best_fit(fits: dict[Kind, KindFit], log_n: float) -> KindFit:
    """The kind with the highest BIC score; ties go to the simpler kind, then
    to the earlier one in KINDS."""
    return max(fits.values(), key=lambda f: (f.bic_score(log_n), -f.parameters, -KINDS.index(f.kind)))


def shocks(fit: KindFit, h: Floats) -> Floats:
    """The standard normal shocks that reproduce `h` under `fit`: close to
    independent N(0, 1) draws when the kind and its parameters are right."""
    if fit.kind == "trend":
        return (h - fit.drift) / fit.vol
    if fit.kind == "vol":
        return h / fit.vol
    if fit.kind == "range":
        return (h + fit.drift * levels(h)) / fit.vol
    y = h + abs(fit.drift)
    return np.where(y >= 0.0, y / (0.5 * fit.vol), y / (1.5 * fit.vol))


def return_std(kind: Kind, vol: float) -> float:
    """The standard deviation of one bar's log return under `kind` (for range,
    ignoring the pull, which is small over one bar)."""
    return vol * CRASH_SHOCK_STD if kind == "crash" else vol
