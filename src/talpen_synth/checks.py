"""Warnings about valid specs whose runs will look broken.

The module accepts every spec that keeps its rules; some of those quote books
that no market would show. Each bar's book is quoted around its close with a
spread of ``spread_bps`` times (|move| / (vol + 1e-9) + 1), its levels one
basis point of the close apart, and no price is floored at zero. So:

- a "trend" or "crash" regime with ``vol`` 0 and a non-zero ``drift`` moves by
  exactly ``drift`` every bar, which the spread divides by 1e-9: its books are
  about a million base spreads wide, and their bids below zero;
- far from that, a drift many times the regime's ``vol`` widens every book by
  about that factor;
- bid levels pass zero near the ten-thousandth level, whatever the spread;
- the regimes' drift, and the crash regimes' downward skew, move the log price
  by their sum over the run on average: past a few tens the prices round to
  0 at 8 decimals, or the run overflows.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any

from ._spec import SpecFields

__all__ = ["SpecWarning", "spec_warnings", "negative_prices", "run_findings", "log_price_move", "price_range_warning"]

# A book this many base spreads wide or more is worth a warning.
WIDE_BOOK = 100.0
# What the spread adds to the regime's vol before dividing the move by it.
_VOL_FLOOR = 1e-9
# The price step between neighbouring book levels, as a share of the close.
_TICK = 1e-4


@dataclass(frozen=True)
class SpecWarning:
    path: str  # the field it is about, as in "regimes[2]"
    message: str

    def __str__(self) -> str:
        return f"{self.path}: {self.message}"


def _number(x: float) -> str:
    return f"{x:,.0f}" if x >= 1000 else f"{x:.3g}"


# Past this many e-folds of move (a factor of about 22,000) a run's prices
# have left any market's range.
_DRIFT_E_FOLDS = 10.0
# A crash bar's move is (z - |z|/2) x vol - |drift|: its shock alone takes
# vol x E|z|/2 = vol / sqrt(2 pi) off the log price on average.
_CRASH_SKEW = 1.0 / math.sqrt(2.0 * math.pi)


def log_price_move(regimes: list[Any]) -> float:
    """The regimes' average move of the log price over the run: each trend
    bar adds its drift, each crash bar takes off |drift| and its shock's
    downward skew; range regimes pull back to their anchor and vol regimes
    have no drift."""
    total = 0.0
    for r in regimes:
        drift = float(r.get("drift", 0.0))
        if r["kind"] == "trend":
            total += drift * r["len"]
        elif r["kind"] == "crash":
            total -= (abs(drift) + float(r["vol"]) * _CRASH_SKEW) * r["len"]
    return total


def price_range_warning(regimes: list[Any]) -> str | None:
    """What a run's average move does to its prices, when it takes them out
    of any market's range."""
    total = log_price_move(regimes)
    if abs(total) <= _DRIFT_E_FOLDS:
        return None
    fate = ("prices fall toward 0, where 8 decimals round them to 0" if total < 0
            else "prices grow without bound, and past a factor of e^709 the run fails")
    return (f"the regimes move the log price {'up' if total > 0 else 'down'} by about {abs(total):.3g} over the "
            f"run on average (prices x{math.exp(min(total, 700.0)):.3g}; trend and crash drift, and crash regimes' "
            f"downward shocks): {fate}")


