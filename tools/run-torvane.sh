#!/usr/bin/env bash
# Builds torvane.exe if needed and starts it (under Wine on Linux), passing
# the arguments through: tools/run-torvane.sh /p
set -euo pipefail
source "$(dirname "$0")/setup.sh"
ensure_packages
build_preset win >/dev/null
if [ -z "${DISPLAY:-}" ]; then
    echo "No display: torvane.exe is a window program and needs one."
    echo "On a machine without a screen, run it on a virtual display:"
    echo "  xvfb-run -a -s '-screen 0 1024x768x24' $0 $*"
    exit 1
fi
ensure_wine_prefix
exec wine "$TORVANE_ROOT/build/win/torvane.exe" "$@"
