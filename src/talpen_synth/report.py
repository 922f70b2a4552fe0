"""Human reports of diagnostics: text tables for a terminal, and one HTML
page with its charts embedded as PNG images (matplotlib), which needs no
other file to be read or moved.
"""

from __future__ import annotations

import base64
import html
import io
import math
import os
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

from ._extras import missing_stats

try:
    import numpy as np
    from matplotlib.axes import Axes
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from scipy import stats as sps
except ImportError:  # pragma: no cover - depends on the installation
    missing_stats("talpen_synth.report")

from . import __version__
from .diagnostics import DEFINITIONS, BarFeatures, Sample
from .history import bar_length_text, bar_returns

__all__ = ["fmt", "report_text", "compare_text", "report_html", "compare_html"]

KIND_COLOURS = {"trend": "#1f77b4", "range": "#7f7f7f", "crash": "#d62728", "vol": "#9467bd"}
SOURCE_COLOURS = ("#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b")


def fmt(x: Any) -> str:
    """A value for a table: numbers to 3 significant digits."""
    if x is None:
        return "-"
    if isinstance(x, bool) or isinstance(x, int):
        return str(x)
    if isinstance(x, float):
        if not math.isfinite(x):
            return "-"
        return f"{x:.3g}"
    return str(x)


# --- Text ---------------------------------------------------------------------------------------------------

def _table(rows: Sequence[Sequence[str]]) -> list[str]:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return ["  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))).rstrip()
            for r in rows]


def report_text(d: Mapping[str, Any]) -> str:
    """The main figures of a diagnosis, for a terminal."""
    s, r, a, dd, c = d["source"], d["returns"], d["autocorrelation"], d["drawdowns"], d["candles"]
    lines = [f"{s['label']}: {s['bars']} bars of {bar_length_text(s['bar_secs'])}, {s['start']} to {s['end']}"]
    if s["gaps"] and (s["gaps"]["count"] or s["gaps"]["short_steps"]):
        g = s["gaps"]
        lines.append(f"gaps: {g['count']} ({g['missing_bars']} bars missing)")
    q = r["quantiles"]
    lb = a["ljung_box_abs_returns"]
    lb10 = lb["pvalue"][lb["lags"].index(10)] if 10 in lb["lags"] else None
    acf_r, acf_a = a["acf_returns"], a["acf_abs_returns"]
    rows = [
        ["log returns", "mean", fmt(r["mean"]), "std", fmt(r["std"]), "skew", fmt(r["skew"]),
         "excess kurtosis", fmt(r["excess_kurtosis"])],
        ["", "q01", fmt(q["0.01"]), "q99", fmt(q["0.99"]), "Hill tail index", fmt(r["hill_tail_index"]),
         "Hill k", fmt(r["hill_k"])],
        ["autocorrelation", "returns lag 1", fmt(acf_r[0] if acf_r else None),
         "abs lag 1", fmt(acf_a[0] if acf_a else None), "abs lag 10", fmt(acf_a[9] if len(acf_a) > 9 else None),
         "Ljung-Box abs p (10)", fmt(lb10)],
        ["drawdowns", "max", fmt(dd["max_drawdown"]), "longest bars", fmt(dd["longest_drawdown_bars"]),
         "under water", fmt(dd["time_under_water"]), "", ""],
        ["candles", "ln(high/low)", fmt(c["hl_range_mean"]), "body", fmt(c["body_ratio_mean"]),
         "upper wick", fmt(c["upper_wick_ratio_mean"]), "lower wick", fmt(c["lower_wick_ratio_mean"])],
    ]
    lines += _table(rows)
    if d["regimes"]:
        lines.append("regimes (spec against realised):")
        reg = [["  #", "kind", "bars", "spec vol", "realised vol", "ratio", "spec drift", "realised drift"]]
        for i, g in enumerate(d["regimes"]):
            reg.append([f"  {i}", g["kind"], str(g["bars"]), fmt(g["spec_vol"]), fmt(g.get("realised_vol")),
                        fmt(g.get("vol_ratio")), fmt(g["spec_drift"]), fmt(g.get("realised_drift"))])
        lines += _table(reg)
    if d["book"]:
        b = d["book"]
        lines.append(f"book: spread {fmt(b['spread_bps']['median'])} bps median ({fmt(b['spread_bps']['q05'])} to "
                     f"{fmt(b['spread_bps']['q95'])}), {b['depth_levels']} levels a side, best level "
                     f"{fmt(b['level0_qty_mean'])} on average")
    if d["trades"]:
        t = d["trades"]
        chi = t["poisson_chi2"]
        count = t["trade_count"]
        lines.append(f"trades: {fmt(count['mean'])} a bar, dispersion {fmt(count['dispersion_index'])}"
                     f", Poisson({fmt(t['poisson_rate'])}) chi-square p {fmt(chi['pvalue'])}")
    if d["funding"]:
        f = d["funding"]
        lines.append(f"funding: {f['points']} points every {fmt(f['interval_bars'])} bars, rate mean "
                     f"{fmt(f['rate_mean'])}, std {fmt(f['rate_std'])}")
    return "\n".join(lines) + "\n"


