"""The command line's universe and dataset commands: `universe generate`,
`universe stream`, `universe serve`, `universe plot`, `universe presets`,
and `dataset`.

A universe comes from `--spec FILE` (JSON, or TOML or YAML by extension; '-'
reads JSON from standard input) or `--preset NAME` (a named universe;
"crypto-basket" when neither is given). Every message about it names the
file and the member at fault.
"""

from __future__ import annotations

import argparse
import json
import signal
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any, TextIO

from . import _talpen_columns
from ._extras import require
from .cli_args import counted, pacing_options, whole
from .cli_spec import CliError
from .spec_files import SpecFileError, read_spec_file
from .staging import Interrupted
from .universe import UniverseError, UniverseSpec, preset_index, preset_text, read_universe

__all__ = ["add_parsers"]

DEFAULT_UNIVERSE = "crypto-basket"
_SEED = whole(0, 2**64 - 1)
_COUNT = whole(0, 2**64 - 1)


def add_parsers(sub: Any, formatter_class: type[argparse.HelpFormatter], prog: str) -> None:
    """Adds `universe` (with its own subcommands) and `dataset`."""
    p = sub.add_parser(
        "universe", formatter_class=formatter_class, help="several correlated instruments on one clock",
        description="Run a universe: several instruments on one clock whose bars' shocks move together, under "
                    "a correlation matrix or a one-factor market model. A universe is a JSON (or TOML, YAML) "
                    "document: {\"instruments\": [{\"symbol\": \"BTC\", \"spec\": {...}}, ...], "
                    "\"correlation\": [[1, 0.6], [0.6, 1]]}, or \"market\": {\"seed\": N, \"loading\": "
                    "{\"BTC\": 0.9, ...}} in place of the matrix. `universe presets` lists the named ones.",
        epilog=f"examples:\n  {prog} universe presets\n  {prog} universe generate --preset crypto-basket "
               f"--out basket\n  {prog} universe stream --spec pair.json | head\n"
               f"  {prog} universe plot --preset market-crash --together -o crash.png")
    verbs = p.add_subparsers(dest="verb", metavar="COMMAND", required=True)

    q = verbs.add_parser(
        "generate", formatter_class=formatter_class, help="the tables as a Parquet dataset partitioned by symbol",
        description="Run the universe chunk by chunk into a Parquet dataset partitioned by symbol: "
                    "DIR/<table>/symbol=<SYMBOL>/part-0.parquet for the tables candles, book, trades and "
                    "funding, each file the instrument's table as `generate --format parquet` writes it, "
                    "and a manifest.json (universe, version, every file's rows, bytes and SHA-256). The folder "
                    "is written under a staging name and renamed into place when complete; an existing "
                    "folder that is not empty is refused unless --force.\n\nNeeds the `frames` extra: "
                    "pip install talpen_synth[frames]",
        epilog=f"examples:\n  {prog} universe generate --out basket\n  {prog} universe generate --spec pair.toml "
               f"--bars 10000 --out pair")
    _universe_options(q)
    q.add_argument("--out", metavar="DIR", required=True, help="folder of the dataset (created if needed)")
    q.add_argument("--force", action="store_true",
                   help="replace a folder that is not empty, once the new one is complete")
    q.set_defaults(handler=_run_failures_named(_generate))

    q = verbs.add_parser(
        "stream", formatter_class=formatter_class, help="the events as JSON lines, each with its symbol",
        description="Write the universe's events as JSON lines: bar by bar, and in each bar instrument by "
                    "instrument in the universe's order, each instrument's trades, book, candle and funding "
                    "point exactly as `stream` writes them, each led by its \"symbol\". Made chunk by chunk, "
                    "in bounded memory. Pacing as for `stream`.",
        epilog=f"examples:\n  {prog} universe stream | head -3\n  {prog} universe stream --preset market-crash "
               f"--speed 60")
    pacing_options(q)
    _universe_options(q)
    q.add_argument("--limit", type=_COUNT, metavar="N", help="stop after N events")
    q.set_defaults(handler=_run_failures_named(_stream))

    q = verbs.add_parser(
        "serve", formatter_class=formatter_class, help="the events over WebSocket",
        description="Serve the universe's events over WebSocket on a loopback address, as `serve` does: "
                    "every client gets its own replay from the first event, one message per event (the "
                    "objects `universe stream` writes), then a normal close.\n\nNeeds the `serve` extra: "
                    "pip install talpen_synth[serve]",
        epilog=f"examples:\n  {prog} universe serve --port 8765 --rate 50\n  {prog} universe serve --preset "
               f"market-crash --port 0 --speed 60 --clients 1")
    _universe_options(q)
    q.add_argument("--host", default="127.0.0.1", help="loopback address to listen on (default: %(default)s)")
    q.add_argument("--port", type=whole(0, 65535), default=8765, help="port; 0 picks a free one (default: "
                                                                      "%(default)s)")
    q.add_argument("--clients", type=_COUNT, default=0, metavar="N",
                   help="exit after N replays have ended (default: serve until interrupted)")
    q.add_argument("--quiet", action="store_true", help="do not log connections on standard error")
    pacing_options(q)
    q.set_defaults(handler=_serve)

    q = verbs.add_parser(
        "plot", formatter_class=formatter_class, help="one panel per instrument, or the closes together",
        description="Draw the universe: one candlestick panel per instrument, each with its regimes shaded "
                    "by kind, or with --together every instrument's close on one chart, normalised to 100 at "
                    "the first open, the stretches where every instrument is in the same kind of regime "
                    "shaded. The file's extension names the format, as for `plot`.\n\nNeeds the `plot` "
                    "extra: pip install talpen_synth[plot]",
        epilog=f"examples:\n  {prog} universe plot -o basket.png\n  {prog} universe plot --preset market-crash "
               f"--together -o crash.png")
    _universe_options(q)
    q.add_argument("-o", "--output", metavar="FILE", required=True,
                   help="image file to write, its format by its extension ('-': PNG to standard output)")
    q.add_argument("--together", action="store_true", help="normalised closes on one chart")
    q.add_argument("--width", type=whole(200, 10000), default=1200, metavar="PX",
                   help="image width in pixels, 200 to 10000 (default: %(default)s)")
    q.add_argument("--height", type=whole(150, 10000), metavar="PX",
                   help="image height in pixels, 150 to 10000 (default: 700 together, else 170 a panel)")
    q.set_defaults(handler=_run_failures_named(_plot))

    q = verbs.add_parser(
        "presets", formatter_class=formatter_class, help="list the named universes, or print one",
        description="List the named universes that --preset accepts, with their symbols, bars, bar length and "
                    "how their shocks are mixed; or, given a NAME, print that universe's document.",
        epilog=f"examples:\n  {prog} universe presets\n  {prog} universe presets crypto-basket > basket.json")
    q.add_argument("name", nargs="?", metavar="NAME", help="print this universe's document")
    q.set_defaults(handler=_presets)

    p = sub.add_parser(
        "dataset", formatter_class=formatter_class, help="a spec or universe over many seeds, as Parquet",
        description="Write a spec or a universe over many seeds as one Hive-partitioned Parquet dataset: "
                    "DIR/<table>/seed=<S>/part-0.parquet, and for a universe DIR/<table>/seed=<S>/"
                    "symbol=<SYMBOL>/part-0.parquet, one task per seed in bounded memory, on local processes "
                    "(--workers) or a Dask cluster (--scheduler). Seed S of a spec replaces its seed; seed S "
                    "of a universe moves each instrument's seed (and the market's) by S x 0x9E3779B97F4A7C15, "
                    "so seed 0 is the universe as written.\n\nEach seed is written under a staging name and "
                    "renamed into place, and DIR/_manifest.jsonl records it: run the command again after an "
                    "interruption and it writes only the seeds not yet recorded.\n\nNeeds the `frames` extra "
                    "(and `cluster` for --scheduler): pip install talpen_synth[frames,cluster]",
        epilog=f"examples:\n  {prog} dataset --preset flash-crash --seeds 0:64 --out crashes\n"
               f"  {prog} dataset --spec basket.json --seeds 0:1000 --out basket --scheduler tcp://node1:8786\n"
               f"  {prog} dataset --spec my.toml --seeds 3,5,8 --out picked --workers 2")
    g = p.add_argument_group("source (a spec or a universe)")
    source = g.add_mutually_exclusive_group(required=True)
    source.add_argument("--spec", metavar="FILE", help="a spec or universe file: JSON, TOML (.toml) or YAML "
                                                       "(.yaml, .yml); '-' reads JSON from standard input")
    source.add_argument("--preset", metavar="NAME", help="a named spec or universe")
    p.add_argument("--seeds", required=True, metavar="SEEDS",
                   help="A:B for A to B - 1, a list a,b,c, or both (0:8,100)")
    p.add_argument("--out", metavar="DIR", required=True, help="folder of the dataset")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=whole(1, 4096), metavar="N",
                       help="local worker processes (default: one per CPU)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a Dask scheduler (tcp://host:8786); DIR must be seen by every worker at that path")
    p.add_argument("--bars-per-chunk", type=whole(1, 2**32), metavar="N",
                   help="bars a task makes at a time (default: chunks of about two million rows)")
    p.add_argument("--compression", default="zstd", metavar="CODEC",
                   choices=("none", "snappy", "gzip", "brotli", "lz4", "zstd"),
                   help="Parquet compression (default: %(default)s; none, snappy, gzip, brotli, lz4, zstd)")
    p.add_argument("--pyarrow-threads", type=whole(1, 1024), metavar="N",
                   help="limit pyarrow's thread pools in each worker to N threads")
    p.add_argument("--no-progress", action="store_true", help="no progress bar (one shows on a terminal)")
    p.set_defaults(handler=_dataset)


