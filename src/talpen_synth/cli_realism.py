"""The command line's measuring and fitting commands: `report`, `compare`,
`fit` and `sample`. They need the `stats` extra (pip install
talpen_synth[stats]); without it each fails naming the package it misses.

A SOURCE is a spec file (JSON, or TOML or YAML by extension), `preset:NAME`,
or an OHLCV file (.csv, .parquet, .pq); see `talpen_synth.diagnostics`.
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Any

from ._extras import STATS_MODULES, require
from .cli_args import non_negative, whole
from .cli_spec import CliError

__all__ = ["add_parsers"]

_SOURCE_HELP = "a spec file (JSON, TOML, YAML), preset:NAME, or an OHLCV file (.csv, .parquet, .pq)"


_SEED = whole(0, 2**64 - 1)


def add_parsers(sub: Any, formatter_class: type[argparse.HelpFormatter], prog: str) -> None:
    """Adds the four commands to the command line's subparsers."""
    p = sub.add_parser(
        "report", formatter_class=formatter_class, help="measured properties of one source",
        description="Measure a source's stylized facts: log-return moments, quantiles and Hill tail index, "
                    "autocorrelation of returns and absolute returns to lag 50 with Ljung-Box tests, "
                    "drawdowns, candle shapes; for a run also per-regime volatility against the spec, "
                    "spreads, depth, trade counts against the Poisson law and funding. Prints the main figures; "
                    "-o writes an HTML page with charts, --json every figure with its definition.\n\n"
                    "Needs the `stats` extra: pip install talpen_synth[stats]",
        epilog=f"examples:\n  {prog} report preset:default\n  {prog} report prices.csv -o report.html "
               f"--json report.json\n  {prog} report tables/candles.csv --spec my.json")
    p.add_argument("source", metavar="SOURCE", help=_SOURCE_HELP)
    p.add_argument("-o", "--output", metavar="FILE", help="HTML report to write")
    p.add_argument("--json", metavar="FILE", help="JSON file of every figure and its definition")
    p.add_argument("--spec", metavar="FILE",
                   help="the spec that made an OHLCV source's candles: adds the per-regime comparison")
    p.set_defaults(handler=_report)

    p = sub.add_parser(
        "compare", formatter_class=formatter_class, help="sources side by side, differences marked",
        description="Put sources side by side: every statistic of `report` that has one gets a 95% interval "
                    "from a stationary block bootstrap of the source's bars, and a value is marked as "
                    "differing when it lies outside the first source's interval or the first source's value "
                    "lies outside its own. Prints the table; -o writes an HTML page with the charts "
                    "overlaid, --json the comparison and every source's figures.\n\n"
                    "Needs the `stats` extra: pip install talpen_synth[stats]",
        epilog=f"examples:\n  {prog} compare prices.csv fitted.json\n  {prog} compare prices.csv fitted.json "
               f"sampled.json -o compare.html --json compare.json\n  {prog} compare preset:default "
               f"preset:vol-burst --reps 1000")
    p.add_argument("sources", metavar="SOURCE", nargs="+", help=_SOURCE_HELP + "; two or more, the first "
                   "is the one the others are compared with")
    p.add_argument("-o", "--output", metavar="FILE", help="HTML comparison to write")
    p.add_argument("--json", metavar="FILE", help="JSON file of the comparison")
    p.add_argument("--reps", type=whole(20, 100000), default=300, metavar="N",
                   help="bootstrap resamples (default: %(default)s)")
    p.add_argument("--seed", type=_SEED, default=0, metavar="N",
                   help="seed of the bootstrap's resampling (default: %(default)s)")
    p.set_defaults(handler=_compare)

    p = sub.add_parser(
        "fit", formatter_class=formatter_class, help="fit a spec and a regime model to a price history",
        description="Fit a spec to OHLCV bars from a CSV or Parquet file: the history is cut into regimes by "
                    "change-point detection, each regime's kind, drift and vol are fitted by maximum "
                    "likelihood, and the start, clock and bar count come from the data. The spec replays "
                    "this one history's schedule; the regime model written beside it (--model) describes "
                    "the kinds, their parameters, how long each lasts and which follows which, for `sample` "
                    "to draw new schedules from. Prints every regime with its fit quality.\n\nThe number "
                    "of regimes is chosen by penalised likelihood up to --max-regimes. Book and trade "
                    "parameters come from a run's tables when given (--book, --trades, --funding), "
                    "otherwise they are defaults.\n\nNeeds the `stats` extra: pip install talpen_synth[stats]",
        epilog=f"examples:\n  {prog} fit prices.csv -o fitted.json\n  {prog} fit prices.parquet -o fitted.json "
               f"--model prices.model.json --max-regimes 4\n  {prog} fit tables/candles.csv --book tables/book.csv "
               f"--trades tables/trades.csv -o refit.json")
    p.add_argument("prices", metavar="PRICES", help="OHLCV file (.csv, .parquet, .pq)")
    p.add_argument("-o", "--output", metavar="FILE", required=True, help="spec file to write")
    p.add_argument("--model", metavar="FILE",
                   help="regime model to write (default: the spec's name with .model.json)")
    p.add_argument("--max-regimes", type=whole(1, 1000), default=8, metavar="N",
                   help="at most N regimes (default: %(default)s)")
    p.add_argument("--min-bars", type=whole(2, 10**9), default=20, metavar="N",
                   help="no regime shorter than N bars (default: %(default)s)")
    p.add_argument("--penalty", type=non_negative, default=1.0, metavar="X",
                   help="cost of each regime beyond the first, in units of ln(bars) of log likelihood, on "
                        "top of the parameters' own (default: %(default)s)")
    p.add_argument("--seed", type=_SEED, default=0, metavar="N", help="the spec's seed (default: %(default)s)")
    p.add_argument("--book", metavar="FILE", help="a run's book table (CSV or Parquet, as generate --out writes)")
    p.add_argument("--trades", metavar="FILE", help="a run's trades table")
    p.add_argument("--funding", metavar="FILE", help="a run's funding table")
    p.set_defaults(handler=_fit)

    p = sub.add_parser(
        "sample", formatter_class=formatter_class, help="draw a spec with a new schedule from a regime model",
        description="Draw a spec from a regime model written by `fit`: a new schedule of regimes (kinds "
                    "following the model's transitions, parameters from its fitted regimes, lengths from its "
                    "duration laws), the same for the same seed on every machine, so that each seed gets its "
                    "own history with the same statistics. The spec continues where the fitted history "
                    "ended. Writes the spec to standard output, or to FILE with -o.\n\n"
                    "Needs the `stats` extra: pip install talpen_synth[stats]",
        epilog=f"examples:\n  {prog} sample prices.model.json --seed 7 -o sampled.json\n  {prog} sample "
               f"prices.model.json --seed 7 --bars 5000 | {prog} generate --spec - -o run.json")
    p.add_argument("model", metavar="MODEL", help="regime model file written by `fit`")
    p.add_argument("--seed", type=_SEED, required=True, metavar="N", help="seed of the schedule and of the spec")
    p.add_argument("--bars", type=whole(1, 2**63 - 1), metavar="N",
                   help="bars of the spec (default: as many as the fitted history)")
    p.add_argument("-o", "--output", metavar="FILE", help="spec file to write (default: standard output)")
    p.set_defaults(handler=_sample)


