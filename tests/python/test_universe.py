"""Universes through the Python surface: the correlation they reach, the
standalone bytes under the identity, every refusal with the member named, and
the outputs (tables, Arrow stream, OHLCV, events, Parquet by symbol, the
command line) agreeing with one another."""

from __future__ import annotations

import copy
import json
import re
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")

import talpen_synth as ts
from talpen_synth import Synth, UniverseError, read_universe
from talpen_synth.universe import preset_index, preset_text

from conftest import WORKED_SPEC

CLI = [sys.executable, "-m", "talpen_synth"]


def trend(seed: int, bars: int = 100_000, vol: float = 0.01, depth: int = 1, rate: float = 0.0) -> dict:
    return {"seed": seed, "bars": bars, "start_price": 100.0, "regimes": [{"kind": "trend", "len": bars,
            "drift": 0.0, "vol": vol}], "microstructure": {"book_depth": depth, "spread_bps": 2.0, "trade_rate": rate}}


def worked(seed: int) -> dict:
    return {**copy.deepcopy(WORKED_SPEC), "seed": seed}


PAIR = {"instruments": [{"symbol": "BTC", "spec": worked(42)}, {"symbol": "ETH", "spec": worked(5)}],
        "correlation": [[1, 0], [0, 1]]}


def log_returns(candles) -> np.ndarray:
    close = candles["close"].to_numpy()
    return np.log(close / candles["open"].to_numpy())


# --- What moves together ------------------------------------------------------------------------------------

TARGET = [[1.0, 0.7, -0.3], [0.7, 1.0, 0.2], [-0.3, 0.2, 1.0]]
LOADINGS = {"A": 0.9, "B": 0.6, "C": -0.5}


@pytest.mark.parametrize("mix, target", [
    ({"correlation": TARGET}, TARGET),
    ({"market": {"seed": 77, "loading": LOADINGS}},
     [[1.0 if i == j else LOADINGS[a] * LOADINGS[b] for j, b in enumerate("ABC")] for i, a in enumerate("ABC")]),
], ids=["matrix", "market"])
def test_log_returns_of_trend_instruments_take_the_target_correlation(mix, target):
    doc = {"instruments": [{"symbol": s, "spec": trend(i + 1, vol=0.01 * (i + 1))} for i, s in enumerate("ABC")],
           **mix}
    candles = ts.universe_tables(doc).candles
    returns = [log_returns(candles.filter(pc.equal(candles["symbol"], s))) for s in "ABC"]
    assert all(len(r) == 100_000 for r in returns)
    realised = np.corrcoef(returns)
    assert np.abs(realised - np.array(target)).max() < 0.02, realised


@pytest.mark.parametrize("mix", [{"correlation": [[1, 0], [0, 1]]}, {"market": {"seed": 3, "loading": {"BTC": 0,
                                                                                                          "ETH": 0}}}])
def test_uncorrelated_universes_give_every_instrument_its_standalone_bytes(mix):
    doc = {**PAIR, "correlation": None, **mix}
    doc = {k: v for k, v in doc.items() if v is not None}
    tables = ts.universe_tables(doc, bars_per_chunk=2)
    lines = b"".join(ts.universe_events(doc, bars_per_chunk=1)).decode().splitlines()
    for inst in doc["instruments"]:
        alone = ts.to_arrow(inst["spec"])
        for name, table in tables._asdict().items():
            mine = table.filter(pc.equal(table["symbol"], inst["symbol"])).drop_columns(["symbol"])
            assert mine.equals(alone._asdict()[name]), (inst["symbol"], name)
        # The events are the standalone stream's texts, each led by its symbol.
        lead = '{"symbol":' + json.dumps(inst["symbol"]) + ","
        stream = Synth(json.dumps(inst["spec"])).command('{"cmd":"generate_stream"}')
        standalone = [json.dumps(e, separators=(",", ":")) for e in json.loads(stream)["events"]]
        assert ["{" + line[len(lead):] for line in lines if line.startswith(lead)] == standalone


def test_events_come_bar_by_bar_and_instrument_by_instrument():
    doc = {**PAIR, "correlation": [[1, 0.5], [0.5, 1]]}
    events = [json.loads(line) for chunk in ts.universe_events(doc, 2) for line in chunk.decode().splitlines()]
    candles = [(e["candle"]["ts"], e["symbol"]) for e in events if e["type"] == "candle"]
    assert candles == sorted(candles, key=lambda c: (c[0], c[1] != "BTC"))
    for symbol in ("BTC", "ETH"):  # each instrument numbers its own trades
        seqs = [e["trade"]["seq"] for e in events if e["type"] == "trade" and e["symbol"] == symbol]
        assert seqs == list(range(len(seqs)))


# --- Refusals -----------------------------------------------------------------------------------------------

