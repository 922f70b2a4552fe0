"""A candlestick chart of a run: prices with volume below, regimes shaded,
optionally the book's best bid and ask.

When a run has more bars than the chart has room for, neighbouring bars are
merged into wider candles (first open, highest high, lowest low, last close,
summed volume) so that each candle stays a few pixels wide; the title says so.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from ._extras import require
from ._spec import SpecFields
from .cli_spec import CliError

DPI = 100
MIN_CANDLE_PX = 3

KIND_COLOURS = {"trend": "#1f77b4", "range": "#7f7f7f", "crash": "#d62728", "vol": "#9467bd"}
UP, DOWN = "#26a69a", "#ef5350"


def regime_spans(spec: SpecFields) -> list[tuple[str, int]]:
    """(kind, len) of every regime of a spec, in order."""
    return [(r["kind"], r["len"]) for r in spec["regimes"]]


# A candle of the "generate" answer: numbers by name (None for a double that
# was not finite).
Candle = dict[str, Any]


def merge_bars(candles: list[Candle], group: int) -> list[Candle]:
    """Candles of `group` consecutive bars each; the last may hold fewer."""
    if group == 1:
        return candles
    merged = []
    for i in range(0, len(candles), group):
        part = candles[i:i + group]
        merged.append({
            "ts": part[0]["ts"], "open": part[0]["open"], "close": part[-1]["close"],
            "high": max(_num(c["high"]) for c in part), "low": min(_num(c["low"]) for c in part),
            "volume": sum(_num(c["volume"]) for c in part),
        })
    return merged


def _num(v: float | None) -> float:
    # The module writes a double that is not finite as null.
    return math.nan if v is None else v


def auto_group(bars: int, width_px: int) -> int:
    room = max(10, int(width_px * 0.85) // MIN_CANDLE_PX)
    return max(1, math.ceil(bars / room))


# Tick steps that land on round UTC times when counted from the epoch.
_TICK_STEPS = (60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400, 2 * 86400, 7 * 86400,
               14 * 86400, 28 * 86400, 91 * 86400, 364 * 86400)


def tick_step(span_secs: float, width_px: int) -> float:
    """The smallest round step that puts at most one tick per ~110 pixels."""
    most = max(2, width_px // 110)
    for step in _TICK_STEPS:
        if span_secs / step <= most:
            return step
    return math.ceil(span_secs / most / _TICK_STEPS[-1]) * _TICK_STEPS[-1]


def _time_formatter(step: float) -> Callable[[float, object], str]:
    if step < 86400:
        fmt = "%H:%M"
    elif step < 28 * 86400:
        fmt = "%b %d"
    else:
        fmt = "%Y-%m-%d"

    def label(x: float, _pos: object = None) -> str:
        try:
            stamp = datetime.fromtimestamp(x, tz=timezone.utc)
        except (OverflowError, OSError, ValueError):
            return f"{x:.0f}"
        if fmt == "%H:%M" and stamp.hour == 0 and stamp.minute == 0:
            return stamp.strftime("%b %d")  # midnight names the new day
        return stamp.strftime(fmt)
    return label


def plot(response: str, spec: SpecFields, path: Path, width: int, height: int, book: bool, title: str,
         group: int | None = None) -> None:
    require("matplotlib", "plot", "plot")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.artist import Artist
    from matplotlib.patches import Patch
    from matplotlib.ticker import FuncFormatter, MultipleLocator

    doc = json.loads(response)
    candles = doc["candles"]
    n = len(candles)
    ts = [c["ts"] for c in candles]
    step = (ts[1] - ts[0]) if n > 1 else 1
    k = group or auto_group(n, width)
    shown = merge_bars(candles, k)

    fig = Figure(figsize=(width / DPI, height / DPI), dpi=DPI)
    FigureCanvasAgg(fig)
    # Margins in pixels, so that labels keep their room whatever the size:
    # a title line, then a legend line, above the prices.
    grid = fig.add_gridspec(2, 1, height_ratios=(3, 1), hspace=0.05, left=80 / width, right=1 - 28 / width,
                            top=1 - 58 / height, bottom=54 / height)
    ax = fig.add_subplot(grid[0])
    axv = fig.add_subplot(grid[1], sharex=ax)

    # Regimes, from the spec's lengths: bar i belongs to the regime whose
    # stretch covers it, and each stretch is shaded over its bars' time.
    kinds_seen: list[str] = []
    first = 0
    for kind, length in regime_spans(spec):
        last = min(first + length, n) - 1
        if last >= first:
            x0, x1 = ts[first] - step / 2, ts[last] + step / 2
            for a in (ax, axv):
                a.axvspan(x0, x1, color=KIND_COLOURS.get(kind, "#bcbd22"), alpha=0.1, lw=0)
            if kind not in kinds_seen:
                kinds_seen.append(kind)
        first += length

    xs = [c["ts"] + (k - 1) * step / 2 for c in shown]
    width_x = k * step * 0.7
    opens = [_num(c["open"]) for c in shown]
    closes = [_num(c["close"]) for c in shown]
    highs = [_num(c["high"]) for c in shown]
    lows = [_num(c["low"]) for c in shown]
    colours = [UP if c >= o else DOWN for o, c in zip(opens, closes)]
    finite = [v for v in highs + lows if math.isfinite(v)]
    # A body as thin as a doji still shows as a line.
    least = (max(finite) - min(finite)) * 0.002 if finite else 0.0
    ax.vlines(xs, lows, highs, colors=colours, linewidth=0.8, zorder=2)
    ax.bar(xs, [max(abs(c - o), least) for o, c in zip(opens, closes)], width=width_x,
           bottom=[min(o, c) for o, c in zip(opens, closes)], color=colours, linewidth=0, zorder=2)
    axv.bar(xs, [_num(c["volume"]) for c in shown], width=width_x, color=colours, linewidth=0)

    handles: list[Artist] = [Patch(color=KIND_COLOURS.get(kd, "#bcbd22"), alpha=0.3, label=kd) for kd in kinds_seen]
    if book:
        snaps = doc["book_snapshots"]
        bts = [s["ts"] for s in snaps]
        bid = [_num(s["bids"][0]["price"]) if s["bids"] else math.nan for s in snaps]
        ask = [_num(s["asks"][0]["price"]) if s["asks"] else math.nan for s in snaps]
        # Under the candles: at a few basis points apart the two lines mostly
        # show where the book widened.
        handles += ax.plot(bts, bid, color="#2ca02c", linewidth=0.7, label="best bid", zorder=1.5)
        handles += ax.plot(bts, ask, color="#ff7f0e", linewidth=0.7, label="best ask", zorder=1.5)
    # Title and legend on lines of their own above the prices, so that
    # neither hides a candle nor the other.
    ax.legend(handles=handles, loc="lower right", bbox_to_anchor=(1.0, 1.0), fontsize="small",
              ncols=len(handles), frameon=False, borderaxespad=0.2)
    fig.text(80 / width, 1 - 8 / height, title + (f"  ({k}-bar candles)" if k > 1 else ""),
             ha="left", va="top", fontsize="medium")
    ax.margins(y=0.06)
    ax.set_ylabel("price")
    axv.set_ylabel("volume")
    axv.set_xlabel("time (UTC)")
    ax.tick_params(labelbottom=False)
    ax.grid(alpha=0.25, linewidth=0.5)
    axv.grid(alpha=0.25, linewidth=0.5)
    ticks = tick_step(max(ts[-1] - ts[0], step), width)
    axv.xaxis.set_major_locator(MultipleLocator(ticks))
    axv.xaxis.set_major_formatter(FuncFormatter(_time_formatter(ticks)))
    ax.set_xlim(ts[0] - step, ts[-1] + step)
    try:
        fig.savefig(path, format="png", dpi=DPI)
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}") from None
