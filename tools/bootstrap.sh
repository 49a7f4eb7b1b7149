# Sourced by run.sh and test.sh: install what is missing, then configure and build into build/.
# shellcheck shell=bash

VANTORO_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libgl-dev libgtest-dev
    libspandsp-dev libtiff-dev libtiff-tools libre-dev sip-tester baresip-core clang
    sox espeak-ng imagemagick xvfb xdotool trayer libfaketime fonts-wqy-microhei xdg-utils clang-format
    qt6-svg-dev dpkg-dev lintian desktop-file-utils dbus-daemon
    qt6-multimedia-dev pulseaudio pulseaudio-utils
)

vantoro_install_missing() {
    local missing=()
    local pkg
    for pkg in "${VANTORO_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || return 1
}

# vantoro_build ROOT [TARGET...]: everything, or only the named targets. The build goes into
# $VANTORO_BUILD_DIR (default ROOT/build), configured with $VANTORO_CMAKE_OPTIONS.
vantoro_build() {
    local root="$1"
    shift
    local dir="${VANTORO_BUILD_DIR:-$root/build}"
    if [ ! -f "$dir/build.ninja" ]; then
        local launcher=()
        command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
        # shellcheck disable=SC2086
        cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" ${VANTORO_CMAKE_OPTIONS:-} >/dev/null || return 1
    fi
    local targets=()
    [ $# -gt 0 ] && targets=(--target "$@")
    cmake --build "$dir" "${targets[@]}" -- -j"$(nproc)"
}

# vantoro_check_format ROOT: every C++ source follows .clang-format.
vantoro_check_format() {
    local root="$1"
    find "$root" \( -path "$root/build" -o -path "$root/build-sanitize" -o -path "$root/build-clang" \) -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0 |
        xargs -0 clang-format --dry-run -Werror
}
