"""`python -m talpen_synth`: the `talpen-synth` command line."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m talpen_synth"))
