# Shared by bench/fax_call.sh, fax_loss.sh and fax_t38.sh: a work folder that goes with the
# processes started into it, the pages of the documents sent, and the soft modem and SIP bridges
# of a call. Sourced after `set -euo pipefail`, with $build the build folder.
# shellcheck shell=bash

dir=${dir:-$(mktemp -d)}  # unless the script has made its own
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
wait_for() {  # FILE TEXT SECONDS
    for _ in $(seq $(($3 * 10))); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
stop_all() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    pids=()
}

# make_page FILE HEIGHT DRAW...: a G3 page 1728 pixels wide at normal resolution, white, with
# each DRAW (ImageMagick primitives, such as "rectangle 100,50 1600,80") in black.
make_page() {
    local file=$1 height=$2 draws=() draw
    shift 2
    for draw in "$@"; do draws+=(-draw "$draw"); done
    convert -size "1728x$height" xc:white -fill black "${draws[@]}" -monochrome -density 204x98 \
        -units PixelsPerInch -compress Fax "$file"
}

# start_vmodem SOCKET RING_MS [OPTIONS...]: a soft modem on the line socket SOCKET.
start_vmodem() {
    local socket=$1 ring_ms=$2
    shift 2
    "$build/vantoro-vmodem" --socket "$socket" --ring-interval "$ring_ms" "$@" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do [ -S "$socket" ] && return 0; sleep 0.1; done
    return 1
}

# start_sip_line RUN [DIALLER OPTIONS...]: the answering bridge on RUN/line.sock and a bridge
# that dials it for callers on RUN/dial.sock, logging to RUN/answer.err and RUN/dial.err;
# $answer_pid is the answering bridge.
start_sip_line() {
    local run=$1 port=$((20000 + RANDOM % 20000))
    shift
    "$build/vantoro-sipline" --listen "127.0.0.1:$port" --socket "$run/line.sock" \
        --rtp-ports "$((port + 2))-$((port + 11))" >/dev/null 2>"$run/answer.err" &
    answer_pid=$!
    pids+=($!)
    "$build/vantoro-sipline" --listen "127.0.0.1:$((port + 1))" --dial "sip:fax@127.0.0.1:$port" \
        --accept-socket "$run/dial.sock" --rtp-ports "$((port + 12))-$((port + 21))" \
        "$@" >/dev/null 2>"$run/dial.err" &
    pids+=($!)
    wait_for "$run/answer.err" "listening on" 10 && wait_for "$run/dial.err" "listening on" 10
}

# exact_pages SENT RECEIVED COUNT: how many of the first COUNT pages are the same pixels.
exact_pages() {
    local exact=0 n diff
    for n in $(seq 0 $(($3 - 1))); do
        diff=$(compare -metric AE "$1[$n]" "$2[$n]" null: 2>&1 || true)
        [ "$diff" = 0 ] && exact=$((exact + 1))
    done
    echo "$exact"
}