def _cell(value: Any, interval: Sequence[Any] | None) -> str:
    if interval is None or interval[0] is None:
        return fmt(value)
    return f"{fmt(value)} [{fmt(interval[0])}, {fmt(interval[1])}]"


def compare_text(cmp: Mapping[str, Any]) -> str:
    """A comparison as a table: every source's value and 95% interval; a '*'
    marks a value that differs from the first source's."""
    labels = [Path(label).name if os.sep in label else label for label in cmp["sources"]]
    rows = [["statistic", *labels]]
    for row in cmp["statistics"]:
        cells = [row["label"]]
        for j, value in enumerate(row["values"]):
            cell = _cell(value, row["intervals"][j] if row["intervals"] else None)
            cells.append(cell + (" *" if row["differs"] and row["differs"][j] else "  "))
        rows.append(cells)
    lines = _table(rows)
    blocks = ", ".join(f"{b:.3g}" for b in cmp["bootstrap"]["block_length"])
    lines.append(f"[low, high]: 95% stationary block-bootstrap interval ({cmp['bootstrap']['reps']} resamples, "
                 f"mean block length {blocks} bars)")
    lines.append("*: outside the first source's interval, or the first source's value outside this one's")
    for j, label in enumerate(labels[1:], start=1):
        diff = cmp["differences"][j]
        lines.append(f"{label} differs from {labels[0]} in {len(diff)} of "
                     f"{sum(1 for r in cmp['statistics'] if r['differs'])}: {', '.join(diff) or 'none'}")
    return "\n".join(lines) + "\n"


# --- Charts -------------------------------------------------------------------------------------------------

def _figure(width: float = 7.5, height: float = 3.2) -> tuple[Figure, Axes]:
    fig = Figure(figsize=(width, height), dpi=100)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    ax.grid(alpha=0.25, linewidth=0.5)
    return fig, ax


def _png(fig: Figure) -> str:
    fig.tight_layout()
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    return base64.b64encode(buffer.getvalue()).decode("ascii")


def _price_chart(samples: Sequence[Sample]) -> str:
    fig, ax = _figure()
    if len(samples) == 1:
        s = samples[0]
        close = s.candles["close"].to_numpy(dtype=np.float64)
        ax.plot(np.arange(close.size), close, color="#333333", linewidth=0.8)
        ax.set_yscale("log")
        ax.set_ylabel("close")
        if s.spec is not None:
            first = 0
            for g in s.spec.regimes:
                ax.axvspan(first - 0.5, first + g.bars - 0.5, color=KIND_COLOURS.get(g.kind, "#bcbd22"), alpha=0.12,
                           lw=0)
                first += g.bars
        ax.set_title("close price (log scale)" + (", regimes shaded" if s.spec is not None else ""))
    else:
        for s, colour in zip(samples, SOURCE_COLOURS):
            close = s.candles["close"].to_numpy(dtype=np.float64)
            ax.plot(np.arange(close.size), np.log(close / close[0]), color=colour, linewidth=0.8, label=s.label)
        ax.set_ylabel("ln(close / first close)")
        ax.legend(fontsize="small")
        ax.set_title("price paths")
    ax.set_xlabel("bar")
    return _png(fig)


