"""The `talpen-synth` command line, end to end through subprocesses: what each
subcommand writes, that it agrees byte for byte with the module, pacing, the
WebSocket feed, the PNG chart, the presets, and one-line failures."""

from __future__ import annotations

import itertools
import json
import math
import os
import struct
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from talpen_synth import Synth, presets
from talpen_synth._spec import normalize
from talpen_synth.cli_plot import auto_group, chart_passes, merge_bars, read_chart_run, regime_spans, tick_step
from talpen_synth.cli_spec import split_events

from conftest import WORKED_SPEC, make_spec, micro, raw_elements

CLI = [sys.executable, "-m", "talpen_synth"]
PROG = "python -m talpen_synth"
SUBCOMMANDS = ["generate", "stream", "serve", "plot", "presets", "validate"]


def run(*args, stdin=None, env=None, timeout=60):
    return subprocess.run([*CLI, *map(str, args)], input=stdin, capture_output=True, text=True,
                          env=env, timeout=timeout)


def answer(spec, cmd: str) -> str:
    text = spec if isinstance(spec, str) else json.dumps(spec)
    return Synth(text).command(json.dumps({"cmd": cmd}))


def one_line_error(result, status: int = 1) -> str:
    """Checks the failure shape shared by every subcommand; returns the line."""
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert result.stdout == ""
    return lines[0]


@pytest.fixture
def spec_file(tmp_path) -> Path:
    path = tmp_path / "worked.json"
    path.write_text(json.dumps(WORKED_SPEC, indent=2))
    return path


# --- Entry points and help ----------------------------------------------------------------------------------

@pytest.mark.parametrize("sub", SUBCOMMANDS)
def test_every_subcommand_has_help_with_examples(sub):
    r = run(sub, "--help")
    assert r.returncode == 0 and r.stderr == ""
    assert r.stdout.startswith(f"usage: {PROG} {sub}")
    assert "examples:" in r.stdout


def test_console_script_and_module_agree(spec_file):
    script = Path(sys.executable).parent / "talpen-synth"
    via_script = subprocess.run([script, "generate", "--spec", spec_file], capture_output=True, text=True)
    assert via_script.returncode == 0
    assert via_script.stdout == run("generate", "--spec", spec_file).stdout
    top = subprocess.run([script, "--help"], capture_output=True, text=True)
    assert top.returncode == 0 and all(sub in top.stdout for sub in SUBCOMMANDS)


# --- generate -----------------------------------------------------------------------------------------------

def test_generate_writes_the_module_answer(spec_file, tmp_path):
    expected = answer(WORKED_SPEC, "generate")
    r = run("generate", "--spec", spec_file)
    assert r.returncode == 0 and r.stderr == ""
    assert r.stdout == expected + "\n"
    out = tmp_path / "run.json"
    assert run("generate", "--spec", spec_file, "-o", out).returncode == 0
    assert out.read_text() == expected
    # The spec can come from standard input too, and a byte-order mark that
    # an editor put in front of the file is not part of the spec.
    assert run("generate", "--spec", "-", stdin=spec_file.read_text()).stdout == expected + "\n"
    bom = tmp_path / "bom.json"
    bom.write_bytes(b"\xef\xbb\xbf" + spec_file.read_bytes())
    assert run("generate", "--spec", bom).stdout == expected + "\n"


def test_generate_default_is_the_default_preset():
    assert run("generate").stdout == answer(presets.spec_text("default"), "generate") + "\n"


