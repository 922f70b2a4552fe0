"""Outputs written chunk by chunk: byte for byte the whole-run answers and
table files, whatever the chunk size; Arrow batches and streams; staged
files and folders that nothing (a signal, a full disk, a killed process)
leaves half-written under their final names."""

from __future__ import annotations

import hashlib
import io
import json
import os
import random
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import talpen_synth
from talpen_synth import Synth, chunked

from conftest import WORKED_SPEC, UNDER_ASAN

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")

CLI = [sys.executable, "-m", "talpen_synth"]
TABLES = ("candles", "book", "trades", "funding")
INT64_MAX = 2**63 - 1


def random_spec(rng: random.Random) -> dict:
    bars = rng.randint(1, 40)
    bar_secs = rng.choice([1, 3, 60, 3600])
    # Time stamps that gain a digit mid-run, negative ones, and bars that end past the last int64 second.
    start_ts = rng.choice([1_700_000_000, 10**9 - 20, -50, INT64_MAX - bars * bar_secs + rng.randint(0, bar_secs)])
    regimes, left = [], bars
    while left:
        n = rng.randint(1, left)
        left -= n
        kind = rng.choice(["trend", "range", "crash", "vol"])
        regimes.append({"kind": kind, "len": n, "drift": rng.uniform(0, 0.3), "vol": rng.uniform(0, 0.05)})
    micro = {"book_depth": rng.randint(1, 4), "spread_bps": rng.uniform(0, 30),
             "trade_rate": rng.choice([0, rng.uniform(0, 6)])}
    if rng.random() < 0.5:
        micro["funding"] = {"interval_bars": rng.randint(1, 12), "base_rate": 1e-4, "sensitivity": rng.uniform(-1, 1)}
    return {"seed": rng.randrange(2**64), "bars": bars, "start_price": 100.0, "start_ts": start_ts,
            "bar_secs": bar_secs, "regimes": regimes, "microstructure": micro}


SPECS = [random_spec(random.Random(i)) for i in range(40)]
CHUNKS = [1, 7, 1 << 40]


def whole_run_rows(spec: dict, table: str, fmt: str) -> bytes:
    """The table file as the whole-run answer gives it: every number the
    module's text, books and trades ending with the end of their bar."""
    doc = json.loads(Synth(json.dumps(spec)).command('{"cmd":"generate"}'), parse_float=str, parse_int=str)

    def available(ts: str) -> str:
        return str(min(int(ts) + spec["bar_secs"], INT64_MAX))
    if table == "book":
        rows = [[s["ts"], side, str(j), lv["price"], lv["qty"], available(s["ts"])]
                for s in doc["book_snapshots"] for side in ("bid", "ask") for j, lv in enumerate(s[side + "s"])]
    elif table == "trades":
        rows = [[t["ts"], t["seq"], t["price"], t["qty"], t["side"], available(t["ts"])] for t in doc["trades"]]
    else:
        rows = [list(r.values()) for r in doc.get(table, [])]
    columns = chunked.TABLE_COLUMNS[table]
    if fmt == "csv":
        lines = [",".join(columns)] + [",".join("" if v is None else v for v in row) for row in rows]
    else:
        lines = ["{" + ",".join(f'"{c}":' + ("null" if v is None else f'"{v}"' if c == "side" else v)
                               for c, v in zip(columns, row)) + "}" for row in rows]
    return "".join(line + "\n" for line in lines).encode()


@pytest.mark.parametrize("chunk", CHUNKS)
def test_chunked_text_is_the_whole_run_text(chunk):
    for spec in SPECS:
        text = json.dumps(spec)
        synth = Synth(text)
        for write, cmd in ((chunked.write_generate, "generate"), (chunked.write_generate_stream, "generate_stream")):
            out = io.BytesIO()
            write(text, out, chunk)
            assert out.getvalue().decode() == synth.command(json.dumps({"cmd": cmd})), (spec, cmd)
        for fmt in ("csv", "jsonl"):
            for table in TABLES:
                out = io.BytesIO()
                rows = chunked.write_rows(text, table, fmt, out, spec["start_ts"], spec["bar_secs"], chunk)
                want = whole_run_rows(spec, table, fmt)
                assert out.getvalue() == want, (spec, table, fmt)
                assert rows == want.count(b"\n") - (fmt == "csv")


