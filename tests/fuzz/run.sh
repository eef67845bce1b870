#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build (-DBUILD_FUZZERS=ON, clang) for
# a while, JOBS at a time, each on a scratch copy of its seed corpus.
#   tests/fuzz/run.sh BUILD_DIR SECONDS [JOBS] [TARGET...]
# A crash, leak or time-out leaves its input in OUT/<target>/ (OUT defaults
# to a fresh folder under /tmp) and makes the script exit 1. The last line of
# each target's log gives its executions: "<target>: <runs> runs in <s> s".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?build dir}
seconds=${2:?seconds}
jobs=${3:-1}
shift $(( $# >= 3 ? 3 : $# ))
out=${OUT:-$(mktemp -d /tmp/fuzz-run.XXXXXX)}
mkdir -p "$out"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for src in "$here"/*_fuzz.cpp; do
        targets+=("$(basename "$src" .cpp)")
    done
fi

run_one() {
    local name=$1 corpus=${1%_fuzz}
    local bin="$build/tests/$name"
    if [ ! -x "$bin" ]; then
        echo "$name: not built in $build" >&2
        return 1
    fi
    local work="$out/$name"
    mkdir -p "$work/corpus"
    cp -r "$here/corpus/$corpus/." "$work/corpus/" 2>/dev/null || true
    local started=$SECONDS
    "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/" "$work/corpus" > "$work/log" 2>&1
    local rc=$?
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
    echo "$name: ${runs:-?} runs in $((SECONDS - started)) s, exit $rc"
    if [ $rc -ne 0 ]; then
        tail -40 "$work/log" >&2
        return 1
    fi
}

status=0
pids=()
for name in "${targets[@]}"; do
    run_one "$name" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
echo "fuzz logs and any crash inputs: $out"
exit $status
