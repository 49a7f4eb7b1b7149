#!/usr/bin/env bash
# Takes the README's picture of the window: the program on a virtual modem under Xvfb, the screen
# captured with ImageMagick's import, cropped to the window, and the cut-away parts made transparent.
# Usage: tools/screenshot.sh [OUTPUT.png]   (default: docs/window.png)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$root/docs/window.png}")"
source "$root/tools/xvfb_lib.sh"
if ! xvfb_running; then
    source "$root/tools/bootstrap.sh"
    vantoro_install_missing
    vantoro_build "$root" vantoro tapi32 vantoro-vmodem >/dev/null
    xvfb_rerun "$0" "$out"
fi

build="$root/build"
xvfb_workspace vantoro-shot
xvfb_start_modem "$build"
xvfb_start_program "$build"

window="$(xvfb_window '^vantoro$')"
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
