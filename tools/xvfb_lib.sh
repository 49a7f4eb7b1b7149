# Sourced by the scripts that drive the program's window under Xvfb (the README's pictures, the
# inbox benchmark): the start-up they share.
# shellcheck shell=bash

# True once the script runs under the Xvfb that xvfb_rerun gave it.
xvfb_running() { [ -n "${VANTORO_UNDER_XVFB:-}" ]; }

# xvfb_rerun SCRIPT [ARG...]: runs SCRIPT again under a 640x480 Xvfb of its own, in place of this.
xvfb_rerun() {
    exec env VANTORO_UNDER_XVFB=1 xvfb-run -a -s "-screen 0 640x480x24" "$@"
}

# xvfb_workspace NAME: a fresh folder $work; at exit every process in $pids ends and it goes.
xvfb_workspace() {
    work="$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")"
    pids=()
    trap xvfb_cleanup EXIT
}

xvfb_cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}

# xvfb_start_modem BUILD: a virtual modem on $work/tty, there once this returns.
xvfb_start_modem() {
    "$1/vantoro-vmodem" --link "$work/tty" --socket "$work/line.sock" >/dev/null &
    pids+=($!)
    for _ in $(seq 1 100); do
        [ -e "$work/tty" ] && break
        sleep 0.05
    done
}

# xvfb_start_program BUILD [ARG...]: the program on that modem, its folders in $work (the program
# folder $work/home); its process id in $program.
xvfb_start_program() {
    local build="$1"
    shift
    mkdir -p "$work/home"
    XDG_RUNTIME_DIR="$work" XDG_STATE_HOME="$work/state" TMPDIR="$work" VANTORO_HOME="$work/home" \
        VANTORO_MODEM="$work/tty" "$build/vantoro" "$@" >/dev/null 2>&1 &
    program=$!
    pids+=("$program")
}

# xvfb_window TITLE_REGEX: the id of the first visible window so titled, waited for up to 30 s.
xvfb_window() {
    timeout 30 xdotool search --sync --onlyvisible --name "$1" | head -1
}
