#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exit status 0 only when all pass.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
source "$root/tools/bootstrap.sh"
vantoro_install_missing
vantoro_check_format "$root"
vantoro_build "$root"
cd "$root/build"
ctest --output-on-failure -j"$(nproc)" "$@"
