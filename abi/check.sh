#!/usr/bin/env bash
# Compares the interface of the device link library in BUILD_DIR with the
# one recorded in abi/libcorvestel.abi (abidiff, from abigail-tools).
#
#   abi/check.sh [BUILD_DIR]            check; fails on an incompatible change
#                                       unless the SOVERSION was raised
#   abi/check.sh [BUILD_DIR] --record   record the library's interface anew
#
# Only the public headers' declarations count (the ones installed under
# include/corvestel); the helpers exported for the plugin and the Updater are
# left out (abi/suppressions.txt). A compatible addition passes with a
# report; record it with --record. An incompatible change passes only with a
# new SOVERSION in CMakeLists.txt, and then the interface is recorded anew.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
baseline=abi/libcorvestel.abi
suppressions=abi/suppressions.txt

if ! command -v abidiff >/dev/null || ! command -v abidw >/dev/null; then
  echo "abi/check.sh: abidiff and abidw (abigail-tools) are not installed; nothing checked"
  exit 0
fi
library=$(readlink -f "$build/libcorvestel.so" || true)
if [ -z "$library" ] || [ ! -f "$library" ]; then
  echo "abi/check.sh: no libcorvestel.so in $build" >&2
  exit 1
fi

# The public headers as the library was compiled from them.
headers=()
for h in $(sed -n '/^set(CORVESTEL_PUBLIC_HEADERS/,/)/p' sdk/CMakeLists.txt |
           grep -oE '(link|transport)/[A-Za-z_0-9]+\.h'); do
  headers+=("$PWD/$h")
done
if [ "${#headers[@]}" -lt 20 ]; then
  echo "abi/check.sh: the public header list in sdk/CMakeLists.txt was not found" >&2
  exit 1
fi

if [ "${2:-}" = "--record" ]; then
  args=()
  for h in "${headers[@]}"; do args+=(--hf "$h"); done
  abidw "${args[@]}" --drop-private-types --suppressions "$suppressions" --no-corpus-path --no-show-locs --no-comp-dir-path \
    --out-file "$baseline" "$library"
  echo "abi/check.sh: recorded $(basename "$library") in $baseline"
  exit 0
fi

if [ ! -f "$baseline" ]; then
  echo "abi/check.sh: no $baseline; record one with: abi/check.sh $build --record" >&2
  exit 1
fi
args=()
for h in "${headers[@]}"; do args+=(--hf2 "$h"); done
set +e
report=$(abidiff --drop-private-types --suppressions "$suppressions" "${args[@]}" "$baseline" "$library" 2>&1)
status=$?
set -e
# abidiff's status is a bit set: 1 the tool failed, 2 usage, 4 a change,
# 8 an incompatible change.
if (( status & 3 )); then
  echo "abi/check.sh: abidiff could not compare (status $status); nothing checked:"
  echo "$report"
  exit 0
fi
recorded=$(grep -oE "soname='[^']+'" "$baseline" | head -1 | sed "s/soname='\(.*\)'/\1/")
current=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if (( status & 8 )); then
  if [ "$recorded" != "$current" ]; then
    echo "abi/check.sh: incompatible changes with the new soname $current (was $recorded); record them with --record"
    exit 0
  fi
  echo "abi/check.sh: incompatible change of $current's interface; raise CORVESTEL_SOVERSION in CMakeLists.txt" >&2
  echo "or keep the interface as it was:" >&2
  echo "$report" >&2
  exit 1
fi
if (( status & 4 )); then
  echo "abi/check.sh: compatible changes (record them with --record):"
  echo "$report"
  exit 0
fi
echo "abi/check.sh: $current keeps its recorded interface"