def _universe_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group(f"universe (default: the \"{DEFAULT_UNIVERSE}\" universe)")
    source = g.add_mutually_exclusive_group()
    source.add_argument("--spec", metavar="FILE",
                        help="universe file: JSON, or TOML (.toml) or YAML (.yaml, .yml) by its extension; '-' "
                             "reads JSON from standard input")
    source.add_argument("--preset", metavar="NAME", help="a named universe (see `universe presets`)")
    g.add_argument("--seed", type=_SEED, metavar="N",
                   help="move every instrument's seed (and the market's) by N, as the dataset's seed N does")
    g.add_argument("--bars", type=whole(1, 2**64 - 1), metavar="N",
                   help="every instrument's bar count, its regimes tiled to it (as --bars does for a spec)")


# --- Sources ------------------------------------------------------------------------------------------------

def load_universe(spec_path: str | None, preset: str | None, seed: int | None = None,
                  bars: int | None = None, prog: str = "talpen-synth") -> tuple[UniverseSpec, str]:
    """The universe named on the command line, checked, with its overrides;
    and how messages name it."""
    if spec_path is not None:
        try:
            spec_file = read_spec_file(spec_path)
        except SpecFileError as e:
            raise CliError(str(e)) from None
        text, origin = spec_file.text, spec_file.name
    else:
        name = preset or DEFAULT_UNIVERSE
        try:
            text = preset_text(name)
        except KeyError:
            raise CliError(f"unknown universe {name!r} (known: {', '.join(preset_index())})") from None
        origin = f"universe {name}"
    return checked_universe(text, origin, seed, bars, prog), origin


