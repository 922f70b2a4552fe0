"""Benchmark of the table functions against the JSON command path.

On the "typical" workload (100,000 bars, four regimes of all kinds, book depth
10, spread 5 bps, 5 trades per bar, funding every 8 bars) it prints:

1. the time of generate_frames (and of generate_columns, generate_arrays and
   to_arrow) against the JSON path that builds the same pandas DataFrames:
   the "generate" command, json.loads of its answer, and DataFrames from the
   parsed records (target: generate_frames at least 20x faster);
2. the peak memory that each path adds to the process, against the bytes of
   the four tables' columns, each measured in a fresh process;
3. the throughput of sweep over 64 seeds on two threads against one thread
   (target: at least 1.7x).

    python bench/bench_frames.py            # full run
    python bench/bench_frames.py --quick    # smaller runs, for a smoke check
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import json
import os
import subprocess
import sys
import time

import numpy as np
import pandas as pd

import talpen_synth
from talpen_synth import Synth, sweep

KINDS = [("trend", 0.0002, 0.01), ("range", 0.3, 0.012), ("crash", 0.001, 0.02), ("vol", 0.0, 0.015)]


def typical(bars: int) -> dict:
    q = bars // 4
    lens = [q, q, q, bars - 3 * q]
    return {"seed": 42, "bars": bars, "start_price": 100.0, "start_ts": 1700000000, "bar_secs": 60,
            "regimes": [{"kind": k, "len": n, "drift": d, "vol": v} for (k, d, v), n in zip(KINDS, lens)],
            "microstructure": {"book_depth": 10, "spread_bps": 5.0, "trade_rate": 5.0,
                               "funding": {"interval_bars": 8, "base_rate": 0.0001, "sensitivity": 0.5}}}


def frames_from_json(spec: dict):
    """The JSON path: command, json.loads, then the same DataFrames as
    generate_frames builds (long-form book, categorical sides)."""
    doc = json.loads(Synth(json.dumps(spec)).command('{"cmd":"generate"}'))
    candles = pd.DataFrame(doc["candles"], columns=["ts", "open", "high", "low", "close", "volume"])
    ts, side, level, price, qty = [], [], [], [], []
    for snap in doc["book_snapshots"]:
        t = snap["ts"]
        for code, key in ((0, "bids"), (1, "asks")):
            for k, entry in enumerate(snap[key]):
                ts.append(t)
                side.append(code)
                level.append(k)
                price.append(entry["price"])
                qty.append(entry["qty"])
    book = pd.DataFrame({
        "ts": np.array(ts, dtype=np.int64),
        "side": pd.Categorical.from_codes(np.array(side, dtype=np.int8), categories=["bid", "ask"]),
        "level": np.array(level, dtype=np.uint32),
        "price": np.array(price, dtype=np.float64),
        "qty": np.array(qty, dtype=np.float64),
    })
    trades = pd.DataFrame(doc["trades"], columns=["ts", "seq", "price", "qty", "side"])
    trades["seq"] = trades["seq"].astype(np.uint64)
    trades["side"] = pd.Categorical(trades["side"], categories=["buy", "sell"])
    funding = pd.DataFrame(doc.get("funding", []), columns=["ts", "rate"])
    return candles, book, trades, funding


def best_of(fn, reps: int) -> float:
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
        del result
    return best


def json_path_parts(spec: dict) -> dict[str, float]:
    synth = Synth(json.dumps(spec))
    t0 = time.perf_counter()
    text = synth.command('{"cmd":"generate"}')
    t1 = time.perf_counter()
    json.loads(text)
    t2 = time.perf_counter()
    return {"command": t1 - t0, "json.loads": t2 - t1, "MB": len(text) / 1e6}


def check_same(spec: dict) -> None:
    a = talpen_synth.generate_frames(spec)
    b = frames_from_json(spec)
    for x, y in zip(a, b):
        pd.testing.assert_frame_equal(x, y, check_exact=True)


# --- peak memory, each in a fresh process ----------------------------------

PEAK_CHILD = """
import json, sys
sys.path.insert(0, {here!r})
import bench_frames as b
import talpen_synth

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

