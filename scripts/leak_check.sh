#!/usr/bin/env bash
# Leak check under valgrind's memcheck: every C++ test and fuzz replay, and a
# Python smoke run of the installed module (good commands, refusals, parse and
# spec errors, TypeError, UnicodeEncodeError, MemoryError). Fails when a
# "definitely lost" block was allocated through the project's own code (a
# stack frame in a talpen function or in the _talpen_synth module); what the
# interpreter or the C++ runtime keep for themselves is not counted.
#
#   bash scripts/leak_check.sh
#   TALPEN_PYTHON=.venv/bin/python TALPEN_LEAK_BUILD=build/leak bash scripts/leak_check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${TALPEN_LEAK_BUILD:-build/leak}
python=${TALPEN_PYTHON:-$root/.venv/bin/python}
jobs=$(nproc 2>/dev/null || echo 2)
logs=$build/valgrind
mkdir -p "$logs"
rm -f "$logs"/*.xml

command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALPEN_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

memcheck() {  # name, command...
  local name=$1
  shift
  printf -- '-- %s\n' "$name"
  # The program's own exit status is checked by the test stages; here only
  # memcheck's findings count, so a failing program is reported, not fatal.
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --num-callers=50 \
    --xml=yes --xml-file="$logs/$name.xml" "$@" >"$logs/$name.out" 2>&1 ||
    echo "   (exited with $?; see $logs/$name.out)"
}

for src in tests/cpp/*_test.cc; do
  name=$(basename "$src" .cc)
  memcheck "$name" "$build/$name"
done
for src in fuzz/*_fuzz.cc; do
  name=$(basename "$src" .cc)
  memcheck "${name}_replay" "$build/${name}_replay" "fuzz/corpus/$name"
done

# The smoke run goes through every way a call can end, on handles made,
# used and released on their own thread (a handle released on a foreign
# thread keeps its spec on purpose, and is left out).
PYTHONMALLOC=malloc memcheck python_smoke "$python" - <<'EOF'
import json
from talpen_synth import Synth

spec = {"seed": 42, "bars": 3, "start_price": 100.0,
        "regimes": [{"kind": "trend", "len": 1, "drift": 0.001, "vol": 0.01},
                    {"kind": "range", "len": 2, "drift": 0.5, "vol": 0.02}],
        "microstructure": {"book_depth": 2, "spread_bps": 5.0, "trade_rate": 1.0,
                           "funding": {"interval_bars": 3, "base_rate": 0.0001, "sensitivity": 0.5}}}
# Storage that can never be had: the run stops on a size check before it
# allocates (valgrind cannot throw std::bad_alloc from a failed allocation).
deep = dict(spec, microstructure=dict(spec["microstructure"], book_depth=2**62))
long = dict(spec, bars=2**62, bar_secs=1, regimes=[{"kind": "vol", "len": 2**62, "drift": 0.0, "vol": 0.01}])
bad = dict(spec, bars=0)
crash = dict(spec, bars=1, regimes=[{"kind": "vol", "len": 1, "drift": 0.0, "vol": 3000.0}])

outcomes = []
def call(f, *args):
    try:
        result = f(*args)
    except (ValueError, TypeError, MemoryError) as e:
        result = type(e).__name__
    outcomes.append(result if isinstance(result, str) else "handle")
    return result

h = Synth(json.dumps(spec))
texts = ['{"cmd":"version"}', '{"cmd":"generate"}', '{"cmd":"generate_stream"}',
         json.dumps({"cmd": "set_spec", "spec": spec}), json.dumps({"cmd": "set_spec", "spec": bad}),
         json.dumps({"cmd": "generate", "spec": crash}), json.dumps({"cmd": "generate", "spec": deep}),
         json.dumps({"cmd": "generate_stream", "spec": long}), json.dumps({"cmd": "set_spec", "spec": {}}),
         '{"cmd":"nope"}', "[" * 300, '{"cmd":"version"} x', "\ud800", None]
for text in texts * 3:
    call(h.command, text)
for text in [json.dumps(spec), "", "{}", "{", json.dumps(bad), "\ud800", None, "[" * 300]:
    made = call(Synth, text)
    if isinstance(made, Synth):
        call(made.command, '{"cmd":"generate"}')
    del made
assert outcomes.count("MemoryError") == 6, outcomes
print("smoke done:", len(outcomes), "calls")
EOF
grep -q "smoke done" "$logs/python_smoke.out" ||
  { echo "the Python smoke run did not finish:"; tail -n 30 "$logs/python_smoke.out"; exit 1; }

# Count the definitely lost blocks that the project's code allocated.
python3 - "$logs" <<'EOF'
import glob, os, sys
import xml.etree.ElementTree as ET

def ours(frame):
    """A frame of the project's code: a talpen function, or the module."""
    fn, obj = frame.findtext("fn") or "", frame.findtext("obj") or ""
    return fn.startswith("talpen::") or "_talpen_synth" in obj


total = 0
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.xml"))):
    name = os.path.basename(path)[:-4]
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as e:
        print(f"{name}: unreadable valgrind report ({e})")
        total += 1
        continue
    lost = elsewhere = other_errors = 0
    for error in root.iter("error"):
        kind = error.findtext("kind")
        if not kind.startswith("Leak_"):
            other_errors += 1  # reported by valgrind's log; the sanitizer stage judges these
            continue
        if kind != "Leak_DefinitelyLost":
            continue
        frames = list(error.find("stack").iter("frame"))
        if not any(ours(f) for f in frames):
            elsewhere += 1
            continue
        lost += int(error.find("xwhat").findtext("leakedblocks"))
        print(f"{name}: {error.find('xwhat').findtext('text')}")
        for f in frames[:12]:
            where = (f.findtext("fn"), f.findtext("obj"), f.findtext("file"))
            print("      " + " ".join(filter(None, where)))
    notes = []
    if elsewhere:
        notes.append(f"{elsewhere} definitely lost records outside it")
    if other_errors:
        notes.append(f"{other_errors} other memcheck reports, see {name}.xml")
    print(f"{name}: {lost} definitely lost blocks from the project's code"
          + (f" ({'; '.join(notes)})" if notes else ""))
    total += lost
print(f"leak check: {total} in all")
sys.exit(1 if total else 0)
EOF
