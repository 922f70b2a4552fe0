"""Argument types and option groups shared by the command line's parsers: each type refuses a bad
value with a message that says what it expected."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable


def counted(n: int, noun: str) -> str:
    """"1 row", "2 rows"."""
    return f"{n} {noun}{'' if n == 1 else 's'}"


def whole(low: int, high: int) -> Callable[[str], int]:
    """A whole number from `low` to `high`, written in decimal."""
    def parse(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            value = low - 1
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"expected a whole number from {low} to {high}, got {text!r}")
        return value
    return parse


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        return math.nan


def positive(text: str) -> float:
    value = _number(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"expected a number greater than 0, got {text!r}")
    return value


def non_negative(text: str) -> float:
    value = _number(text)
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"expected a number of 0 or more, got {text!r}")
    return value


def pacing_options(p: argparse.ArgumentParser) -> None:
    """--rate, --speed and --pace-at: how `stream`, `serve` and their
    universe forms pace their events."""
    g = p.add_argument_group("pacing (at most one; default: as fast as possible)")
    pace = g.add_mutually_exclusive_group()
    pace.add_argument("--rate", type=positive, metavar="N", help="N events per second")
    pace.add_argument("--speed", type=positive, metavar="X",
                      help="X times the bars' own clock (a bar's events when the bar is over)")
    g.add_argument("--pace-at", choices=("close", "open"), default="close",
                   help="with --speed, release a bar's events at its close, when the bar is over (default), "
                        "or at its opening time, looking ahead")
