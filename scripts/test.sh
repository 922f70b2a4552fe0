#!/usr/bin/env bash
# Installs what the tests need on a fresh machine and runs every test:
# the C++ unit tests (GoogleTest through CTest), the Python tests (pytest)
# against the installed package, the C++ tests again under AddressSanitizer
# and UndefinedBehaviorSanitizer, and each fuzz target for a bounded time.
#
#   bash scripts/test.sh            # everything
#   TALPEN_QUICK=1 bash scripts/test.sh   # skip the sanitizer and fuzz stages
#   TALPEN_FUZZ_SECONDS=120 bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
quick=${TALPEN_QUICK:-0}
fuzz_seconds=${TALPEN_FUZZ_SECONDS:-$([ "${CI:-}" = true ] && echo 45 || echo 20)}
jobs=$(nproc 2>/dev/null || echo 2)

stage() { printf '\n== %s\n' "$*"; }

# CTest lists every GoogleTest case; keep the log and show its summary, or
# all of it when something failed.
run_ctest() {
  local log=$1/ctest.log
  if ctest --test-dir "$1" --output-on-failure -j "$jobs" >"$log" 2>&1; then
    grep -E 'tests passed|tests failed|Total Test time' "$log"
  else
    cat "$log"
    return 1
  fi
}

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

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

# --- Python: a virtual environment with the package and its test extras.
stage "installing the package into .venv"
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check ".[test]"

# --- C++ unit tests (warnings are errors here).
stage "C++ tests"
cmake -S . -B build/tests "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DTALPEN_BUILD_TESTS=ON \
  -DTALPEN_WERROR=ON >/dev/null
cmake --build build/tests -j "$jobs"
run_ctest build/tests

# --- Python tests against the installed package (not the working tree).
stage "Python tests"
export TALPEN_FORMAT_DOUBLE_TOOL=$root/build/tests/format_double_tool
(cd tests/python && "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider .)

if [ "$quick" = 1 ]; then
  exit 0
fi

# --- The C++ tests once more under AddressSanitizer and UndefinedBehaviorSanitizer.
stage "C++ tests under ASan+UBSan"
cmake -S . -B build/asan "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALPEN_BUILD_TESTS=ON \
  -DTALPEN_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest build/asan

# --- Fuzz targets (libFuzzer, clang), each for a bounded time from its seed corpus.
stage "fuzzing, ${fuzz_seconds}s per target"
CC=clang CXX=clang++ cmake -S . -B build/fuzz "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALPEN_BUILD_FUZZERS=ON >/dev/null
cmake --build build/fuzz -j "$jobs"
for src in fuzz/*_fuzz.cc; do
  name=$(basename "$src" .cc)
  work=build/fuzz/corpus-$name
  mkdir -p "$work" build/fuzz/artifacts
  printf -- '-- %s: ' "$name"
  if ! "build/fuzz/$name" -max_total_time="$fuzz_seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix=build/fuzz/artifacts/ "$work" "fuzz/corpus/$name" >"build/fuzz/$name.log" 2>&1; then
    echo "FAILED"; tail -n 40 "build/fuzz/$name.log"; exit 1
  fi
  grep -E '^#[0-9]+.*(DONE|pulse)' "build/fuzz/$name.log" | tail -n 1
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

stage "all tests passed"
