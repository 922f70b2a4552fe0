"""Argument types shared by the command line's parsers: each refuses a bad
value with a message that says what it expected."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable


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
