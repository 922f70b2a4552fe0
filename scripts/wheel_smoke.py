"""Smoke test of an installed talpen_synth wheel, for any CPython 3.10 or later.

Needs only the wheel and its own dependencies (no extras: no NumPy, no
pyarrow). It runs one spec through both extensions and through the command
line, checks that they agree with each other, and prints one line naming the
answer's bytes. scripts/test.sh runs it
under the development interpreter and under the oldest and newest CPython the
machine has: the lines must be identical, or the one abi3 wheel does not
behave the same everywhere it promises to.

    python scripts/wheel_smoke.py
"""

from __future__ import annotations

import hashlib
import importlib.metadata
import json
import os
import subprocess
import sys
import tempfile
from typing import Any

from talpen_synth import Synth, __version__, _talpen_columns

# Every record kind: two regimes, a book five levels a side, trades and a
# funding interval that ends twice.
SPEC: dict[str, Any] = {
    "seed": 7,
    "bars": 240,
    "start_price": 100.0,
    "regimes": [
        {"kind": "trend", "len": 120, "drift": 0.0005, "vol": 0.01},
        {"kind": "range", "len": 120, "drift": 0.5, "vol": 0.02},
    ],
    "microstructure": {
        "book_depth": 5,
        "spread_bps": 5.0,
        "trade_rate": 3.0,
        "funding": {"interval_bars": 100, "base_rate": 0.0001, "sensitivity": 0.5},
    },
}

# The same spec as a TOML file: read by the standard library from 3.11 on and
# by the tomli dependency on 3.10.
SPEC_TOML = """\
seed = 7
bars = 240
start_price = 100.0
regimes = [
  { kind = "trend", len = 120, drift = 0.0005, vol = 0.01 },
  { kind = "range", len = 120, drift = 0.5, vol = 0.02 },
]

[microstructure]
book_depth = 5
spread_bps = 5.0
trade_rate = 3.0
funding = { interval_bars = 100, base_rate = 0.0001, sensitivity = 0.5 }
"""


def check(condition: bool, what: str) -> None:
    if not condition:
        sys.exit(f"wheel smoke test failed on Python {sys.version.split()[0]}: {what}")


def main() -> None:
    spec_text = json.dumps(SPEC)
    answer = Synth(spec_text).command('{"cmd":"generate"}')
    document = json.loads(answer)

    check(__version__ == importlib.metadata.version("talpen_synth"),
          f"module version {__version__} is not the wheel's {importlib.metadata.version('talpen_synth')}")
    check(Synth("").command('{"cmd":"version"}') == json.dumps({"version": __version__}, separators=(",", ":")),
          "the version command does not name the module version")

    # The tables hold the same run as the text, row for row.
    tables = {table.name: table for table in _talpen_columns.generate(spec_text)}
    book_rows = sum(len(s["bids"]) + len(s["asks"]) for s in document["book_snapshots"])
    expected = {"candles": len(document["candles"]), "book": book_rows, "trades": len(document["trades"]),
                "funding": len(document["funding"])}
    rows = {name: len(table) for name, table in tables.items()}
    check(rows == expected, f"table rows {rows}, the text has {expected}")
    check(expected["candles"] == SPEC["bars"] and expected["funding"] == 2, f"unexpected run shape {expected}")

    # The command line writes the same text, from a JSON and from a TOML spec file.
    with tempfile.TemporaryDirectory() as folder:
        for name, text in (("spec.json", spec_text), ("spec.toml", SPEC_TOML)):
            path = os.path.join(folder, name)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            cli = subprocess.run([sys.executable, "-m", "talpen_synth", "generate", "--spec", path],
                                 capture_output=True, text=True, timeout=120, check=False)
            check(cli.returncode == 0 and cli.stdout == answer + "\n",
                  f"talpen-synth generate --spec {name}: {cli.stderr.strip()}")

    digest = hashlib.sha256(answer.encode()).hexdigest()
    print(f"version {__version__}, answer {len(answer)} bytes sha256 {digest}, rows {json.dumps(rows)}")


if __name__ == "__main__":
    main()