def broken(change) -> dict:
    doc = copy.deepcopy({**PAIR, "correlation": [[1, 0.5], [0.5, 1]]})
    change(doc)
    return doc


def set_(path, value):
    def change(doc):
        target = doc
        for key in path[:-1]:
            target = target[key]
        if value is KeyError:
            del target[path[-1]]
        else:
            target[path[-1]] = value
    return change


def market(value):
    def change(doc):
        doc.pop("correlation")
        doc["market"] = value
    return change


THREE = [{"symbol": s, "spec": worked(i)} for i, s in enumerate("ABC")]

REFUSED = [
    (set_(["instruments"], []), "instruments", "a list of one instrument or more"),
    (set_(["instruments", 1, "symbol"], ""), r"instruments\[1\]\.symbol", "non-empty"),
    (set_(["instruments", 1, "symbol"], "BTC"), r"instruments\[1\]\.symbol", r"already the symbol of instruments\[0\]"),
    (set_(["instruments", 0, "ticker"], "X"), r"instruments\[0\]\.ticker", "unknown member"),
    (set_(["instruments", 1, "spec", "regimes", 1, "vol"], -1.0), r"instruments\[1\]\.spec\.regimes\[1\]\.vol",
     "bad spec: regime vol"),
    (set_(["instruments", 1, "spec", "bars"], 4), r"instruments\[1\]\.spec", "sum of regime lengths must equal "
     r"bars \(the regimes add up to \d+ bars, bars is 4\)$"),
    (set_(["instruments", 1, "spec", "bars"], 4.0), r"instruments\[1\]\.spec\.bars", "invalid type: floating "
     r"point `4.0`, expected usize$"),
    (set_(["instruments", 1, "spec", "regimes", 0, "vol"], "0.01"), r"instruments\[1\]\.spec\.regimes\[0\]\.vol",
     "expected f64$"),
    (set_(["instruments", 1], {"symbol": "ETH", "preset": "nope"}), r"instruments\[1\]\.preset", "unknown preset"),
    (set_(["instruments", 1, "spec", "bar_secs"], 60), r"instruments\[1\]\.spec\.bar_secs",
     "ETH's bar_secs 60 differs from BTC's 3600"),
    (set_(["instruments", 1, "spec", "start_ts"], 0), r"instruments\[1\]\.spec\.start_ts", "one clock"),
    (set_(["instruments", 1, "seed"], 42), r"instruments\[1\]\.seed", "has the seed of BTC"),
    (set_(["correlation"], KeyError), "^give either", "not neither"),
    (set_(["market"], {"seed": 1, "loading": {}}), "^give either", "not both"),
    (set_(["correlation"], [[1, 0.5]]), "^correlation:", "2 rows of 2"),
    (set_(["correlation", 1], [0.5]), r"correlation\[1\]:", "a row of 2"),
    (set_(["correlation", 1, 0], "0.5"), r"correlation\[1\]\[0\]", r"expected a number, got \"0.5\"$"),
    (set_(["correlation", 1, 0], "5e-1"), r"correlation\[1\]\[0\]", r"YAML reads 5e-1 as text"),
    (set_(["correlation", 0, 1], 1.5), r"correlation\[0\]\[1\]", r"outside \[-1, 1\]"),
    (set_(["correlation", 1, 1], 0.9), r"correlation\[1\]\[1\]", "diagonal, which must be 1"),
    (set_(["correlation", 1, 0], 0.4), r"correlation\[1\]\[0\]", r"mirror correlation\[0\]\[1\] = 0.5"),
    (lambda d: d.update(instruments=THREE, correlation=[[1, 0.9, -0.9], [0.9, 1, 0.9], [-0.9, 0.9, 1]]),
     "^correlation:", r"not positive semidefinite \(smallest eigenvalue -0\.8"),
    (market({"loading": {}}), r"market\.seed", "missing"),
    (market({"seed": -1, "loading": {}}), r"market\.seed", "whole number"),
    (market({"seed": 1, "loading": {"BTC": 0.5, "ETH": 0.5, "XRP": 0}}), r"market\.loading\.XRP", "no instrument"),
    (market({"seed": 1, "loading": {"BTC": 0.5}}), r"market\.loading\.ETH", "missing"),
    (market({"seed": 1, "loading": {"BTC": 0.5, "ETH": -1.5}}), r"market\.loading\.ETH", r"outside \[-1, 1\]"),
]


@pytest.mark.parametrize("change, path, message", REFUSED)
def test_refusals_name_the_member_at_fault(change, path, message):
    with pytest.raises(UniverseError, match=message) as caught:
        read_universe(broken(change))
    assert str(caught.value).startswith(f"{caught.value.path}: " if caught.value.path else "give")
    assert re.match(path, str(caught.value))


