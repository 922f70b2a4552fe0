"""The `talpen-synth` command line (also `python -m talpen_synth`).

Every subcommand that runs a spec takes it from `--spec FILE` or `--preset
NAME` (the "default" preset when neither is given); `--seed` and `--bars`
replace those two fields and nothing else. What the native module says about a
spec or a run is passed on unchanged.

Exit status: 0 on success, 1 for bad input (unreadable file, bad JSON, a spec
the module refuses, a missing optional package), 2 for a usage error. Every
failure is one line on stderr, never a traceback.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, NoReturn, TypeVar

from . import __version__, presets
from ._extras import MissingExtra, require
from ._spec import SpecFields, normalize
from .cli_args import pacing_options, whole
from .cli_spec import (U64_MAX, CliError, SpecSource, held_spec, load_spec, open_synth,
                       spec_error, unknown_preset)
from .frames import spec_json
from .outputs import write_bytes
from .staging import Interrupted, StagedFile, interrupts_raise

PROG = "talpen-synth"


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line on stderr, with status 2. Options are taken
    only as written: commands share option names (dataset's --bars-per-chunk
    and --seeds against the --bars and --seed of others), so a shortened name
    would quietly mean another option."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")

    # Words no parser takes are told by the top parser, once every command
    # has parsed its own: the innermost command that left them over is
    # noted on the way out, so that the error names its --help.
    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        parsed, extras = super().parse_known_args(args, namespace)
        if extras and not hasattr(parsed, "_left_over_by"):
            parsed._left_over_by = self.prog
        return parsed, extras

    def parse_args(self, args: Any = None, namespace: Any = None) -> Any:
        parsed, extras = self.parse_known_args(args, namespace)
        if extras:
            prog = getattr(parsed, "_left_over_by", self.prog)
            self.exit(2, f"{prog}: error: unrecognized arguments: {' '.join(extras)} (see {prog} --help)\n")
        return parsed


class _Help(argparse.HelpFormatter):
    """Fills each paragraph of a description on its own and keeps example
    blocks (paragraphs with indented lines) as written."""

    def __init__(self, prog: str) -> None:
        super().__init__(prog, max_help_position=30)

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        paragraphs = []
        for para in text.split("\n\n"):
            if any(line.startswith(" ") for line in para.splitlines()):
                paragraphs.append("\n".join(indent + line for line in para.splitlines()))
            else:
                paragraphs.append(super()._fill_text(para, width, indent))
        return "\n\n".join(paragraphs)


# --- Argument types -----------------------------------------------------------------------------------------

# A whole number in the range of the spec's unsigned fields.
_count = whole(0, U64_MAX)
_bars = whole(1, U64_MAX)  # a run has at least one bar


def _port(text: str) -> int:
    return whole(0, 65535)(text)


# --- Parser -------------------------------------------------------------------------------------------------

def _spec_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("spec (default: the \"default\" preset)")
    source = g.add_mutually_exclusive_group()
    source.add_argument("--spec", metavar="FILE",
                        help="spec file: JSON, or TOML (.toml) or YAML (.yaml, .yml) by its extension; "
                             "'-' reads JSON from standard input")
    source.add_argument("--preset", metavar="NAME",
                        help="a named scenario (see the `presets` command)")
    g.add_argument("--seed", type=_count, metavar="N", help="replace the spec's seed")
    g.add_argument("--bars", type=_bars, metavar="N",
                   help="replace the spec's bar count, tiling the regimes to it: they repeat in order, each "
                        "keeping its length, and the last is cut short")
    g.add_argument("--keep-regimes", action="store_true",
                   help="with --bars, keep the regimes as written (their lengths must then add up to N)")


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    parser = _Parser(
        prog=prog, formatter_class=_Help,
        description="Deterministic synthetic market data (candles, order books, trades, funding) "
                    "from a seeded JSON spec.",
        epilog=f"examples:\n  {prog} presets\n  {prog} generate --preset flash-crash -o run.json\n"
               f"  {prog} stream --rate 20 | head\n  {prog} plot --book -o chart.png\n\n"
               f"`{prog} COMMAND --help` describes each command.")
    parser.add_argument("--version", action="version", version=f"{prog} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser(
        "generate", formatter_class=_Help, help="run a spec and write the result",
        description="Run a spec and write the module's \"generate\" answer: every candle, book snapshot, "
                    "trade and funding point of the run.\n\nWithout --out the answer is written exactly as "
                    "the module gives it, one JSON document: to FILE with -o, byte for byte, or to standard "
                    "output (also -o -) followed by a line feed. With --out DIR one file per table is written instead: candles, book "
                    "(one row per level, level 0 the best of its side), trades and funding, and a "
                    "manifest.json listing them. CSV and JSON lines keep every number's digits as the module "
                    "wrote them.\n\nEverything is written chunk by chunk, in memory that does not grow with "
                    "the run. A file or folder appears under its name only once complete: it is written "
                    "beside it under a name starting with '.' and ending in '.partial-PID', and renamed "
                    "when done; an interrupted or failed run leaves nothing under the name.",
        epilog=f"examples:\n  {prog} generate > run.json\n  {prog} generate --preset perp-funding --seed 9 "
               f"-o perp.json\n  {prog} generate --spec my.json --out tables --format csv\n"
               f"  {prog} generate --preset choppy-range --out tables --format parquet")
    _spec_options(p)
    g = p.add_argument_group("output (default: the JSON answer on standard output)")
    out = g.add_mutually_exclusive_group()
    out.add_argument("-o", "--output", metavar="FILE", help="write the JSON answer to FILE ('-': standard output)")
    out.add_argument("--out", metavar="DIR",
                     help="write one file per table into the folder DIR, which must be new or empty")
    g.add_argument("--format", choices=("csv", "jsonl", "parquet"),
                   help="table file format with --out (default: csv; parquet needs the `frames` extra)")
    g.add_argument("--force", action="store_true",
                   help="with --out, replace a folder that is not empty, once the new one is complete")
    g.add_argument("--no-progress", action="store_true",
                   help="no progress bar (one is shown on a terminal when writing to a file or folder)")
    p.set_defaults(handler=_generate)

    p = sub.add_parser(
        "stream", formatter_class=_Help, help="the time-ordered event stream as JSON lines",
        description="Write the run's time-ordered events as JSON lines, one event per line, each exactly "
                    "as in the module's \"generate_stream\" answer: a bar's trades, then its book snapshot, "
                    "then its candle, then its funding point if it has one.\n\nThe run is made as the "
                    "stream goes: the first line leaves at once and memory stays flat, whatever the bar "
                    "count. Paced output flushes every line as it falls due, like a live feed.",
        epilog=f"examples:\n  {prog} stream | head -3\n  {prog} stream --preset flash-crash --rate 50\n"
               f"  {prog} stream --speed 60        # a minute of market time per second")
    pacing_options(p)
    _spec_options(p)
    p.add_argument("--limit", type=_count, metavar="N", help="stop after N events")
    p.set_defaults(handler=_stream)

    p = sub.add_parser(
        "serve", formatter_class=_Help, help="the event stream over WebSocket",
        description="Serve the event stream over WebSocket on a loopback address. Every client gets its "
                    "own replay from the first event, one text message per event (the same objects as "
                    "`stream` writes), paced as asked, followed by a normal close. The first line printed "
                    "names the address, with the port picked when --port is 0; every connection and "
                    "disconnection is logged on standard error (--quiet silences it).\n\nNeeds the `serve` "
                    "extra: pip install talpen_synth[serve]",
        epilog=f"examples:\n  {prog} serve --port 8765 --rate 10\n  {prog} serve --port 0 --speed 120 "
               f"--clients 1\n  python -m websockets ws://127.0.0.1:8765   # a quick client")
    _spec_options(p)
    p.add_argument("--host", default="127.0.0.1", help="loopback address to listen on (default: %(default)s)")
    p.add_argument("--port", type=_port, default=8765, help="port; 0 picks a free one (default: %(default)s)")
    p.add_argument("--clients", type=_count, default=0, metavar="N",
                   help="exit after N replays have ended (default: serve until interrupted)")
    p.add_argument("--quiet", action="store_true",
                   help="do not log connections and disconnections on standard error")
    pacing_options(p)
    p.set_defaults(handler=_serve)

    p = sub.add_parser(
        "plot", formatter_class=_Help, help="a candlestick chart as PNG, SVG, PDF or JPEG",
        description="Draw the run as a candlestick chart with volume below, the regimes shaded and their "
                    "boundaries marked, a funding-rate panel when the spec has funding, and optionally the "
                    "book's best bid and ask. The file's extension names the format (.png, .svg, .pdf, "
                    ".jpg; whatever matplotlib writes); '-o -' writes PNG to standard output. Runs with more "
                    "bars than fit are drawn as candles of several bars each (see --group).\n\nNeeds the "
                    "`plot` extra: pip install talpen_synth[plot]",
        epilog=f"examples:\n  {prog} plot -o default.png\n  {prog} plot --preset flash-crash --book "
               f"--width 1600 --height 900 -o crash.svg\n  {prog} plot --preset perp-funding -o - > perp.png")
    _spec_options(p)
    p.add_argument("-o", "--output", metavar="FILE", required=True,
                   help="image file to write, its format by its extension ('-': PNG to standard output)")
    p.add_argument("--width", type=whole(200, 10000), default=1200, metavar="PX",
                   help="image width in pixels, 200 to 10000 (default: %(default)s)")
    p.add_argument("--height", type=whole(150, 10000), default=700, metavar="PX",
                   help="image height in pixels, 150 to 10000 (default: %(default)s)")
    p.add_argument("--book", action="store_true", help="draw the best bid and ask of every bar's book")
    p.add_argument("--group", type=whole(1, 2**32), metavar="N",
                   help="bars per candle (default: as few as keep candles 3 pixels wide)")
    p.set_defaults(handler=_plot)

    p = sub.add_parser(
        "presets", formatter_class=_Help, help="list the named scenarios, or print one",
        description="List the named scenarios that --preset accepts, one per line with its bar count, bar "
                    "length, regimes (kind and bars each) and description; or, given a NAME, print that "
                    "preset's spec as JSON, ready to edit or to pipe into --spec -.",
        epilog=f"examples:\n  {prog} presets\n  {prog} presets flash-crash > crash.json\n"
               f"  {prog} presets steady-trend | {prog} generate --spec - --seed 3")
    p.add_argument("name", nargs="?", metavar="NAME", help="print this preset's spec")
    p.set_defaults(handler=_presets)

    p = sub.add_parser(
        "validate", formatter_class=_Help, help="check a spec",
        description="Check a spec the way the module does before any run, and print its verdict: \"ok\", "
                    "or the module's message (\"parse: ...\" or \"bad spec: ...\") on standard error with "
                    "exit status 1. A valid spec whose runs will look broken (books quoted far wider than "
                    "the spread asks, prices below zero) gets a warning line per finding on standard error; "
                    "the status stays 0 unless --strict. With --run the spec is also run, chunk by chunk in "
                    "bounded memory, which finds the failures that only a run shows (\"numeric: ...\") and "
                    "counts the prices below zero and the candles that close at 0.0.",
        epilog=f"examples:\n  {prog} validate --spec my.json\n  {prog} validate --preset default --bars 100"
               f"\n  {prog} validate --spec wild.json --run --strict")
    _spec_options(p)
    p.add_argument("--run", action="store_true",
                   help="also run the spec, counting the prices below zero and the closes at 0.0")
    p.add_argument("--strict", action="store_true", help="exit with status 1 when there is any warning")
    p.set_defaults(handler=_validate)

    from .cli_realism import add_parsers
    add_parsers(sub, _Help, prog)  # report, compare, fit, sample
    from .cli_universe import add_parsers as add_universe_parsers
    add_universe_parsers(sub, _Help, prog)  # universe, dataset
    return parser


# --- Commands -----------------------------------------------------------------------------------------------

def _source(args: argparse.Namespace, warnings: bool = True) -> SpecSource:
    """The spec the command runs; its notes told on standard error (the
    warnings among them only when `warnings`: validate tells its own)."""
    source = load_spec(args.spec, args.preset, seed=args.seed, bars=args.bars, keep_regimes=args.keep_regimes)
    for note in source.notes:
        if warnings or ": warning: " not in note:
            print(f"{args.prog}: {note}", file=sys.stderr)
    return source


def _check_output_folder(path: str) -> None:
    """Fails before a run whose output could not be written anyway."""
    if path == "-":
        return
    if not path:
        raise CliError("-o needs a file name ('-' for standard output)")
    folder = Path(path).parent
    if not folder.is_dir():
        raise CliError(f"cannot write {path}: no directory {folder}")


def _write_output(path: str, data: bytes) -> None:
    """`data` to standard output ('-') or into the file, complete or not at all."""
    if path == "-":
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    try:
        write_bytes(path, data)
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}") from None


class _StdoutFailed(CliError):
    """Standard output failed (a full disk behind a redirection)."""


@contextmanager
def _to_stdout() -> Iterator[None]:
    """Writing to standard output: a reader that went away ends the command
    quietly (BrokenPipeError, handled by main); any other failure is one line."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as e:
        raise _StdoutFailed(f"cannot write to standard output: {e.strerror or e}") from None


