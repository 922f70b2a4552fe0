#!/usr/bin/env bash
# Bounded structured fuzzing of the Python surface (tests/fuzz_py/fuzz_surface.py,
# atheris). Where clang is at hand the module is built once more with
# sanitizer coverage, so that the native code's coverage guides the fuzzer
# too; otherwise the installed module is fuzzed with the harness's own
# coverage only. The working corpus is kept between runs.
#
#   bash scripts/harden.sh                       # 60 s
#   TALPEN_ATHERIS_SECONDS=600 bash scripts/harden.sh
#   TALPEN_PYTHON=.venv/bin/python bash scripts/harden.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${TALPEN_ATHERIS_SECONDS:-60}
python=${TALPEN_PYTHON:-$root/.venv/bin/python}
work=${TALPEN_HARDEN_BUILD:-build/harden}
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$work/corpus" "$work/artifacts"

"$python" -c "import atheris" 2>/dev/null ||
  "$python" -m pip install -q --disable-pip-version-check atheris
"$python" -c "import talpen_synth" ||
  { echo "talpen_synth is not installed for $python" >&2; exit 1; }

pythonpath=()
if command -v clang++ >/dev/null 2>&1; then
  printf -- '-- building the module with sanitizer coverage\n'
  generator=()
  command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
  # Inline counters, their PC table and comparison tracing: what atheris's
  # libFuzzer reads. No stack-depth tracing: its variable is not exported.
  CC=clang CXX=clang++ cmake -S . -B "$work/module" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALPEN_BUILD_MODULE=ON -DPython_EXECUTABLE="$python" \
    -DCMAKE_CXX_FLAGS="-fsanitize-coverage=inline-8bit-counters,pc-table,trace-cmp" >/dev/null
  cmake --build "$work/module" -j "$jobs" --target _talpen_synth >/dev/null
  overlay=$work/pkg/talpen_synth
  mkdir -p "$overlay"
  cp "$work"/module/_talpen_synth*.so "$overlay/"
  printf 'from ._talpen_synth import Synth, __version__\n' >"$overlay/__init__.py"
  pythonpath=("PYTHONPATH=$root/$work/pkg")
fi

"$python" tests/fuzz_py/fuzz_surface.py --write-seeds "$work/seeds"
printf -- '-- fuzzing the Python surface for %ss\n' "$seconds"
log=$work/fuzz.log
if ! env "${pythonpath[@]}" "$python" tests/fuzz_py/fuzz_surface.py -max_total_time="$seconds" -timeout=20 \
    -max_len=4096 -artifact_prefix="$work/artifacts/" "$work/corpus" "$work/seeds" >"$log" 2>&1; then
  echo "FAILED: an input broke a promise of the surface (the input is in $work/artifacts/)"
  grep -v -E '^#[0-9]+.*(NEW|REDUCE|pulse)' "$log" | tail -n 60
  exit 1
fi
# Executions (#), coverage and the size of the run's corpus ("corp").
grep -E '^#[0-9]+.*DONE' "$log" | tail -n 1