def _require_stats(command: str) -> None:
    for module in STATS_MODULES[command]:
        require(module, "stats", command)


def _check_folder(path: str | None) -> None:
    if path is not None and not Path(path).parent.is_dir():
        raise CliError(f"cannot write {path}: no directory {Path(path).parent}")


def _write(path: str, text: str) -> None:
    from ._files import write_text_atomic
    try:
        write_text_atomic(path, text)
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}") from None


def _report(args: argparse.Namespace) -> int:
    _require_stats("report")
    for path in (args.output, args.json):
        _check_folder(path)
    from .diagnostics import diagnose, sample_of, spec_file_text
    from .history import DataError
    from .report import report_html, report_text
    try:
        spec = spec_file_text(args.spec) if args.spec is not None else None
        sample = sample_of(args.source, spec)
        d = diagnose(sample)
    except DataError as e:
        raise CliError(str(e)) from None
    print(report_text(d), end="")
    if args.json:
        _write(args.json, json.dumps(d, indent=2) + "\n")
        print(f"wrote {args.json}")
    if args.output:
        _write(args.output, report_html(d, sample))
        print(f"wrote {args.output}")
    return 0


def _check_spec(text: str, path: str) -> None:
    """Refuses a spec text as the Synth constructor would, naming the file."""
    from ._spec import normalize
    try:
        if normalize(text) is None:
            raise ValueError("bad spec: no spec set")
    except ValueError as e:
        raise CliError(f"{path}: {e}") from None


