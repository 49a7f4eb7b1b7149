#!/usr/bin/env bash
# Installs what is missing, builds, and starts Vantoro 2000. Without VANTORO_MODEM naming a real
# modem it first starts a virtual modem and points the program at it. Arguments go to the program.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
source "$root/tools/bootstrap.sh"
vantoro_install_missing
vantoro_build "$root" vantoro tapi32 vantoro-vmodem vantoro-call vantoro-faxrx vantoro-rawtotiff vantoro-sipline >/dev/null

args=("$@")
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    args=(--headless "${args[@]}")
fi

vmodem_pid=""
cleanup() {
    if [ -n "$vmodem_pid" ]; then
        kill "$vmodem_pid" 2>/dev/null || true
        wait "$vmodem_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

# A SIP account in line.ini: the line library runs the soft modem and the SIP bridge itself.
line_ini="${XDG_CONFIG_HOME:-$HOME/.config}/vantoro/line.ini"
sip_account() {
    [ -f "$line_ini" ] && awk '/^[[:space:]]*\[/ { sip = ($0 ~ /^[[:space:]]*\[sip\]/) }
        sip && /^[[:space:]]*account[[:space:]]*=[[:space:]]*[^ ]/ { found = 1 } END { exit !found }' "$line_ini"
}

if sip_account; then
    echo "SIP account in $line_ini: the program registers and answers calls to it."
elif [ -z "${VANTORO_MODEM:-}" ] && [ -x "$root/build/vantoro-vmodem" ]; then
    runtime="${XDG_RUNTIME_DIR:-/tmp}"
    link="$runtime/vantoro-vmodem-tty"
    rm -f "$link"
    # VANTORO_VMODEM_ARGS: more options for it, e.g. "--personality usr5637 --hangup-tone eu-busy".
    # shellcheck disable=SC2086
    "$root/build/vantoro-vmodem" --link "$link" ${VANTORO_VMODEM_ARGS:-} &
    vmodem_pid=$!
    for _ in $(seq 1 100); do
        [ -e "$link" ] && break
        sleep 0.05
    done
    export VANTORO_MODEM="$link"
    echo "Virtual modem on $link. Place a call from another terminal:"
    echo "  $root/build/vantoro-call --number 5551234 --hangup-after 10"
    echo "  $root/build/vantoro-call --fax page.tif     (a fax machine; README: a test page)"
fi

"$root/build/vantoro" "${args[@]}"