@pytest.mark.parametrize("form", ["object", "array"])
def test_seed_and_bars_replace_only_those_fields(tmp_path, form):
    spec = make_spec(bars=3)
    regimes = [{"kind": "trend", "len": 3, "drift": 0.001, "vol": 0.01}]
    spec["regimes"] = regimes
    fields = ["seed", "bars", "start_price", "start_ts", "bar_secs", "regimes", "microstructure"]
    doc = spec if form == "object" else [spec[k] for k in fields]
    path = tmp_path / "spec.json"
    path.write_text(json.dumps(doc))
    r = run("generate", "--spec", path, "--seed", 9)
    assert r.returncode == 0
    assert r.stdout == answer(make_spec(seed=9, bars=3, regimes=regimes), "generate") + "\n"
    # --bars tiles the regimes; --keep-regimes leaves the mismatch to the module, with both numbers.
    tiled = run("generate", "--spec", path, "--bars", 4)
    assert tiled.stdout == answer(make_spec(bars=4, regimes=[{**regimes[0], "len": 4}]), "generate") + "\n"
    assert one_line_error(run("generate", "--spec", path, "--bars", 4, "--keep-regimes")) == (
        f"{PROG}: {path}: bad spec: sum of regime lengths must equal bars (the regimes add up to 3 bars, bars is 4)")


def test_override_reports_parse_errors_where_the_user_wrote_them(tmp_path):
    text = '{\n  "seed": 1,\n  "colour": 2\n}'
    path = tmp_path / "spec.json"
    path.write_text(text)
    with pytest.raises(ValueError) as module_says:
        Synth(text)
    assert one_line_error(run("generate", "--spec", path, "--seed", 5)) == f"{PROG}: {path}: {module_says.value}"


@pytest.mark.parametrize("start_price, drift", [
    ("100.100000000000000000001", "1e-3"),  # more digits than a double holds
    ("0.30000000000000004", "-0"),  # "-0" is the double -0.0
    ("1e2", "2.2250738585072014e-308"),
])
def test_override_keeps_every_other_value(tmp_path, start_price, drift):
    text = ('\u3000{"seed":1,"bars":3,"start_price":%s,'
            '"regimes":[{"kind":{"trend":null},"len":3,"drift":%s,"vol":0.01}],'
            '"microstructure":[2,5,1]}\n' % (start_price, drift))
    path = tmp_path / "spec.json"
    path.write_text(text)
    r = run("generate", "--spec", path, "--seed", 7, "--bars", 3)
    assert r.returncode == 0, r.stderr
    assert r.stdout == answer(text.replace('"seed":1', '"seed":7'), "generate") + "\n"


def test_tables_carry_the_module_digits(tmp_path):
    response = answer(WORKED_SPEC, "generate")
    doc = json.loads(response)
    out = tmp_path / "jsonl"
    r = run("generate", "--preset", "default", "--out", out, "--format", "jsonl")  # the preset first...
    assert r.returncode == 0
    spec = tmp_path / "s.json"
    spec.write_text(json.dumps(WORKED_SPEC))
    r = run("generate", "--spec", spec, "--out", out, "--format", "jsonl")  # ...kept without --force
    assert r.returncode == 1 and "--force" in r.stderr
    r = run("generate", "--spec", spec, "--out", out, "--format", "jsonl", "--force")  # ...then replaced
    assert r.returncode == 0 and r.stdout.count("wrote ") == 4
    for table in ("candles", "funding"):
        assert (out / f"{table}.jsonl").read_text().splitlines() == raw_elements(response, table)
    # Trades as the module wrote them, then the end of their bar.
    assert (out / "trades.jsonl").read_text().splitlines() == [
        raw[:-1] + f',"available_at":{json.loads(raw)["ts"] + 3600}}}' for raw in raw_elements(response, "trades")]
    levels = [json.loads(line) for line in (out / "book.jsonl").read_text().splitlines()]
    expected = [{"ts": s["ts"], "side": side, "level": j, **lv, "available_at": s["ts"] + 3600}
                for s in doc["book_snapshots"] for side in ("bid", "ask")
                for j, lv in enumerate(s[side + "s"])]
    assert levels == expected

    csv_dir = tmp_path / "csv"
    assert run("generate", "--spec", spec, "--out", csv_dir).returncode == 0  # csv is the default format
    rows = (csv_dir / "candles.csv").read_text().splitlines()
    assert rows[0] == "ts,open,high,low,close,volume"
    # Each cell is the text the module wrote, e.g. 100.0 stays "100.0".
    assert rows[1:] == [",".join(_values(raw)) for raw in raw_elements(response, "candles")]
    trades = (csv_dir / "trades.csv").read_text().splitlines()
    assert trades[1:] == [",".join([*_values(raw), str(json.loads(raw)["ts"] + 3600)])
                          for raw in raw_elements(response, "trades")]
    book = (csv_dir / "book.csv").read_text().splitlines()
    assert book[0] == "ts,side,level,price,qty,available_at" and len(book) == 1 + len(expected)


