"""Long use: hundreds of thousands of mixed commands, good and bad, on one
handle and across many, with the process's resident memory measured before
and after. Every path that answers, refuses or runs out of memory must give
back what it took."""

from __future__ import annotations

import gc
import json
import os

import pytest

from talpen_synth import Synth

from conftest import ALLOCATION_FAILURES_RAISE, UNDER_ASAN, WORKED_SPEC, cmd, make_spec, micro

COMMANDS = 200_000
# What the interpreter's own caches and the allocator's free lists may keep
# after a warm-up; a leak of 48 bytes per command would exceed it.
GROWTH_LIMIT = 8 << 20

TINY = make_spec(bars=1, regimes=[{"kind": "trend", "len": 1, "drift": 0.0, "vol": 0.01}],
                 microstructure=micro(book_depth=1, trade_rate=0.5))
TINY_JSON = json.dumps(TINY)


class Text(str):
    pass


def mixed_commands():
    """One round of the mix: (argument, what happens). Mostly tiny commands;
    every kind of answer and exception appears."""
    out = [
        (cmd("version"), "answer"),
        (Text(cmd("version")), "answer"),
        (cmd("generate"), "answer"),
        (cmd("generate_stream"), "answer"),
        (cmd("generate", spec=TINY), "answer"),
        (cmd("set_spec", spec=TINY), "answer"),
        (cmd("set_spec", spec=make_spec(bars=0)), "answer"),          # bad spec
        (cmd("set_spec", spec={"seed": 1}), "answer"),                # parse: missing field
        (cmd("generate", spec=make_spec(bars=1, regimes=[{"kind": "vol", "len": 1, "drift": 0.0,
                                                          "vol": 3000.0}])), "answer"),  # numeric
        ('{"cmd":"generate"', "answer"),                              # parse
        ('{"cmd":"' + "x" * 300 + '"}', "answer"),                    # unknown cmd, long
        ("[" * 200, "answer"),                                        # nesting limit
        ('{"cmd":"version","spec":{"a":[1,2,{"b":"\\u00e9\\ud83d\\ude00"}]}}', "answer"),
        ("\ud800", UnicodeEncodeError),
        (None, TypeError),
        (b"{}", TypeError),
    ]
    if ALLOCATION_FAILURES_RAISE:
        out.append((cmd("generate", spec=make_spec(microstructure=micro(book_depth=2**40))), MemoryError))
        out.append((cmd("generate_stream", spec=make_spec(bars=2**40, regimes=[
            {"kind": "vol", "len": 2**40, "drift": 0.0, "vol": 0.01}])), MemoryError))
    return out


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def drive(handle, mix, count):
    for i in range(count):
        arg, outcome = mix[i % len(mix)]
        if outcome == "answer":
            handle.command(arg)
        else:
            with pytest.raises(outcome):
                handle.command(arg)


def measured(work, warm_up):
    """Resident growth over `work()`, after `warm_up()`; 0 under
    AddressSanitizer, whose quarantine holds on to freed blocks (the work
    still runs: it checks every access)."""
    warm_up()
    gc.collect()
    before = resident_bytes()
    work()
    gc.collect()
    return 0 if UNDER_ASAN else resident_bytes() - before


def test_one_handle_many_commands():
    mix = mixed_commands()
    h = Synth(TINY_JSON)
    growth = measured(lambda: drive(h, mix, COMMANDS), lambda: drive(h, mix, COMMANDS // 10))
    assert growth < GROWTH_LIMIT, f"resident memory grew by {growth} bytes"
    assert h.command(cmd("generate")) == Synth("").command(cmd("generate", spec=TINY))


def test_many_handles_made_used_and_dropped():
    mix = mixed_commands()
    specs = ["", "{}", TINY_JSON, json.dumps(WORKED_SPEC)]
    bad_specs = ["{", json.dumps(make_spec(bars=0)), "\ud800", None]

    def work(handles):
        # Four commands and two constructions per handle.
        for i in range(handles):
            h = Synth(specs[i % len(specs)])
            drive(h, mix[i % 7:], 4)
            try:
                Synth(bad_specs[i % len(bad_specs)])
            except (ValueError, TypeError, UnicodeEncodeError):
                pass

    growth = measured(lambda: work(COMMANDS // 4), lambda: work(COMMANDS // 40))
    assert growth < GROWTH_LIMIT, f"resident memory grew by {growth} bytes"