def test_a_document_that_does_not_parse_is_refused_with_its_position():
    with pytest.raises(UniverseError, match="parse: .* at line 1 column 17"):
        read_universe('{"instruments": ]}')


# --- Outputs agree --------------------------------------------------------------------------------------------

BASKET = preset_text("crypto-basket")


@pytest.mark.parametrize("table", ["candles", "book", "trades", "funding"])
def test_the_arrow_stream_holds_the_tables_chunk_by_chunk(table):
    whole = ts.universe_tables(BASKET)._asdict()[table]
    stream = ts.UniverseStream(BASKET, table, bars_per_chunk=100)
    reader = pa.RecordBatchReader.from_stream(stream)
    batches = list(reader)
    assert len(batches) == 8  # 720 bars in chunks of 100, a batch per chunk
    streamed = pa.Table.from_batches(batches, reader.schema)
    codes = pa.chunked_array([c.indices for c in streamed["symbol"].chunks])  # the universe's order
    order = pc.sort_indices(codes)  # a stable sort
    assert streamed.schema == whole.schema
    assert streamed.take(order).equals(whole.combine_chunks())


def test_ohlcv_has_a_frame_per_symbol_as_to_ohlcv_makes_it():
    doc = {**PAIR}
    frame = ts.universe_ohlcv(doc)
    assert list(frame.index.names) == ["symbol", "ts"]
    for inst in doc["instruments"]:
        expected = ts.to_ohlcv(inst["spec"])
        got = frame.loc[inst["symbol"]]
        assert got.equals(expected)
    assert ts.universe_ohlcv(doc, "2h").loc["ETH"].equals(ts.to_ohlcv(doc["instruments"][1]["spec"], "2h"))


def test_parquet_by_symbol_reads_back_as_the_tables(tmp_path):
    ds = pytest.importorskip("pyarrow.dataset")
    ts.write_universe_parquet(BASKET, tmp_path / "basket", bars_per_chunk=64)
    whole = ts.universe_tables(BASKET)
    for name, table in whole._asdict().items():
        read = ds.dataset(tmp_path / "basket" / name, partitioning="hive").to_table()
        for symbol in read_universe(BASKET).symbols:
            mine = read.filter(pc.equal(read["symbol"], symbol)).drop_columns(["symbol"])
            theirs = table.filter(pc.equal(table["symbol"], symbol)).drop_columns(["symbol"])
            assert mine.equals(theirs.cast(mine.schema)), (name, symbol)
    assert sorted(p.name for p in (tmp_path / "basket").iterdir()) == ["book", "candles", "funding", "trades"]


def test_named_universes_run_and_one_crashes_market_wide():
    assert list(preset_index()) == ["crypto-basket", "equity-sector", "market-crash"]
    crash = read_universe(preset_text("market-crash"))
    kinds = {tuple((r["kind"], r["len"]) for r in i.spec["regimes"]) for i in crash.instruments}
    assert len(kinds) == 1 and ("crash", 15) in next(iter(kinds))  # the same bars crash for every instrument
    assert read_universe(preset_text("equity-sector")).market is not None


# --- Command line -------------------------------------------------------------------------------------------

def run(*args, **kw):
    return subprocess.run([*CLI, *map(str, args)], capture_output=True, text=True, timeout=120, **kw)


def test_cli_stream_and_generate_agree_with_the_python_surface(tmp_path):
    spec_file = tmp_path / "pair.json"
    spec_file.write_text(json.dumps({**PAIR, "correlation": [[1, 0.3], [0.3, 1]]}))
    r = run("universe", "stream", "--spec", spec_file)
    assert r.returncode == 0, r.stderr
    assert r.stdout.encode() == b"".join(ts.universe_events(spec_file.read_text()))
    r = run("universe", "generate", "--spec", spec_file, "--out", tmp_path / "out")
    assert r.returncode == 0 and r.stdout.splitlines()[0] == f"wrote {tmp_path / 'out' / 'candles'} (2 symbols, 6 rows)"
    # Staged whole, with a manifest; a folder that is not empty is refused unless --force.
    manifest = json.loads((tmp_path / "out" / "manifest.json").read_text())
    assert {f["name"] for f in manifest["files"]} == {f"{t}/symbol={s}/part-0.parquet" for t in
                                                      ("candles", "book", "trades", "funding") for s in ("BTC", "ETH")}
    r = run("universe", "generate", "--spec", spec_file, "--out", tmp_path / "out")
    assert r.returncode == 1 and "not empty (--force replaces it)" in r.stderr
    r = run("universe", "generate", "--spec", spec_file, "--out", tmp_path / "out", "--force")
    assert r.returncode == 0 and sorted(p.name for p in tmp_path.iterdir()) == ["out", "pair.json"]
    # A long tiled run: its specs checked, not read again, and its first events at once.
    from talpen_synth.cli_universe import checked_universe
    r = run("universe", "stream", "--preset", "crypto-basket", "--bars", "200000", "--limit", "7")
    tiled = checked_universe(preset_text("crypto-basket"), "x", bars=200_000)
    assert {i.spec["bars"] for i in tiled.instruments} == {200_000}
    first = next(ts.universe_events(tiled)).decode().splitlines()[:7]
    assert r.returncode == 0 and r.stdout.splitlines() == first
    # Each instrument whose tiled regimes take its prices out of range is named.
    r = run("universe", "stream", "--preset", "market-crash", "--bars", "200000", "--limit", "1")
    warned = [line.split(": ")[1] for line in r.stderr.splitlines() if "warning: the regimes move the log price" in line]
    assert r.returncode == 0 and warned == ["BTC", "ETH", "SOL", "AVAX"]


