"""Checks the native double formatter against Python's own shortest repr.

Python's float repr is the shortest digit string that reads back as the same
double, nearest to it, ties to even: the same digits the formatter must find.
Only the layout differs, and `expected_text` applies ours. The formatter runs
as the `format_double_tool` executable (path in TALPEN_FORMAT_DOUBLE_TOOL),
fed millions of bit patterns at once.
"""

import array
import math
import os
import random
import subprocess
import sys

import pytest

TOOL = os.environ.get("TALPEN_FORMAT_DOUBLE_TOOL")

pytestmark = pytest.mark.skipif(
    not TOOL or not os.path.exists(TOOL),
    reason="TALPEN_FORMAT_DOUBLE_TOOL does not name the built format_double_tool",
)


def digits_and_exponent(text):
    """Splits a repr such as '1.234e-06' or '100.0' into ('1234', -6) or ('1', 2):
    the significant digits without leading or trailing zeros and the decimal
    exponent of the first one."""
    mantissa, _, exp = text.partition("e")
    whole, _, frac = mantissa.partition(".")
    all_digits = whole + frac
    stripped = all_digits.lstrip("0")
    x = len(whole) - 1 + (int(exp) if exp else 0) - (len(all_digits) - len(stripped))
    return stripped.rstrip("0"), x


def expected_text(v):
    if math.isnan(v) or math.isinf(v):
        return "null"
    sign = "-" if math.copysign(1.0, v) < 0 else ""
    if v == 0:
        return sign + "0.0"
    d, x = digits_and_exponent(repr(abs(v)))
    n = len(d)
    if -5 <= x <= 15:
        if x >= n - 1:
            body = d + "0" * (x + 1 - n) + ".0"
        elif x >= 0:
            body = d[: x + 1] + "." + d[x + 1 :]
        else:
            body = "0." + "0" * (-x - 1) + d
    else:
        body = d[0] + ("." + d[1:] if n >= 2 else "") + "e" + ("+" if x >= 0 else "-") + str(abs(x))
    return sign + body


def test_expected_text_matches_known_forms():
    # The oracle's own layout, against texts fixed by hand.
    cases = [
        (0.0, "0.0"), (-0.0, "-0.0"), (1.0, "1.0"), (100.0, "100.0"), (1e15, "1000000000000000.0"),
        (1e16, "1e+16"), (1e-5, "0.00001"), (1e-6, "1e-6"), (1.234e-6, "1.234e-6"), (5e-324, "5e-324"),
        (123456.789, "123456.789"), (1e-5 * 3, "0.000030000000000000004"),
        (1.7976931348623157e308, "1.7976931348623157e+308"), (float("nan"), "null"),
    ]
    for value, text in cases:
        assert expected_text(value) == text


def special_bits(rng):
    """Bit patterns where digit generation is at its hardest or the layout
    changes: zeros, subnormals, every power of two, integers, round8 values,
    short decimals and their neighbours, the plain/exponent boundaries."""
    out = [0, 1 << 63, 0x7FF0000000000000, 0xFFF0000000000000, 0x7FF8000000000000]
    out += [m for m in (1, 2, 3, 0xFFFFFFFFFFFFF, 0x8000000000000)]
    out += [rng.getrandbits(52) for _ in range(50000)]  # subnormals
    out += [e << 52 for e in range(1, 2047)]  # powers of two
    out += [(e << 52) | 1 for e in range(1, 2047)]
    out += [(e << 52) - 1 for e in range(1, 2047)]
    as_bits = lambda f: array.array("Q", array.array("d", [f]).tobytes())[0]
    values = []
    values += [float(rng.getrandbits(rng.randint(1, 64))) for _ in range(100000)]
    for _ in range(300000):
        price = math.exp(rng.uniform(math.log(1e-3), math.log(1e7)))
        values.append(round(price * 1e8) / 1e8)
    for e in range(-30, 30):
        for k in (1, 2, 5, 9, 12, 99, 123, 999999999999999):
            v = k * 10.0**e
            values += [v, math.nextafter(v, 0.0), math.nextafter(v, math.inf)]
    out += [as_bits(v) for v in values]
    out += [as_bits(-v) for v in values[:50000]]
    return out


def test_tool_matches_repr_over_millions_of_bit_patterns():
    rng = random.Random(0x7A1E)
    count = 2_000_000
    raw = rng.randbytes(8 * count)
    bits = list(array.array("Q", raw)) + special_bits(rng)
    values = array.array("d", array.array("Q", bits).tobytes())
    stdin = "".join("%016x\n" % b for b in bits).encode()
    proc = subprocess.run([TOOL], input=stdin, capture_output=True, check=True, timeout=120)
    got = proc.stdout.decode().split("\n")
    assert got[-1] == ""
    got.pop()
    assert len(got) == len(bits)
    mismatches = []
    for b, v, text in zip(bits, values, got):
        if text != expected_text(v):
            mismatches.append("%016x: got %s, expected %s" % (b, text, expected_text(v)))
            if len(mismatches) >= 20:
                break
    assert not mismatches, "\n".join(mismatches)


def test_tool_reports_malformed_lines():
    proc = subprocess.run([TOOL], input=b"3ff0000000000000\nnot-hex\n\n", capture_output=True)
    assert proc.returncode == 1
    assert proc.stdout == b"1.0\nerror\n"


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))
