"""Benchmark of the outputs written chunk by chunk, against their targets.

    python bench/bench_outputs.py            # every figure (about 10 minutes)
    python bench/bench_outputs.py --quick    # smaller runs, for a smoke check

Files go under /dev/shm, so the figures measure the code, not the disk (the
20,000,000-bar Parquet run, measured for memory only, goes to --big-dir). Each
timing is the median of --reps runs of the command line in a fresh process.
Needs the `frames` extra and orjson (bench/requirements.txt).

- CSV and Parquet of the "typical" workload at 2,000,000 bars against pyarrow
  writing the same tables already in memory (CSV: <= 1.5x; Parquet: <= 1.2x);
- `generate -o run.json` at 100,000 bars against orjson.dumps of the same
  document (at least 3x faster);
- peak resident memory of every output at 2,000,000 bars, and of Parquet and
  `stream` at 20,000,000 bars (<= 300 MB, flat in the bar count);
- `stream`'s first line for a 10^9-bar spec (<= 50 ms), resident memory over
  10^7 events.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench import workload  # noqa: E402

CLI = [sys.executable, "-m", "talpen_synth"]


def typical(bars: int) -> dict[str, Any]:
    return workload(bars, 10, 5.0, True)


def long_run(bars: int) -> dict[str, Any]:
    """The typical microstructure over 100,000-bar blocks of trend, range,
    crash and vol whose drifts cancel: the typical workload's single crash
    of a quarter of the run would, at 20,000,000 bars, take the price below
    the smallest double (the run fails with "numeric: ...")."""
    spec = typical(bars)
    block = typical(100_000)["regimes"]
    block[0] = dict(block[0], drift=0.001)  # the trend climbs what the crash falls
    regimes, left = [], bars
    while left:
        for r in block:
            n = min(r["len"], left)
            regimes.append(dict(r, len=n))
            left -= n
            if not left:
                break
    spec["regimes"] = regimes
    return spec


def _drain(pipe: Any) -> None:
    while pipe.read(1 << 20):
        pass


def run_cli(args: list[str], cwd: Path) -> tuple[float, int]:
    """Wall seconds and peak resident kB of one command-line run. Its
    standard output is read and dropped here (not sent to /dev/null, which
    some sandboxes make a plain file)."""
    t0 = time.perf_counter()
    proc = subprocess.Popen([*CLI, *args], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reader = threading.Thread(target=_drain, args=(proc.stdout,))
    reader.start()
    _, status, usage = os.wait4(proc.pid, 0)
    reader.join()
    took = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{' '.join(args)} failed: {proc.stderr.read().decode() if proc.stderr else ''}")
    return took, usage.ru_maxrss


def median_run(args: list[str], cwd: Path, reps: int, clean: list[Path]) -> tuple[float, int]:
    times, peaks = [], []
    for _ in range(reps):
        for p in clean:
            shutil.rmtree(p, ignore_errors=True) if p.is_dir() else p.unlink(missing_ok=True)
        t, peak = run_cli(args, cwd)
        times.append(t)
        peaks.append(peak)
    return statistics.median(times), max(peaks)


def startup(cwd: Path, reps: int) -> float:
    """The interpreter's start and the package's import: in every command's time."""
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        subprocess.run([sys.executable, "-c", "import talpen_synth.cli"], cwd=cwd, check=True)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


PYARROW_PROBE = r"""
import json, sys, time, statistics
import pyarrow as pa, pyarrow.csv as pcsv, pyarrow.parquet as pq
import talpen_synth
spec, fmt, folder, reps = json.loads(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
options = json.loads(sys.argv[5])
tables = talpen_synth.to_arrow(spec)
if fmt == "csv":  # the numbers the CSV files hold: epoch seconds, not dates
    tables = [t.cast(pa.schema([f.with_type(pa.int64()) if pa.types.is_timestamp(f.type) else f for f in t.schema]))
              for t in tables]
times = []
for _ in range(reps):
    t0 = time.perf_counter()
    for name, t in zip(("candles", "book", "trades", "funding"), tables):
        if fmt == "csv":
            pcsv.write_csv(t, f"{folder}/{name}.csv")
        else:
            pq.write_table(t, f"{folder}/{name}.parquet", **options)
    times.append(time.perf_counter() - t0)
print(statistics.median(times))
"""