def checked_universe(text: str, origin: str, seed: int | None = None, bars: int | None = None,
                     prog: str = "talpen-synth") -> UniverseSpec:
    """The universe of a document's text, checked, with its overrides; every
    message names `origin`."""
    try:
        universe = read_universe(text)
    except UniverseError as e:
        raise CliError(f"{origin}: {e}") from None
    if seed is not None:
        universe = universe.with_seed(seed)
    if bars is not None:
        from .cli_spec import drift_warning, tile_regimes
        try:
            universe, notes = universe.with_bars(bars, tile_regimes)
        except CliError as e:  # a universe has no --keep-regimes: its specs hold the regimes
            raise CliError(str(e).replace("in a spec file, or keep them with --keep-regimes",
                                          "in the universe's specs")) from None
        for note in notes:
            print(f"{prog}: {note.replace('; --keep-regimes keeps them as written', '')}", file=sys.stderr)
        for instrument in universe.instruments:
            for warning in drift_warning(instrument.spec["regimes"], bars):
                print(f"{prog}: {instrument.symbol}: {warning}", file=sys.stderr)
        # The tiled specs keep every other field as read: only the specs
        # themselves need checking again (a long run's regimes are many, and
        # reading the whole document again would cost seconds).
        for k, instrument in enumerate(universe.instruments):
            try:
                _talpen_columns.check_spec(instrument.text)
            except ValueError as e:
                raise CliError(f"{origin}: --bars {bars}: instruments[{k}].spec: {e}") from None
    return universe