def _report(args: argparse.Namespace) -> Callable[[str], None]:
    return lambda line: print(f"{args.prog}: {line}", file=sys.stderr, flush=True)


_TABLE_SUFFIXES = {".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl", ".parquet": "parquet", ".pq": "parquet"}


def _generate(args: argparse.Namespace) -> int:
    if args.format is not None and args.out is None:
        raise CliError("--format needs --out DIR", status=2)
    if args.force and args.out is None:
        raise CliError("--force needs --out DIR", status=2)
    if args.out == "-":
        raise CliError("--out '-': --out names a folder for the tables; -o - writes the JSON answer to standard "
                       "output", status=2)
    if args.output is not None:
        table_format = _TABLE_SUFFIXES.get(Path(args.output).suffix.lower())
        if table_format is not None:
            # -o writes one JSON document whatever the name: a user naming a
            # table file wants the tables.
            raise CliError(f"-o writes the run as one JSON document; for {table_format} table files use --out DIR "
                           f"--format {table_format}", status=2)
        _check_output_folder(args.output)
    source = _source(args)
    if args.out is not None:
        from .cli_tables import write_tables
        args.unfinished = args.out
        lines = write_tables(source, Path(args.out), args.format or "csv", not args.no_progress, force=args.force,
                             report=_report(args))
        args.unfinished = None
        for line in lines:
            print(line)
        return 0
    spec = held_spec(source, open_synth(source))  # the module's verdict on the spec comes first
    from .chunked import ANSWER_BARS, ANSWER_ROWS, bars_for_rows, write_generate
    text = spec_json(spec)
    chunk = bars_for_rows(spec, ANSWER_ROWS, ANSWER_BARS)
    try:
        if args.output is not None and args.output != "-":
            args.unfinished = args.output
            _write_answer_file(args, text, spec["bars"], chunk)
            args.unfinished = None
        else:
            with _to_stdout():
                sys.stdout.flush()
                write_generate(text, sys.stdout.buffer, chunk)
                sys.stdout.buffer.write(b"\n")
                sys.stdout.buffer.flush()
    except ValueError as e:
        cut = "" if args.output is not None and args.output != "-" else (
            " (the answer on standard output stops where the run failed)")
        raise CliError(spec_error(source, str(e)) + cut) from None
    return 0