def _compare(args: argparse.Namespace) -> int:
    if len(args.sources) < 2:
        raise CliError("compare needs at least two sources", status=2)
    _require_stats("compare")
    for path in (args.output, args.json):
        _check_folder(path)
    from .diagnostics import compare, sample_of
    from .history import DataError
    from .report import compare_html, compare_text
    try:
        samples = [sample_of(s) for s in args.sources]
        cmp = compare(samples, reps=args.reps, seed=args.seed)
    except DataError as e:
        raise CliError(str(e)) from None
    print(compare_text(cmp), end="")
    if args.json:
        _write(args.json, json.dumps(cmp, indent=2) + "\n")
        print(f"wrote {args.json}")
    if args.output:
        _write(args.output, compare_html(cmp, samples))
        print(f"wrote {args.output}")
    return 0


def _model_path(spec_path: str) -> str:
    p = Path(spec_path)
    stem = p.name[:-len(".json")] if p.name.lower().endswith(".json") else p.name
    return str(p.with_name(stem + ".model.json"))


def _fit(args: argparse.Namespace) -> int:
    _require_stats("fit")
    model_path = args.model or _model_path(args.output)
    for path in (args.output, model_path):
        _check_folder(path)
    from .fit import fit_spec
    from .history import DataError, bar_length_text
    from .report import fmt
    try:
        result = fit_spec(args.prices, max_regimes=args.max_regimes, min_bars=args.min_bars,
                          penalty=args.penalty, seed=args.seed, book=args.book, trades=args.trades,
                          funding=args.funding)
    except DataError as e:
        raise CliError(str(e)) from None
    h = result.history
    info = result.model.fit
    print(f"{h.label}: {h.bars} bars of {bar_length_text(h.bar_secs)}, {info['start']} to {info['end']}; "
          f"{h.gaps.describe()}")
    print(f"{len(result.segments)} regimes (best of 1 to {len(result.scores)} by penalised likelihood):")
    rows = [["  #", "from", "bars", "kind", "drift", "vol", "loglik/bar", "kind margin", "KS p", "shock kurt",
             "clustering p"]]
    for i, q in enumerate(result.segment_quality):
        rows.append([f"  {i}", q["from"], str(q["bars"]), q["kind"], fmt(q["drift"]), fmt(q["vol"]),
                     fmt(q["loglik_per_bar"]), fmt(q["kind_margin"]), fmt(q["ks_pvalue"]),
                     fmt(q["shock_excess_kurtosis"]), fmt(q["clustering_pvalue"])])
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        print("  ".join(c.ljust(w) if i < 4 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))).rstrip())
    for note in result.notes:
        print(f"note: {note}")
    _write(args.output, json.dumps(result.spec, indent=2) + "\n")
    _write(model_path, json.dumps(result.model.to_json(), indent=2) + "\n")
    print(f"wrote {args.output} (validated) and {model_path}")
    return 0


def _sample(args: argparse.Namespace) -> int:
    _require_stats("sample")
    _check_folder(args.output)
    from .fit import read_model, sample_spec
    from .history import DataError
    try:
        spec = sample_spec(read_model(args.model), args.seed, args.bars)
    except DataError as e:
        raise CliError(str(e)) from None
    text = json.dumps(spec, indent=2) + "\n"
    _check_spec(text, args.model)
    if args.output:
        _write(args.output, text)
    else:
        print(text, end="")
    return 0