def _universe(args: argparse.Namespace) -> UniverseSpec:
    universe, args.origin = load_universe(args.spec, args.preset, args.seed, args.bars, args.prog)
    return universe


def _run_failures_named(handler: Callable[[argparse.Namespace], int]) -> Callable[[argparse.Namespace], int]:
    """`handler`, with a failure of the universe's run (an instrument's price
    walk that overflows) told as one line naming the universe."""
    def run(args: argparse.Namespace) -> int:
        try:
            return handler(args)
        except ValueError as e:
            origin = getattr(args, "origin", None)
            if origin is None or not str(e).startswith("numeric: "):
                raise
            raise CliError(f"{origin}: {e}") from None
    return run


# --- Commands -----------------------------------------------------------------------------------------------

def _generate(args: argparse.Namespace) -> int:
    require("pyarrow", "frames", "universe generate")
    pq = require("pyarrow.parquet", "frames", "universe generate")
    universe = _universe(args)
    from . import __version__
    from .staging import FileRecord, StagedFolder, hash_file
    from .universe import write_universe_parquet
    from .cli_tables import make_parents, remove_empty
    if args.out == "-":
        raise CliError("--out '-': --out names the dataset's folder", status=2)
    out = Path(args.out)
    report = (lambda line: print(f"{args.prog}: {line}", file=sys.stderr))
    made: list[Path] = []  # folders above out made for it, removed again unless it is written
    try:
        folder = StagedFolder(out, force=args.force, report=report)
        make_parents(out, made)
        folder.check()
    except OSError as e:
        remove_empty(made)
        raise CliError(f"cannot write into {out}: {e.strerror or e}") from None
    args.unfinished = out
    counts = []
    written = False
    try:
        with folder:
            paths = write_universe_parquet(universe, folder.path, compression="zstd")
            for path in paths:
                files = sorted(path.glob("*/part-0.parquet"))
                rows = [pq.ParquetFile(f).metadata.num_rows for f in files]
                counts.append((out / path.name, sum(rows)))
                for f, n in zip(files, rows):
                    record = hash_file(f, n)
                    folder.add(FileRecord(f.relative_to(folder.path).as_posix(), n, record.bytes, record.sha256))
            folder.commit({"universe": _RAW_UNIVERSE, "version": __version__, "format": "parquet",
                           "bars": universe.bars}, raw={_RAW_UNIVERSE: universe.to_json()})
        written = True
    except OSError as e:
        raise CliError(f"cannot write into {out}: {e.strerror or e}") from None
    finally:
        if not written:
            remove_empty(made)
    args.unfinished = None
    n = len(universe.symbols)
    for path, count in counts:
        print(f"wrote {path} ({counted(n, 'symbol')}, {counted(count, 'row')})")
    return 0


_RAW_UNIVERSE = "\0universe\0"  # stands for the universe's own text in the manifest


def _events(universe: UniverseSpec, limit: int | None) -> Iterator[str]:
    """The universe's events, one line each (without its line feed)."""
    left = limit
    for chunk in universe_chunks(universe):
        for line in chunk.decode("utf-8").splitlines():
            if left is not None:
                if left == 0:
                    return
                left -= 1
            yield line


def universe_chunks(universe: UniverseSpec) -> Iterator[bytes]:
    from .universe import universe_events
    return universe_events(universe)


def _event_ts(line: str) -> int:
    event = json.loads(line)
    record = event[{"candle": "candle", "book": "snapshot", "trade": "trade", "funding": "sample"}[event["type"]]]
    ts: int = record["ts"]
    return ts


