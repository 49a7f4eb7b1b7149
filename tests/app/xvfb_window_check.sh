#!/usr/bin/env bash
# Run under xvfb-run: the window shows its skin with no pure red on screen, moves when dragged,
# minimises to the tray (with `tray`: trayer's) or stays on screen without one, and a click on its
# yellow exit button ends the program with status 0 and stores the skin number.
# Usage: xvfb_window_check.sh BUILD_DIR [tray]
set -euo pipefail
build="$1"
work="$(mktemp -d "${TMPDIR:-/tmp}/vantoro-xvfb.XXXXXX")"
pid=""
tray_pid=""
trap 'kill $pid $tray_pid 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2 && exit 1; }

if [ "${2:-}" = tray ]; then
    trayer --edge top --align left --widthtype pixel --width 30 --heighttype pixel --height 30 \
        --SetDockType false --transparent false >/dev/null 2>&1 &
    tray_pid=$!
    timeout 10 xdotool search --sync --name '^panel$' >/dev/null || fail "no tray"
    sleep 0.5
fi
mkdir -p "$work/home"
printf '[vantoro]\nring=3\ntime=5\n' >"$work/home/vantoro.ini"
XDG_RUNTIME_DIR="$work" XDG_STATE_HOME="$work/state" TMPDIR="$work" VANTORO_HOME="$work/home" \
    VANTORO_TAPI="$build/tests/line/libscripted_tapi.so" "$build/vantoro" >"$work/out" 2>&1 &
pid=$!

window="$(timeout 30 xdotool search --sync --onlyvisible --name '^vantoro$' | head -1)" ||
    fail "no window"
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" = 290 ] && [ "$HEIGHT" = 292 ] || fail "window is ${WIDTH}x$HEIGHT"
xdotool mousemove 0 0
sleep 0.5
import -window root "$work/screen.png"
red="$(convert "$work/screen.png" -fill black +opaque '#FF0000' -fill white -opaque '#FF0000' \
    -format '%[fx:round(mean*w*h)]' info:)"
[ "$red" = 0 ] || fail "$red pure red pixels on screen"

# Dragging by the keypad moves the window by exactly the mouse movement.
xdotool mousemove $((X + 140)) $((Y + 250)) mousedown 1 sleep 0.2 mousemove $((X + 170)) $((Y + 270)) \
    sleep 0.2 mouseup 1 sleep 0.3
old_x=$X old_y=$Y
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$X,$Y" = "$((old_x + 30)),$((old_y + 20))" ] || fail "dragged from $old_x,$old_y to $X,$Y"

# Minimise: hidden to the tray and back on a double click on its icon; without a tray it stays.
xdotool mousemove $((X + 129)) $((Y + 93)) click 1 sleep 0.5
kill -0 "$pid" 2>/dev/null || fail "ended on minimise"
shown="$( (xdotool search --onlyvisible --name '^vantoro$' || true) | wc -l)"
if [ -n "$tray_pid" ]; then
    [ "$shown" = 0 ] || fail "not hidden to the tray"
    xdotool mousemove 15 15 click --repeat 2 --delay 100 1 sleep 0.5
    xdotool search --onlyvisible --name '^vantoro$' >/dev/null || fail "not restored from the tray"
    eval "$(xdotool getwindowgeometry --shell "$window")"
else
    [ "$shown" = 1 ] || fail "hidden without a tray"
fi

# The yellow button's hot spot: dialog units 108,129 size 12x12, at 1.5 pixels per unit.
xdotool mousemove $((X + 171)) $((Y + 203)) click 1
timeout 10 tail --pid="$pid" -f /dev/null || fail "still running after the click"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" = 0 ] || fail "exit status $status: $(cat "$work/out")"
grep -q '^skin=1' "$work/home/vantoro.ini" || fail "skin number not stored"
echo "ok"