def _write_answer_file(args: argparse.Namespace, text: str, bars: int, chunk: int) -> None:
    """The answer into a staged file, renamed to its name once complete."""
    from .chunked import lists, write_generate
    from .cli_tables import progress_bar, syncing
    bar = progress_bar(bars, passes=len(lists(text))) if not args.no_progress else None
    try:
        with StagedFile(args.output, report=_report(args)) as staged:
            write_generate(text, staged, chunk, progress=bar.update if bar is not None else None)
            syncing(bar)
            staged.commit()
    except OSError as e:
        raise CliError(f"cannot write {args.output}: {e.strerror or e}") from None
    finally:
        if bar is not None:
            bar.close()


def _pacing(args: argparse.Namespace) -> Any:
    from .cli_stream import Pacing
    return Pacing(args.rate, args.speed, args.pace_at)


def _stream(args: argparse.Namespace) -> int:
    from .cli_stream import write_stream
    source = _source(args)
    spec = held_spec(source, open_synth(source))
    try:
        with _to_stdout():
            write_stream(spec_json(spec), spec, sys.stdout.buffer, _pacing(args), limit=args.limit)
    except ValueError as e:
        raise CliError(spec_error(source, str(e))) from None
    return 0


def _serve(args: argparse.Namespace) -> int:
    from .cli_serve import loopback_host, serve
    host = loopback_host(args.host)
    require("websockets", "serve", "serve")
    source = _source(args)
    spec = held_spec(source, open_synth(source))
    log = None if args.quiet else _report(args)
    report = _report(args)
    failed = serve(spec_json(spec), spec, host, args.port, _pacing(args), args.clients, log=log,
                   failed=lambda line: report(spec_error(source, line)))
    return 1 if failed else 0


