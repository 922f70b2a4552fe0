"""Datasets over seeds: on a two-worker Dask cluster started here on loopback,
partition for partition the standalone runs; read back by pyarrow, pandas,
Polars and DuckDB; finished after a killed worker or a killed run by a rerun,
without a row twice."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")
pq = pytest.importorskip("pyarrow.parquet")
distributed = pytest.importorskip("distributed")

import talpen_synth as ts
from talpen_synth import DatasetError, read_universe, write_dataset
from talpen_synth import dataset
from talpen_synth.dataset import MANIFEST, parse_seeds, read_manifest

from conftest import WORKED_SPEC

TABLES = ("candles", "book", "trades", "funding")
PAIR = {"instruments": [{"symbol": "BTC", "spec": {**WORKED_SPEC, "seed": 1}},
                        {"symbol": "ETH/USD", "spec": {**WORKED_SPEC, "seed": 2}}],  # '/' is escaped in the path
        "market": {"seed": 9, "loading": {"BTC": 0.8, "ETH/USD": 0.6}}}


def heavy(bars: int) -> dict:
    """A universe whose seeds take a good fraction of a second each."""
    spec = {"bars": bars, "start_price": 100.0, "bar_secs": 60, "regimes": [{"kind": "vol", "len": bars, "drift": 0.0,
            "vol": 0.001}], "microstructure": {"book_depth": 10, "spread_bps": 2.0, "trade_rate": 5.0}}
    return {"instruments": [{"symbol": s, "spec": {**spec, "seed": i}} for i, s in enumerate(("A", "B"))],
            "correlation": [[1, 0.5], [0.5, 1]]}


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as c:
        yield c


def partition_files(out: Path, name: str) -> list[Path]:
    return sorted((out / name).rglob("*.parquet"))


def expected_partitions(source, seed: int) -> dict[tuple[str, str | None], pa.Table]:
    """(table, symbol) -> the standalone run's table of one seed."""
    if "instruments" in source:
        tables = ts.universe_tables(read_universe(source).with_seed(seed))
        return {(name, symbol): t.filter(pc.equal(t["symbol"], symbol)).drop_columns(["symbol"])
                for name, t in tables._asdict().items() for symbol in read_universe(source).symbols}
    return {(name, None): t for name, t in ts.to_arrow({**source, "seed": seed})._asdict().items()}


def check_complete(out: Path, source, seeds) -> None:
    """Every partition once, equal to its standalone run; nothing else."""
    from urllib.parse import quote
    expected_files = set()
    for seed in seeds:
        for (name, symbol), table in expected_partitions(source, seed).items():
            folder = out / name / f"seed={seed}"
            if symbol is not None:
                folder = folder / f"symbol={quote(symbol, safe='')}"
            got = pq.ParquetFile(folder / "part-0.parquet").read()
            # Parquet keeps times in milliseconds; the values are the run's.
            assert got.equals(table.cast(got.schema)), (seed, name, symbol)
            expected_files.add(folder / "part-0.parquet")
    assert {f for name in TABLES for f in partition_files(out, name)} == expected_files
    lines = [json.loads(line) for line in (out / MANIFEST).read_text().splitlines()]
    assert sorted(line["seed"] for line in lines) == sorted(seeds)


@pytest.mark.parametrize("source", [PAIR, WORKED_SPEC], ids=["universe", "spec"])
def test_a_dataset_on_a_dask_cluster_is_the_standalone_runs(cluster, tmp_path, source):
    out = tmp_path / "ds"
    summary = write_dataset(source, range(5), out, scheduler=cluster.scheduler_address, bars_per_chunk=2,
                            progress=False)
    assert sorted(summary.written) == list(range(5)) and summary.skipped == ()
    check_complete(out, source, range(5))
    again = write_dataset(source, [3, 4, 5], out, scheduler=cluster.scheduler_address, progress=False)
    assert (again.written, again.skipped) == ((5,), (3, 4))


def test_the_dataset_reads_back_with_pyarrow_pandas_polars_and_duckdb(tmp_path):
    ds = pytest.importorskip("pyarrow.dataset")
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    out = tmp_path / "ds"
    summary = write_dataset(PAIR, [0, 7, 12], out, workers=2, progress=False)
    rows = summary.rows["trades"]
    by_arrow = ds.dataset(out / "trades", partitioning="hive").to_table()
    by_pandas = pd.read_parquet(out / "trades")
    by_polars = pl.scan_parquet(out / "trades" / "**" / "*.parquet", hive_partitioning=True).collect()
    by_duckdb = duckdb.sql(f"select * from read_parquet('{out}/trades/*/*/*.parquet', hive_partitioning = true)").df()
    pairs = {(s, y) for s in (0, 7, 12) for y in ("BTC", "ETH/USD")}
    for frame in (by_arrow.to_pandas(), by_pandas, by_polars.to_pandas(), by_duckdb):
        assert len(frame) == rows
        assert {(int(s), str(y)) for s, y in zip(frame["seed"], frame["symbol"])} == pairs
        assert frame["qty"].sum() == pytest.approx(by_arrow["qty"].to_pandas().sum())


