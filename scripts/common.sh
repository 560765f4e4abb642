# Shared by scripts/run and scripts/test: install what is missing, build.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

PACKAGES=(build-essential cmake ninja-build pkg-config qtbase5-dev libqt5serialport5-dev
          libzip-dev zlib1g-dev python3-openpyxl libreoffice-calc-nogui iproute2 util-linux xvfb xauth
          help2man man-db desktop-file-utils appstream)

# --qt6 as the first argument of scripts/test or scripts/package: the build
# on Qt 6 (RX_QT=6), in a build directory of its own.
RX_QT=5
if [ "${1:-}" = "--qt6" ]; then
    RX_QT=6
    shift
    BUILD_DIR="${QT6_BUILD_DIR:-$ROOT/build-qt6}"
    PACKAGES+=(qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev)
fi

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build DIR [CMAKE_OPTION...]: configures DIR and builds everything, or
# only the targets named in BUILD_ONLY (separated by blanks) when it is set.
build() {
    local dir="$1"; shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DRX_QT="$RX_QT" "$@" >/dev/null
    # shellcheck disable=SC2086 # the targets are separate words
    cmake --build "$dir" ${BUILD_ONLY:+--target $BUILD_ONLY}
}