def write_paced(lines: Iterator[str], out: TextIO, rate: float | None, speed: float | None,
                bar_secs: int = 0, at: str = "close") -> None:
    """Writes one event per line; paced as `stream` paces, from a schedule
    measured from the first bar's opening time."""
    if rate is None and speed is None:
        for line in lines:
            out.write(line)
            out.write("\n")
        out.flush()
        return
    start = time.monotonic()
    for due, line in _schedule(lines, rate, speed, bar_secs, at):
        wait = start + due - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        out.write(line)
        out.write("\n")
        out.flush()


def _schedule(lines: Iterable[str], rate: float | None, speed: float | None, bar_secs: int = 0,
              at: str = "close") -> Iterator[tuple[float, str]]:
    """Each line with the time (seconds after the start) it is due: one
    every 1 / rate; or, at a speed factor, when its bar is over (its close,
    `ts` + `bar_secs`, on the bars' clock run `speed` times as fast from the
    first bar's opening time), or at the bar's opening time with `at`
    "open". A candle's close is not known at its opening time."""
    ts0: int | None = None
    lag = bar_secs if at == "close" else 0
    for k, line in enumerate(lines):
        if rate is not None:
            yield k / rate, line
        else:
            assert speed is not None
            ts = _event_ts(line)
            ts0 = ts if ts0 is None else ts0
            yield (ts - ts0 + lag) / speed, line


def _stream(args: argparse.Namespace) -> int:
    universe = _universe(args)
    if args.limit is None and args.rate is None and args.speed is None:
        # Unpaced and whole: each chunk's text as it is, never split into lines.
        sys.stdout.flush()
        for chunk in universe_chunks(universe):
            sys.stdout.buffer.write(chunk)
        sys.stdout.buffer.flush()
        return 0
    write_paced(_events(universe, args.limit), sys.stdout, args.rate, args.speed, universe.bar_secs, args.pace_at)
    return 0


def _replay(universe: UniverseSpec, rate: float | None, speed: float | None,
            at: str = "close") -> Iterator[tuple[float | None, bytes]]:
    """The universe's events for one client, chunk by chunk; paced as
    `universe stream` paces, each line then its own chunk."""
    if rate is None and speed is None:
        for chunk in universe_chunks(universe):
            yield None, chunk
        return
    for due, line in _schedule(_events(universe, None), rate, speed, universe.bar_secs, at):
        yield due, (line + "\n").encode()


def _serve(args: argparse.Namespace) -> int:
    from .cli_serve import loopback_host, serve_replays
    from .cli_stream import Pacing
    host = loopback_host(args.host)
    require("websockets", "serve", "universe serve")
    universe = _universe(args)
    log = None if args.quiet else (lambda line: print(f"{args.prog}: {line}", file=sys.stderr, flush=True))
    # The replay carries its own schedule, a line per chunk when paced, so
    # the server adds no per-line offsets of its own (no rate in its pacing).
    what = f"the events of {len(universe.symbols)} instruments over {universe.bars} bars"
    failed = serve_replays(lambda: _replay(universe, args.rate, args.speed, args.pace_at), what, host, args.port,
                           Pacing(), args.clients, log=log,
                           failed=lambda line: print(f"{args.prog}: {args.origin}: {line}", file=sys.stderr,
                                                     flush=True))
    return 1 if failed else 0


def _plot(args: argparse.Namespace) -> int:
    from .cli_plot import image_format
    require("matplotlib", "plot", "universe plot")
    fmt = image_format(args.output)
    if args.output != "-" and not Path(args.output).parent.is_dir():
        raise CliError(f"cannot write {args.output}: no directory {Path(args.output).parent}")
    universe, origin = load_universe(args.spec, args.preset, args.seed, args.bars, args.prog)
    args.origin = origin
    from .universe_plot import plot_universe
    label = origin.removeprefix("universe ") if args.spec is None else Path(origin).name
    image = plot_universe(universe, label, args.width, args.height, args.together, fmt)
    if args.output == "-":
        sys.stdout.flush()
        sys.stdout.buffer.write(image)
        sys.stdout.buffer.flush()
        return 0
    from .outputs import write_bytes
    try:
        write_bytes(args.output, image)
    except OSError as e:
        raise CliError(f"cannot write {args.output}: {e.strerror or e}") from None
    return 0


