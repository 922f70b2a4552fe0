"""Charts of a universe: a candlestick panel per instrument with its regimes
shaded, or every instrument's close on one chart, normalised to 100 at the
first open, shading the stretches where all instruments are in the same kind
of regime (a market-wide crash shows as one red band).

Needs matplotlib (extra ``plot``), whose NumPy it uses.
"""

from __future__ import annotations

from typing import Any

from ._extras import require
from .cli_plot import DPI, DOWN, KIND_COLOURS, UP, _duration, _time_formatter, auto_group, figure_bytes, tick_step
from .universe import UniverseSpec

__all__ = ["plot_universe"]

PANEL_PX = 170
# Lines of the closes, in the universe's order.
LINE_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
                "#bcbd22", "#17becf")


def _candles(universe: UniverseSpec) -> list[dict[str, Any]]:
    """Every instrument's candle columns as NumPy arrays, made chunk by chunk
    (the candles table alone: the books' levels are never laid out)."""
    np = require("numpy", "plot", "universe plot")
    parts: list[dict[str, list[Any]]] = [{} for _ in universe.instruments]
    native = universe.open()
    while (table := native.next_table("candles")) is not None:
        for name in ("ts", "open", "high", "low", "close"):
            # A chunk's rows come instrument by instrument, a bar each.
            rows = np.asarray(table[name]).reshape(len(parts), -1)
            for i, part in enumerate(parts):
                part.setdefault(name, []).append(rows[i])
    return [{name: np.concatenate(arrays) for name, arrays in p.items()} for p in parts]


def _grouped(c: dict[str, Any], k: int) -> dict[str, Any]:
    """Candles of `k` consecutive bars each (the last may hold fewer)."""
    if k == 1:
        return c
    np = require("numpy", "plot", "universe plot")
    starts = np.arange(0, c["ts"].size, k)
    ends = np.minimum(starts + k, c["ts"].size) - 1
    return {"ts": c["ts"][starts], "open": c["open"][starts], "close": c["close"][ends],
            "high": np.maximum.reduceat(c["high"], starts), "low": np.minimum.reduceat(c["low"], starts)}


def _kinds_by_bar(universe: UniverseSpec) -> list[list[tuple[str, int, int]]]:
    """Each instrument's regimes as (kind, first bar, last bar)."""
    out = []
    for inst in universe.instruments:
        spans, first = [], 0
        for regime in inst.spec["regimes"]:
            spans.append((regime["kind"], first, first + regime["len"] - 1))
            first += regime["len"]
        out.append(spans)
    return out


def _common_spans(universe: UniverseSpec) -> list[tuple[str, int, int]]:
    """The stretches of bars where every instrument is in the same kind of regime."""
    per = _kinds_by_bar(universe)
    bounds = sorted({b for spans in per for _, first, last in spans for b in (first, last + 1)})
    common: list[tuple[str, int, int]] = []
    for lo, hi in zip(bounds, bounds[1:]):
        kinds = {next(k for k, f, l in spans if f <= lo <= l) for spans in per}
        if len(kinds) == 1:
            kind = kinds.pop()
            if common and common[-1][0] == kind and common[-1][2] == lo - 1:
                common[-1] = (kind, common[-1][1], hi - 1)
            else:
                common.append((kind, lo, hi - 1))
    return common


