#!/usr/bin/env bash
# Takes the README's picture of the inbox: the program with three stored calls, started with
# --inbox on a virtual modem under Xvfb, the inbox window captured with ImageMagick's import.
# Usage: tools/inbox_screenshot.sh [OUTPUT.png]   (default: docs/inbox.png)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$root/docs/inbox.png}")"
if [ -z "${VANTORO_SCREENSHOT_DISPLAY:-}" ]; then
    source "$root/tools/bootstrap.sh"
    vantoro_install_missing
    vantoro_build "$root" vantoro tapi32 vantoro-vmodem >/dev/null
    exec env VANTORO_SCREENSHOT_DISPLAY=1 xvfb-run -a -s "-screen 0 640x480x24" "$0" "$out"
fi
source "$root/tools/inbox_fixture.sh"

build="$root/build"
work="$(mktemp -d "${TMPDIR:-/tmp}/vantoro-shot.XXXXXX")"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

"$build/vantoro-vmodem" --link "$work/tty" --socket "$work/line.sock" &
pids+=($!)
for _ in $(seq 1 100); do
    [ -e "$work/tty" ] && break
    sleep 0.05
done
inbox_fixture "$work/home"
XDG_RUNTIME_DIR="$work" XDG_STATE_HOME="$work/state" TMPDIR="$work" VANTORO_HOME="$work/home" \
    VANTORO_MODEM="$work/tty" "$build/vantoro" --inbox >/dev/null 2>&1 &
pids+=($!)

window="$(timeout 30 xdotool search --sync --onlyvisible --name '^收件箱' | head -1)"
xdotool mousemove 639 479
sleep 1
mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "$out"