def spec_warnings(spec: SpecFields) -> list[SpecWarning]:
    """What will look broken in runs of `spec` (a spec the module accepts)."""
    warnings = []
    micro = spec["microstructure"]
    base = micro["spread_bps"] / 10000.0
    for i, r in enumerate(spec["regimes"]):
        kind, drift, vol = r["kind"], r["drift"], r["vol"]
        if kind not in ("trend", "crash") or drift == 0.0 or base == 0.0:
            continue  # "range" and "vol" regimes do not move without vol; no spread, no width
        # Every bar moves by |drift| plus the shock's share, so this is exact
        # for vol 0 and typical otherwise.
        wide = abs(drift) / (vol + _VOL_FLOOR) + 1.0
        if wide < WIDE_BOOK:
            continue
        how = "every book is quoted" if vol == 0.0 else "books are quoted about"
        half = base * wide / 2.0
        below = (", every bid below zero" if vol == 0.0 else ", bids below zero") if half >= 1.0 else ""
        warnings.append(SpecWarning(
            f"regimes[{i}]",
            f"{kind} regime with drift {drift:g} and vol {vol:g}: {how} {_number(wide)} times the "
            f"base spread wide ({_number(micro['spread_bps'] * wide)} bps of the price){below}"))
    # Bid level j sits at close * (1 - half spread - j * tick): at the base
    # spread it reaches zero at this level, earlier when the spread widens.
    zero_level = math.floor((1.0 - base / 2.0) / _TICK)
    depth = micro["book_depth"]
    if depth > zero_level:
        warnings.append(SpecWarning(
            "microstructure.book_depth",
            f"{depth} levels a side: bid levels from about {zero_level} on are priced at or below zero "
            f"in every book (levels are one basis point of the price apart)"))
    moved = price_range_warning(list(spec["regimes"]))
    if moved is not None:
        warnings.append(SpecWarning("regimes", moved))
    return warnings


def _below_zero(text: bytes | str) -> int:
    """The prices below zero in records' text: every price is written after
    the key "price", and -0.0 is written "-0.0", which is not below zero."""
    if isinstance(text, str):
        text = text.encode()
    return text.count(b'"price":-') - text.count(b'"price":-0.0,') - text.count(b'"price":-0.0}')


def negative_prices(response: str) -> tuple[int, int]:
    """The book levels and the trades priced below zero in a "generate"
    answer, counted in its text: the books come before the trades."""
    split = response.find('"trades":[')
    books, trades = (response, "") if split < 0 else (response[:split], response[split:])
    return _below_zero(books), _below_zero(trades)


@dataclass(frozen=True)
class RunFindings:
    books_below_zero: int   # book levels priced below zero
    trades_below_zero: int
    closes_at_zero: int     # candles whose close rounds to 0 at the answer's 8 decimals
    first_zero_close: int | None  # the ts of the first of them

    def messages(self) -> list[str]:
        out = []
        if self.books_below_zero or self.trades_below_zero:
            out.append(f"the run priced {self.books_below_zero} book levels and {self.trades_below_zero} trades "
                       "below zero")
        if self.closes_at_zero:
            at = self.first_zero_close
            when = "" if at is None else f" ({_utc(at)})"
            out.append(f"{self.closes_at_zero} candles close at 0.0, the first at ts {at}{when}: the "
                       "price fell below the 8 decimals the answer keeps")
        return out


def _utc(ts: int) -> str:
    """A ts as the UTC time it stands for, or "" beyond the years a datetime holds."""
    try:
        return datetime.fromtimestamp(ts, timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
    except (OverflowError, OSError, ValueError):
        return "a time beyond the year 9999"


# The passes of the run that run_findings makes: candles, books, trades.
FINDING_PASSES = 3


def run_findings(spec_text: str, bars_per_chunk: int = 65536,
                 progress: Callable[[int], object] | None = None) -> RunFindings:
    """Runs the spec (its text, as a generate command reads it) chunk by
    chunk, a pass per record kind (FINDING_PASSES), and counts what looks
    broken in its records, in memory bounded by the chunk whatever the run's
    length. `progress(bars)` is told of every chunk of every pass. A failed
    run raises ValueError with the module's text."""
    from .chunked import record_chunks

    def chunks(kind: str) -> Iterator[bytes]:
        return record_chunks(spec_text, kind, bars_per_chunk, progress)

    zero_closes, first = 0, None
    for part in chunks("candles"):
        found = part.count(b'"close":0.0,')
        if found and first is None:
            at = part.index(b'"close":0.0,')
            ts = part.rindex(b'"ts":', 0, at) + 5
            first = int(part[ts:part.index(b",", ts)])
        zero_closes += found
    books = sum(_below_zero(part) for part in chunks("book_snapshots"))
    trades = sum(_below_zero(part) for part in chunks("trades"))
    return RunFindings(books, trades, zero_closes, first)