def test_a_killed_worker_then_a_rerun_finishes_the_dataset(cluster, tmp_path):
    client = distributed.Client(cluster.scheduler_address)
    source, seeds, out = heavy(60_000), list(range(8)), tmp_path / "ds"
    outcome: list[object] = []
    run = threading.Thread(target=lambda: outcome.append(_attempt(source, seeds, out, cluster.scheduler_address)))
    run.start()
    while not read_manifest(out) and run.is_alive():
        time.sleep(0.05)
    victim = next(iter(client.run(os.getpid).values()))
    os.kill(victim, signal.SIGKILL)  # a worker in the middle of its next seed
    run.join(timeout=300)
    assert len(read_manifest(out)) >= 1
    summary = write_dataset(source, seeds, out, scheduler=cluster.scheduler_address, progress=False)
    assert len(summary.skipped) >= 1 and sorted(summary.written + summary.skipped) == seeds
    check_complete(out, source, seeds)
    client.close()


def _attempt(source, seeds, out, address) -> object:
    try:
        return write_dataset(source, seeds, out, scheduler=address, progress=False)
    except DatasetError as e:  # Dask may give up on the seed the worker held; the rerun writes it
        return e


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT])
def test_a_killed_run_then_a_rerun_finishes_without_a_row_twice(tmp_path, sig):
    """Killed outright, some seeds half-written; or stopped as Ctrl-C stops
    it, saying how many seeds are recorded. Either way the rerun finishes."""
    source, out = heavy(40_000), tmp_path / "ds"
    spec = tmp_path / "u.json"
    spec.write_text(json.dumps(source))
    cmd = [sys.executable, "-m", "talpen_synth", "dataset", "--spec", str(spec), "--seeds", "0:6", "--out", str(out),
           "--workers", "2"]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        while not read_manifest(out) and proc.poll() is None:
            time.sleep(0.05)
    finally:
        os.killpg(proc.pid, sig)  # the run and its workers, as a terminal's Ctrl-C reaches them all
        _, err = proc.communicate(timeout=120)
    done = len(read_manifest(out))
    assert 1 <= done < 6
    if sig == signal.SIGINT:
        assert proc.returncode == 130
        assert f"stopped by SIGINT: {done} of 6 seeds of {out} are written and recorded" in err.decode()
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[0] == f"{out}: 6 seeds of a universe of 2 instruments: {6 - done} written, " \
                                       f"{done} already done"
    check_complete(out, source, range(6))
    assert not (out / ".staging").exists()


def test_a_folder_holds_one_dataset(tmp_path):
    write_dataset(WORKED_SPEC, [1], tmp_path / "a", workers=1, progress=False)
    with pytest.raises(DatasetError, match="holds a dataset of another spec"):
        write_dataset({**WORKED_SPEC, "bars": 3, "start_price": 50.0}, [1], tmp_path / "a", workers=1)
    # The spec's own seed is no part of what the dataset is of.
    assert write_dataset({**WORKED_SPEC, "seed": 99}, [1], tmp_path / "a", workers=1).skipped == (1,)
    (tmp_path / "b").mkdir()
    (tmp_path / "b" / "notes.txt").write_text("mine")
    with pytest.raises(DatasetError, match="not empty and holds no dataset"):
        write_dataset(WORKED_SPEC, [1], tmp_path / "b", workers=1)


@pytest.mark.parametrize("text, seeds", [
    ("0:4", [0, 1, 2, 3]), ("3,5,8", [3, 5, 8]), ("0:2,10,1", [0, 1, 10]),
    ("4:4", "holds no seed"), ("a:b", "not a seed"), ("-1", "not a whole number"),
    ("0:18446744073709551617", "seed 18446744073709551616 is not a whole number"),
])
def test_seeds_as_the_command_line_takes_them(text, seeds):
    if isinstance(seeds, list):
        assert parse_seeds(text) == seeds
    else:
        with pytest.raises(ValueError, match=seeds):
            parse_seeds(text)


# Seeds as text are read as --seeds reads them, never digit by digit; what is
# no seed, and a source that is no spec's text, are refused by name.
@pytest.mark.parametrize("source, seeds, outcome", [
    (WORKED_SPEC, "12", (12,)), (WORKED_SPEC, "0:2", (0, 1)),
    (WORKED_SPEC, [1.7], (TypeError, "a seed is a whole number, not 1.7")),
    (WORKED_SPEC, [True], (TypeError, "not True")),
    ("tri.json", [0], (ValueError, "'tri.json' is not a spec or a universe")),
])
def test_seeds_and_sources_a_call_takes(tmp_path, source, seeds, outcome):
    if isinstance(outcome[0], type):
        with pytest.raises(outcome[0], match=re.escape(outcome[1])):
            write_dataset(source, seeds, tmp_path / "d", workers=1, progress=False)
        assert not (tmp_path / "d").exists()
    else:
        assert write_dataset(source, seeds, tmp_path / "d", workers=1, progress=False).written == outcome


# A run whose workers never start (a scheduler out of reach) leaves no claim
# on the folder: another spec can be written there next.
def test_a_pool_that_never_starts_leaves_the_folder_free(tmp_path, monkeypatch):
    def unreachable(*_args):
        raise DatasetError("cannot reach the Dask scheduler")
    with monkeypatch.context() as m:
        m.setattr(dataset, "_Pool", unreachable)
        with pytest.raises(DatasetError, match="cannot reach"):
            write_dataset(WORKED_SPEC, [0], tmp_path / "d", progress=False)
    assert not (tmp_path / "d").exists()
    other = {**WORKED_SPEC, "start_price": 50.0}
    assert write_dataset(other, [0], tmp_path / "d", workers=1, progress=False).written == (0,)
