#!/usr/bin/env bash
# Every test: the portable code's unit tests natively, the end-to-end tests of
# torvane.exe under Wine on a virtual display, and a bounded fuzz run.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
ensure_packages
cd "$TORVANE_ROOT"

# Each stage adds its counts; the last line sums them up.
passed=0
failed=0
# Runs a ctest command, showing its output, and adds the counts of its
# "N tests failed out of M" line; a run without that line counts as a failure.
run_counted() {
    local log line f t
    log=$(mktemp)
    "$@" 2>&1 | tee "$log" || true
    line=$(grep -E 'tests failed out of [0-9]+' "$log" | tail -1 || true)
    rm -f "$log"
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        return
    fi
    f=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
    t=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')
    passed=$((passed + t - f))
    failed=$((failed + f))
}

echo "== Unit tests (native)"
build_preset native >/dev/null
run_counted ctest --preset native

echo "== End-to-end tests (torvane.exe under Wine)"
build_preset win >/dev/null
ensure_wine_prefix
run_counted xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset win

echo "== Fuzzing the script engine"
"$TORVANE_ROOT/tests/fuzz/run-fuzz.sh" "${TORVANE_FUZZ_SECONDS:-60}"
passed=$((passed + 1))

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
