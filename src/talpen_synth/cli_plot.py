"""A candlestick chart of a run: prices with volume below, a funding-rate panel
when the spec has funding, every regime shaded by kind with its boundaries
marked, optionally the book's best bid and ask.

When a run has more bars than the chart has room for, neighbouring bars are
merged into wider candles (first open, highest high, lowest low, last close,
summed volume) so that each candle stays a few pixels wide; the title says so.
"""

from __future__ import annotations

import io
import os
import json
import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from ._extras import require
from ._spec import SpecFields
from .cli_spec import CliError

DPI = 100
# The room each candle gets at least, in pixels; its body takes 70% of it.
MIN_CANDLE_PX = 5

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
        volume = 0.0
        for c in part:  # left to right, as a chart read by chunks adds them (sum() compensates from 3.12 on)
            volume += _num(c["volume"])
        merged.append({
            "ts": part[0]["ts"], "open": part[0]["open"], "close": part[-1]["close"],
            "high": max(_num(c["high"]) for c in part), "low": min(_num(c["low"]) for c in part),
            "volume": volume,
        })
    return merged


@dataclass
class ChartRun:
    """What a chart shows of a run: its candles merged `group` bars each, the
    book snapshot that closes each merged candle (when asked for), and its
    funding points: every one when they are no closer than the candles, else
    the mean rate of each candle's (`funding_merged`, at the candle's ts)."""
    bars: int
    group: int
    candles: list[Candle]
    books: list[dict[str, Any]]
    funding: list[dict[str, Any]]
    funding_merged: bool = False


# Bars a chart reads at a time.
_CHART_CHUNK = 4096
# A book snapshot starts with its time; nothing nested in one does.
_SNAPSHOT_START = b',{"ts":'


class _MergedCandles:
    """merge_bars over candles that come a chunk at a time: the same numbers,
    in the same order of operations, holding one merged candle at a time."""

    def __init__(self, group: int) -> None:
        self.group, self.count = group, 0
        self.out: list[Candle] = []
        self.open: Candle = {}

    def add(self, candles: list[Candle]) -> None:
        if self.group == 1:
            self.out += candles
            return
        for c in candles:
            m = self.open
            if self.count == 0:
                m.update(ts=c["ts"], open=c["open"], close=c["close"], high=_num(c["high"]), low=_num(c["low"]),
                         volume=0.0 + _num(c["volume"]))
            else:
                high, low = _num(c["high"]), _num(c["low"])
                m["close"] = c["close"]
                if high > m["high"]:
                    m["high"] = high
                if low < m["low"]:
                    m["low"] = low
                m["volume"] += _num(c["volume"])
            self.count += 1
            if self.count == self.group:
                self.out.append(self.done())

    def done(self) -> Candle:
        m, self.open, self.count = self.open, {}, 0
        return {"ts": m["ts"], "open": m["open"], "close": m["close"], "high": m["high"], "low": m["low"],
                "volume": m["volume"]}

    def result(self) -> list[Candle]:
        if self.count:
            self.out.append(self.done())
        return self.out


def chart_passes(book: bool) -> int:
    """The passes of the run a chart makes: candles and funding points, and the book when shown."""
    return 3 if book else 2


def read_chart_run(spec_text: str, bars: int, width: int, book: bool, group: int | None = None,
                   progress: Callable[[int], object] | None = None) -> ChartRun:
    """Runs the spec (its text, as a generate command reads it) chunk by
    chunk, a pass per record kind, keeping only what the chart shows: memory
    holds a chunk, the merged candles and as many funding points, whatever
    the run's length. `progress(bars)` is told of every chunk of every pass
    (`chart_passes(book)` of them). A failed run raises ValueError with the
    module's text."""
    from .chunked import record_chunks

    k = min(group or auto_group(bars, width), max(bars, 1))  # a group past the run is the whole run

    def texts(kind: str) -> Iterator[bytes]:
        return record_chunks(spec_text, kind, _CHART_CHUNK, progress)

    merged = _MergedCandles(k)
    for part in texts("candles"):
        merged.add(json.loads(b"[" + part + b"]"))
    books: list[dict[str, Any]] = []
    if book:
        # The snapshot that closes each merged candle (and the run's last),
        # the others never parsed.
        first = 0
        for part in texts("book_snapshots"):
            if not part:
                continue
            snaps = part.split(_SNAPSHOT_START)
            for j, snap in enumerate(snaps):
                i = first + j
                if i % k == k - 1 or i == bars - 1:
                    books.append(json.loads(snap if j == 0 else b'{"ts":' + snap))
            first += len(snaps)
    fields = json.loads(spec_text)
    interval = (fields["microstructure"].get("funding") or {}).get("interval_bars", k)
    if interval >= k:
        funding = [f for part in texts("funding") for f in json.loads(b"[" + part + b"]")]
        return ChartRun(bars, k, merged.result(), books, funding)
    # More funding points than candles: a chart could not tell them apart,
    # and a long run's would fill memory, so each candle's are averaged.
    start, span = fields["start_ts"], k * fields["bar_secs"]
    funding, group, total, count = [], -1, 0.0, 0
    for part in texts("funding"):
        for f in json.loads(b"[" + part + b"]"):
            g = (f["ts"] - start) // span
            if g != group and count:
                funding.append({"ts": start + group * span, "rate": total / count})
                total, count = 0.0, 0
            group, total, count = g, total + _num(f["rate"]), count + 1
    if count:
        funding.append({"ts": start + group * span, "rate": total / count})
    return ChartRun(bars, k, merged.result(), books, funding, funding_merged=True)


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