_T = TypeVar("_T")


def _reading_run(source: SpecSource, total: int, read: Callable[[Callable[[int], object] | None], _T]) -> _T:
    """`read(progress)`, a run read chunk by chunk, with a progress bar of
    its `total` bars on a terminal; a failed run named as the spec's."""
    from .cli_tables import progress_bar
    bar = progress_bar(total, "running")
    try:
        return read(bar.update if bar is not None else None)
    except ValueError as e:
        raise CliError(spec_error(source, str(e))) from None
    finally:
        if bar is not None:
            bar.close()


def _plot(args: argparse.Namespace) -> int:
    from .cli_plot import chart_passes, image_format, plot, read_chart_run
    require("matplotlib", "plot", "plot")
    fmt = image_format(args.output)
    _check_output_folder(args.output)
    source = _source(args)
    spec = held_spec(source, open_synth(source))
    run = _reading_run(source, spec["bars"] * chart_passes(args.book), lambda progress: read_chart_run(
        spec_json(spec), spec["bars"], args.width, args.book, args.group, progress))
    title = f"{source.label} \u00b7 seed {spec['seed']} \u00b7 {spec['bars']} bars"
    image = plot(run, spec, args.width, args.height, title, fmt)
    _write_output(args.output, image)
    return 0


def _preset_fields(name: str) -> SpecFields:
    spec = normalize(presets.spec_text(name))
    assert spec is not None  # every shipped preset holds a spec
    return spec