def pyarrow_time(spec: dict[str, Any], fmt: str, folder: Path, reps: int, options: dict[str, Any]) -> float:
    folder.mkdir(parents=True, exist_ok=True)
    r = subprocess.run([sys.executable, "-c", PYARROW_PROBE, json.dumps(spec), fmt, str(folder), str(reps),
                        json.dumps(options)],
                       capture_output=True, text=True, check=True)
    shutil.rmtree(folder)
    return float(r.stdout)


# orjson and the writer take turns in one process: this machine's memory is
# shared with other work, and the cost of fresh pages (both make 125 MB)
# drifts over minutes, so each pair runs under the same conditions.
JSON_PAIR_PROBE = r"""
import json, sys, time, statistics, orjson
from talpen_synth import Synth, chunked
spec, path, reps = sys.argv[1], sys.argv[2], int(sys.argv[3])
doc = json.loads(Synth(spec).command('{"cmd":"generate"}'))
dumps, writes = [], []
for _ in range(reps):
    t0 = time.perf_counter(); orjson.dumps(doc); dumps.append(time.perf_counter() - t0)
    with open(path, "wb") as f:
        t0 = time.perf_counter(); chunked.write_generate(spec, f); writes.append(time.perf_counter() - t0)
print(statistics.median(dumps), statistics.median(writes))
"""

FIRST_LINE_PROBE = r"""
import io, sys, time
from talpen_synth import cli

class FirstWrite(io.RawIOBase):
    def __init__(self): self.at = None
    def writable(self): return True
    def write(self, b):
        if self.at is None: self.at = time.perf_counter()
        return len(b)

out = FirstWrite()
sys.stdout = io.TextIOWrapper(io.BufferedWriter(out))
t0 = time.perf_counter()
cli.main(["stream", "--spec", sys.argv[1], "--limit", "1"])
sys.stdout.flush()
print((out.at - t0) * 1000, file=sys.stderr)
"""


def first_line_ms(spec_path: Path, reps: int) -> float:
    times = []
    for _ in range(reps):
        r = subprocess.run([sys.executable, "-c", FIRST_LINE_PROBE, str(spec_path)], capture_output=True, text=True,
                           check=True)
        times.append(float(r.stderr.strip().splitlines()[-1]))
    return statistics.median(times)


