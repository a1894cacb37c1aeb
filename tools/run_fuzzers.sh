#!/bin/sh
# Runs every fuzz program of a fuzz build for a bounded time each, one process at a time.
#   tools/run_fuzzers.sh BUILD_DIR SECONDS [RUNS]
# With RUNS each target stops after that many executions instead (SECONDS still bounds it).
# Seeds come from tests/fuzz/corpus/NAME/ (read only); inputs the fuzzer adds go to
# BUILD_DIR/corpus/NAME/ and crashes to BUILD_DIR/artifacts/NAME/. Exits 1 if any target crashed.
set -u
build=${1:?build directory}
seconds=${2:-60}
runs_goal=${3:-}
root=$(cd "$(dirname "$0")/.." && pwd)
# Leaks of third-party libraries only (tools/sanitizers/lsan.supp says which).
export LSAN_OPTIONS="suppressions=$root/tools/sanitizers/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
status=0
found=0
for program in "$build"/fuzz_*; do
    [ -x "$program" ] || continue
    found=1
    name=$(basename "$program")
    target=${name#fuzz_}
    work="$build/corpus/$target"
    artifacts="$build/artifacts/$target/"
    mkdir -p "$work" "$artifacts"
    # Options of its own, if the target has any (tests/fuzz/fuzz_NAME.options, one line),
    # after the usual ones, which they override.
    own=$(cat "$root/tests/fuzz/$name.options" 2>/dev/null)
    limit="-max_total_time=$seconds $own"
    [ -n "$runs_goal" ] && limit="-runs=$runs_goal $limit"
    echo "== $name: ${runs_goal:+$runs_goal runs within }$seconds s"
    started=$(date +%s)
    # shellcheck disable=SC2086 # $limit holds several options
    "$program" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 $limit \
        -artifact_prefix="$artifacts" "$work" "$root/tests/fuzz/corpus/$target" \
        >"$build/$name.log" 2>&1
    rc=$?
    elapsed=$(( $(date +%s) - started ))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$name.log" | tail -n 1)
    if [ $rc -eq 0 ]; then
        echo "$name: ${runs:-?} runs in $elapsed s, no failure"
    else
        status=1
        echo "$name: FAILED after ${runs:-?} runs (exit $rc); log $build/$name.log"
        ls "$artifacts" 2>/dev/null | sed "s|^|  $artifacts|"
        grep -m 3 -E 'ERROR|SUMMARY|deadly signal' "$build/$name.log" | sed 's/^/  /'
    fi
done
[ $found -eq 1 ] || { echo "no fuzz programs in $build"; exit 1; }
exit $status