@pytest.mark.parametrize("lookahead", [0, 3000, 1 << 30])
def test_the_answer_is_the_same_whatever_the_lookahead(lookahead):
    """With no budget each piece is made when due, with a small one the
    funding points are left to the tasks part way: the joined pieces are the
    answer all the same, and the progress adds up to a run per list."""
    for spec in SPECS[:12]:
        text = json.dumps(spec)
        synth = Synth(text)
        for kind, lists in (("generate", len(chunked.lists(text))), ("generate_stream", 1)):
            out, told = io.BytesIO(), []
            talpen_synth._talpen_columns.write_answer(text, kind, out, 7, told.append, lookahead)
            assert out.getvalue().decode() == synth.command(json.dumps({"cmd": kind})), (spec, kind)
            assert sum(told) == lists * spec["bars"]


def test_a_failed_run_raises_after_the_text_before_it():
    spec = json.dumps({"seed": 1, "bars": 30, "start_price": 100.0,
                       "regimes": [{"kind": "vol", "len": 20, "drift": 0, "vol": 0.01},
                                   {"kind": "trend", "len": 10, "drift": 800.0, "vol": 0}],
                       "microstructure": {"book_depth": 2, "spread_bps": 1.0, "trade_rate": 1.0}})
    for kind in ("generate", "generate_stream"):
        out = io.BytesIO()
        with pytest.raises(ValueError, match="^numeric: price walk produced a non-finite value$"):
            talpen_synth._talpen_columns.write_answer(spec, kind, out, 4)
        assert out.getvalue().startswith(b'{"candles":[{"ts":' if kind == "generate" else b'{"events":[{')
        assert not out.getvalue().endswith(b"]}")


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's shadow memory defeats an address-space limit")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limit via /proc")
def test_an_answer_beyond_a_memory_limit_raises_memory_error():
    """One chunk of the whole run, under a tight address-space limit: the
    walk's bars fit, their candles' text may not. Each run must finish or
    raise MemoryError, and the interpreter must carry on."""
    child = r"""
import io, json, resource
from talpen_synth._talpen_columns import write_answer
def spec(bars):
    return json.dumps({"seed": 1, "bars": bars, "start_price": 100.0,
                       "regimes": [{"kind": "vol", "len": bars, "drift": 0.0, "vol": 0.01}],
                       "microstructure": {"book_depth": 1, "spread_bps": 1.0, "trade_rate": 0.0}})
class Sink:
    def write(self, b): return len(b)
size = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size * 1024 + 400 * 2**20, resource.getrlimit(resource.RLIMIT_AS)[1]))
outcomes = []
for bars in (1000, 300_000, 1_000_000, 2_000_000, 4_000_000):
    try:
        write_answer(spec(bars), "generate", Sink(), bars, lookahead_bytes=0)
        outcomes.append("ok")
    except MemoryError:
        outcomes.append("memory")
write_answer(spec(1000), "generate", io.BytesIO(), 1000)
print(json.dumps(outcomes))
"""
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    outcomes = json.loads(done.stdout)
    assert outcomes[0] == "ok" and outcomes[-1] == "memory"


@pytest.mark.parametrize("bars, funding", [(2**62, True), (6148914691236517206, False)])
def test_a_run_of_more_tasks_than_64_bits_count_starts_at_once(bars, funding):
    """One-bar chunks of a run this long make lists x chunks tasks past 2^64:
    the answer still comes at once, as any long run's does. The wait of a
    writer that makes no task ignores signals, so it runs in a child."""
    spec = {"seed": 1, "bars": bars, "start_price": 100.0, "start_ts": -2**63, "bar_secs": 1,
            "regimes": [{"kind": "vol", "len": bars, "drift": 0.0, "vol": 0.01}],
            "microstructure": {"book_depth": 1, "spread_bps": 1.0, "trade_rate": 1.0}}
    if funding:
        spec["microstructure"]["funding"] = {"interval_bars": 8, "base_rate": 1e-4, "sensitivity": 0.5}
    child = f"""
import io, sys
from talpen_synth._talpen_columns import write_answer
class Enough(Exception): pass
class Out(io.RawIOBase):
    def __init__(self): self.data = bytearray()
    def writable(self): return True
    def write(self, b):
        if len(self.data) > 1000: raise Enough()
        self.data += bytes(b)
        return len(b)
out = Out()
try:
    write_answer({json.dumps(spec)!r}, "generate", out, 1)
except Enough:
    sys.stdout.write(out.data[:40].decode())
"""
    try:
        done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("write_answer made no candle within 60 s")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith('{"candles":[{"ts":-9223372036854775808,')