def image_format(path: str) -> str:
    """The image format that `path` names by its extension ('-': PNG), or a
    CliError before anything runs when matplotlib cannot write it."""
    if path == "-":
        return "png"
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    formats = FigureCanvasAgg(Figure()).get_supported_filetypes()
    suffix = Path(path).suffix.lower().lstrip(".")
    if suffix not in formats:
        known = ", ".join(f".{f}" for f in sorted(formats))
        if not suffix:
            raise CliError(f"cannot write {path}: no extension to tell the image format ({known})")
        raise CliError(f"cannot write {path}: plot writes no .{suffix} images, only {known}")
    return suffix


def _duration(secs: float) -> str:
    for unit, size in (("d", 86400), ("h", 3600), ("min", 60)):
        if secs >= size and secs % size == 0:
            return f"{secs / size:g} {unit}"
    return f"{secs:g} s"


def plot(run: ChartRun, spec: SpecFields, width: int, height: int, title: str, fmt: str = "png") -> bytes:
    """The chart of a run (read_chart_run) as an image in `fmt`."""
    require("matplotlib", "plot", "plot")
    from matplotlib.artist import Artist
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.collections import PolyCollection
    from matplotlib.colors import to_rgba
    from matplotlib.patches import Patch
    from matplotlib.ticker import FuncFormatter, MultipleLocator

    n, k, shown, funding = run.bars, run.group, run.candles, run.funding
    step = spec["bar_secs"]
    funding_spec = spec["microstructure"]["funding"]

    def ts(i: int) -> int:  # bar i's time
        return spec["start_ts"] + i * step

    fig = Figure(figsize=(width / DPI, height / DPI), dpi=DPI)
    FigureCanvasAgg(fig)
    # Margins in pixels, so that labels keep their room whatever the size:
    # a title line, then a legend line, above the prices.
    panels = (3, 1, 0.8) if funding_spec is not None else (3, 1)
    grid = fig.add_gridspec(len(panels), 1, height_ratios=panels, hspace=0.06, left=84 / width,
                            right=1 - 28 / width, top=1 - 58 / height, bottom=54 / height)
    ax = fig.add_subplot(grid[0])
    axes = [ax] + [fig.add_subplot(grid[i], sharex=ax) for i in range(1, len(panels))]
    axv = axes[1]

    # Regimes, from the spec's lengths: each stretch shaded by its kind over
    # its bars' time, and every boundary marked, so that neighbours of one
    # kind (a vol burst between two quiet vol regimes) stay apart.
    kinds_seen: list[str] = []
    first = 0
    px = width * 0.9 / (n * step if n else step)  # pixels per second, about
    previous_px = math.inf
    any_boundary = False
    # The shading is one collection a panel: a tiled spec can have thousands
    # of regimes, and a patch of its own for each took seconds to draw.
    spans: list[list[tuple[float, float]]] = []
    shades: list[tuple[float, float, float, float]] = []
    boundaries: list[float] = []
    for i, regime in enumerate(spec["regimes"]):
        kind, length = regime["kind"], regime["len"]
        last = min(first + length, n) - 1
        if last < first:
            break
        x0, x1 = ts(first) - step / 2, ts(last) + step / 2
        colour = KIND_COLOURS.get(kind, "#bcbd22")
        # A boundary line between regimes too thin to tell apart would only
        # hatch the chart; their shading still shows them.
        boundary = first > 0 and min(previous_px, (x1 - x0) * px) >= 8
        previous_px = (x1 - x0) * px
        any_boundary = any_boundary or boundary
        spans.append([(x0, 0.0), (x0, 1.0), (x1, 1.0), (x1, 0.0)])
        shades.append(to_rgba(colour, 0.1 if i % 2 == 0 else 0.16))
        if boundary:
            boundaries.append(x0)
        if (x1 - x0) * px >= 60:  # a label where there is room for one
            ax.text((x0 + x1) / 2, 1.0, f"{kind} \u03c3{regime['vol']:g}", transform=ax.get_xaxis_transform(),
                    ha="center", va="top", fontsize="small", color="#333333", clip_on=True, zorder=4,
                    bbox={"boxstyle": "square,pad=0.15", "facecolor": "white", "alpha": 0.6, "lw": 0})
        if kind not in kinds_seen:
            kinds_seen.append(kind)
        first += length
    for a in axes:
        a.add_collection(PolyCollection(spans, facecolors=shades, linewidths=0, zorder=1,
                                        transform=a.get_xaxis_transform()), autolim=False)
        for x0 in boundaries:
            a.axvline(x0, color="#555555", lw=0.7, ls=(0, (4, 3)), alpha=0.7, zorder=1)

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
    axv.bar(xs, [_num(c["volume"]) for c in shown], width=width_x, color=colours, linewidth=0, zorder=2)

    handles: list[Artist] = [Patch(color=KIND_COLOURS.get(kd, "#bcbd22"), alpha=0.3, label=kd) for kd in kinds_seen]
    if any_boundary:
        handles.append(Line2D([], [], color="#555555", lw=0.7, ls=(0, (4, 3)), label="regime boundary"))
    if run.books:
        # The quote at each candle's close, drawn at its close time and over
        # the candles: a book is quoted as its bar ends.
        snaps = run.books
        bts = [s["ts"] + step / 2 for s in snaps]
        bid = [_num(s["bids"][0]["price"]) if s["bids"] else math.nan for s in snaps]
        ask = [_num(s["asks"][0]["price"]) if s["asks"] else math.nan for s in snaps]
        handles += ax.plot(bts, ask, color="#ff7f0e", linewidth=0.9, label="best ask", zorder=3.1)
        handles += ax.plot(bts, bid, color="#1b7f1b", linewidth=0.9, label="best bid", zorder=3.2)
    if funding_spec is not None:
        axf = axes[2]
        fts = [f["ts"] for f in funding]
        rates = [_num(f["rate"]) for f in funding]
        if run.funding_merged:  # a candle's mean rate, under the candle
            xs, cover = [t + (k - 1) * step / 2 for t in fts], k * step
        else:
            # A funding rate covers the interval that ends with its bar.
            cover = funding_spec["interval_bars"] * step
            xs = [t + step / 2 - cover / 2 for t in fts]
        axf.bar(xs, rates, width=cover * 0.85, color=[UP if r >= 0 else DOWN for r in rates], linewidth=0, zorder=2)
        axf.axhline(0.0, color="#333333", lw=0.6, zorder=2)
        axf.set_ylabel("mean funding" if run.funding_merged else "funding")
        axf.yaxis.set_major_formatter(FuncFormatter(lambda x, _pos: f"{x * 100:.3g}%"))
        if not funding:
            axf.text(0.5, 0.5, "no funding point in this run", transform=axf.transAxes, ha="center",
                     va="center", fontsize="small", color="#555555")
    # Title and legend on lines of their own above the prices, so that
    # neither hides a candle nor the other.
    ax.legend(handles=handles, loc="lower right", bbox_to_anchor=(1.0, 1.0), fontsize="small",
              ncols=len(handles), frameon=False, borderaxespad=0.2)
    grouped = f"  (each candle {k} bars, {_duration(k * step)})" if k > 1 else ""
    fig.text(84 / width, 1 - 8 / height, title + grouped, ha="left", va="top", fontsize="medium")
    ax.margins(y=0.06)
    ax.set_ylabel("price")
    axv.set_ylabel("volume")
    axes[-1].set_xlabel("time (UTC)")
    for a in axes:
        a.grid(alpha=0.25, linewidth=0.5)
        if a is not axes[-1]:
            a.tick_params(labelbottom=False)
    ticks = tick_step(max(ts(n - 1) - ts(0), step), width)
    axes[-1].xaxis.set_major_locator(MultipleLocator(ticks))
    axes[-1].xaxis.set_major_formatter(FuncFormatter(_time_formatter(ticks)))
    ax.set_xlim(ts(0) - step, ts(n - 1) + step)
    return figure_bytes(fig, fmt)


# Creation dates left out, per format, so that one run draws the same file.
_UNDATED: dict[str, dict[str, None]] = {"svg": {"Date": None}, "pdf": {"CreationDate": None}}


def figure_bytes(fig: Any, fmt: str) -> bytes:
    """The figure as a file of format `fmt`, the same bytes for the same
    figure: no creation date (PostScript, which always writes one, takes
    SOURCE_DATE_EPOCH's, 1970 unless set), and SVG's element ids drawn from a
    fixed salt rather than at random."""
    import matplotlib

    out = io.BytesIO()
    dated = fmt in ("ps", "eps") and "SOURCE_DATE_EPOCH" not in os.environ
    if dated:
        os.environ["SOURCE_DATE_EPOCH"] = "0"
    try:
        with matplotlib.rc_context({"svg.hashsalt": "talpen-synth"}):
            fig.savefig(out, format=fmt, dpi=DPI, metadata=_UNDATED.get(fmt))
    finally:
        if dated:
            del os.environ["SOURCE_DATE_EPOCH"]
    return out.getvalue()