def _returns_chart(samples: Sequence[Sample]) -> str:
    fig, ax = _figure()
    series = [BarFeatures.of(s.candles).returns for s in samples]
    low = min(float(np.min(r)) for r in series)
    high = max(float(np.max(r)) for r in series)
    edges = np.linspace(low, high if high > low else low + 1.0, 81)
    mids = (edges[:-1] + edges[1:]) / 2
    least = math.inf
    for s, r, colour in zip(samples, series, SOURCE_COLOURS):
        density, _ = np.histogram(r, bins=edges, density=True)
        least = min(least, float(np.min(density[density > 0], initial=math.inf)))
        ax.step(mids, np.where(density > 0, density, np.nan), where="mid", color=colour, linewidth=0.9, label=s.label)
        if len(samples) == 1:
            sd = float(np.std(r))
            if sd > 0:
                ax.plot(mids, sps.norm.pdf(mids, float(np.mean(r)), sd), color="#999999", linestyle="--",
                        linewidth=0.8, label="normal, same mean and std")
    ax.set_yscale("log")
    if math.isfinite(least):
        ax.set_ylim(bottom=least * 0.5)  # the normal's far tails would squeeze the data into a strip
    ax.set_xlabel("log return")
    ax.set_ylabel("density (log scale)")
    ax.legend(fontsize="small")
    ax.set_title("distribution of log returns")
    return _png(fig)


def _acf_chart(diagnoses: Sequence[Mapping[str, Any]], labels: Sequence[str]) -> str:
    fig = Figure(figsize=(7.5, 3.2), dpi=100)
    FigureCanvasAgg(fig)
    for k, (key, title) in enumerate((("acf_returns", "returns"), ("acf_abs_returns", "absolute returns"))):
        ax = fig.add_subplot(1, 2, k + 1)
        ax.grid(alpha=0.25, linewidth=0.5)
        for d, label, colour in zip(diagnoses, labels, SOURCE_COLOURS):
            values = np.array([np.nan if v is None else v for v in d["autocorrelation"][key]], dtype=np.float64)
            lags = np.arange(1, values.size + 1)
            if len(diagnoses) == 1:
                ax.vlines(lags, 0, values, color=colour, linewidth=1.2)
            else:
                ax.plot(lags, values, color=colour, linewidth=0.9, label=label)
            band = 1.96 / math.sqrt(max(d["returns"]["count"], 1))
            ax.axhspan(-band, band, color=colour, alpha=0.08, lw=0)
        ax.axhline(0, color="#333333", linewidth=0.5)
        ax.set_title(f"autocorrelation of {title}", fontsize="medium")
        ax.set_xlabel("lag (bars)")
        if len(diagnoses) > 1 and k == 1:
            ax.legend(fontsize="small")
    return _png(fig)


def _drawdown_chart(samples: Sequence[Sample]) -> str:
    fig, ax = _figure()
    for s, colour in zip(samples, SOURCE_COLOURS):
        close = s.candles["close"].to_numpy(dtype=np.float64)
        dd = close / np.maximum.accumulate(close) - 1.0
        ax.plot(np.arange(dd.size), dd, color=colour, linewidth=0.8, label=s.label)
    ax.set_ylabel("below the running peak")
    ax.set_xlabel("bar")
    if len(samples) > 1:
        ax.legend(fontsize="small")
    ax.set_title("drawdowns")
    return _png(fig)


def _run_charts(s: Sample) -> list[tuple[str, str]]:
    charts = []
    if s.book is not None and len(s.book):
        best = s.book[s.book["level"] == 0]
        bid = best[best["side"] == "bid"]["price"].to_numpy(dtype=np.float64)
        ask = best[best["side"] == "ask"]["price"].to_numpy(dtype=np.float64)
        spread = (ask - bid) / ((ask + bid) * 0.5) * 1e4
        fig, ax = _figure()
        ax.hist(spread, bins=60, color="#1f77b4")
        if s.spec is not None:
            ax.axvline(s.spec.microstructure["spread_bps"], color="#d62728", linewidth=1,
                       label="spec spread_bps (base)")
            ax.legend(fontsize="small")
        ax.set_xlabel("spread (bps)")
        ax.set_title("quoted spread at the best levels")
        charts.append(("Spread", _png(fig)))
    if s.trades is not None and s.spec is not None and s.spec.microstructure["trade_rate"] > 0:
        ts = s.candles["ts"].to_numpy()
        counts = np.bincount(np.searchsorted(ts, s.trades["ts"].to_numpy()), minlength=ts.size)[:ts.size]
        k = np.arange(int(counts.max()) + 1)
        fig, ax = _figure()
        ax.bar(k, np.bincount(counts, minlength=k.size) / counts.size, color="#1f77b4", label="bars")
        rate = s.spec.microstructure["trade_rate"]
        ax.plot(k, sps.poisson.pmf(k, rate), "o-", color="#d62728", markersize=3, label=f"Poisson({rate:g})")
        ax.set_xlabel("trades in a bar")
        ax.set_ylabel("share of bars")
        ax.legend(fontsize="small")
        ax.set_title("trade counts against the Poisson law")
        charts.append(("Trades", _png(fig)))
    if s.funding is not None and len(s.funding):
        fig, ax = _figure()
        ax.plot(np.arange(len(s.funding)), s.funding["rate"].to_numpy(), "o-", color="#2ca02c", markersize=3,
                linewidth=0.8)
        ax.set_xlabel("funding point")
        ax.set_ylabel("rate")
        ax.set_title("funding rates")
        charts.append(("Funding", _png(fig)))
    return charts