def test_a_writer_that_fails_or_takes_part_is_handled():
    text = json.dumps(SPECS[3])
    whole = Synth(text).command('{"cmd":"generate"}').encode()

    class Dribble(io.RawIOBase):  # a raw file that takes at most 1000 bytes a call
        def __init__(self) -> None:
            self.data = bytearray()

        def writable(self) -> bool:
            return True

        def write(self, b) -> int:
            self.data += bytes(b[:1000])
            return min(len(b), 1000)

    out = Dribble()
    chunked.write_generate(text, out)
    assert bytes(out.data) == whole

    class Full(io.RawIOBase):
        def writable(self) -> bool:
            return True

        def write(self, b) -> int:
            raise OSError(28, "No space left on device")

    with pytest.raises(OSError, match="No space left"):
        chunked.write_generate(text, Full())


def test_available_at_without_numpy_is_the_same_text():
    spec = next(s for s in SPECS if s["microstructure"]["trade_rate"] > 1 and s["start_ts"] == 1_700_000_000)
    for fmt in ("csv", "jsonl"):
        for table in ("book", "trades"):
            rows = talpen_synth._talpen_columns.Cursor(json.dumps(spec), 1 << 40).next_rows(table, fmt)
            assert rows
            args = (fmt, rows.count(b"\n"), spec["start_ts"], spec["bars"], spec["bar_secs"])
            assert bytes(chunked.with_available_at(rows, *args, np)) == chunked.with_available_at(rows, *args, None)


def test_stream_lines_are_the_events():
    text = json.dumps(SPECS[2])
    events = Synth(text).command('{"cmd":"generate_stream"}')
    cursor = talpen_synth._talpen_columns.Cursor(text, 3)
    lines = b""
    while (part := chunked.stream_lines(cursor)) is not None:
        lines += part
    assert '{"events":[' + ",".join(lines.decode().splitlines()) + "]}" == events


