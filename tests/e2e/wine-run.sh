#!/bin/sh
# Runs a Windows program of the build under Wine, in the build tree's own
# prefix, quietly and without install prompts. WINE_RUN_ADDRESS_SPACE_KB, when
# set, caps the address space of the program and of every process it starts.
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:=$(cd "$here/../.." && pwd)/build/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ -n "$WINE_RUN_ADDRESS_SPACE_KB" ]; then
    ulimit -v "$WINE_RUN_ADDRESS_SPACE_KB" || exit 1
fi
exec wine "$@"
