"""What a new user reaches for on the command line: presets to read and reuse,
--bars on any preset, TOML and YAML spec files with messages that name the
file and the field, '-o -', image formats by extension, validate's warnings,
and the serve log. All through real subprocesses."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from datetime import datetime, timezone

import pytest

from talpen_synth import Synth, presets

from conftest import SANITIZER_VARIABLES, WORKED_SPEC, make_spec, micro

CLI = [sys.executable, "-m", "talpen_synth"]
PROG = "python -m talpen_synth"


def run(*args, stdin=None, cwd=None):
    return subprocess.run([*CLI, *map(str, args)], input=stdin, capture_output=True, text=True, cwd=cwd,
                          timeout=120)


def generated(spec) -> str:
    return Synth(json.dumps(spec)).command('{"cmd":"generate"}')


# --- presets ------------------------------------------------------------------------------------------------

def test_a_preset_prints_as_a_spec_that_runs_as_the_preset():
    printed = run("presets", "flash-crash")
    assert printed.returncode == 0 and json.loads(printed.stdout) == json.loads(presets.spec_text("flash-crash"))
    via_stdin = run("generate", "--spec", "-", stdin=printed.stdout)
    assert via_stdin.stdout == run("generate", "--preset", "flash-crash").stdout != ""


def test_the_listing_shows_bars_bar_length_and_regimes():
    lines = run("presets").stdout.splitlines()[1:]
    rows = {line.split()[0]: line for line in lines}
    assert "  360  1m   range 180, crash 15, vol 45, trend 60, range 60  " in rows["flash-crash"]
    assert "  576  5m   range 288, range 288  " in rows["choppy-range"]
    assert "  720  1h   trend 240" in rows["perp-funding"]


# --- --bars tiles the regimes -------------------------------------------------------------------------------

@pytest.mark.parametrize("preset, bars, lengths, note", [
    ("steady-trend", 100, [100], "the first 100 bars of the 336-bar regime schedule (1 regime, the last cut"),
    ("flash-crash", 400, [180, 15, 45, 60, 60, 40], "the 360-bar regime schedule once, then its first 40 bars"),
    ("flash-crash", 720, [180, 15, 45, 60, 60] * 2, "the 360-bar regime schedule twice (10 regimes;"),
    ("flash-crash", 200, [180, 15, 5], "the first 200 bars"),  # the crash stays 15 minutes long
])
def test_bars_tiles_the_regime_schedule(preset, bars, lengths, note):
    spec = json.loads(presets.spec_text(preset))
    schedule = spec["regimes"]
    regimes = [{**schedule[i % len(schedule)], "len": n} for i, n in enumerate(lengths)]
    r = run("generate", "--preset", preset, "--bars", bars)
    assert r.returncode == 0
    assert r.stdout == generated({**spec, "bars": bars, "regimes": regimes}) + "\n"
    assert r.stderr.startswith(f"{PROG}: --bars {bars}: regimes tiled: ") and note in r.stderr


def test_a_tiling_too_large_to_write_is_refused_at_once():
    r = run("validate", "--bars", 10**12)
    assert r.returncode == 1 and "would take 2777777776 regimes" in r.stderr and "--keep-regimes" in r.stderr


# --- spec files ---------------------------------------------------------------------------------------------

TOML = """seed = 42
bars = 3
start_price = 100.0
start_ts = 1700000000
bar_secs = 3600

[[regimes]]
kind = "trend"
len = 1
drift = 0.001
vol = 0.01

[[regimes]]
kind = "range"
len = 2
drift = 0.5
vol = 0.02

[microstructure]
book_depth = 2
spread_bps = 5.0
trade_rate = 1.0

[microstructure.funding]
interval_bars = 3
base_rate = 0.0001
sensitivity = 0.5
"""

YAML = """seed: 42
bars: 3
start_price: 100.0
regimes:
  - {kind: trend, len: 1, drift: 0.001, vol: 0.01}
  - {kind: range, len: 2, drift: 0.5, vol: 0.02}
