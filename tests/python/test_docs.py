"""The docs cannot drift: every command the README shows is run and its output
compared with what the README prints, every Python block is run (and its
printed output compared where the README shows it), and every script in
examples/ runs to the end.

README conventions this relies on:
- ```console blocks: lines starting with "$ " are commands, run in order in
  one working folder by bash with the package's `talpen-synth` on PATH; the
  lines up to the next command are its output (standard output and error as a
  terminal shows them). The quick-start block (no "$") runs from its first
  `.venv/bin/talpen-synth` on.
- A block right after the words "saved as `NAME`:" is written to NAME in that
  folder instead of being run.
- A ```python block followed by a ```text block printed that text; a failing
  block's output ends with its exception's last line.
- The console block under "## Developing" is not run here: its commands build
  in the checkout itself, and scripts/test.sh runs them as written.
"""

from __future__ import annotations

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
BIN = Path(sys.executable).parent

# Files the README's prose describes without showing (it says what they hold).
FIXTURES = {
    "broken.json": '{"seed": 1, "bars": 3,}\n',
    "wild.json": '{"seed": 1, "bars": 3, "start_price": 100.0, "regimes": [{"kind": "vol", "len": 3, "drift": 0.0, '
                 '"vol": 3000.0}], "microstructure": {"book_depth": 2, "spread_bps": 5.0, "trade_rate": 1.0}}\n',
    "flat.json": '{"seed": 1, "bars": 4, "start_price": 100.0, "regimes": [{"kind": "vol", "len": 2, "drift": 0.0, '
                 '"vol": 0.001}, {"kind": "trend", "len": 2, "drift": 0.001, "vol": 0.0}], "microstructure": '
                 '{"book_depth": 2, "spread_bps": 5.0, "trade_rate": 1.0}}\n',
    "tangle.json": '{"instruments": [{"symbol": "A", "preset": "default", "seed": 1}, {"symbol": "B", "preset": '
                   '"default", "seed": 2}, {"symbol": "C", "preset": "default", "seed": 3}], "correlation": '
                   '[[1, 0.9, -0.9], [0.9, 1, 0.9], [-0.9, 0.9, 1]]}\n',
}
# Output lines that differ from run to run: the timings of `time`.
VARIABLE = re.compile(r"^(real|user|sys)\t")
# Commands not run here, and why.
NOT_RUN = {"bash scripts/test.sh": "the test command itself"}
DEVELOPING = "the Developing section's commands build and run in the checkout (build/, .venv); scripts/test.sh " \
             "runs them as written"


def developing_commands(markdown: str) -> dict[str, str]:
    """The lines of the console blocks under "## Developing", each with the reason it is not run here."""
    start = markdown.index("## Developing")
    section = markdown[start:markdown.find("\n## ", start) + 1 or None]
    return {line: DEVELOPING for b in blocks(section) if b.lang == "console" for line in b.text.splitlines() if line}


@dataclass
class Block:
    lang: str
    text: str
    saved_as: str | None


def blocks(markdown: str) -> list[Block]:
    found = []
    for m in re.finditer(r"^```(\w*)\n(.*?)^```\s*$", markdown, re.S | re.M):
        before = markdown[:m.start()].rstrip()
        saved = re.search(r"saved as `([^`]+)`:$", before)
        found.append(Block(m.group(1), m.group(2), saved.group(1) if saved else None))
    return found


@dataclass
class Command:
    line: str
    expected: list[str]


def commands(block: Block) -> list[Command]:
    out: list[Command] = []
    for line in block.text.splitlines():
        if line.startswith("$ "):
            out.append(Command(line[2:], []))
        elif out:
            out[-1].expected.append(line)
    return out


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@pytest.fixture(scope="module")
def workdir(tmp_path_factory) -> Path:
    work = tmp_path_factory.mktemp("readme")
    (work / "docs").mkdir()
    for name, text in FIXTURES.items():
        (work / name).write_text(text)
    return work


def shell(line: str, cwd: Path, env: dict[str, str]) -> str:
    r = subprocess.run(["bash", "-c", line], cwd=cwd, env=env, capture_output=False, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, timeout=300)
    return r.stdout


