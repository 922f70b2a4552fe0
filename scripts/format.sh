#!/usr/bin/env bash
# Formats C++ files with clang-format and the repository's .clang-format.
# Only the files you name are touched (by default, the C++ files changed in
# the work tree against HEAD): the tree as a whole is not kept formatted, so
# reformat what you edit rather than everything. --check only lists the files
# that would change, and always exits 0; the tests do not check formatting.
#
#   bash scripts/format.sh native/json/reader.cc native/json/reader.h
#   bash scripts/format.sh               # the C++ files changed since HEAD
#   bash scripts/format.sh --check       # list, do not change
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
if [ "${1:-}" = --check ]; then
  check=1
  shift
fi
command -v clang-format >/dev/null 2>&1 ||
  { echo "clang-format is not installed (Debian: apt-get install clang-format)" >&2; exit 1; }

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <({ git diff --name-only HEAD; git ls-files --others --exclude-standard; } |
    grep -E '\.(h|cc)$' | sort -u | while IFS= read -r f; do [ -f "$f" ] && echo "$f"; done)
fi
[ ${#files[@]} -gt 0 ] || { echo "no C++ files to format"; exit 0; }

if [ "$check" = 1 ]; then
  for f in "${files[@]}"; do
    clang-format --style=file "$f" | cmp -s - "$f" || echo "would reformat: $f"
  done
else
  clang-format --style=file -i "${files[@]}"
fi
