#!/usr/bin/env bash
# The program's resident memory with the inbox open (three calls listed), and while it plays a
# message on a PulseAudio null sink. Goal: under 60 MB. Runs itself under xvfb-run.
# Usage: bench/inbox_rss.sh [BUILD_DIR (build)]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
source "$root/tools/xvfb_lib.sh"
xvfb_running || xvfb_rerun "$0" "$build"
source "$root/tools/inbox_fixture.sh"

xvfb_workspace vantoro-rss
HOME="$work" PULSE_RUNTIME_PATH="$work/pulse-runtime" PULSE_STATE_PATH="$work/pulse-state" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --log-target=stderr \
    -L "module-null-sink sink_name=vsink rate=8000" \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$work/pulse" 2>/dev/null &
pids+=($!)
export PULSE_SERVER="unix:$work/pulse"
for _ in $(seq 1 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
xvfb_start_modem "$build"
inbox_fixture "$work/home"
xvfb_start_program "$build" --inbox

rss() { awk '/VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$program/status"; }
window="$(xvfb_window '^收件箱')"
sleep 2
open_mb="$(rss)"
# Enter on the selected (newest) message plays it.
xdotool windowfocus --sync "$window" key Return
sleep 3
playing_mb="$(rss)"
streams="$(pactl list short sink-inputs | wc -l)"
[ "$streams" -ge 1 ] || { echo "the message did not play" >&2; exit 1; }
echo "RSS with the inbox open: $open_mb MB; while it plays a message: $playing_mb MB (goal: < 60 MB)"
awk -v a="$open_mb" -v b="$playing_mb" 'BEGIN { exit !(a < 60 && b < 60) }'