microstructure:
  book_depth: 2
  spread_bps: 5.0
  trade_rate: 1.0
  funding: {interval_bars: 3, base_rate: 0.0001, sensitivity: 0.5}
"""


@pytest.mark.parametrize("name, text", [("s.toml", TOML), ("s.yaml", YAML), ("s.yml", YAML)])
def test_toml_and_yaml_specs_run_as_their_json(tmp_path, name, text):
    (tmp_path / name).write_text(text)
    r = run("generate", "--spec", name, cwd=tmp_path)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == generated(WORKED_SPEC) + "\n"


@pytest.mark.parametrize("name, text, message", [
    ("s.toml", TOML.replace("vol = 0.02", "vol = -0.02"),
     "s.toml: regimes[1].vol: bad spec: regime vol must be finite and >= 0"),
    ("s.toml", TOML.replace("vol = 0.02", 'vol = "x"'), 's.toml: regimes[1].vol: parse: invalid type: string "x"'),
    ("s.toml", TOML.replace("vol = 0.02", "vol = nan"), "s.toml: regimes[1].vol: nan is not a number a spec can hold"),
    ("s.toml", TOML.replace('kind = "range"', 'kind = "Range"'), "s.toml: regimes[1].kind: parse: unknown variant"),
    ("s.toml", TOML.replace("sensitivity", "sensitivty"), "s.toml: microstructure.funding.sensitivty: parse: "
                                                          "unknown field `sensitivty`"),
    ("s.toml", TOML.replace("vol = 0.02\n", ""), "s.toml: regimes[1]: parse: missing field `vol`"),
    ("s.toml", TOML.replace("bars = 3\n", "bars = 3.0\n"), "s.toml: bars: parse: invalid type: floating point"),
    ("s.toml", TOML.replace("book_depth = 2", "book_depth = 0"),
     "s.toml: microstructure.book_depth: bad spec: book_depth must be > 0"),
    ("s.toml", TOML.replace("bars = 3\n", "bars = = 3\n"), "s.toml: parse: Invalid value at line 2 column 8"),
    ("s.toml", TOML.replace("seed = 42", f"seed = {2**64 - 1}"),
     "s.toml: seed: 18446744073709551615 is beyond TOML's integers (at most 2^63 - 1 = 9223372036854775807); "
     "a larger seed needs a JSON spec file"),
    ("s.toml", TOML.replace("start_ts = 1700000000", "start_ts = 2023-11-14T22:13:20Z"),
     "s.toml: start_ts: a date or time is not a spec value"),
    ("s.toml", "", "s.toml: the file is empty"),
    ("s.toml", "# nothing yet\n", "s.toml: the file holds no spec"),
    ("s.yaml", YAML.replace("vol: 0.02", "vol: 2e-2"),
     's.yaml: regimes[1].vol: parse: invalid type: string "2e-2", expected f64 (YAML reads 2e-2 as text'),
    ("s.yaml", "seed: 1\n bars: [2\n", "s.yaml: parse: mapping values are not allowed here at line 2 column 6"),
    ("s.json", "  \n", "s.json: the file is empty"),
    ("s.json", '{"seed": 1,}', "s.json: parse: trailing comma at line 1 column 12"),
    ("s.json", json.dumps(make_spec(regimes=[WORKED_SPEC["regimes"][0], {"kind": "vol", "len": 2, "drift": 0.0,
                                                                          "vol": -1.0}])),
     "s.json: regimes[1].vol: bad spec: regime vol must be finite and >= 0"),
])
def test_every_message_names_the_file_and_the_field(tmp_path, name, text, message):
    (tmp_path / name).write_text(text)
    r = run("validate", "--spec", name, cwd=tmp_path)
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr.startswith(f"{PROG}: {message}") and r.stderr.count("\n") == 1, r.stderr


def test_yaml_without_pyyaml_names_the_extra(tmp_path):
    (tmp_path / "yaml.py").write_text("raise ImportError('no yaml here')\n")
    (tmp_path / "s.yaml").write_text(YAML)
    # A bare environment, but for the sanitizer runtimes a sanitized run preloads.
    sanitizers = {k: v for k, v in os.environ.items() if k in SANITIZER_VARIABLES}
    r = subprocess.run([*CLI, "validate", "--spec", "s.yaml"], capture_output=True, text=True, cwd=tmp_path,
                       env={"PYTHONPATH": str(tmp_path), "PATH": "/usr/bin:/bin", **sanitizers}, timeout=60)
    assert r.returncode == 1 and r.stderr.endswith("pip install talpen_synth[yaml]\n")


# --- outputs ------------------------------------------------------------------------------------------------

def test_dash_writes_to_standard_output(tmp_path):
    spec = tmp_path / "s.json"
    spec.write_text(json.dumps(WORKED_SPEC))
    r = run("generate", "--spec", spec, "-o", "-", cwd=tmp_path)
    assert r.stdout == generated(WORKED_SPEC) + "\n" and not (tmp_path / "-").exists()
    png = subprocess.run([*CLI, "plot", "--spec", str(spec), "-o", "-"], capture_output=True, cwd=tmp_path)
    assert png.returncode == 0 and png.stdout.startswith(b"\x89PNG\r\n\x1a\n") and not (tmp_path / "-").exists()


@pytest.mark.parametrize("name, magic", [("c.svg", b"<?xml"), ("c.pdf", b"%PDF"), ("c.jpg", b"\xff\xd8\xff"),
                                         ("c.JPEG", b"\xff\xd8\xff"), ("c.png", b"\x89PNG"), ("c.eps", b"%!PS")])
def test_plot_writes_the_format_its_extension_names(tmp_path, name, magic):
    """In the format the extension names, and the same bytes on a rerun: no
    creation date, no random element ids."""
    pytest.importorskip("matplotlib")
    r = run("plot", "--preset", "perp-funding", "--book", "-o", name, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    first = (tmp_path / name).read_bytes()
    assert first.startswith(magic)
    assert [p.name for p in tmp_path.iterdir()] == [name]  # no temporary file left beside it
    time.sleep(1.1)  # a creation date would now differ
    assert run("plot", "--preset", "perp-funding", "--book", "-o", name, cwd=tmp_path).returncode == 0
    assert (tmp_path / name).read_bytes() == first


@pytest.mark.parametrize("name, message", [("c.xyz", "plot writes no .xyz images, only "),
                                           ("chart", "no extension to tell the image format")])
def test_plot_refuses_a_format_it_cannot_write(tmp_path, name, message):
    pytest.importorskip("matplotlib")
    r = run("plot", "-o", name, cwd=tmp_path)
    assert r.returncode == 1 and message in r.stderr and list(tmp_path.iterdir()) == []


# --- validate -----------------------------------------------------------------------------------------------

FLAT = make_spec(bars=4, regimes=[{"kind": "trend", "len": 2, "drift": 0.001, "vol": 0.0},
                                  {"kind": "vol", "len": 2, "drift": 0.0, "vol": 0.0}])


@pytest.mark.parametrize("spec, warnings", [
    (WORKED_SPEC, []),
    # vol 0 with a move: the spread divides the move by 1e-9.
    (FLAT, ["regimes[0]: trend regime with drift 0.001 and vol 0: every book is quoted 1,000,001 times the base "
            "spread wide (5,000,005 bps of the price), every bid below zero"]),
    ({**FLAT, "regimes": [{**FLAT["regimes"][0], "kind": "range"}, FLAT["regimes"][1]]}, []),  # never moves
    ({**FLAT, "microstructure": micro(spread_bps=0.0)}, []),  # no spread to widen
    ({**WORKED_SPEC, "microstructure": micro(book_depth=10001)},
     ["microstructure.book_depth: 10001 levels a side: bid levels from about 9997 on are priced at or below zero"]),
])
def test_validate_warns_about_runs_that_look_broken(tmp_path, spec, warnings):
    path = tmp_path / "s.json"
    path.write_text(json.dumps(spec))
    r = run("validate", "--spec", path)
    assert (r.returncode, r.stdout) == (0, "ok\n")
    lines = r.stderr.splitlines()
    assert len(lines) == len(warnings)
    for line, warning in zip(lines, warnings):
        assert line.startswith(f"{PROG}: warning: {path}: {warning}")
    strict = run("validate", "--spec", path, "--strict")
    assert strict.returncode == (1 if warnings else 0)


FALLING = make_spec(bars=200, regimes=[{"kind": "trend", "len": 200, "drift": -0.5, "vol": 0.01}])


# The run is read chunk by chunk; what it counts is what the whole answer holds.
@pytest.mark.parametrize("spec", [FLAT, FALLING])
def test_validate_run_counts_prices_below_zero_and_closes_at_zero(tmp_path, spec):
    path = tmp_path / "s.json"
    path.write_text(json.dumps(spec))
    doc = json.loads(generated(spec))
    books = sum(lv["price"] < 0 for s in doc["book_snapshots"] for lv in s["bids"] + s["asks"])
    trades = sum(t["price"] < 0 for t in doc["trades"])
    zeros = [c["ts"] for c in doc["candles"] if c["close"] == 0]
    assert books > 0 or zeros
    r = run("validate", "--spec", path, "--run")
    assert (f"the run priced {books} book levels and {trades} trades below zero" in r.stderr) == (books > 0)
    first = f"{zeros[0]} ({datetime.fromtimestamp(zeros[0], timezone.utc):%Y-%m-%d %H:%M:%S} UTC)" if zeros else ""
    assert (f"{len(zeros)} candles close at 0.0, the first at ts {first}:" in r.stderr) == bool(zeros)


# --- serve --------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("quiet", [False, True])
def test_serve_logs_each_connection(tmp_path, quiet):
    client = pytest.importorskip("websockets.sync.client")
    spec = tmp_path / "s.json"
    spec.write_text(json.dumps(WORKED_SPEC))
    proc = subprocess.Popen([*CLI, "serve", "--spec", str(spec), "--port", "0", "--clients", "2", "--rate", "2000",
                             *(["--quiet"] if quiet else [])], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        url = proc.stdout.readline().split()[-1]
        with client.connect(url, open_timeout=10) as ws:
            assert len(list(ws)) == 9
        with client.connect(url, open_timeout=10) as ws:
            ws.recv(timeout=10)
        assert proc.wait(timeout=20) == 0
        log = proc.stderr.read().splitlines()
    finally:
        proc.kill()
        proc.wait()
    if quiet:
        assert log == []
        return
    entries = [line.removeprefix(f"{PROG}: ").split(" ", 1) for line in log]
    peers = [peer for peer, _ in entries]
    assert [what for _, what in entries[:3]] == [
        "connected (client 1)", "disconnected after 9 of 9 events", "connected (client 2)"]
    # The second client leaves after its first message, unless the feed was faster.
    assert entries[3][1].startswith(("left early after", "disconnected after 9 of 9"))
    assert peers[0] == peers[1] != peers[2] == peers[3] and peers[0].startswith("127.0.0.1:")


# --- charts -------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("preset, args, shown, absent", [
    # Three vol regimes in a row: the burst is labelled and bounded, not one block.
    ("vol-burst", [], ["vol \u03c30.0006", "vol \u03c30.004", "vol \u03c30.0008", "regime boundary",
                       "(each candle 3 bars, 3 min)"], ["funding"]),
    ("perp-funding", ["--book"], ["funding", "best bid", "best ask", "(each candle 4 bars, 4 h)"], []),
    ("steady-trend", ["--group", "1"], ["trend \u03c30.003"], ["regime boundary", "each candle", "funding"]),
])
def test_the_chart_shows_what_the_run_holds(tmp_path, preset, args, shown, absent):
    pytest.importorskip("matplotlib")
    r = run("plot", "--preset", preset, *args, "-o", "c.svg", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    # matplotlib writes every text of an SVG chart as a comment before its glyphs.
    texts = [t.split("<!-- ", 1)[1] for t in (tmp_path / "c.svg").read_text().split(" -->") if "<!-- " in t]
    for text in shown:
        assert any(text in t for t in texts), text
    for text in absent:
        assert not any(text in t for t in texts), text
