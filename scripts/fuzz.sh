#!/usr/bin/env bash
# Builds one libFuzzer target (the `fuzz` CMake preset, clang) and runs it for
# a bounded time from its seed corpus in fuzz/corpus/NAME. New inputs go to a
# working corpus under build/fuzz (kept between runs), never into the seeds;
# a crash is written to build/fuzz/artifacts/ and fails the run.
#
#   bash scripts/fuzz.sh reader_fuzz          # TALPEN_FUZZ_SECONDS, else 60 s
#   bash scripts/fuzz.sh reader_fuzz 600
#   build/fuzz/reader_fuzz build/fuzz/artifacts/crash-...   # replay a crash
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?"usage: bash scripts/fuzz.sh NAME [SECONDS] (NAME: one of $(cd fuzz && ls *_fuzz.cc | sed 's/\.cc$//' | tr '\n' ' '))"}
seconds=${2:-${TALPEN_FUZZ_SECONDS:-60}}
jobs=$(nproc 2>/dev/null || echo 2)
[ -f "fuzz/$name.cc" ] || { echo "no fuzz target fuzz/$name.cc" >&2; exit 2; }
command -v ninja >/dev/null 2>&1 && export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target "$name" >/dev/null

work=build/fuzz/corpus-$name
log=build/fuzz/$name.log
mkdir -p "$work" build/fuzz/artifacts
printf -- '-- %s, %ss: ' "$name" "$seconds"
if ! "build/fuzz/$name" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build/fuzz/artifacts/ "$work" "fuzz/corpus/$name" >"$log" 2>&1; then
  echo "FAILED"
  tail -n 40 "$log"
  exit 1
fi
# Executions (#), coverage and the size of the working corpus.
grep -E '^#[0-9]+.*(DONE|pulse)' "$log" | tail -n 1
