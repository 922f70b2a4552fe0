#!/usr/bin/env bash
# The layer rule of native/, checked on the include lines: each folder may
# include its own files and the folders below it, never one above or beside
# it, and only the CPython glue includes Python.h.
#
#   base       the result type and error kinds (nothing of ours)
#   json       JSON text
#   core       spec records, decoding, validation, the generator
#   protocol   commands, requests, spec reading, responses  } no Python; these two
#   tables     a run as typed columns, Arrow and DLPack       } never include each other
#   pyglue     the CPython glue both extensions share
#   module     _talpen_synth       } these two never include each other
#   columns    _talpen_columns     }
#
# A folder missing from the tree is simply not checked; a folder under
# native/ that is missing from this table fails the check until it is placed
# in it. Our includes name their folder ("core/spec.h"); a bare name
# ("spec.h") counts as the including file's own folder.
#
#   bash scripts/check_layers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A below=(
  [base]=""
  [json]="base"
  [core]="base json"
  [protocol]="base json core"
  [tables]="base json core"
  [pyglue]="base json core protocol tables"
  [module]="base json core protocol tables pyglue"
  [columns]="base json core protocol tables pyglue"
)
python_allowed=" pyglue module columns "
ours=" ${!below[*]} "

failures=0
fail() { printf '%s\n' "$*"; failures=$((failures + 1)); }

checked=0
for dir in native/*/; do
  folder=$(basename "$dir")
  if [ -z "${below[$folder]+set}" ]; then
    fail "native/$folder/: not a known layer (add it to the table in scripts/check_layers.sh)"
    continue
  fi
  allowed=" $folder ${below[$folder]} "
  while IFS= read -r hit; do
    [ -n "$hit" ] || continue
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    text=${rest#*:}
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^">]+)[">].*/\1/' <<<"$text")
    checked=$((checked + 1))
    case "$target" in
      Python.h | structmember.h | pythread.h)
        [[ "$python_allowed" == *" $folder "* ]] ||
          fail "$file:$line: includes <$target>, but only pyglue/, module/ and columns/ may use CPython"
        continue
        ;;
    esac
    if [[ "$target" == */* ]]; then
      top=${target%%/*}
      # Headers of other projects (<gtest/gtest.h>, <sys/mman.h>) are not layers.
      [[ "$ours" == *" $top "* ]] || continue
      [[ "$allowed" == *" $top "* ]] ||
        fail "$file:$line: $folder/ includes \"$target\"; it may include only its own files and: ${below[$folder]:-nothing}"
    fi
  done < <(grep -rnH -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' --include='*.h' --include='*.cc' "$dir" || true)
done

if [ "$failures" -gt 0 ]; then
  echo "layer check: $failures breaches of the layer rule"
  exit 1
fi
echo "layer check: $checked include lines in native/ keep to the layers"
