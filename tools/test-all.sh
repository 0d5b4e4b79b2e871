#!/usr/bin/env bash
# Every test: the portable code's unit tests natively, the end-to-end tests of
# torvane.exe under Wine on a virtual display, and a bounded fuzz run.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
ensure_packages
cd "$TORVANE_ROOT"

echo "== Unit tests (native)"
build_preset native >/dev/null
ctest --preset native

echo "== End-to-end tests (torvane.exe under Wine)"
build_preset win >/dev/null
ensure_wine_prefix
xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset win

echo "== Fuzzing the script engine"
"$TORVANE_ROOT/tests/fuzz/run-fuzz.sh" "${TORVANE_FUZZ_SECONDS:-60}"
