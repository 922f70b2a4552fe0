#!/usr/bin/env bash
# Installs what the tests need on a fresh machine and runs every test:
# the layer rule of native/, the C++ unit tests (GoogleTest through CTest,
# warnings as errors, both extensions compiled too), the Python tests
# (pytest, one process per core) against the installed package; then the C++ tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the Python tests against
# extensions built with both sanitizers, the one abi3 wheel on the oldest and
# newest CPython at hand, each fuzz target for a bounded time, the Python
# surface under atheris, a leak check, and the README's developer commands.
#
#   bash scripts/test.sh            # everything
#   TALPEN_QUICK=1 bash scripts/test.sh   # stop after the plain C++ and Python tests
#   TALPEN_FUZZ_SECONDS=120 bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
quick=${TALPEN_QUICK:-0}
fuzz_seconds=${TALPEN_FUZZ_SECONDS:-$([ "${CI:-}" = true ] && echo 25 || echo 20)}
jobs=$(nproc 2>/dev/null || echo 2)
started=$SECONDS

stage() { printf '\n== %s  [%ss]\n' "$*" "$((SECONDS - started))"; }

# CTest lists every GoogleTest case; keep the log and show its summary, or
# all of it when something failed. The argument names a test preset.
run_ctest() {
  local log=build/$1/ctest.log
  if ctest --preset "$1" -j "$jobs" >"$log" 2>&1; then
    grep -E 'tests passed|tests failed|Total Test time' "$log"
  else
    cat "$log"
    return 1
  fi
}

# New build trees use Ninja where it is at hand (an existing tree keeps its generator).
command -v ninja >/dev/null 2>&1 && export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}

# --- The layer rule: native/ folders include only their own files and the layers below.
stage "layer rule of native/"
bash scripts/check_layers.sh

# --- System packages: GoogleTest always; clang and its fuzzing runtime for the fuzz stage.
want=()
dpkg -s libgtest-dev >/dev/null 2>&1 || want+=(libgtest-dev)
if [ "$quick" != 1 ]; then
  command -v clang++ >/dev/null 2>&1 || want+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || want+=(libclang-rt-14-dev)
