"""Shared specs and helpers for the Python tests of talpen_synth."""

from __future__ import annotations

import copy
import json
import os
from json import JSONDecoder

import pytest

# scripts/test.sh runs these tests once more with AddressSanitizer preloaded.
# It turns an allocation it cannot serve into std::bad_alloc, and so
# MemoryError, only when told to return null, and a C++ throw works only when
# the C++ runtime was preloaded with it (the interpreter does not link it).
# Without both it aborts the process instead.
_PRELOAD = os.environ.get("LD_PRELOAD", "")
UNDER_ASAN = "libasan" in _PRELOAD
ALLOCATION_FAILURES_RAISE = not UNDER_ASAN or (
    "allocator_may_return_null=1" in os.environ.get("ASAN_OPTIONS", "") and "libstdc++" in _PRELOAD)
# What a child process given a bare environment must still inherit.
SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")

# Three bars: a one-bar trend and a two-bar range, with trades and one funding
# point at the last bar. Its output is known value by value.
WORKED_SPEC = {
    "seed": 42,
    "bars": 3,
    "start_price": 100.0,
    "start_ts": 1700000000,
    "bar_secs": 3600,
    "regimes": [
        {"kind": "trend", "len": 1, "drift": 0.001, "vol": 0.01},
        {"kind": "range", "len": 2, "drift": 0.5, "vol": 0.02},
    ],
    "microstructure": {
        "book_depth": 2,
        "spread_bps": 5.0,
        "trade_rate": 1.0,
        "funding": {"interval_bars": 3, "base_rate": 0.0001, "sensitivity": 0.5},
    },
}


def make_spec(**changes) -> dict:
    """The worked spec with top-level fields replaced (None removes a field)."""
    spec = copy.deepcopy(WORKED_SPEC)
    for key, value in changes.items():
        if value is None:
            spec.pop(key, None)
        else:
            spec[key] = value
    return spec


def micro(**changes) -> dict:
    """The worked spec's microstructure with fields replaced (None removes)."""
    m = copy.deepcopy(WORKED_SPEC["microstructure"])
    for key, value in changes.items():
        if value is None:
            m.pop(key, None)
        else:
            m[key] = value
    return m


def cmd(name, **members) -> str:
    return json.dumps({"cmd": name, **members}, separators=(",", ":"))


def envelope(error: str) -> str:
    return json.dumps({"ok": False, "error": error}, separators=(",", ":"), ensure_ascii=False)


def raw_elements(text: str, key: str) -> list[str]:
    """The raw texts of the elements of the array member `key` of a compact
    document, exactly as written (for byte-for-byte comparisons)."""
    decoder = JSONDecoder()
    marker = json.dumps(key) + ":["
    start = text.find(marker)
    if start < 0:
        return []
    pos = start + len(marker)
    out = []
    if text[pos] == "]":
        return out
    while True:
        _, end = decoder.raw_decode(text, pos)
        out.append(text[pos:end])
        if text[end] == "]":
            return out
        assert text[end] == ","
        pos = end + 1


@pytest.fixture
def worked_json() -> str:
    return json.dumps(WORKED_SPEC)
