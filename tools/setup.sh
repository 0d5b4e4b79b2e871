# Shared by run-torvane.sh and test-all.sh: installs what is missing from
# Debian's packages (as root) or says which apt-get line to run, then builds.
# Sourced, not run.

TORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TORVANE_PACKAGES="cmake make g++ python3 g++-mingw-w64-x86-64 wine wine64 xvfb xauth libgtest-dev fonts-ipafont locales clang libfuzzer-14-dev libcli11-dev nlohmann-json3-dev zlib1g-dev podman runc zip file binutils nodejs chromium libboost-dev prometheus prometheus-node-exporter catatonit python3-yaml"

missing_packages() {
    local missing=""
    for p in $TORVANE_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    echo "$missing"
}

# Debian's prometheus and prometheus-node-exporter start a service on
# install where the init system allows it, listening on every address; the
# tests start their own on 127.0.0.1 only, so the services installed here are
# stopped and kept from starting at boot.
stop_installed_services() {
    local p service
    for p in "$@"; do
        case "$p" in
            prometheus | prometheus-node-exporter) service=$p ;;
            *) continue ;;
        esac
        if [ -d /run/systemd/system ]; then
            systemctl disable --now "$service" >/dev/null 2>&1 || true
        elif [ -x "/etc/init.d/$service" ]; then
            "/etc/init.d/$service" stop >/dev/null 2>&1 || true
            update-rc.d "$service" disable >/dev/null 2>&1 || true
        fi
    done
}

ensure_packages() {
    local missing
    missing=$(missing_packages)
    if [ -n "$missing" ]; then
        if [ "$(id -u)" = 0 ]; then
            echo "Installing:$missing"
            apt-get update -q >/dev/null
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing >/dev/null
            stop_installed_services $missing
        else
            echo "Missing packages. Run:"
            echo "  sudo apt-get install -y$missing"
            exit 1
        fi
    fi
    # Wine reads the Japanese user interface from this locale.
    if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
        if [ "$(id -u)" = 0 ]; then
            sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
            grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
            locale-gen >/dev/null
        else
            echo "The ja_JP.UTF-8 locale is missing. Run:"
            echo "  sudo sh -c \"echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen && locale-gen\""
            exit 1
        fi
    fi
}

build_preset() {
    cmake --preset "$1" -S "$TORVANE_ROOT" >/dev/null
    cmake --build --preset "$1"
}

# A Wine prefix inside the build tree (build/wineprefix unless named); made
# once, in about 15 s.
ensure_wine_prefix() {
    export WINEPREFIX="$TORVANE_ROOT/build/${1:-wineprefix}"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Preparing the Wine prefix in $WINEPREFIX"
        wineboot -u >/dev/null 2>&1
    fi
    wineserver -w
}
