#!/usr/bin/env bash
# Builds what users install: the Windows zip (torvane.exe, torvane-run.exe),
# the Linux tarball (a fully static torvane-run) and the container image
# localhost/torvane-run:VERSION, each with the examples and the documents.
#
#   tools/package.sh [--no-image]
#
# Packages land in build/package/ (TORVANE_PACKAGE_DIR to change it). The
# programs are built in the presets' own trees, build/win and
# build/linux-static, so a tree the tests built is packaged as it is;
# TORVANE_PACKAGE_BUILD=FOLDER builds in FOLDER/win and FOLDER/linux-static.
# TORVANE_PODMAN_OPTS: global podman options, e.g. a storage root of one's own.
set -euo pipefail
source "$(dirname "$0")/setup.sh"

image=1
for argument in "$@"; do
    case "$argument" in
        --no-image) image=0 ;;
        -h|--help) sed -n '2,/^set /{/^#/p}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "package.sh: unknown option $argument (known: --no-image, --help)" >&2; exit 2 ;;
    esac
done

ensure_packages
out=${TORVANE_PACKAGE_DIR:-$TORVANE_ROOT/build/package}
mkdir -p "$out"
out=$(cd "$out" && pwd)
read -r -a podman_opts <<< "${TORVANE_PODMAN_OPTS:-}"
trees=${TORVANE_PACKAGE_BUILD:-$TORVANE_ROOT/build}
static_tree=$trees/linux-static

# Configures a preset, builds only the shipped programs and lets CPack write
# the archive into $out.
package_preset() {
    local preset=$1 tree=$trees/$1
    shift
    cmake --preset "$preset" -S "$TORVANE_ROOT" -B "$tree" >/dev/null
    cmake --build "$tree" -j2 --target "$@"
    rm -rf "$tree/packages"
    (cd "$tree" && cpack -B "$tree/packages" >/dev/null)
    cp "$tree"/packages/torvane-*.* "$out/"
}

echo "== Windows zip"
package_preset win torvane torvane-run
echo "== Linux tarball"
package_preset linux-static torvane-run

# One version for all: CPack's, which the build read from the exe's version record.
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$static_tree/CPackConfig.cmake")

if [ "$image" = 1 ]; then
    echo "== Container image localhost/torvane-run:$version"
    # The build context holds exactly what the image is to hold.
    context=$out/image-context
    rm -rf "$context"
    mkdir -p "$context"
    cp "$static_tree/torvane-run" "$context/"
    cp -r "$TORVANE_ROOT/examples" "$context/"
    podman "${podman_opts[@]}" build -q -f "$TORVANE_ROOT/Containerfile" --build-arg "VERSION=$version" \
        -t "localhost/torvane-run:$version" "$context"
fi

ls -l "$out"/torvane-*.*