# --- Arrow ---------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("chunk", CHUNKS)
def test_batches_and_streams_are_the_whole_tables(chunk):
    duckdb = pytest.importorskip("duckdb")
    for spec in SPECS[:10]:
        whole = talpen_synth.to_arrow(spec)
        batches = list(talpen_synth.iter_batches(spec, bars_per_batch=chunk))
        assert len(batches) == min(spec["bars"], -(-spec["bars"] // chunk))
        for i, name in enumerate(TABLES):
            assert pa.Table.from_batches([b[i] for b in batches], whole[i].schema).equals(whole[i]), name
            stream = talpen_synth.table_stream(spec, name, bars_per_batch=chunk)
            assert pa.table(stream).equals(whole[i]) and pa.table(stream).equals(whole[i])  # each read runs anew
        if abs(spec["start_ts"]) < 10**10:  # DuckDB holds times in microseconds
            stream = talpen_synth.table_stream(spec, "candles", bars_per_batch=chunk)
            assert duckdb.sql("select count(*) from stream").fetchall() == [(spec["bars"],)]
    assert str(whole.candles.schema.field("ts").type) == "timestamp[s, tz=UTC]"


@pytest.mark.parametrize("make, message", [
    (lambda: next(talpen_synth.iter_batches("{}")), "parse: missing field"),
    (lambda: talpen_synth.table_stream(WORKED_SPEC, "book", 0), "bars_per_batch must be at least 1"),
    (lambda: talpen_synth.table_stream(WORKED_SPEC, "books"), "table must be candles, book, trades or funding"),
])
def test_bad_batches_are_refused(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_parquet_files_keep_the_spec_and_utc_milliseconds(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    spec = next(s for s in SPECS if s["start_ts"] == 1_700_000_000 and s["bars"] > 20)
    paths = talpen_synth.write_parquet(spec, tmp_path / "p", bars_per_chunk=7)
    book = pq.ParquetFile(paths.book)
    assert book.metadata.num_row_groups == -(-spec["bars"] // 7)
    meta = book.schema_arrow.metadata
    assert json.loads(meta[b"talpen_synth.spec"])["seed"] == spec["seed"] == int(meta[b"talpen_synth.seed"])
    assert meta[b"talpen_synth.version"].decode() == talpen_synth.__version__
    assert str(book.schema_arrow.field("ts").type) == "timestamp[ms, tz=UTC]"
    assert not [p for p in (tmp_path / "p").iterdir() if p.name.startswith(".")]
    late = next(s for s in SPECS if s["start_ts"] > 10**18)
    with pytest.raises(ValueError, match="^Parquet keeps times in milliseconds"):
        talpen_synth.write_parquet(late, tmp_path / "late")
    assert not (tmp_path / "late").exists()


# --- Staged outputs through the command line ---------------------------------------------------------------

def cli(*args, **kw):
    return subprocess.run([*CLI, *map(str, args)], capture_output=True, text=True, timeout=120, **kw)


def test_a_folder_carries_a_manifest_written_last(tmp_path):
    spec = tmp_path / "s.json"
    spec.write_text(json.dumps(SPECS[4]))
    r = cli("generate", "--spec", spec, "--out", tmp_path / "t")
    assert r.returncode == 0, r.stderr
    manifest = json.loads((tmp_path / "t" / "manifest.json").read_text())
    assert manifest["spec"] == json.loads(talpen_synth.frames.spec_json(talpen_synth._spec.normalize(spec.read_text())))
    assert manifest["seed"] == SPECS[4]["seed"] and manifest["version"] == talpen_synth.__version__
    for f in manifest["files"]:
        data = (tmp_path / "t" / f["name"]).read_bytes()
        assert (f["bytes"], f["sha256"], f["rows"]) == (len(data), hashlib.sha256(data).hexdigest(),
                                                        data.count(b"\n") - 1)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["s.json", "t"]


# A run that takes a few seconds to write: long enough to be stopped midway.
BIG = {"seed": 1, "bars": 3_000_000, "start_price": 100.0, "start_ts": 1_700_000_000, "bar_secs": 60,
       "regimes": [{"kind": "vol", "len": 3_000_000, "drift": 0.0, "vol": 0.001}],
       "microstructure": {"book_depth": 10, "spread_bps": 5.0, "trade_rate": 5.0}}


def start_big(tmp_path: Path, *out: str, preexec_fn=None) -> subprocess.Popen[str]:
    spec = tmp_path / "big.json"
    spec.write_text(json.dumps(BIG))
    return subprocess.Popen([*CLI, "generate", "--spec", str(spec), *out], cwd=tmp_path, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=preexec_fn)


def wait_for_staging(tmp_path: Path, proc: subprocess.Popen[str]) -> None:
    deadline = time.monotonic() + 60
    while not any(".partial-" in p.name for p in tmp_path.iterdir()):
        assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
        time.sleep(0.02)
    time.sleep(0.5)  # well into the writing


OUTPUTS = [("-o", "run.json"), ("--out", "t"), ("--out", "t", "--format", "parquet")]


@pytest.mark.parametrize("out", OUTPUTS)
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_leaves_nothing_under_the_final_name(tmp_path, out, sig):
    if "parquet" in out:
        pytest.importorskip("pyarrow.parquet")
    (tmp_path / "old").mkdir()
    proc = start_big(tmp_path, *out)
    wait_for_staging(tmp_path, proc)
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 128 + sig
    assert f"stopped by {sig.name}: {out[1]} was not written" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.json", "old"]


@pytest.mark.parametrize("command", ["generate", "universe generate"])
def test_an_output_not_written_leaves_no_folder_made_for_it(tmp_path, command):
    """The folders above --out are made as needed, and removed again when
    the run fails; folders that were there before stay."""
    if command != "generate":
        pytest.importorskip("pyarrow.parquet")
    wild = {"seed": 1, "bars": 5000, "start_price": 1e300,
            "regimes": [{"kind": "trend", "len": 5000, "drift": 5.0, "vol": 0.01}],
            "microstructure": {"book_depth": 2, "spread_bps": 5.0, "trade_rate": 1.0}}
    if command != "generate":
        wild = {"instruments": [{"symbol": "A", "spec": wild}, {"symbol": "B", "spec": dict(wild, seed=2, start_price=1.0)}],
                "correlation": [[1, 0.5], [0.5, 1]]}
    (tmp_path / "wild.json").write_text(json.dumps(wild))
    for before in ([], ["a"]):
        for name in before:
            (tmp_path / name).mkdir()
        r = subprocess.run([*CLI, *command.split(), "--spec", "wild.json", "--out", "a/b/t"], cwd=tmp_path,
                           capture_output=True, text=True, timeout=120)
        assert r.returncode == 1 and "non-finite" in r.stderr
        assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")) == sorted(["wild.json", *before])


def test_force_replaces_a_folder_only_once_the_new_one_is_complete(tmp_path):
    (tmp_path / "t").mkdir()
    (tmp_path / "t" / "mine.txt").write_text("keep")
    proc = start_big(tmp_path, "--out", "t", "--force")
    wait_for_staging(tmp_path, proc)
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=60)
    assert [p.name for p in (tmp_path / "t").iterdir()] == ["mine.txt"]
    r = cli("generate", "--preset", "default", "--out", tmp_path / "t", "--force", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert sorted(p.name for p in (tmp_path / "t").iterdir()) == [
        "book.csv", "candles.csv", "funding.csv", "manifest.json", "trades.csv"]


@pytest.mark.parametrize("out", OUTPUTS[:2])
def test_staging_of_a_killed_run_is_reported_and_cleaned_by_the_next(tmp_path, out):
    proc = start_big(tmp_path, *out)
    wait_for_staging(tmp_path, proc)
    proc.send_signal(signal.SIGKILL)
    proc.communicate(timeout=60)
    left = [p.name for p in tmp_path.iterdir() if ".partial-" in p.name]
    assert left == [f".{out[1]}.partial-{proc.pid}"]
    r = cli("generate", "--preset", "default", *out, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert f"removed {left[0]}, the unfinished output of process {proc.pid}" in r.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.json", out[1]]


@pytest.mark.parametrize("out", OUTPUTS)
def test_a_full_disk_leaves_nothing_and_says_so(tmp_path, out):
    def small_files() -> None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
    proc = start_big(tmp_path, *out, preexec_fn=small_files)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 1
    # One line: no writer's failed close reported again as it is collected.
    assert err.startswith("python -m talpen_synth: cannot write") and "File too large" in err
    assert err.count("\n") == 1, err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.json"]


def test_a_full_disk_behind_standard_output_is_one_line(tmp_path):
    spec = tmp_path / "huge.json"
    spec.write_text(json.dumps(HUGE))
    with open(tmp_path / "out", "wb") as out:
        r = subprocess.run([*CLI, "stream", "--spec", str(spec)], stdout=out, stderr=subprocess.PIPE, timeout=60,
                           preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16)))
    assert r.returncode == 1
    assert r.stderr.decode() == "python -m talpen_synth: cannot write to standard output: File too large\n"


def test_output_file_is_replaced_only_at_the_rename(tmp_path):
    (tmp_path / "run.json").write_text("old")
    (tmp_path / "run.json").chmod(0o600)
    proc = start_big(tmp_path, "-o", "run.json")
    wait_for_staging(tmp_path, proc)
    assert (tmp_path / "run.json").read_text() == "old"
    # The new text of a private file is private while it is written too.
    assert (tmp_path / f".run.json.partial-{proc.pid}").stat().st_mode & 0o777 == 0o600
    proc.send_signal(signal.SIGTERM)
    proc.communicate(timeout=60)
    assert (tmp_path / "run.json").read_text() == "old"


def test_o_writes_into_a_pipe_and_through_a_link(tmp_path):
    expected = Synth(json.dumps(WORKED_SPEC)).command('{"cmd":"generate"}').encode()
    spec = tmp_path / "s.json"
    spec.write_text(json.dumps(WORKED_SPEC))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    r = cli("generate", "--spec", spec, "-o", fifo)
    assert r.returncode == 0, r.stderr
    assert reader.communicate(timeout=60)[0] == expected
    assert fifo.is_fifo()  # written into, not replaced by a file
    target, link = tmp_path / "target.json", tmp_path / "link.json"
    target.write_text("old")
    target.chmod(0o600)
    link.symlink_to(target.name)
    assert cli("generate", "--spec", spec, "-o", link).returncode == 0
    assert link.is_symlink() and target.read_bytes() == expected
    assert target.stat().st_mode & 0o777 == 0o600  # a private file stays private


def test_force_through_a_folder_link_replaces_the_folder_and_keeps_the_link(tmp_path):
    spec = tmp_path / "s.json"
    spec.write_text(json.dumps(WORKED_SPEC))
    (tmp_path / "real").mkdir(mode=0o700)
    (tmp_path / "real" / "old.txt").write_text("old")
    (tmp_path / "link").symlink_to("real")
    r = cli("generate", "--spec", spec, "--out", "link", "--force", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "link").is_symlink() and (tmp_path / "link" / "manifest.json").is_file()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link", "real", "s.json"]  # no staging left
    assert (tmp_path / "real").stat().st_mode & 0o777 == 0o700  # a private folder stays private


@pytest.mark.parametrize("out, told", [
    (("-o", ""), "-o needs a file name"), (("-o", "."), "cannot write .: is a folder"),
    (("-o", "keep.txt/"), "cannot write keep.txt/: is a folder"),
    (("-o", "loop"), "cannot write loop: Too many levels of symbolic links"),
    # An unset variable (--out "$DIR" --force) must not replace the folder a shell is in.
    (("--out", "", "--force"), "is the current folder or holds it"),
    (("--out", "..", "--force"), "is the current folder or holds it"),
    (("--out", "/"), "cannot write into /: is the current folder or holds it"),
])
def test_a_destination_that_names_no_file_or_folder_is_one_line(tmp_path, out, told):
    (tmp_path / "keep.txt").write_text("kept")
    (tmp_path / "loop").symlink_to("loop")
    r = cli("generate", "--preset", "default", *out, cwd=tmp_path)
    assert r.returncode == 1 and told in r.stderr and "Traceback" not in r.stderr, r.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["keep.txt", "loop"] and (tmp_path / "loop").is_symlink()


# --- Streams of any length --------------------------------------------------------------------------------

HUGE = dict(BIG, bars=10**12, regimes=[{"kind": "vol", "len": 10**12, "drift": 0.0, "vol": 0.001}])


def test_a_huge_run_streams_at_once_in_flat_memory(tmp_path):
    spec = tmp_path / "huge.json"
    spec.write_text(json.dumps(HUGE))
    start = time.monotonic()
    proc = subprocess.Popen([*CLI, "stream", "--spec", str(spec)], stdout=subprocess.PIPE)
    try:
        assert proc.stdout is not None
        first = proc.stdout.readline()
        latency = time.monotonic() - start  # the interpreter's start included: a generous bound
        assert json.loads(first)["type"] == "trade" and latency < 10
        taken = 0
        rss = []
        while taken < 400_000_000:  # about 3 million events
            taken += len(proc.stdout.read(1 << 20))
            if taken % (50 << 20) < (1 << 20):
                rss.append(int(Path(f"/proc/{proc.pid}/status").read_text().split("VmRSS:")[1].split()[0]))
    finally:
        proc.kill()
        proc.wait()
    if UNDER_ASAN:
        return  # its shadow memory and quarantine make resident figures meaningless
    assert max(rss) < 300_000 and max(rss) - rss[0] < 50_000  # kB: flat, whatever the bar count


DEEP = {"seed": 3, "bars": 1500, "start_price": 100.0,
        "regimes": [{"kind": "vol", "len": 1500, "drift": 0.0, "vol": 0.01}],
        "microstructure": {"book_depth": 800, "spread_bps": 5.0, "trade_rate": 2.0}}
# The command's peak resident memory, from its own memory map's high-water
# mark: getrusage would also count what the forking process held.
PEAK_OF_MAIN = ("import sys\nfrom talpen_synth import cli\nstatus = cli.main(sys.argv[1:])\n"
                "peak = open('/proc/self/status').read().split('VmHWM:')[1].split()[0]\nprint(peak, status)")


@pytest.mark.skipif(UNDER_ASAN, reason="shadow memory and quarantine make resident figures meaningless")
@pytest.mark.parametrize("out", [["-o", "run.json"], ["--out", "t"], ["--out", "t", "--format", "jsonl"],
                                 ["--out", "t", "--format", "parquet"]], ids=" ".join)
def test_a_deep_book_is_written_in_chunks_of_bounded_records(tmp_path, out):
    """A bar of 800 levels a side is 1,600 book rows: a chunk of a fixed
    number of bars (4,096 for text) would hold millions of rows and take
    gigabytes. Chunks of the command line hold a bounded number of records."""
    spec = tmp_path / "deep.json"
    spec.write_text(json.dumps(DEEP))
    r = subprocess.run([sys.executable, "-c", PEAK_OF_MAIN, "generate", "--spec", str(spec), *out, "--no-progress"],
                       capture_output=True, text=True, cwd=tmp_path, timeout=300)
    peak_kb, status = map(int, r.stdout.split("\n")[-2].split())
    assert status == 0, r.stderr
    assert peak_kb < 200_000


def test_serve_gives_each_client_its_own_cursor_from_the_first_event(tmp_path):
    client = pytest.importorskip("websockets.sync.client")
    spec = tmp_path / "huge.json"
    spec.write_text(json.dumps(HUGE))
    proc = subprocess.Popen([*CLI, "serve", "--spec", str(spec), "--port", "0", "--clients", "2", "--quiet"],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout is not None
        line = proc.stdout.readline()
        assert line.startswith(f"serving {10**12} bars of events on ws://127.0.0.1:")
        url = line.split()[-1]
        with client.connect(url, open_timeout=10) as a, client.connect(url, open_timeout=10) as b:
            first = [a.recv(timeout=10) for _ in range(50)]
            assert [b.recv(timeout=10) for _ in range(50)] == first
        assert proc.wait(timeout=20) == 0
    finally:
        proc.kill()
        proc.wait()


@pytest.mark.parametrize("pace_at, due", [("close", 0.4), ("open", 0.0)])
def test_a_bar_is_released_when_it_is_over(tmp_path, pace_at, due):
    spec = tmp_path / "s.json"
    spec.write_text(json.dumps(dict(WORKED_SPEC, bar_secs=60)))
    start = time.monotonic()
    r = cli("stream", "--spec", spec, "--speed", 150, "--pace-at", pace_at, "--limit", 1)
    took = time.monotonic() - start
    assert r.returncode == 0 and json.loads(r.stdout)["type"] == "book"
    # At 150 times its clock a 60 s bar lasts 0.4 s: its events leave at its close, or at once at its opening.
    assert took >= due and (pace_at == "close" or took < 0.4 + 5)


class _Terminal(io.StringIO):
    """A standard error that says it is a terminal, so a progress bar draws."""

    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("out", [["-o", "run.json"], ["--out", "t"], ["--out", "t", "--format", "parquet"]])
def test_the_progress_bar_ends_full_while_the_output_syncs(tmp_path, monkeypatch, out):
    # The record lists or tables need not end evenly (the funding points come
    # whole at the end of theirs): the bar still shows its end.
    pytest.importorskip("tqdm")
    from talpen_synth import cli as cli_main
    spec = tmp_path / "s.json"
    spec.write_text(json.dumps(WORKED_SPEC))
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "stderr", _Terminal())
    monkeypatch.setenv("TERM", "xterm")
    assert cli_main.main(["generate", "--spec", str(spec), *out]) == 0
    drawn = sys.stderr.getvalue().split("\r")
    assert any("syncing" in line and "100%" in line for line in drawn), drawn


def test_a_non_blocking_file_that_takes_nothing_is_an_error_not_a_silent_loss():
    # A raw file in non-blocking mode answers None when it takes nothing:
    # here a pipe nobody reads, full after its first 64 kB.
    read_end, write_end = os.pipe()
    try:
        os.set_blocking(write_end, False)
        with io.FileIO(write_end, "wb", closefd=False) as raw:
            with pytest.raises(BlockingIOError, match="non-blocking"):
                chunked.write_generate(json.dumps(WORKED_SPEC | {"bars": 3000, "regimes": [
                    {"kind": "vol", "len": 3000, "drift": 0.0, "vol": 0.01}]}), raw)
    finally:
        os.close(read_end)
        os.close(write_end)