def _regime_chart(s: Sample) -> str | None:
    if s.spec is None:
        return None
    h = bar_returns(s.candles)
    fig, ax = _figure()
    ax.plot(np.arange(h.size), np.abs(h), color="#999999", linewidth=0.5, label="|log return|")
    first = 0
    for g in s.spec.regimes:
        part = h[first:first + g.bars]
        ax.hlines(g.vol, first, first + g.bars, color=KIND_COLOURS.get(g.kind, "#bcbd22"), linewidth=2)
        if part.size > 1:
            ax.hlines(float(np.std(part)), first, first + g.bars, color="#333333", linewidth=1, linestyles="--")
        first += g.bars
    ax.set_xlabel("bar")
    ax.set_title("per regime: spec vol (coloured by kind) and realised std (dashed)")
    return _png(fig)


# --- HTML ---------------------------------------------------------------------------------------------------

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 1000px; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
table { border-collapse: collapse; font-size: 0.9em; margin: 0.5em 0; }
td, th { border-bottom: 1px solid #ddd; padding: 0.25em 0.6em; text-align: right; vertical-align: top; }
td:first-child, th:first-child { text-align: left; }
table.defs td:nth-child(3), table.defs th:nth-child(3) { text-align: left; }
table.defs td:nth-child(3) { color: #555; font-size: 0.9em; max-width: 34em; }
td.differs { background: #fde2e1; font-weight: 600; }
img { max-width: 100%; display: block; margin: 0.5em 0; }
.note { color: #555; font-size: 0.9em; }
"""


def _page(title: str, body: list[str]) -> str:
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{html.escape(title)}</title><style>{_STYLE}</style></head><body>\n"
            f"<h1>{html.escape(title)}</h1>\n" + "\n".join(body)
            + f"\n<p class=\"note\">talpen_synth {html.escape(__version__)}</p>\n</body></html>\n")


def _img(png: str, alt: str) -> str:
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{png}">'


def _rows_table(header: Sequence[str], rows: Sequence[Sequence[str]], escape: bool = True) -> str:
    kind = ' class="defs"' if header and header[-1] == "definition" else ""
    out = [f"<table{kind}><tr>" + "".join(f"<th>{html.escape(h)}</th>" for h in header) + "</tr>"]
    for row in rows:
        out.append("<tr>" + "".join(f"<td>{html.escape(c) if escape else c}</td>" for c in row) + "</tr>")
    out.append("</table>")
    return "\n".join(out)


def _definition_rows(section: Mapping[str, Any], names: Sequence[str]) -> list[list[str]]:
    rows = []
    for name in names:
        value = section.get(name)
        if isinstance(value, Mapping):
            value = "; ".join(f"{k}: {fmt(v)}" for k, v in value.items())
        rows.append([html.escape(name), html.escape(fmt(value)), html.escape(DEFINITIONS.get(name, ""))])
    return rows


def report_html(d: Mapping[str, Any], sample: Sample) -> str:
    """One page: the diagnosis's figures with their definitions, and charts."""
    s = d["source"]
    body = [f"<p>{html.escape(s['label'])}: {s['bars']} bars of {bar_length_text(s['bar_secs'])}, "
            f"{html.escape(s['start'])} to {html.escape(s['end'])}"
            + (f"; {s['gaps']['count']} gaps ({s['gaps']['missing_bars']} bars missing)" if s["gaps"] else "")
            + "</p>"]
    body.append("<h2>Log returns</h2>")
    body.append(f"<p class=\"note\">{html.escape(DEFINITIONS['returns'])}</p>")
    body.append(_rows_table(["statistic", "value", "definition"], _definition_rows(
        d["returns"], ["count", "mean", "std", "skew", "excess_kurtosis", "quantiles", "hill_tail_index", "hill_k"]),
        escape=False))
    body.append(_img(_returns_chart([sample]), "distribution of log returns"))
    a = d["autocorrelation"]
    body.append("<h2>Autocorrelation</h2>")
    lb_rows = []
    for key in ("ljung_box_returns", "ljung_box_abs_returns"):
        for lag, stat, p in zip(a[key]["lags"], a[key]["statistic"], a[key]["pvalue"]):
            lb_rows.append([key, str(lag), fmt(stat), fmt(p)])
    body.append(_rows_table(["test", "lags", "statistic", "p-value"], lb_rows))
    body.append(_img(_acf_chart([d], [s["label"]]), "autocorrelation"))
    body.append("<h2>Drawdowns and candles</h2>")
    body.append(_rows_table(["statistic", "value", "definition"],
                            _definition_rows(d["drawdowns"], list(d["drawdowns"]))
                            + _definition_rows(d["candles"], list(d["candles"])), escape=False))
    body.append(_img(_price_chart([sample]), "close price"))
    body.append(_img(_drawdown_chart([sample]), "drawdowns"))
    if d["regimes"]:
        body.append("<h2>Regimes: spec against realised</h2>")
        body.append(f"<p class=\"note\">{html.escape(DEFINITIONS['regimes'])}</p>")
        body.append(_rows_table(["#", "kind", "bars", "spec vol", "realised vol", "vol ratio", "realised std",
                                 "spec drift", "realised drift"],
                                [[str(i), g["kind"], str(g["bars"]), fmt(g["spec_vol"]), fmt(g.get("realised_vol")),
                                  fmt(g.get("vol_ratio")), fmt(g.get("realised_std")), fmt(g["spec_drift"]),
                                  fmt(g.get("realised_drift"))] for i, g in enumerate(d["regimes"])]))
        chart = _regime_chart(sample)
        if chart:
            body.append(_img(chart, "regime volatility"))
    for section in ("book", "trades", "funding"):
        if d[section]:
            body.append(f"<h2>{section.capitalize()}</h2>")
            body.append(_rows_table(["statistic", "value", "definition"],
                                    _definition_rows(d[section], list(d[section])), escape=False))
    for title, png in _run_charts(sample):
        body.append(_img(png, title))
    return _page(f"Diagnostics: {s['label']}", body)


def compare_html(cmp: Mapping[str, Any], samples: Sequence[Sample]) -> str:
    """One page: every compared statistic side by side, differences marked,
    and the sources' charts overlaid."""
    labels = cmp["sources"]
    body = ["<p>" + ", ".join(f"<b style=\"color:{c}\">{html.escape(label)}</b> ({bars} bars)"
                              for label, bars, c in zip(labels, cmp["bars"], SOURCE_COLOURS)) + "</p>",
            f"<p class=\"note\">Each value with its {html.escape(DEFINITIONS['interval'])}; "
            f"shaded: {html.escape(DEFINITIONS['differs'])}. Block lengths: "
            + ", ".join(f"{b:.3g}" for b in cmp["bootstrap"]["block_length"]) + " bars.</p>"]
    head = "<tr><th>statistic</th>" + "".join(f"<th>{html.escape(label)}</th>" for label in labels) + "</tr>"
    rows = [head]
    for row in cmp["statistics"]:
        cells = [f"<td>{html.escape(row['label'])}</td>"]
        for j, value in enumerate(row["values"]):
            text = html.escape(_cell(value, row["intervals"][j] if row["intervals"] else None))
            marked = bool(row["differs"] and row["differs"][j])
            cells.append(f"<td class=\"differs\">{text}</td>" if marked else f"<td>{text}</td>")
        rows.append("<tr>" + "".join(cells) + "</tr>")
    body.append("<table>" + "\n".join(rows) + "</table>")
    charts: list[tuple[str, Callable[[], str]]] = [
        ("price paths", lambda: _price_chart(samples)),
        ("distribution of log returns", lambda: _returns_chart(samples)),
        ("autocorrelation", lambda: _acf_chart(cmp["diagnoses"], labels)),
        ("drawdowns", lambda: _drawdown_chart(samples)),
    ]
    for alt, draw in charts:
        body.append(_img(draw(), alt))
    return _page("Comparison: " + " / ".join(labels), body)
