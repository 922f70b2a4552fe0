"""The report, compare, fit and sample commands (the README's examples of them
run in test_docs): the files they write, runs fitted and sampled through the
command line, one-line failures, the missing extra."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

pytest.importorskip("statsmodels")
pytest.importorskip("ruptures")
pytest.importorskip("arch")
pytest.importorskip("matplotlib")

from talpen_synth.cli import main  # noqa: E402

CLI = [sys.executable, "-m", "talpen_synth"]
PROG = "talpen-synth"
COMMANDS = ["report", "compare", "fit", "sample"]


def test_report_and_compare_write_their_files(tmp_path, capsys):
    html, doc = tmp_path / "r.html", tmp_path / "r.json"
    assert main(["report", "preset:perp-funding", "-o", str(html), "--json", str(doc)], prog=PROG) == 0
    # Returns, autocorrelation, price, drawdowns, regimes, spread, trades, funding.
    assert html.read_text().count('src="data:image/png;base64,') == 8
    d = json.loads(doc.read_text())
    assert d["definitions"]["excess_kurtosis"] and len(d["autocorrelation"]["acf_abs_returns"]) == 50
    html, doc = tmp_path / "c.html", tmp_path / "c.json"
    assert main(["compare", "preset:perp-funding", "preset:steady-trend", "--reps", "50", "-o", str(html),
                 "--json", str(doc)], prog=PROG) == 0
    page = html.read_text()
    assert page.count('src="data:image/png;base64,') == 4 and 'class="differs"' in page
    cmp = json.loads(doc.read_text())
    assert cmp["sources"] == ["preset:perp-funding", "preset:steady-trend"] and "std" in cmp["differences"][1]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.html", "c.json", "r.html", "r.json"]  # no staging


@pytest.mark.parametrize("command", COMMANDS)
def test_help_with_examples(command, capsys):
    with pytest.raises(SystemExit) as e:
        main([command, "--help"], prog=PROG)
    assert e.value.code == 0
    out = capsys.readouterr().out
    assert out.startswith(f"usage: {PROG} {command}") and "examples:" in out and "[stats]" in out


def test_a_sampled_spec_feeds_generate(tmp_path):
    model = tmp_path / "m.json"
    spec = tmp_path / "s.json"
    candles = tmp_path / "c.csv"
    r = subprocess.run([*CLI, "generate", "--preset", "vol-burst", "--out", tmp_path], capture_output=True,
                       text=True)
    assert r.returncode == 0, r.stderr
    assert main(["fit", str(tmp_path / "candles.csv"), "-o", str(spec), "--model", str(model),
                 "--book", str(tmp_path / "book.csv"), "--trades", str(tmp_path / "trades.csv")], prog=PROG) == 0
    fitted = json.loads(spec.read_text())
    # The preset's own schedule (its burst found to within a few bars).
    assert [r["len"] for r in fitted["regimes"]] == pytest.approx([180, 60, 240], abs=10)
    assert fitted["microstructure"]["book_depth"] == 8
    sampled = subprocess.run([*CLI, "sample", model, "--seed", "3", "--bars", "200"], capture_output=True,
                             text=True)
    assert sampled.returncode == 0, sampled.stderr
    run = subprocess.run([*CLI, "generate", "--spec", "-", "--out", tmp_path / "again"], input=sampled.stdout,
                         capture_output=True, text=True)
    assert run.returncode == 0 and "wrote" in run.stdout
    candles.write_text((tmp_path / "again" / "candles.csv").read_text())
    assert main(["report", str(candles), "--spec", str(tmp_path / "s2.json")], prog=PROG) == 1  # no such spec
    (tmp_path / "s2.json").write_text(sampled.stdout)
    assert main(["report", str(candles), "--spec", str(tmp_path / "s2.json")], prog=PROG) == 0


@pytest.fixture
def files(tmp_path) -> dict[str, str]:
    (tmp_path / "short.csv").write_text("ts,open,high,low,close\n1,1,1,1,1\n2,1,1,1,1\n")
    (tmp_path / "noclose.csv").write_text("ts,open,high,low,level\n1,1,1,1,0\n")
    (tmp_path / "ok.csv").write_text("ts,open,high,low,close\n" + "".join(
        f"{60 * i},{100 + i % 3},{102 + i % 3},{99 + i % 3},{101 + i % 3}\n" for i in range(50)))
    (tmp_path / "bad.json").write_text('{"seed": 1,}')
    (tmp_path / "model.json").write_text('{"model": "talpen_synth regime model", "version": 1, "kinds": []}')
    return {"dir": str(tmp_path), "missing": str(tmp_path / "missing.csv")}


BAD_INPUT = [
    # (arguments, exit status, the message after the program name)
    (["report", "{missing}"], 1, "cannot read {missing}: No such file or directory"),
    (["report", "preset:nope"], 1, "unknown preset 'nope'"),
    (["report", "{dir}/noclose.csv"], 1, "{dir}/noclose.csv: no 'close' column"),
    (["report", "{dir}/short.csv"], 1, "{dir}/short.csv: 2 bars; diagnostics need at least 3"),
    (["report", "{dir}/bad.json"], 1, "{dir}/bad.json: parse: trailing comma at line 1 column 12"),
    (["report", "preset:default", "-o", "{dir}/no/r.html"], 1, "cannot write {dir}/no/r.html: no directory"),
    (["compare", "preset:default"], 2, "compare needs at least two sources"),
    (["compare", "preset:default", "preset:vol-burst", "--reps", "5"], 2, "argument --reps"),
    (["fit", "{dir}/short.csv", "-o", "{dir}/s.json", "--max-regimes", "0"], 2, "argument --max-regimes"),
    (["fit", "{dir}/short.csv"], 2, "the following arguments are required: -o/--output"),
    (["fit", "{dir}/bad.json", "-o", "{dir}/s.json"], 1, "not an OHLCV file"),
    (["fit", "{dir}/short.csv", "-o", "{dir}/s.json"], 1,
     "the history gives 2 bar returns; fitting a regime takes at least 20 (min_bars)"),
    (["fit", "{dir}/ok.csv", "-o", "{dir}/s.json", "--book", "{dir}/noclose.csv"], 1,
     "{dir}/noclose.csv: the book table has no 'side', 'price' column"),
    (["fit", "{dir}/ok.csv", "-o", "{dir}/s.json", "--funding", "{missing}"], 1,
     "cannot read funding table {missing}: No such file or directory"),
    (["sample", "{dir}/model.json", "--seed", "1"], 1, "{dir}/model.json: kinds: expected an object"),
    (["sample", "{dir}/bad.json", "--seed", "1"], 1, "{dir}/bad.json: not JSON: Expecting property name"),
    (["sample", "{dir}/noclose.csv", "--seed", "1"], 1, "{dir}/noclose.csv: not JSON"),
    (["sample", "{dir}/model.json"], 2, "the following arguments are required: --seed"),
]


@pytest.mark.parametrize("args, status, message", BAD_INPUT, ids=lambda v: v if isinstance(v, str) else None)
def test_bad_input_is_one_line(files, capsys, args, status, message):
    argv = [a.format(**files) for a in args]
    try:
        code = main(argv, prog=PROG)
    except SystemExit as e:
        code = e.code
    err = capsys.readouterr().err
    assert code == status
    assert err.count("\n") == 1 and "Traceback" not in err
    assert message.format(**files) in err


@pytest.mark.parametrize("blocked, args", [
    ("statsmodels", ["report", "preset:default"]),
    ("ruptures", ["fit", "x.csv", "-o", "s.json"]),
    ("arch", ["compare", "preset:default", "preset:default"]),
])
def test_a_missing_extra_is_named(tmp_path, blocked, args):
    fake = tmp_path / "blocked"
    fake.mkdir()
    (fake / f"{blocked}.py").write_text(f"raise ImportError('no {blocked} here')\n")
    env = dict(os.environ, PYTHONPATH=str(fake))
    r = subprocess.run([*CLI, *args], capture_output=True, text=True, cwd=tmp_path, env=env, timeout=60)
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr.strip().endswith(f"needs {blocked}: pip install talpen_synth[stats]")
    # The Python modules say the same, naming the extra.
    r = subprocess.run([sys.executable, "-c", "import talpen_synth.diagnostics, talpen_synth.fit"],
                       capture_output=True, text=True, env=env, timeout=60)
    assert f"needs {blocked}" in r.stderr and "pip install 'talpen_synth[stats]'" in r.stderr


def test_a_preset_compares_to_itself_without_differences(tmp_path, capsys):
    spec = tmp_path / "p.toml"  # the choppy-range preset, as a TOML spec file
    regime = '[[regimes]]\nkind = "range"\nlen = 288\ndrift = {}\nvol = {}\n'
    spec.write_text("seed = 23\nbars = 576\nstart_price = 1.0842\nstart_ts = 1700006400\nbar_secs = 300\n"
                    + regime.format(0.08, 0.0009) + regime.format(0.12, 0.0012)
                    + "[microstructure]\nbook_depth = 5\nspread_bps = 0.8\ntrade_rate = 4.0\n")
    assert main(["compare", "preset:choppy-range", str(spec), "--reps", "50", "--json",
                 str(tmp_path / "c.json")], prog=PROG) == 0
    out = capsys.readouterr().out
    assert "p.toml differs from preset:choppy-range in 0 of" in out
    assert json.loads((tmp_path / "c.json").read_text())["differences"] == [[], []]