def _presets(args: argparse.Namespace) -> int:
    if args.name is not None:
        try:
            text = preset_text(args.name)
        except KeyError:
            raise CliError(f"unknown universe {args.name!r} (known: {', '.join(preset_index())})") from None
        sys.stdout.write(text if text.endswith("\n") else text + "\n")
        return 0
    from .cli import _duration
    rows = [("name", "symbols", "bars", "bar", "mix", "description")]
    for name, description in preset_index().items():
        u = read_universe(preset_text(name))
        mix = "correlation matrix" if u.correlation is not None else "market factor"
        rows.append((name, " ".join(u.symbols), str(u.bars), _duration(u.bar_secs), mix, description))
    widths = [max(len(row[i]) for row in rows) for i in range(5)]
    for row in rows:
        print(f"{row[0]:<{widths[0]}}  {row[1]:<{widths[1]}}  {row[2]:>{widths[2]}}  {row[3]:<{widths[3]}}  "
              f"{row[4]:<{widths[4]}}  {row[5]}")
    return 0


def _dataset(args: argparse.Namespace) -> int:
    from .dataset import DatasetError, parse_seeds, write_dataset
    from .universe import is_universe
    require("pyarrow", "frames", "dataset")
    try:
        seeds = parse_seeds(args.seeds)
    except ValueError as e:
        raise CliError(f"--seeds {args.seeds}: {e}", status=2) from None
    source: Any
    if args.spec is not None:
        try:
            spec_file = read_spec_file(args.spec)  # read once: it may be standard input
        except SpecFileError as e:
            raise CliError(str(e)) from None
        origin = spec_file.name
        if is_universe(spec_file.text):
            source = checked_universe(spec_file.text, origin, prog=args.prog)
        else:
            from .cli_spec import SpecSource, open_synth
            open_synth(SpecSource(spec_file.text, origin, None, origin, spec_file))  # the module's verdict
            source = spec_file.text
    elif args.preset in preset_index():
        source, origin = load_universe(None, args.preset, prog=args.prog)
    else:
        from . import presets
        if args.preset not in presets.names():
            known = ", ".join([*presets.names(), *preset_index()])
            raise CliError(f"unknown preset {args.preset!r} (known specs and universes: {known})")
        source, origin = presets.spec_text(args.preset), f"preset {args.preset}"
    compression = None if args.compression == "none" else args.compression
    try:
        summary = write_dataset(source, seeds, args.out, workers=args.workers, scheduler=args.scheduler,
                                bars_per_chunk=args.bars_per_chunk, progress=False if args.no_progress else None,
                                pyarrow_threads=args.pyarrow_threads, compression=compression)
    except (KeyboardInterrupt, Interrupted) as stop:
        from .dataset import read_manifest
        name = signal.Signals(stop.signum if isinstance(stop, Interrupted) else signal.SIGINT).name
        try:
            recorded = len(set(read_manifest(Path(args.out))) & set(seeds))
        except (OSError, ValueError):
            recorded = 0
        print(f"{args.prog}: stopped by {name}: {recorded} of {len(seeds)} seeds of {args.out} are written and "
              "recorded; run the same command again to write the rest", file=sys.stderr)
        raise
    except DatasetError as e:
        raise CliError(f"{origin}: {e}" if str(e).startswith("seed ") else str(e)) from None
    except (OSError, ValueError) as e:
        raise CliError(f"{args.out}: {e}") from None
    what = f"a universe of {len(source.symbols)} instruments" if isinstance(source, UniverseSpec) else "a spec"
    count = len(summary.seeds)
    print(f"{summary.out}: {count} seed{'' if count == 1 else 's'} of {what}: {len(summary.written)} written, "
          f"{len(summary.skipped)} already done")
    print(", ".join(f"{name} {count} rows" for name, count in summary.rows.items()))
    return 0