spec = b.typical({bars})
talpen_synth.generate_frames(b.typical(64))  # load everything once
b.frames_from_json(b.typical(64))
base = status("VmRSS")
result = {call}
print(json.dumps({{"peak": status("VmHWM") - base}}))
"""


def peak_bytes(call: str, bars: int) -> int:
    code = PEAK_CHILD.format(here=os.path.dirname(os.path.abspath(__file__)), bars=bars, call=call)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)["peak"]


# --- sweep ---------------------------------------------------------------


def sweep_rate(spec: dict, seeds: int, threads: int) -> tuple[float, float]:
    """Runs per second, and the CPUs that the process kept busy meanwhile
    (its CPU time over the wall time): on a shared machine the second figure
    tells whether a thread was short of a CPU rather than of work."""
    with cf.ThreadPoolExecutor(threads) as pool:
        c0 = os.times()
        t0 = time.perf_counter()
        n = sum(1 for _ in sweep(spec, range(seeds), pool, progress=False))
        wall = time.perf_counter() - t0
        c1 = os.times()
    cpu = (c1.user - c0.user) + (c1.system - c0.system)
    return n / wall, cpu / wall


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller runs")
    args = parser.parse_args()
    bars = 10_000 if args.quick else 100_000
    reps = 2 if args.quick else 5
    seeds = 16 if args.quick else 64
    spec = typical(bars)

    check_same(typical(2000))
    columns = talpen_synth.generate_columns(spec)
    column_bytes = sum(t.nbytes for t in columns)
    rows = {t.name: t.num_rows for t in columns}
    del columns
    print(f"typical workload: {bars:,} bars; rows {rows}; column bytes {column_bytes / 1e6:.1f} MB")

    t_frames = best_of(lambda: talpen_synth.generate_frames(spec), reps)
    t_columns = best_of(lambda: talpen_synth.generate_columns(spec), reps)
    t_arrays = best_of(lambda: talpen_synth.generate_arrays(spec), reps)
    t_arrow = best_of(lambda: talpen_synth.to_arrow(spec), reps)
    t_json = best_of(lambda: frames_from_json(spec), max(1, reps // 2))
    parts = json_path_parts(spec)
    print(f"  generate_columns           {t_columns * 1e3:9.1f} ms")
    print(f"  generate_arrays            {t_arrays * 1e3:9.1f} ms")
    print(f"  to_arrow                   {t_arrow * 1e3:9.1f} ms")
    print(f"  generate_frames            {t_frames * 1e3:9.1f} ms")
    print(f"  JSON path to DataFrames    {t_json * 1e3:9.1f} ms  (command {parts['command'] * 1e3:.0f} ms, "
          f"json.loads {parts['json.loads'] * 1e3:.0f} ms of {parts['MB']:.0f} MB, rest building frames)")
    print(f"  speed-up of generate_frames: {t_json / t_frames:.1f}x (target >= 20x)")

    if sys.platform.startswith("linux"):
        peak_frames = peak_bytes("talpen_synth.generate_frames(spec)", bars)
        peak_json = peak_bytes("b.frames_from_json(spec)", bars)
        print(f"  peak memory added: generate_frames {peak_frames / 1e6:.1f} MB "
              f"({peak_frames / column_bytes:.2f}x the column bytes); "
              f"JSON path {peak_json / 1e6:.1f} MB ({peak_json / column_bytes:.2f}x)")

    load = os.getloadavg()[0]
    (one, busy1), (two, busy2) = sweep_rate(spec, seeds, 1), sweep_rate(spec, seeds, 2)
    print(f"sweep of {seeds} seeds: 1 thread {one:.2f} runs/s ({busy1:.2f} CPUs busy), "
          f"2 threads {two:.2f} runs/s ({busy2:.2f} CPUs busy): {two / one:.2f}x "
          f"(target >= 1.7x; {os.cpu_count()} CPUs, load average {load:.1f} before)")


if __name__ == "__main__":
    main()
