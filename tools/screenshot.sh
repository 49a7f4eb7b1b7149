#!/usr/bin/env bash
# Takes the README's picture of the window: the program on a virtual modem under Xvfb, the screen
# captured with ImageMagick's import, cropped to the window, and the cut-away parts made transparent.
# Usage: tools/screenshot.sh [OUTPUT.png]   (default: docs/window.png)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$root/docs/window.png}")"
if [ -z "${VANTORO_SCREENSHOT_DISPLAY:-}" ]; then
    source "$root/tools/bootstrap.sh"
    vantoro_install_missing
    vantoro_build "$root" vantoro tapi32 vantoro-vmodem >/dev/null
    exec env VANTORO_SCREENSHOT_DISPLAY=1 xvfb-run -a -s "-screen 0 640x480x24" "$0" "$out"
fi

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
mkdir -p "$work/home"
XDG_RUNTIME_DIR="$work" XDG_STATE_HOME="$work/state" TMPDIR="$work" VANTORO_HOME="$work/home" \
    VANTORO_MODEM="$work/tty" "$build/vantoro" >/dev/null 2>&1 &
pids+=($!)

window="$(timeout 30 xdotool search --sync --onlyvisible --name '^vantoro$' | head -1)"
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove 0 0
sleep 1
import -window root "$work/screen.png"
convert "$root/res/skin/skin149.bmp" -fill white +opaque '#FF0000' -fill black -opaque '#FF0000' \
    "$work/shape.png"
mkdir -p "$(dirname "$out")"
convert "$work/screen.png" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$work/shape.png" \
    -alpha off -compose CopyOpacity -composite "$out"
echo "$out"
