#!/usr/bin/env bash
# Takes the README's picture of the inbox: the program with three stored calls, started with
# --inbox on a virtual modem under Xvfb, the inbox window captured with ImageMagick's import.
# Usage: tools/inbox_screenshot.sh [OUTPUT.png]   (default: docs/inbox.png)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$root/docs/inbox.png}")"
source "$root/tools/xvfb_lib.sh"
if ! xvfb_running; then
    source "$root/tools/bootstrap.sh"
    vantoro_install_missing
    vantoro_build "$root" vantoro tapi32 vantoro-vmodem >/dev/null
    xvfb_rerun "$0" "$out"
fi
source "$root/tools/inbox_fixture.sh"

build="$root/build"
xvfb_workspace vantoro-shot
xvfb_start_modem "$build"
inbox_fixture "$work/home"
xvfb_start_program "$build" --inbox

window="$(xvfb_window '^收件箱')"
xdotool mousemove 639 479
sleep 1
mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "$out"