def test_cli_names_the_file_and_the_member(tmp_path):
    bad = tmp_path / "bad.toml"
    bad.write_text('correlation = [[1, 0.2], [0.3, 1]]\n[[instruments]]\nsymbol = "A"\npreset = "default"\nseed = 1\n'
                   '[[instruments]]\nsymbol = "B"\npreset = "default"\nseed = 2\n')
    r = run("universe", "stream", "--spec", bad)
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr == (f"python -m talpen_synth: {bad}: correlation[1][0]: 0.3 differs from its mirror "
                        "correlation[0][1] = 0.2 (the matrix must be symmetric)\n")


def wild_universe() -> dict:
    """Two instruments, B's third bar (the first of a wild regime) overflowing."""
    wild = {**WORKED_SPEC, "seed": 5, "regimes": [{"kind": "trend", "len": 2, "drift": 0.0, "vol": 0.01},
                                                  {"kind": "vol", "len": 1, "drift": 0.0, "vol": 3000.0}]}
    return {"instruments": [{"symbol": "A", "spec": WORKED_SPEC}, {"symbol": "B", "spec": wild}],
            "correlation": [[1, 0], [0, 1]]}


# An instrument whose price walk overflows fails the universe's run: one
# line naming the file, nothing written, whatever the command.
@pytest.mark.parametrize("command", [["stream"], ["generate", "--out", "{tmp}/out"], ["plot", "-o", "{tmp}/u.png"]])
def test_cli_a_failed_run_is_one_line_naming_the_universe(tmp_path, command):
    if command[0] == "plot":
        pytest.importorskip("matplotlib")
    doc = tmp_path / "wild.json"
    doc.write_text(json.dumps(wild_universe()))
    r = run("universe", command[0], "--spec", doc, *[a.format(tmp=tmp_path) for a in command[1:]])
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr == (f"python -m talpen_synth: {doc}: numeric: price walk produced a non-finite value "
                        "(instrument B, bar 2)\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["wild.json"]


def test_a_failed_parquet_run_leaves_nothing_behind(tmp_path):
    """Neither a folder of its own making nor its staging; an existing
    dataset keeps its tables."""
    pytest.importorskip("pyarrow.parquet")
    with pytest.raises(ValueError, match=r"\(instrument B, bar 2\)$"):
        ts.write_universe_parquet(wild_universe(), tmp_path / "new")
    assert not (tmp_path / "new").exists()
    ts.write_universe_parquet(PAIR, tmp_path / "old")
    with pytest.raises(ValueError):
        ts.write_universe_parquet(wild_universe(), tmp_path / "old")
    assert sorted(p.name for p in (tmp_path / "old").iterdir()) == ["book", "candles", "funding", "trades"]


@pytest.mark.parametrize("extra", [[], ["--together"]])
def test_cli_plot_writes_a_png(tmp_path, extra):
    pytest.importorskip("matplotlib")
    r = run("universe", "plot", "--preset", "market-crash", *extra, "-o", tmp_path / "u.png")
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "u.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("at, lag", [("close", 1.0), ("open", 0.0)])
def test_a_paced_universe_releases_each_bar_when_it_is_over(at, lag):
    """At one bar a second, bar k's events fall due at k + 1 s (its close),
    or at k s with --pace-at open: the universe paces as `stream` does."""
    from talpen_synth.cli_universe import _events, _schedule
    universe = ts.read_universe(BASKET)
    lines = list(_events(universe, 200))
    dues = [due for due, _ in _schedule(lines, None, universe.bar_secs, universe.bar_secs, at)]
    bars = [(json.loads(line)[json.loads(line)["type"].replace("book", "snapshot").replace("funding", "sample")]["ts"]
             - universe.instruments[0].spec["start_ts"]) / universe.bar_secs for line in lines]
    assert dues == [b + lag for b in bars] and bars[-1] >= 1
