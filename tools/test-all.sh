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
count_ctest() {  # reads ctest's output, counts "N tests failed out of M"
    local line
    line=$(tee /dev/stderr | grep -E 'tests failed out of [0-9]+' | tail -1 || true)
    if [ -z "$line" ]; then echo "0 1"; return; fi  # no summary: it did not run
    local f t
    f=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
    t=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')
    echo "$((t - f)) $f"
}
add_counts() { passed=$((passed + $1)); failed=$((failed + $2)); }

echo "== Unit tests (native)"
build_preset native >/dev/null
add_counts $(ctest --preset native 2>&1 | count_ctest)

echo "== End-to-end tests (torvane.exe under Wine)"
build_preset win >/dev/null
ensure_wine_prefix
add_counts $(xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset win 2>&1 | count_ctest)

echo "== Fuzzing the script engine"
"$TORVANE_ROOT/tests/fuzz/run-fuzz.sh" "${TORVANE_FUZZ_SECONDS:-60}"
add_counts 1 0

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
