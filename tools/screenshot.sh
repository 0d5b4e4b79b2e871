#!/usr/bin/env bash
# Renders the main window on a virtual display to PNG, in English and in
# Japanese: docs/window-en.png and docs/window-ja.png. Wine's own desktop
# window draws the title bar, since the virtual display has no window manager.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
ensure_packages
command -v import >/dev/null || { echo "Needs ImageMagick: apt-get install -y imagemagick"; exit 1; }
build_preset win >/dev/null
ensure_wine_prefix wineprefix-shots  # its own server: the tests may be running
mkdir -p "$TORVANE_ROOT/docs"

shoot() {  # locale, output file
    local display=:$((90 + RANDOM % 100))
    Xvfb "$display" -screen 0 800x600x24 >/dev/null 2>&1 &
    local xvfb=$!
    sleep 0.5
    DISPLAY=$display LC_ALL=$1 wine explorer /desktop=shot,460x420 "$TORVANE_ROOT/build/win/torvane.exe" &
    local app=$!
    for _ in $(seq 100); do  # poll for the window, up to 20 s
        DISPLAY=$display xwininfo -root -tree 2>/dev/null | grep -q '"shot' && break
        sleep 0.2
    done
    sleep 2  # the window paints after it is mapped
    DISPLAY=$display import -window root -crop 460x420+0+0 "$2"
    kill "$app" 2>/dev/null || true
    wineserver -k || true
    kill "$xvfb" 2>/dev/null || true
    echo "wrote $2"
}

# Wine draws menus and title bars in Tahoma ("MS Shell Dlg"), which has no Japanese glyphs, and
# links no fallback for it here; map it to the IPA font for the Japanese shot.
replace_tahoma() {
    local face
    for face in Tahoma "MS Shell Dlg"; do
        if [ -n "$1" ]; then
            wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "$1" /f >/dev/null 2>&1
        else
            wine reg delete 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /f >/dev/null 2>&1 || true
        fi
    done
    wineserver -w
}

replace_tahoma ""
shoot C.UTF-8 "$TORVANE_ROOT/docs/window-en.png"
replace_tahoma IPAPGothic
shoot ja_JP.UTF-8 "$TORVANE_ROOT/docs/window-ja.png"
replace_tahoma ""
