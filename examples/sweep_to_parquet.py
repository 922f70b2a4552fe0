"""Run one scenario over many seeds, keep every run as Parquet, query it with DuckDB.

`talpen_synth.sweep` runs the seeds side by side (the runs release the
interpreter lock) and yields each as it finishes; each run's candles and
trades go to Parquet with their seed as a column. DuckDB then reads the whole
folder as one table: here, how deep the crash went and how much traded in it,
seed by seed.

    pip install 'talpen_synth[frames]' duckdb
    python examples/sweep_to_parquet.py [FOLDER]
"""

from __future__ import annotations

import sys
from pathlib import Path

import duckdb
import pyarrow as pa
import pyarrow.parquet as pq

from talpen_synth import presets, sweep

out = Path(sys.argv[1] if len(sys.argv) > 1 else "sweep_parquet")
(out / "candles").mkdir(parents=True, exist_ok=True)
(out / "trades").mkdir(parents=True, exist_ok=True)

spec = presets.spec_text("flash-crash")
for run in sweep(spec, range(16), progress=False):
    for name in ("candles", "trades"):
        table = pa.table(run.tables._asdict()[name])
        table = table.append_column("seed", pa.array([run.seed] * table.num_rows, pa.uint64()))
        pq.write_table(table, out / name / f"seed-{run.seed:04d}.parquet")

query = f"""
    with c as (select seed, min(low) as low, first(open order by ts) as start
               from read_parquet('{out}/candles/*.parquet') group by seed),
         t as (select seed, count(*) as trades, sum(qty) as traded
               from read_parquet('{out}/trades/*.parquet') group by seed)
    select c.seed, round(100 * (c.low / c.start - 1), 2) as deepest_pct, t.trades, round(t.traded, 1) as traded
    from c join t using (seed) order by deepest_pct limit 5
"""
print(duckdb.sql(query))