def plot_universe(universe: UniverseSpec, label: str, width: int, height: int | None, together: bool,
                  fmt: str = "png") -> bytes:
    """The chart of a universe as an image in `fmt`."""
    require("matplotlib", "plot", "universe plot")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.collections import PolyCollection
    from matplotlib.colors import to_rgba
    from matplotlib.patches import Patch
    from matplotlib.ticker import FuncFormatter, MultipleLocator

    candles = _candles(universe)
    n_inst = len(universe.instruments)
    step = universe.bar_secs
    ts = candles[0]["ts"]
    bars = int(ts.size)
    panels = 1 if together else n_inst
    height = height or (700 if together else 90 + PANEL_PX * n_inst)
    fig = Figure(figsize=(width / DPI, height / DPI), dpi=DPI)
    FigureCanvasAgg(fig)
    grid = fig.add_gridspec(panels, 1, hspace=0.08, left=84 / width, right=1 - 28 / width, top=1 - 58 / height,
                            bottom=54 / height)
    first_ax = fig.add_subplot(grid[0])
    axes = [first_ax] + [fig.add_subplot(grid[i], sharex=first_ax) for i in range(1, panels)]
    kinds_seen: list[str] = []

    def shade(ax: Any, spans: list[tuple[str, int, int]]) -> None:
        # One collection a panel: tiled regimes can number thousands.
        boxes: list[list[tuple[float, float]]] = []
        shades: list[tuple[float, float, float, float]] = []
        for j, (kind, first, last) in enumerate(spans):
            if first >= bars:
                break
            last = min(last, bars - 1)
            x0, x1 = float(ts[first] - step / 2), float(ts[last] + step / 2)
            boxes.append([(x0, 0.0), (x0, 1.0), (x1, 1.0), (x1, 0.0)])
            shades.append(to_rgba(KIND_COLOURS.get(kind, "#bcbd22"), 0.1 if j % 2 == 0 else 0.16))
            if kind not in kinds_seen:
                kinds_seen.append(kind)
        ax.add_collection(PolyCollection(boxes, facecolors=shades, linewidths=0, zorder=1,
                                         transform=ax.get_xaxis_transform()), autolim=False)

    handles: list[Any] = []
    if together:
        ax = axes[0]
        shade(ax, _common_spans(universe))
        for i, inst in enumerate(universe.instruments):
            c = candles[i]
            base = c["open"][0]
            handles += ax.plot(c["ts"], 100.0 * c["close"] / base, lw=1.0, label=inst.symbol,
                               color=LINE_COLOURS[i % len(LINE_COLOURS)], zorder=3)
        ax.axhline(100.0, color="#333333", lw=0.6, zorder=2)
        ax.set_ylabel("close (first open = 100)")
        title = f"{label} \u00b7 {n_inst} instruments \u00b7 {bars} bars \u00b7 closes normalised"
    else:
        k = auto_group(bars, width)
        per_kinds = _kinds_by_bar(universe)
        for i, (ax, inst) in enumerate(zip(axes, universe.instruments)):
            shade(ax, per_kinds[i])
            c = _grouped(candles[i], k)
            xs = c["ts"] + (k - 1) * step / 2
            up = c["close"] >= c["open"]
            colours = [UP if u else DOWN for u in up]
            finite = c["high"][_finite(c["high"])]
            least = float(finite.max() - finite.min()) * 0.002 if finite.size else 0.0
            ax.vlines(xs, c["low"], c["high"], colors=colours, linewidth=0.8, zorder=2)
            body = abs(c["close"] - c["open"])
            ax.bar(xs, [max(b, least) for b in body], width=k * step * 0.7,
                   bottom=[min(o, cl) for o, cl in zip(c["open"], c["close"])], color=colours, linewidth=0,
                   zorder=2)
            ax.set_ylabel(inst.symbol, fontweight="bold")
            ax.margins(y=0.08)
        grouped = f"  (each candle {k} bars, {_duration(k * step)})" if k > 1 else ""
        title = f"{label} \u00b7 {n_inst} instruments \u00b7 {bars} bars{grouped}"
    handles = [Patch(color=KIND_COLOURS.get(kd, "#bcbd22"), alpha=0.3, label=kd) for kd in kinds_seen] + handles
    axes[0].legend(handles=handles, loc="lower right", bbox_to_anchor=(1.0, 1.0), fontsize="small",
                   ncols=len(handles), frameon=False, borderaxespad=0.2)
    fig.text(84 / width, 1 - 8 / height, title, ha="left", va="top", fontsize="medium")
    axes[-1].set_xlabel("time (UTC)")
    for a in axes:
        a.grid(alpha=0.25, linewidth=0.5)
        if a is not axes[-1]:
            a.tick_params(labelbottom=False)
    ticks = tick_step(max(float(ts[-1] - ts[0]), step), width)
    axes[-1].xaxis.set_major_locator(MultipleLocator(ticks))
    axes[-1].xaxis.set_major_formatter(FuncFormatter(_time_formatter(ticks)))
    axes[-1].set_xlim(float(ts[0]) - step, float(ts[-1]) + step)
    return figure_bytes(fig, fmt)


def _finite(values: Any) -> Any:
    np = require("numpy", "plot", "universe plot")
    return np.isfinite(values)