fi
if [ ${#want[@]} -gt 0 ]; then
  stage "installing system packages: ${want[*]}"
  sudo_cmd=(); [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${want[@]}" >/dev/null
fi

# --- Python: a virtual environment with the package and its test extras.
stage "installing the package into .venv"
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check ".[test]"

# --- C++ unit tests; warnings are errors, and both extensions are compiled too.
stage "C++ tests (-Werror)"
cmake --preset tests -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build --preset tests -j "$jobs"
run_ctest tests

# --- Python tests against the installed package (not the working tree).
stage "Python tests"
export TALPEN_FORMAT_DOUBLE_TOOL=$root/build/tests/format_double_tool
(cd tests/python && "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider -n "$jobs" .)

if [ "$quick" = 1 ]; then
  stage "quick tests passed"
  exit 0
fi

# --- The C++ tests once more under AddressSanitizer and UndefinedBehaviorSanitizer.
stage "C++ tests under ASan+UBSan"
cmake --preset asan -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build --preset asan -j "$jobs"
run_ctest asan

# --- The Python tests against extensions built with both sanitizers, in their
# own environment. The interpreter is not sanitized, so the runtimes are
# preloaded: those of GCC, which builds the extensions here, and the C++
# runtime, without which a C++ throw through ASan aborts. Leaks are not
# judged here (the interpreter keeps memory to the end on purpose; the
# valgrind stage judges ours). The double-formatter oracle does not touch
# the extensions and already ran above, so it is left out.
stage "Python tests against extensions built with ASan+UBSan"
[ -x .venv-asan/bin/python ] || python3 -m venv .venv-asan
.venv-asan/bin/python -m pip install -q --disable-pip-version-check -C cmake.define.TALPEN_SANITIZE=ON \
  -C cmake.build-type=RelWithDebInfo -C build-dir=build/asan-wheel ".[test]"
preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so) $(g++ -print-file-name=libstdc++.so)"
(cd tests/python && env -u TALPEN_FORMAT_DOUBLE_TOOL LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$root/.venv-asan/bin/python" -m pytest -q -p no:cacheprovider -n "$jobs" .)

# --- The one abi3 wheel promises CPython 3.10 and later: install it into the
# oldest (3.10) and the newest CPython that pyenv has, each in a fresh
# environment with its own dependencies and no extras, and check that both
# extensions give the same bytes there as here. Interpreters are found, never
# built.
stage "the abi3 wheel on the oldest and newest CPython"
rm -rf build/wheel
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-deps -w build/wheel .
wheel=$(ls build/wheel/talpen_synth-*-cp310-abi3-*.whl)
reference=$(.venv/bin/python scripts/wheel_smoke.py)
echo "-- $(.venv/bin/python -c 'import platform; print(platform.python_version())') (.venv): $reference"
pythons=()
for python in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python; do
  # Plain releases only (no free-threaded or development builds).
  [[ "$python" =~ /versions/3\.[0-9]+\.[0-9]+/bin/python$ ]] && [ -x "$python" ] && pythons+=("$python")
done
listed=$(for python in "${pythons[@]}"; do
  echo "$("$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])') $python"
done | sort -V | awk '$1 ~ /^3\.([1-9][0-9])\./')
oldest=$(grep -E '^3\.10\.' <<<"$listed" | tail -n 1 || true)
newest=$(tail -n 1 <<<"$listed")
[ -n "$oldest" ] || echo "-- skipped 3.10: no CPython 3.10 under ${PYENV_ROOT:-$HOME/.pyenv}/versions"
if [ -z "$newest" ] || [ "$newest" = "$oldest" ]; then
  echo "-- skipped the newest: no CPython newer than 3.10 under ${PYENV_ROOT:-$HOME/.pyenv}/versions"
  newest=""
fi
for found in "$oldest" "$newest"; do
  [ -n "$found" ] || continue
  version=${found%% *}
  venv=build/wheel/venv-$version
  "${found#* }" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel"
  got=$("$venv/bin/python" scripts/wheel_smoke.py)
  echo "-- $version: $got"
  [ "$got" = "$reference" ] || { echo "FAILED: the wheel answers differently on $version"; exit 1; }
done

# --- Fuzz targets (libFuzzer, clang), each for a bounded time from its seed corpus.
stage "fuzzing, ${fuzz_seconds}s per target"
for src in fuzz/*_fuzz.cc; do
  bash scripts/fuzz.sh "$(basename "$src" .cc)" "$fuzz_seconds"
done

# --- The Python surface under structured fuzzing (atheris), bounded.
stage "fuzzing the Python surface"
TALPEN_PYTHON=$root/.venv/bin/python TALPEN_ATHERIS_SECONDS=${TALPEN_ATHERIS_SECONDS:-$fuzz_seconds} \
  bash scripts/harden.sh

# --- Leaks: valgrind memcheck over the C++ tests and a Python smoke run.
stage "leak check (valgrind memcheck)"
if ! command -v valgrind >/dev/null 2>&1; then
  sudo_cmd=(); [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq valgrind >/dev/null
fi
TALPEN_PYTHON=$root/.venv/bin/python bash scripts/leak_check.sh

# --- The commands of the README's "Developing" section, exactly as written
# there (its fuzz run bounded to a few seconds), so that they keep working.
stage "the README's developer commands"
mapfile -t commands < <(awk '/^## / { dev = ($0 == "## Developing") }
  dev && /^```/ { inside = !inside; next } dev && inside && NF' README.md)
[ ${#commands[@]} -gt 0 ] || { echo "FAILED: no commands found under the README's Developing heading"; exit 1; }
for command in "${commands[@]}"; do
  printf -- '-- %s\n' "$command"
  TALPEN_FUZZ_SECONDS=5 bash -c "$command" </dev/null >build/readme-command.log 2>&1 ||
    { echo "FAILED:"; tail -n 40 build/readme-command.log; exit 1; }
done

stage "all tests passed"