def compare(got: str, expected: list[str], what: str) -> None:
    lines = got.splitlines()
    assert len(lines) == len(expected), f"{what}:\n{got}"
    for g, e in zip(lines, expected):
        if VARIABLE.match(e):
            assert VARIABLE.match(g), f"{what}: {g!r}"
        else:
            assert g == e, f"{what}"


def test_the_readme_runs_as_written(workdir):
    env = dict(os.environ, PATH=f"{BIN}{os.pathsep}{os.environ['PATH']}")
    port = str(free_port())  # the README's 8765, made free for this run
    doc = README.read_text().replace("8765", port).replace("8786", str(free_port()))
    all_blocks = blocks(doc)
    not_run = {**NOT_RUN, **developing_commands(doc)}
    servers: list[subprocess.Popen[str]] = []
    background: list[subprocess.Popen[str]] = []  # `cmd &`: a Dask scheduler and its workers
    ran = 0
    try:
        for i, block in enumerate(all_blocks):
            if block.saved_as is not None:
                (workdir / block.saved_as).write_text(block.text)
                continue
            if block.lang == "console" and not block.text.startswith("$ "):
                # The quick start: install, then run; the run part is tested.
                for line in block.text.splitlines():
                    if line in not_run:
                        continue
                    run_part = line[line.index(".venv/bin/talpen-synth"):].replace(".venv/bin/", "")
                    expected = all_blocks[i + 1].text.splitlines()
                    compare(shell(run_part, workdir, env), expected, run_part)
                    ran += 1
                continue
            if block.lang == "console":
                for cmd in commands(block):
                    if cmd.line.endswith(" &"):
                        # A service the next commands use, its output in files: started in a
                        # session of its own, ended with all its processes at the end.
                        assert not cmd.expected, cmd.line
                        background.append(subprocess.Popen(["bash", "-c", cmd.line[:-2]], cwd=workdir, env=env,
                                                           text=True, start_new_session=True))
                    elif cmd.line.startswith("talpen-synth serve") and "--clients" in cmd.line:
                        # A server the next commands talk to: started, and its
                        # first lines compared once it has said them.
                        proc = subprocess.Popen(["bash", "-c", cmd.line], cwd=workdir, env=env,
                                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                        servers.append(proc)
                        assert proc.stdout is not None
                        assert proc.stdout.readline().rstrip("\n") == cmd.expected[0]
                        cmd.expected = cmd.expected[1:]
                        setattr(proc, "expected", cmd.expected)
                    else:
                        compare(shell(cmd.line, workdir, env), cmd.expected, cmd.line)
                    ran += 1
            elif block.lang == "python":
                follows = all_blocks[i + 1] if i + 1 < len(all_blocks) else None
                shown = follows.text if follows is not None and follows.lang == "text" else None
                r = subprocess.run([sys.executable, "-c", block.text], cwd=workdir, env=env, capture_output=True,
                                   text=True, timeout=300)
                got = r.stdout
                if r.returncode != 0:
                    assert shown is not None, r.stderr
                    got += r.stderr.splitlines()[-1] + "\n"
                if shown is not None:
                    compare(got, shown.splitlines(), block.text.splitlines()[0])
                ran += 1
        for proc in servers:
            rest, _ = proc.communicate(timeout=30)
            assert proc.returncode == 0
            log = [re.sub(r"127\.0\.0\.1:\d+", "127.0.0.1:PORT", line) for line in rest.splitlines()]
            assert log == [re.sub(r"127\.0\.0\.1:\d+", "127.0.0.1:PORT", line) for line in getattr(proc, "expected")]
    finally:
        for proc in servers:
            proc.kill()
            proc.wait()
        for proc in background:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert ran > 40


def test_docs_cli_is_the_readme_command_line_section():
    readme = README.read_text()
    section = readme[readme.index("## Command line"):readme.index("\n## ", readme.index("## Command line") + 1) + 1]
    assert (ROOT / "docs" / "cli.md").read_text() == section.replace("](docs/", "](")


@pytest.mark.parametrize("script", sorted(p.name for p in (ROOT / "examples").glob("*.py")))
def test_every_example_runs(tmp_path, script):
    for module in ("backtesting", "duckdb", "websockets", "pyarrow"):
        pytest.importorskip(module)
    shutil.copy(ROOT / "examples" / script, tmp_path / script)
    start = time.monotonic()
    r = subprocess.run([sys.executable, script], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() and time.monotonic() - start < 120