def _presets(args: argparse.Namespace) -> int:
    if args.name is not None:
        try:
            text = presets.spec_text(args.name)
        except KeyError:
            raise unknown_preset(args.name) from None
        sys.stdout.write(text if text.endswith("\n") else text + "\n")
        return 0
    rows = [("name", "bars", "bar", "regimes (kind bars)", "description")]
    for name, description in presets.index().items():
        spec = _preset_fields(name)
        regimes = ", ".join(f"{r['kind']} {r['len']}" for r in spec["regimes"])
        rows.append((name, str(spec["bars"]), _duration(spec["bar_secs"]), regimes, description))
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for row in rows:
        print(f"{row[0]:<{widths[0]}}  {row[1]:>{widths[1]}}  {row[2]:<{widths[2]}}  {row[3]:<{widths[3]}}  "
              f"{row[4]}")
    return 0


def _duration(secs: int) -> str:
    """A bar length as people say it: 1m, 5m, 1h, 1d; seconds otherwise."""
    for unit, size in (("d", 86400), ("h", 3600), ("m", 60)):
        if secs % size == 0:
            return f"{secs // size}{unit}"
    return f"{secs}s"


def _validate(args: argparse.Namespace) -> int:
    from .checks import FINDING_PASSES, run_findings, spec_warnings
    source = _source(args, warnings=False)
    spec = held_spec(source, open_synth(source))  # the module's verdict on the spec comes first
    warnings = [str(w) for w in spec_warnings(spec)]
    if args.run:
        findings = _reading_run(source, spec["bars"] * FINDING_PASSES,
                                lambda progress: run_findings(spec_json(spec), progress=progress))
        warnings += findings.messages()
    for warning in warnings:
        print(f"{args.prog}: warning: {source.origin}: {warning}", file=sys.stderr)
    if warnings and args.strict:
        raise CliError(f"{source.origin}: {len(warnings)} warning{'s' if len(warnings) > 1 else ''} (--strict)")
    print("ok")
    return 0


# --- Entry point --------------------------------------------------------------------------------------------

def main(argv: list[str] | None = None, prog: str = PROG) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = args.handler
    args.prog = prog
    args.unfinished = None  # the output being written, named when a signal stops it
    try:
        with interrupts_raise():
            return handler(args)
    except CliError as e:
        print(f"{prog}: {e}", file=sys.stderr)
        if isinstance(e, _StdoutFailed):
            # What is still buffered would fail again at the interpreter's exit.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return e.status
    except MissingExtra as e:
        print(f"{prog}: {e.feature} needs {e.package}: pip install talpen_synth[{e.extra}]", file=sys.stderr)
        return 1
    except (KeyboardInterrupt, Interrupted) as e:
        signum = e.signum if isinstance(e, Interrupted) else signal.SIGINT
        if args.unfinished is not None:
            print(f"{prog}: stopped by {signal.Signals(signum).name}: {args.unfinished} was not written "
                  "(its unfinished output was removed)", file=sys.stderr)
        return 128 + signum
    except MemoryError:
        print(f"{prog}: out of memory: the run is too large for this machine", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`| head`). Point stdout at nothing so that the
        # interpreter's final flush does not complain, and end quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0



if __name__ == "__main__":
    sys.exit(main())
