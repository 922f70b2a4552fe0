"""Per-table files from a "generate" answer: CSV, JSON lines or Parquet.

Four tables, one file each: candles; book, the book levels in long form (one
row per level, `level` 0 being the best price of its side); trades; funding. CSV and
JSON lines carry every number exactly as the module wrote it: the answer is
parsed with numbers kept as their text, never converted to float and back.

Book and trade rows also carry `available_at`, the end of their bar (`ts` +
`bar_secs`): a bar's book is quoted around its close and its trades print
near it, so neither is known at the bar's opening time `ts`.
"""

from __future__ import annotations

import json
import sys
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from . import Synth
from ._extras import require
from .cli_spec import CliError, SpecSource, held_spec, open_synth, run_spec_command, spec_error
from .outputs import atomic_path

FORMATS = ("csv", "jsonl", "parquet")

# Columns whose values are strings; every other column holds numbers.
_TEXT_COLUMNS = {"side"}


@dataclass(frozen=True)
class Table:
    name: str
    columns: tuple[str, ...]


TABLES = (
    Table("candles", ("ts", "open", "high", "low", "close", "volume")),
    Table("book", ("ts", "side", "level", "price", "qty", "available_at")),
    Table("trades", ("ts", "seq", "price", "qty", "side", "available_at")),
    Table("funding", ("ts", "rate")),
)


# A row: its column values in order, numbers as the text the module wrote, None for null.
Row = list[str | None]


def parse_keeping_digits(response: str) -> dict[str, Any]:
    """The "generate" answer with every number left as the text the module
    wrote (doubles that were not finite are written as null: None here)."""
    doc: dict[str, Any] = json.loads(response, parse_float=str, parse_int=str)
    return doc


def table_rows(doc: dict[str, Any], table: Table, bar_secs: int) -> tuple[int, Iterator[Row]]:
    """The row count and rows of one table; each row lists its column values
    in order, numbers as text, None for null."""
    if table.name == "candles":
        cols = table.columns
        return len(doc["candles"]), ([c[k] for k in cols] for c in doc["candles"])
    if table.name == "book":
        snaps = doc["book_snapshots"]
        count = sum(len(s["bids"]) + len(s["asks"]) for s in snaps)

        def levels() -> Iterator[Row]:
            for s in snaps:
                ts = s["ts"]
                available = _available_at(ts, bar_secs)
                for side, key in (("bid", "bids"), ("ask", "asks")):
                    for j, level in enumerate(s[key]):
                        yield [ts, side, str(j), level["price"], level["qty"], available]
        return count, levels()
    key = table.name
    records = doc.get(key, [])  # "funding" is absent when a run has no funding points
    if table.name == "trades":
        return len(records), ([*(r[k] for k in table.columns[:-1]), _available_at(r["ts"], bar_secs)]
                              for r in records)
    return len(records), ([r[k] for k in table.columns] for r in records)


def _available_at(ts: str, bar_secs: int) -> str:
    # As the frames have it: a bar that ends past the last int64 second ends there.
    return str(min(int(ts) + bar_secs, 2**63 - 1))


def write_tables(source: SpecSource, out_dir: Path, fmt: str, progress: bool) -> list[str]:
    """Runs the spec and writes its four tables into out_dir; answers one
    summary line per file."""
    synth = open_synth(source)  # the module's verdict on the spec comes first, whatever the format
    if fmt == "parquet":
        return _write_parquet(source, synth, out_dir)
    response = run_spec_command(source, "generate")
    _make_folder(out_dir)
    doc = parse_keeping_digits(response)
    bar_secs = held_spec(source, synth)["bar_secs"]
    counted = [(t, *table_rows(doc, t, bar_secs)) for t in TABLES]
    total = sum(n for _, n, _ in counted)
    bar = _progress_bar(total) if progress else None
    advance: Callable[[int], object] = bar.update if bar is not None else (lambda n: None)
    lines = []
    try:
        for table, count, rows in counted:
            path = out_dir / f"{table.name}.{fmt}"
            try:
                if fmt == "csv":
                    _write_csv(path, table, rows, advance)
                else:
                    _write_jsonl(path, table, rows, advance)
            except OSError as e:
                raise CliError(f"cannot write {path}: {e.strerror or e}") from None
            lines.append(f"wrote {path} ({count} rows)")
    finally:
        if bar is not None:
            bar.close()
    return lines


def _make_folder(out_dir: Path) -> None:
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise CliError(f"cannot create directory {out_dir}: {e.strerror or e}") from None


_CHUNK = 20000  # rows between progress updates and buffered writes


def _write_lines(path: Path, header: str | None, rows: Iterable[Row], render: Callable[[Row], str],
                 advance: Callable[[int], object]) -> None:
    with atomic_path(path) as temporary, open(temporary, "w", encoding="utf-8", newline="\n") as f:
        if header is not None:
            f.write(header + "\n")
        buf: list[str] = []
        for row in rows:
            buf.append(render(row))
            if len(buf) == _CHUNK:
                f.write("\n".join(buf) + "\n")
                advance(len(buf))
                buf.clear()
        if buf:
            f.write("\n".join(buf) + "\n")
            advance(len(buf))


def _write_csv(path: Path, table: Table, rows: Iterable[Row], advance: Callable[[int], object]) -> None:
    # Cells are numbers or the fixed words "buy", "sell", "bid", "ask": none
    # needs quoting. A null number is an empty cell.
    def render(row: Row) -> str:
        return ",".join("" if v is None else v for v in row)
    _write_lines(path, ",".join(table.columns), rows, render, advance)


def _write_jsonl(path: Path, table: Table, rows: Iterable[Row], advance: Callable[[int], object]) -> None:
    keys = [json.dumps(c) + ":" for c in table.columns]
    text_cols = [c in _TEXT_COLUMNS for c in table.columns]

    def render(row: Row) -> str:
        parts = []
        for key, is_text, v in zip(keys, text_cols, row):
            parts.append(key + ("null" if v is None else json.dumps(v) if is_text else v))
        return "{" + ",".join(parts) + "}"
    _write_lines(path, None, rows, render, advance)


def _write_parquet(source: SpecSource, synth: Synth, out_dir: Path) -> list[str]:
    """The tables straight from the generated columns, through the frames
    module: the same values as the "generate" answer, bit for bit."""
    require("pyarrow", "frames", "--format parquet")
    pq = require("pyarrow.parquet", "frames", "--format parquet")
    spec = held_spec(source, synth)
    _make_folder(out_dir)
    from .frames import write_parquet
    try:
        paths = write_parquet(spec, out_dir)
    except ValueError as e:
        raise CliError(spec_error(source, str(e))) from None
    except OSError as e:
        raise CliError(f"cannot write into {out_dir}: {e.strerror or e}") from None
    return [f"wrote {p} ({pq.ParquetFile(p).metadata.num_rows} rows)" for p in paths]


def _progress_bar(total: int) -> Any:
    """A tqdm bar on stderr, or None when stderr is not a terminal, the output is
    small, or tqdm is not installed (the bar is a convenience, not a feature
    worth failing for)."""
    if total < 200_000 or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc="writing", unit="rows", unit_scale=True, file=sys.stderr, leave=False)
