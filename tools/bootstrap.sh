# Sourced by run.sh and test.sh: install what is missing, then configure and build into build/.
# shellcheck shell=bash

VANTORO_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libgl-dev libgtest-dev
    libspandsp-dev libtiff-dev libtiff-tools
    sox espeak-ng imagemagick xvfb xdotool trayer libfaketime fonts-wqy-microhei xdg-utils clang-format
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

# vantoro_build ROOT [TARGET...]: everything, or only the named targets.
vantoro_build() {
    local root="$1"
    shift
    if [ ! -f "$root/build/build.ninja" ]; then
        local launcher=()
        command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
        cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null || return 1
    fi
    local targets=()
    [ $# -gt 0 ] && targets=(--target "$@")
    cmake --build "$root/build" "${targets[@]}" -- -j"$(nproc)"
}

# vantoro_check_format ROOT: every C++ source follows .clang-format.
vantoro_check_format() {
    local root="$1"
    find "$root" -path "$root/build" -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0 |
        xargs -0 clang-format --dry-run -Werror
}
