"""Benchmark of the two generate commands.

Runs three workloads through "generate" and "generate_stream" and prints, for
each: bars per second, output MB per second, peak memory over the size of the
response text, and the ratio of the whole command's time to a floor measured
in the same run (formatting the same doubles with std::to_chars into one
buffer, compiled from bench/to_chars_floor.cc).

    python bench/bench.py            # all workloads
    python bench/bench.py --quick    # smaller runs, for a smoke check
"""

from __future__ import annotations

import argparse
import array
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from talpen_synth import Synth

HERE = Path(__file__).resolve().parent


def regimes(bars: int) -> list[dict]:
    q = bars // 4
    lens = [q, q, q, bars - 3 * q]
    kinds = [("trend", 0.0002, 0.01), ("range", 0.3, 0.012), ("crash", 0.001, 0.02), ("vol", 0.0, 0.015)]
    return [{"kind": k, "len": n, "drift": d, "vol": v} for (k, d, v), n in zip(kinds, lens)]


def workload(bars: int, depth: int, rate: float, funding: bool) -> dict:
    micro: dict = {"book_depth": depth, "spread_bps": 5.0, "trade_rate": rate}
    if funding:
        micro["funding"] = {"interval_bars": 8, "base_rate": 0.0001, "sensitivity": 0.5}
    return {"seed": 42, "bars": bars, "start_price": 100.0, "start_ts": 1700000000, "bar_secs": 60,
            "regimes": regimes(bars), "microstructure": micro}


def workloads(scale: float) -> dict[str, dict]:
    return {
        "typical": workload(int(100_000 * scale), 10, 5.0, True),
        "deep book": workload(int(20_000 * scale), 200, 1.0, False),
        "busy tape": workload(int(20_000 * scale), 5, 200.0, False),
    }


def time_command(synth: Synth, cmd: str, reps: int) -> tuple[float, str]:
    best = float("inf")
    text = ""
    for _ in range(reps):
        text = ""
        t0 = time.perf_counter()
        text = synth.command(cmd)
        best = min(best, time.perf_counter() - t0)
    return best, text


PEAK_PROBE = r"""
import json, sys
from talpen_synth import Synth
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
cmd = sys.stdin.read()
s = Synth('')
s.command('{"cmd":"version"}')
before = status('VmRSS:')
open('/proc/self/clear_refs', 'w').write('5')
text = s.command(cmd)
peak = status('VmHWM:')
print(json.dumps({"before": before, "peak": peak, "size": len(text)}))
"""


def peak_ratio(cmd: str) -> float:
    out = subprocess.run([sys.executable, "-c", PEAK_PROBE], input=cmd, capture_output=True, text=True,
                         check=True).stdout
    r = json.loads(out)
    return (r["peak"] - r["before"]) / r["size"]


def doubles_of(response: str) -> array.array:
    doc = json.loads(response)
    out = array.array("d")
    for c in doc["candles"]:
        out.extend((c["open"], c["high"], c["low"], c["close"], c["volume"]))
    for b in doc["book_snapshots"]:
        for side in (b["bids"], b["asks"]):
            for lvl in side:
                out.extend((lvl["price"], lvl["qty"]))
    for t in doc["trades"]:
        out.extend((t["price"], t["qty"]))
    for f in doc.get("funding", []):
        out.append(f["rate"])
    return out


def str_copy_seconds(size: int, reps: int = 3) -> float:
    """The part of a command no implementation can avoid: making a Python str
    of the answer's size from UTF-8 bytes (allocation, page faults, copy)."""
    raw = b"x" * size
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        text = raw.decode("utf-8")
        best = min(best, time.perf_counter() - t0)
        del text
    return best


def build_floor_tool(tmp: Path) -> Path:
    exe = tmp / "to_chars_floor"
    subprocess.run(["g++", "-O2", "-std=c++20", "-ffp-contract=off", str(HERE / "to_chars_floor.cc"), "-o",
                    str(exe)], check=True)
    return exe


def floor_seconds(tool: Path, tmp: Path, values: array.array) -> float:
    path = tmp / "doubles.bin"
    with open(path, "wb") as f:
        values.tofile(f)
    out = subprocess.run([str(tool), str(path), "5"], capture_output=True, text=True, check=True).stdout
    return float(out.split()[0])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="run at a tenth of the sizes")
    ap.add_argument("--reps", type=int, default=3, help="timed repetitions per command (best is kept)")
    args = ap.parse_args()
    scale = 0.1 if args.quick else 1.0
    synth = Synth("")
    rows = []
    with tempfile.TemporaryDirectory() as tmpdir:
        tmp = Path(tmpdir)
        tool = build_floor_tool(tmp)
        for name, spec in workloads(scale).items():
            print(f"workload {name!r}: {json.dumps(spec, separators=(',', ':'))}")
            floor = None
            for cmd_name in ("generate", "generate_stream"):
                cmd = json.dumps({"cmd": cmd_name, "spec": spec}, separators=(",", ":"))
                secs, text = time_command(synth, cmd, args.reps)
                if text.startswith('{"ok":false'):
                    raise SystemExit(f"{name} {cmd_name}: {text}")
                if floor is None:
                    values = doubles_of(text)
                    floor = floor_seconds(tool, tmp, values)
                    n_doubles = len(values)
                del text
                size = len(synth.command(cmd))
                ratio = peak_ratio(cmd)
                str_secs = str_copy_seconds(size)
                rows.append((name, cmd_name, spec["bars"], secs, size, ratio, floor, n_doubles, str_secs))
    print()
    print(f"{'workload':<10} {'command':<16} {'bars/s':>10} {'MB/s':>7} {'MB out':>7} {'peak/out':>8} "
          f"{'command s':>9} {'floor s':>8} {'time/floor':>10} {'str copy s':>10} {'native/floor':>12}")
    for name, cmd_name, bars, secs, size, ratio, floor, n, str_secs in rows:
        print(f"{name:<10} {cmd_name:<16} {bars / secs:>10,.0f} {size / secs / 1e6:>7.1f} {size / 1e6:>7.1f} "
              f"{ratio:>8.2f} {secs:>9.4f} {floor:>8.4f} {secs / floor:>10.2f} {str_secs:>10.4f} "
              f"{(secs - str_secs) / floor:>12.2f}")
    print("\nfloor: std::to_chars of the same doubles (the first workload's "
          f"{rows[0][7]:,}, and so on) into one buffer; str copy: making a Python str of the answer's size;")
    print(f"native/floor: (command - str copy) / floor. {os.cpu_count()} cpus seen, single-threaded run.")


if __name__ == "__main__":
    main()
