#!/usr/bin/env bash
# Runs the test suite (or the tests named by CTest's own arguments) N times
# and prints every test that failed, with the number of runs it failed in.
#
#   scripts/flake-hunt.sh [-n N] [--load] [CTEST-ARGS...]
#
#   -n N     runs (default 5)
#   --load   keeps every CPU busy with stress-ng while the tests run, as a
#            loaded machine or a slow one would
#   CTEST-ARGS  go to ctest as they are, e.g. -R usb.faults_netns or -L link
#
# BUILD_DIR names the build (default build); it is built first. The exit
# status is 0 when every run passed. A failed run's output is kept in a log
# whose name is printed.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5 load=0
ctest_args=()
while [ $# -gt 0 ]; do
  case $1 in
    -n) [ $# -ge 2 ] || { echo "flake-hunt: -n needs a number" >&2; exit 2; }
        runs=$2; shift 2 ;;
    -n*) runs=${1#-n}; shift ;;
    --load) load=1; shift ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) ctest_args+=("$1"); shift ;;
  esac
done
case $runs in
  ''|*[!0-9]*|0) echo "flake-hunt: -n takes a positive number, not '$runs'" >&2; exit 2 ;;
esac

BUILD_DIR=${BUILD_DIR:-build}
./scripts/build.sh

logs=$(mktemp -d /tmp/flake-hunt.XXXXXX)
stress_pid=
stop_load() {
  if [ -n "$stress_pid" ]; then
    kill -- "-$stress_pid" 2>/dev/null || true
    wait "$stress_pid" 2>/dev/null || true
    stress_pid=
  fi
}
trap stop_load EXIT

if [ "$load" = 1 ]; then
  if ! command -v stress-ng >/dev/null; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    $SUDO apt-get install -y -qq --no-install-recommends stress-ng >/dev/null
  fi
  # Its own process group, so that every worker goes with it.
  setsid stress-ng --cpu "$(nproc)" --cpu-method all --quiet &
  stress_pid=$!
  echo "Load: stress-ng on $(nproc) CPUs"
fi

declare -A failures=()
failed_runs=0
for ((run = 1; run <= runs; run++)); do
  log="$logs/run-$run.log"
  start=$(date +%s)
  # Each run starts with no record of the last one's failures.
  rm -f "$BUILD_DIR/Testing/Temporary/LastTestsFailed.log"
  if (cd "$BUILD_DIR" && ctest --output-on-failure --no-tests=error -j "$(nproc)" "${ctest_args[@]}") > "$log" 2>&1; then
    echo "run $run/$runs: passed ($(($(date +%s) - start)) s)"
    rm -f "$log"
  else
    failed_runs=$((failed_runs + 1))
    names=()
    if [ -f "$BUILD_DIR/Testing/Temporary/LastTestsFailed.log" ]; then
      while IFS=: read -r _ name; do
        [ -n "$name" ] || continue
        names+=("$name")
        failures[$name]=$(( ${failures[$name]:-0} + 1 ))
      done < "$BUILD_DIR/Testing/Temporary/LastTestsFailed.log"
    fi
    if [ "${#names[@]}" -eq 0 ]; then
      names=("(ctest failed without naming a test)")
      failures["(ctest itself)"]=$(( ${failures["(ctest itself)"]:-0} + 1 ))
    fi
    echo "run $run/$runs: FAILED ($(($(date +%s) - start)) s): ${names[*]} (log: $log)"
  fi
done
stop_load

echo
if [ "$failed_runs" -eq 0 ]; then
  echo "All $runs runs passed$([ "$load" = 1 ] && echo " under load")."
  rmdir "$logs" 2>/dev/null || true
  exit 0
fi
echo "$failed_runs of $runs runs failed$([ "$load" = 1 ] && echo " under load"):"
for name in "${!failures[@]}"; do
  printf '  %3d/%d  %s\n' "${failures[$name]}" "$runs" "$name"
done | sort -k3
exit 1
