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

echo "== Packages, the container image and the Kubernetes manifests"
# tools/package.sh as a user runs it, with podman kept to a store of the
# checks' own (removed by the last check), then the checks of what it made.
checks=$TORVANE_ROOT/build/package-checks
podman_store="--root $checks/podman-root --runroot $checks/podman-run --storage-driver vfs"
export CONTAINERS_CONF=$TORVANE_ROOT/tests/package/containers.conf
rm -rf "$checks/packages"
mkdir -p "$checks"
if TORVANE_PODMAN_OPTS="$podman_store" TORVANE_PACKAGE_DIR="$checks/packages" \
        tools/package.sh >"$checks/package.log" 2>&1; then
    cmake -S tests/package -B "$checks/tests" -DTORVANE_PACKAGE_DIR="$checks/packages" \
        -DTORVANE_PODMAN_OPTS="$podman_store" >/dev/null
    cmake --build "$checks/tests" >/dev/null
    run_counted ctest --test-dir "$checks/tests" -j2 --output-on-failure
else
    cat "$checks/package.log"
    echo "tools/package.sh failed"
    failed=$((failed + 1))
fi
unset CONTAINERS_CONF

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
