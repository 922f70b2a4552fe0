"""The package's types, checked as a user's type checker sees the installed
package: mypy --strict over every module, the static view (the native
modules' stubs, the inline types of the others) against the modules at run
time, and the names that a star import brings."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

CONFIG = Path(__file__).resolve().parents[2] / "pyproject.toml"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")


def mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # Run outside the checkout, so that the installed package is the one found.
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=tmp_path,
                          env={**os.environ, "MYPY_CACHE_DIR": str(tmp_path / ".mypy_cache")}, timeout=600)


def test_the_package_passes_mypy_strict(tmp_path):
    r = mypy(tmp_path, "mypy", "--config-file", str(CONFIG), "--strict", "-p", "talpen_synth")
    assert r.returncode == 0, r.stdout + r.stderr


def test_the_static_view_matches_the_run_time(tmp_path):
    r = mypy(tmp_path, "mypy.stubtest", "--mypy-config-file", str(CONFIG), "--allowlist", str(ALLOWLIST),
             "talpen_synth")
    assert r.returncode == 0, r.stdout + r.stderr


def test_a_star_import_is_typed(tmp_path):
    (tmp_path / "user.py").write_text(
        "from pathlib import Path\n"
        "from talpen_synth import *\n"
        "paths: RunTables[Path] = write_parquet({}, 'out')\n"
        "rows: int = generate_columns('{}').book.num_rows\n"
        "seeds = [r.seed + 1 for r in sweep('{}', [1, 2])]\n"
        "answer: str = Synth('{}').command('{}') + __version__\n"
        "wrong: int = to_arrow('{}')\n")
    r = mypy(tmp_path, "mypy", "--config-file", str(CONFIG), "--strict", "user.py")
    # Exactly the one mistake: the names are known and their types are not Any.
    assert r.stdout.splitlines()[:-1] == [
        'user.py:7: error: Incompatible types in assignment (expression has type "RunTables[Any]", '
        'variable has type "int")  [assignment]'], r.stdout + r.stderr
