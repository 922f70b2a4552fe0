"""Run a spec and write the response JSON to standard output.

    python -m talpen_synth                 # the built-in default day of minute bars
    python -m talpen_synth --spec my.json  # a spec file
    python -m talpen_synth --stream        # the time-ordered event stream instead
"""

from __future__ import annotations

import argparse
import json
import sys
from importlib import resources

from . import Synth


def default_spec_text() -> str:
    return resources.files("talpen_synth").joinpath("presets/default.json").read_text(encoding="utf-8")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m talpen_synth", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--spec", metavar="FILE", help="spec JSON file (default: the built-in default spec)")
    ap.add_argument("--stream", action="store_true", help='answer "generate_stream" instead of "generate"')
    args = ap.parse_args(argv)
    try:
        text = open(args.spec, encoding="utf-8").read() if args.spec else default_spec_text()
    except OSError as e:
        print(f"talpen_synth: cannot read spec: {e}", file=sys.stderr)
        return 1
    try:
        synth = Synth(text)
    except ValueError as e:
        print(f"talpen_synth: {e}", file=sys.stderr)
        return 1
    cmd = json.dumps({"cmd": "generate_stream" if args.stream else "generate"})
    response = synth.command(cmd)
    if response.startswith('{"ok":false'):
        print(f"talpen_synth: {json.loads(response)['error']}", file=sys.stderr)
        return 1
    sys.stdout.write(response)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