STREAM_RSS_PROBE = r"""
import subprocess, sys, time
proc = subprocess.Popen([sys.executable, "-m", "talpen_synth", "stream", "--spec", sys.argv[1], "--limit", sys.argv[2]],
                        stdout=subprocess.PIPE)
samples, got = [], 0
while chunk := proc.stdout.read(1 << 22):
    got += len(chunk)
    if len(samples) < 2000:
        for line in open(f"/proc/{proc.pid}/status"):
            if line.startswith("VmRSS:"):
                samples.append(int(line.split()[1]))
proc.wait()
n = len(samples)
print(samples[n // 10] // 1024, samples[-1] // 1024, max(samples) // 1024)
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="runs a tenth of the size")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--parts", default="tables,json,memory,big,stream",
                        help="which figures, of: %(default)s")
    parser.add_argument("--big-dir", default=tempfile.gettempdir(),
                        help="where the 20,000,000-bar Parquet run goes (default: %(default)s)")
    args = parser.parse_args()
    scale = 0.1 if args.quick else 1.0
    parts = set(args.parts.split(","))
    bars, big, small = int(2_000_000 * scale), int(20_000_000 * scale), int(100_000 * scale)
    shm = Path(tempfile.mkdtemp(prefix="talpen-bench-", dir="/dev/shm"))
    try:
        spec = shm / "typical.json"
        spec.write_text(json.dumps(typical(bars)))
        print(f"machine: {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}; medians of {args.reps} runs; "
              f"Python start and import {startup(shm, args.reps) * 1000:.0f} ms (in every command)")

        print(f"\n== tables of the typical workload, {bars:,} bars, into /dev/shm")
        rows = []
        for fmt in ("csv", "parquet") if "tables" in parts else ():
            ours, peak = median_run(["generate", "--spec", str(spec), "--out", "t", "--format", fmt], shm, args.reps,
                                    [shm / "t"])
            theirs = pyarrow_time(typical(bars), fmt, shm / "pa", args.reps, {})
            limit = 1.5 if fmt == "csv" else 1.2
            rows.append(f"{fmt:8} talpen-synth --out {ours:6.2f} s   pyarrow from memory {theirs:6.2f} s   "
                        f"ratio {ours / theirs:4.2f} (target <= {limit})   peak RSS {peak / 1024:5.0f} MB")
            if fmt == "parquet":
                # The same files as ours: dictionaries only for the columns whose values repeat.
                same = pyarrow_time(typical(bars), fmt, shm / "pa", args.reps,
                                    {"use_dictionary": ["ts", "side", "level", "available_at"]})
                rows.append(f"{'':8} pyarrow from memory, dictionaries as ours {same:6.2f} s   "
                            f"ratio {ours / same:4.2f}")
        print("\n".join(rows))

        print(f"\n== -o run.json, typical workload, {small:,} bars")
        small_spec = shm / "small.json"
        small_spec.write_text(json.dumps(typical(small)))
        if "json" in parts:
            json_figures(shm, small_spec, args.reps)

        print(f"\n== peak resident memory, {bars:,} bars (target <= 300 MB)")
        if "memory" in parts:
            memory_figures(shm, spec)

        print(f"\n== peak resident memory, {big:,} bars (the typical microstructure over 100,000-bar blocks)")
        if "big" in parts:
            big_figures(shm, big, args.big_dir)

        print("\n== stream of a 10^9-bar spec")
        if "stream" in parts:
            stream_figures(shm, args.reps, int(10**7 * scale))
    finally:
        shutil.rmtree(shm, ignore_errors=True)


def json_figures(shm: Path, small_spec: Path, reps: int) -> None:
    cli_time, _ = median_run(["generate", "--spec", str(small_spec), "-o", "run.json", "--no-progress"], shm,
                             reps, [shm / "run.json"])
    r = subprocess.run([sys.executable, "-c", JSON_PAIR_PROBE, small_spec.read_text(), str(shm / "x.json"),
                        str(max(reps, 7))], capture_output=True, text=True, check=True)
    orjson_time, writer = map(float, r.stdout.split())
    print(f"orjson.dumps {orjson_time:.3f} s; chunked writer in process {writer:.3f} s "
          f"({orjson_time / writer:.2f}x faster, target >= 3x; medians of turns taken in one process); "
          f"whole command {cli_time:.3f} s")


def memory_figures(shm: Path, spec: Path) -> None:
    outputs = {"-o run.json": ["-o", "run.json"], "-o - (stdout)": ["-o", "-"],
               "--out csv": ["--out", "t"], "--out jsonl": ["--out", "t", "--format", "jsonl"],
               "--out parquet": ["--out", "t", "--format", "parquet"]}
    for label, out in outputs.items():
        took, peak = median_run(["generate", "--spec", str(spec), *out], shm, 1, [shm / "t", shm / "run.json"])
        print(f"  generate {label:15} {peak / 1024:6.0f} MB   ({took:.1f} s)")
        shutil.rmtree(shm / "t", ignore_errors=True)
        (shm / "run.json").unlink(missing_ok=True)
    took, peak = median_run(["stream", "--spec", str(spec)], shm, 1, [])
    print(f"  stream {'':17} {peak / 1024:6.0f} MB   ({took:.1f} s)")


def big_figures(shm: Path, big: int, big_dir_parent: str) -> None:
    for bars in (big // 10, big):
        big_spec = shm / "big.json"
        big_spec.write_text(json.dumps(long_run(bars)))
        big_dir = Path(tempfile.mkdtemp(prefix="talpen-bench-", dir=big_dir_parent))
        try:
            took, peak = median_run(["generate", "--spec", str(big_spec), "--out", str(big_dir / "t"), "--format",
                                     "parquet"], shm, 1, [])
            print(f"  {bars:>11,} bars  generate --out parquet {peak / 1024:6.0f} MB   ({took:.1f} s, into "
                  f"{big_dir_parent})")
        finally:
            shutil.rmtree(big_dir, ignore_errors=True)
        took, peak = median_run(["stream", "--spec", str(big_spec)], shm, 1, [])
        print(f"  {bars:>11,} bars  stream                 {peak / 1024:6.0f} MB   ({took:.1f} s)")


def stream_figures(shm: Path, reps: int, events: int) -> None:
    huge_spec = shm / "huge.json"
    huge_spec.write_text(json.dumps(typical(10**9)))
    print(f"  first line {first_line_ms(huge_spec, max(reps, 5)):.1f} ms after the command starts "
          "(interpreter start aside; target <= 50 ms)")
    r = subprocess.run([sys.executable, "-c", STREAM_RSS_PROBE, str(huge_spec), str(events)], capture_output=True,
                       text=True, check=True)
    early, last, most = r.stdout.split()
    print(f"  resident memory over {events:,} events: {early} MB early on, {last} MB at the end, {most} MB at most")


if __name__ == "__main__":
    main()