def _values(raw: str) -> list[str]:
    """The value texts of a flat compact object, quotes removed."""
    return [pair.split(":", 1)[1].strip('"') for pair in raw[1:-1].split(",")]


def test_parquet_tables(tmp_path, spec_file):
    pq = pytest.importorskip("pyarrow.parquet")
    doc = json.loads(answer(WORKED_SPEC, "generate"))
    out = tmp_path / "t"
    r = run("generate", "--spec", spec_file, "--out", out, "--format", "parquet")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[0] == f"wrote {out / 'candles.parquet'} (3 rows)"

    def rows(name, keys):
        table = pq.read_table(out / f"{name}.parquet")
        assert str(table.schema.field("ts").type) == "timestamp[ms, tz=UTC]"
        table = table.set_column(0, "ts", table["ts"].cast("int64"))
        return [{k: row[k] // 1000 if k == "ts" else row[k] for k in keys} for row in table.to_pylist()]
    assert rows("candles", ("ts", "open", "high", "low", "close", "volume")) == doc["candles"]
    assert rows("trades", ("ts", "seq", "price", "qty", "side")) == doc["trades"]
    assert rows("funding", ("ts", "rate")) == doc["funding"]
    assert rows("book", ("ts", "side", "level", "price", "qty")) == [
        {"ts": s["ts"], "side": side, "level": j, **lv}
        for s in doc["book_snapshots"] for side in ("bid", "ask") for j, lv in enumerate(s[side + "s"])]


def test_run_without_funding_writes_an_empty_funding_table(tmp_path):
    spec = tmp_path / "s.json"
    spec.write_text(json.dumps(make_spec(microstructure=micro(funding=None))))
    assert run("generate", "--spec", spec, "--out", tmp_path / "t").returncode == 0
    assert (tmp_path / "t" / "funding.csv").read_text() == "ts,rate\n"


# --- stream -------------------------------------------------------------------------------------------------

def test_stream_lines_are_the_events(spec_file):
    events = raw_elements(answer(WORKED_SPEC, "generate_stream"), "events")
    r = run("stream", "--spec", spec_file)
    assert r.returncode == 0 and r.stderr == ""
    assert r.stdout.splitlines() == events
    assert run("stream", "--spec", spec_file, "--limit", 4).stdout.splitlines() == events[:4]


def test_split_events_matches_the_raw_texts():
    response = answer(presets.spec_text("perp-funding"), "generate_stream")
    events = split_events(response)
    assert [e.text for e in events] == raw_elements(response, "events")
    assert {json.loads(e.text)["type"] for e in events} == {"trade", "book", "candle", "funding"}


@pytest.mark.parametrize("pacing, limit, least_gap", [
    # Events 0.1 s apart: the fourth is due 0.3 s after the first.
    (["--rate", "10"], 4, 0.25),
    # Bars 60 s apart at 300 times their clock: 0.2 s a bar. The fifth event is
    # bar 2's first trade (bars 0 and 1 have none), due 0.4 s after the first.
    (["--speed", "300"], 5, 0.35),
])
def test_stream_is_paced_and_flushed_line_by_line(tmp_path, pacing, limit, least_gap):
    spec = tmp_path / "minutes.json"
    spec.write_text(json.dumps(make_spec(bar_secs=60)))
    proc = subprocess.Popen([*CLI, "stream", "--spec", str(spec), "--limit", str(limit), *pacing],
                            stdout=subprocess.PIPE, text=True)
    try:
        first = proc.stdout.readline()  # arrives alone only if each line is flushed when due
        t0 = time.monotonic()
        rest = proc.stdout.read()
        gap = time.monotonic() - t0
    finally:
        proc.wait(timeout=30)
    assert proc.returncode == 0
    assert first and len(rest.splitlines()) == limit - 1
    assert gap >= least_gap


# --- serve --------------------------------------------------------------------------------------------------

def _start_server(*args):
    proc = subprocess.Popen([*CLI, "serve", "--port", "0", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    assert line.startswith("serving "), proc.stderr.read()
    return proc, line.split()[-1]


def test_serve_replays_the_stream_to_each_client(spec_file):
    client = pytest.importorskip("websockets.sync.client")
    events = run("stream", "--spec", spec_file).stdout.splitlines()
    proc, url = _start_server("--spec", spec_file, "--rate", 2000, "--clients", 2)
    try:
        assert url.startswith("ws://127.0.0.1:")
        for _ in range(2):
            with client.connect(url, open_timeout=10) as ws:
                assert list(ws) == events  # every message, then a normal close
        assert proc.wait(timeout=20) == 0
    finally:
        proc.kill()
        proc.wait()


def test_serve_survives_a_client_that_leaves_early(spec_file):
    client = pytest.importorskip("websockets.sync.client")
    proc, url = _start_server("--spec", spec_file, "--rate", 20, "--clients", 1)
    try:
        with client.connect(url, open_timeout=10) as ws:
            assert json.loads(ws.recv(timeout=10))["type"] == "book"
        assert proc.wait(timeout=20) == 0
    finally:
        proc.kill()
        proc.wait()


def test_serve_stopped_tells_its_clients_it_is_going_away(spec_file):
    client = pytest.importorskip("websockets.sync.client")
    from websockets.exceptions import ConnectionClosedOK
    proc, url = _start_server("--spec", spec_file, "--rate", 20)
    try:
        with client.connect(url, open_timeout=10) as ws:
            ws.recv(timeout=10)
            proc.send_signal(signal.SIGTERM)
            with pytest.raises(ConnectionClosedOK) as closed:
                while True:
                    ws.recv(timeout=10)
        assert (closed.value.rcvd.code, closed.value.rcvd.reason) == (1001, "the server is stopping")
        proc.wait(timeout=20)
        assert "cut off by the server stopping after" in proc.stderr.read()
    finally:
        proc.kill()
        proc.wait()


# A run that fails ends every replay of it: the client gets close code 1011
# with the error as its reason, the server one line naming the spec (not a
# traceback, nor "left early"), and its exit status says so.
@pytest.mark.parametrize("universe", [False, True])
def test_serve_a_failed_run_closes_with_its_error(tmp_path, universe):
    client = pytest.importorskip("websockets.sync.client")
    from websockets.exceptions import ConnectionClosedError
    wild = {**WORKED_SPEC, "seed": 5, "regimes": [{"kind": "vol", "len": WORKED_SPEC["bars"], "drift": 0.0,
                                                    "vol": 3000.0}]}
    doc = tmp_path / "wild.json"
    doc.write_text(json.dumps({"instruments": [{"symbol": "A", "spec": WORKED_SPEC}, {"symbol": "B", "spec": wild}],
                               "correlation": [[1, 0], [0, 1]]} if universe else wild))
    proc = subprocess.Popen([*CLI, *(["universe"] if universe else []), "serve", "--spec", str(doc), "--port", "0",
                             "--clients", "1", "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = proc.stdout.readline().split()[-1]
        with client.connect(url, open_timeout=10) as ws, pytest.raises(ConnectionClosedError) as closed:
            list(ws)
        error = "numeric: price walk produced a non-finite value" + (" (instrument B, bar 0)" if universe else "")
        assert (closed.value.rcvd.code, closed.value.rcvd.reason) == (1011, error)
        assert proc.wait(timeout=20) == 1
        told = proc.stderr.read().splitlines()
        assert len(told) == 1 and told[0].startswith(f"{PROG}: {doc}: {error} (the replay to 127.0.0.1:")
    finally:
        proc.kill()
        proc.wait()


# --- plot ---------------------------------------------------------------------------------------------------

def png_size(path: Path) -> tuple[int, int]:
    head = path.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


@pytest.mark.parametrize("args, size", [([], (1200, 700)), (["--width", 640, "--height", 360, "--book"],
                                                            (640, 360))])
def test_plot_writes_a_png_of_the_asked_size(tmp_path, args, size):
    pytest.importorskip("matplotlib")
    out = tmp_path / "chart.png"
    r = run("plot", "--preset", "flash-crash", "-o", out, *args)
    assert r.returncode == 0, r.stderr
    assert png_size(out) == size


def test_plot_reads_every_spec_shape(tmp_path):
    pytest.importorskip("matplotlib")
    spec = make_spec()
    fields = ["seed", "bars", "start_price", "start_ts", "bar_secs", "regimes", "microstructure"]
    doc = [spec[k] for k in fields]
    doc[5] = [[{"trend": None}, 1, 0.001, 0.01], ["range", 2, 0.5, 0.02]]
    path = tmp_path / "array.json"
    path.write_text("\u00a0" + json.dumps(doc))  # the module trims a no-break space; so must the chart
    assert regime_spans(normalize(path.read_text())) == [("trend", 1), ("range", 2)]
    out = tmp_path / "a.png"
    assert run("plot", "--spec", path, "-o", out).returncode == 0
    assert png_size(out) == (1200, 700)


def test_chart_helpers():
    candles = [{"ts": i, "open": i, "high": i + 2, "low": i - 1, "close": i + 1, "volume": 1.0}
               for i in range(5)]
    assert merge_bars(candles, 2) == [
        {"ts": 0, "open": 0, "close": 2, "high": 3, "low": -1, "volume": 2.0},
        {"ts": 2, "open": 2, "close": 4, "high": 5, "low": 1, "volume": 2.0},
        {"ts": 4, "open": 4, "close": 5, "high": 6, "low": 3, "volume": 1.0}]
    assert auto_group(200, 1200) == 1 and auto_group(1440, 1200) == 8
    assert tick_step(86400, 1200) == 3 * 3600 and tick_step(30 * 86400, 1200) == 7 * 86400


# A chart reads its run a chunk at a time: the merged candles and the
# snapshots that close them are those of the whole answer, whether a group
# fits the chunks or straddles them.
@pytest.mark.parametrize("group, book", [(1, True), (7, True), (4096, False), (5000, True), (10_000, True)])
def test_a_chart_read_by_chunks_is_the_whole_runs(group, book):
    spec = json.loads(presets.spec_text("perp-funding"))
    spec["bars"] = 9000
    spec["regimes"] = [{"kind": "vol", "len": 6000, "drift": 0.0, "vol": 0.01},
                       {"kind": "range", "len": 3000, "drift": 0.2, "vol": 0.02}]
    text = json.dumps(spec)
    doc = json.loads(Synth(text).command('{"cmd":"generate"}'))
    told: list[int] = []
    chart = read_chart_run(text, 9000, 1200, book, group, told.append)
    assert sum(told) == 9000 * chart_passes(book)  # the progress bar's total
    assert chart.group == min(group, 9000)  # a group past the run is the whole run
    assert json.dumps(chart.candles) == json.dumps(merge_bars(doc["candles"], group))
    snaps = doc["book_snapshots"]
    assert chart.books == (snaps[group - 1::group] + ([snaps[-1]] if len(snaps) % group else []) if book else [])
    if group <= 8:  # the funding interval: every point
        assert chart.funding == doc["funding"] and not chart.funding_merged
    else:  # more points than candles: each candle's mean rate
        span = group * spec["bar_secs"]
        means = [(g, [f["rate"] for f in fs]) for g, fs in
                 itertools.groupby(doc["funding"], lambda f: (f["ts"] - spec["start_ts"]) // span)]
        assert chart.funding_merged
        assert chart.funding == [{"ts": spec["start_ts"] + g * span, "rate": sum(r) / len(r)} for g, r in means]


# --- presets and validate -----------------------------------------------------------------------------------

def test_presets_lists_every_scenario_once():
    r = run("presets")
    assert r.returncode == 0
    header, *lines = r.stdout.splitlines()
    assert header.split()[:3] == ["name", "bars", "bar"]
    listed = [line.split()[0] for line in lines]
    assert listed == presets.names()
    assert {"default", "flash-crash", "choppy-range", "steady-trend", "perp-funding"} <= set(listed)
    shipped = Path(presets.__file__).with_name("presets")
    assert sorted(p.stem for p in shipped.glob("*.json") if p.stem != "index") == sorted(listed)


@pytest.mark.parametrize("name", presets.names())
def test_every_preset_runs(name):
    r = run("validate", "--preset", name, "--run")
    assert (r.returncode, r.stdout, r.stderr) == (0, "ok\n", "")


def test_presets_are_the_scenarios_they_claim():
    def spec(name):
        return json.loads(presets.spec_text(name))
    assert {r["kind"] for r in spec("default")["regimes"]} == {"trend", "range", "crash", "vol"}
    assert "crash" in [r["kind"] for r in spec("flash-crash")["regimes"]]
    assert {r["kind"] for r in spec("choppy-range")["regimes"]} == {"range"}
    assert {r["kind"] for r in spec("steady-trend")["regimes"]} == {"trend"}
    for name in ("default", "perp-funding"):  # funding every 8 hours
        s = spec(name)
        assert s["microstructure"]["funding"]["interval_bars"] * s["bar_secs"] == 8 * 3600


@pytest.mark.parametrize("text, verdict", [
    (json.dumps(WORKED_SPEC), "ok"),
    # The module keeps no spec for "{}": nothing to run.
    ("{}", "bad spec: no spec set (an empty object is no spec)"),
    (json.dumps(make_spec(bars=4)),
     "bad spec: sum of regime lengths must equal bars (the regimes add up to 3 bars, bars is 4)"),
    ('{"seed": 1,}', "parse: trailing comma at line 1 column 12"),
])
def test_validate_prints_the_module_verdict(tmp_path, text, verdict):
    path = tmp_path / "s.json"
    path.write_text(text)
    r = run("validate", "--spec", path)
    if verdict == "ok":
        assert (r.returncode, r.stdout, r.stderr) == (0, "ok\n", "")
    else:
        assert one_line_error(r) == f"{PROG}: {path}: {verdict}"


def test_validate_run_finds_what_only_a_run_shows(tmp_path):
    path = tmp_path / "wild.json"
    path.write_text(json.dumps(make_spec(regimes=[{"kind": "vol", "len": 3, "drift": 0.0, "vol": 3000.0}])))
    assert run("validate", "--spec", path).stdout == "ok\n"
    assert one_line_error(run("validate", "--spec", path, "--run")) == (
        f"{PROG}: {path}: numeric: price walk produced a non-finite value")
    # On standard output the answer has begun before the failure: the error says it is cut.
    r = run("generate", "--spec", path)
    assert r.returncode == 1 and r.stderr.strip().endswith("(the answer on standard output stops where the run failed)")
    r = run("generate", "--spec", path, "-o", path.with_name("out.json"))
    assert one_line_error(r).endswith("numeric: price walk produced a non-finite value")


# --- Failures -----------------------------------------------------------------------------------------------

@pytest.fixture
def bad_files(tmp_path) -> dict[str, Path]:
    files = {"badjson": ('{"seed": 1', "utf-8"), "binary": ("\udcff\udcfe", "utf-8"),
             "nospec": ("{}", "utf-8")}
    out = {}
    for name, (text, enc) in files.items():
        out[name] = tmp_path / f"{name}.json"
        out[name].write_bytes(text.encode(enc, "surrogateescape"))
    out["missing"] = tmp_path / "missing.json"
    return out


BAD_INPUT = [
    # (arguments, exit status, start of the message after the program name)
    (["generate", "--spec", "{missing}"], 1, "cannot read spec file"),
    (["generate", "--spec", "{badjson}"], 1, "parse: EOF while parsing an object at line 1 column 10"),
    (["generate", "--spec", "{binary}"], 1, "cannot read spec file"),
    (["generate", "--spec", "{nospec}"], 1, "bad spec: no spec set"),
    (["generate", "--preset", "nope"], 1, "unknown preset 'nope'"),
    (["generate", "--bars", "5", "--keep-regimes"], 1,
     "preset default: bad spec: sum of regime lengths must equal bars (the regimes add up to 1440 bars, bars is 5)"),
    (["generate", "--seed", "-1"], 2, "generate: error: argument --seed"),
    (["generate", "--bars", "1e3"], 2, "generate: error: argument --bars"),
    (["generate", "--bars", "0"], 2, "argument --bars: expected a whole number from 1"),
    (["generate", "--seed", str(2**64)], 2, "generate: error: argument --seed"),
    (["generate", "--format", "csv"], 2, "--format needs --out DIR"),
    (["generate", "-o", "run.csv"], 2, "-o writes the run as one JSON document; for csv table files use --out"),
    (["generate", "-o", "{missing}/x/run.json"], 1, "cannot write"),
    (["generate", "--out", "-"], 2, "--out '-': --out names a folder for the tables; -o - writes the JSON answer"),
    (["generate", "--spec", "{missing}", "--preset", "default"], 2, "generate: error: argument --preset"),
    (["stream", "--spec", "{badjson}"], 1, "parse: "),
    (["stream", "--rate", "0"], 2, "stream: error: argument --rate"),
    (["stream", "--speed", "inf"], 2, "stream: error: argument --speed"),
    (["stream", "--rate", "5", "--speed", "5"], 2, "stream: error: argument --speed"),
    (["serve", "--host", "192.0.2.1"], 2, "--host 192.0.2.1: serve listens on loopback addresses only"),
    (["serve", "--port", "65536"], 2, "serve: error: argument --port"),
    (["serve", "--bars", "2", "--keep-regimes", "--port", "0"], 1, "bad spec: sum of regime lengths must equal bars"),
    (["plot"], 2, "plot: error: the following arguments are required: -o/--output"),
    (["plot", "-o", "x.png", "--width", "10"], 2, "plot: error: argument --width"),
    (["plot", "--spec", "{nospec}", "-o", "x.png"], 1, "bad spec: no spec set"),
    (["plot", "-o", "{missing}/x/chart.png"], 1, "cannot write"),
    (["validate", "--spec", "{badjson}"], 1, "parse: EOF while parsing an object"),
    (["validate", "--preset", "nope"], 1, "unknown preset"),
    (["presets", "default", "extra"], 2, f"presets: error: unrecognized arguments: extra (see {PROG} presets --help)"),
    (["universe", "generate", "--out", "{missing}/u", "--bogus"], 2,
     f"universe generate: error: unrecognized arguments: --bogus (see {PROG} universe generate --help)"),
    (["presets", "nope"], 1, "unknown preset 'nope'"),
    # No option is taken by a shortened name: here it would be --bars-per-chunk.
    (["dataset", "--preset", "default", "--seeds", "0:1", "--out", "{missing}", "--bars", "9"], 2,
     f"dataset: error: unrecognized arguments: --bars 9 (see {PROG} dataset --help)"),
    ([], 2, "error: the following arguments are required: COMMAND"),
    (["bogus"], 2, "error: argument COMMAND: invalid choice: 'bogus'"),
]


@pytest.mark.parametrize("args, status, message", BAD_INPUT, ids=lambda v: v if isinstance(v, str) else None)
def test_bad_input_is_one_line(bad_files, tmp_path, args, status, message):
    args = [a.format(**bad_files) for a in args]
    r = subprocess.run([*CLI, *args], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    line = one_line_error(r, status)
    assert line.startswith(f"{PROG}"), line
    assert message in line


@pytest.mark.parametrize("blocked, args, extra", [
    ("matplotlib", ["plot", "-o", "x.png"], "plot"),
    ("websockets", ["serve", "--port", "0"], "serve"),
    ("pyarrow", ["generate", "--out", "t", "--format", "parquet"], "frames"),
])
def test_a_missing_extra_is_named(tmp_path, blocked, args, extra):
    fake = tmp_path / "blocked"
    fake.mkdir()
    (fake / f"{blocked}.py").write_text(f"raise ImportError('no {blocked} here')\n")
    env = dict(os.environ, PYTHONPATH=str(fake))
    r = subprocess.run([*CLI, *args], capture_output=True, text=True, cwd=tmp_path, env=env, timeout=60)
    assert one_line_error(r).endswith(f"needs {blocked}: pip install talpen_synth[{extra}]")


def test_a_closed_pipe_ends_quietly():
    # `talpen-synth stream | head -1`: the reader leaves after one line.
    proc = subprocess.Popen([*CLI, "stream"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()
    assert proc.wait(timeout=30) == 0
    assert proc.stderr.read() == b""


@pytest.mark.parametrize("kind, drift, vol, bars", [("trend", 0.001, 0.01, 5000), ("crash", 0.0, 0.01, 5000),
                                                   ("crash", 0.002, 0.02, 1000), ("vol", 0.0, 0.02, 5000)])
def test_the_estimated_move_is_what_runs_do(kind, drift, vol, bars):
    # The warning's estimate against the log move of three runs (its spread
    # over seeds is about 1 at these vols and lengths).
    from talpen_synth.checks import log_price_move
    regimes = [{"kind": kind, "len": bars, "drift": drift, "vol": vol}]
    moves = []
    for seed in (1, 2, 3):
        spec = make_spec(seed=seed, bars=bars, start_price=1e6, regimes=regimes)
        closes = json.loads(Synth(json.dumps(spec)).command('{"cmd":"generate"}'))["candles"]
        moves.append(math.log(closes[-1]["close"] / 1e6))
    assert abs(sum(moves) / 3 - log_price_move(regimes)) < 2.0


@pytest.mark.parametrize("preset, bars, warned", [("default", 5000, False), ("default", 200000, True),
                                                   ("flash-crash", 80000, True)])
def test_tiled_drift_that_leaves_any_price_range_is_warned_of(preset, bars, warned):
    # The default schedule's crash drift, compounded over 138 passes, takes
    # prices to e^-40 of where they start. flash-crash's fall at 80,000 bars
    # (e^-15) comes mostly from its crashes' downward shocks, not their drift.
    # validate tells it once, and --strict counts it.
    result = run("validate", "--preset", preset, "--bars", bars, "--strict")
    assert result.returncode == (1 if warned else 0)
    assert result.stderr.count("the regimes move the log price down") == warned
    streamed = run("stream", "--preset", preset, "--bars", bars, "--limit", 1)
    assert (f"--bars {bars}: warning: the regimes move the log price down" in streamed.stderr) == warned


@pytest.mark.parametrize("command, text, hint", [
    (["generate"], '{"instruments": [{"symbol": "A", "preset": "default"}]}', "this looks like a universe"),
    (["universe", "stream"], '{"seed": 1, "bars": 5}', "this looks like a spec"),
])
def test_a_file_of_the_other_kind_is_named_as_such(tmp_path, command, text, hint):
    path = tmp_path / "doc.json"
    path.write_text(text)
    assert hint in one_line_error(run(*command, "--spec", path))
