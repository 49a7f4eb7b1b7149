#!/bin/bash
# One fax call of a fixed document into the answering machine in each fax mode: the call's length
# against spandsp's own fax terminal answering on the same virtual line (vantoro-vmodem
# --answer-fax), and the program's CPU seconds per wall second over the call. The standard mode
# is called by a machine of V.27 ter and V.29 as before; the fast mode (vantoro.ini [fax]
# mode=fast) by one that offers V.17 too, as is the reference then; then by one that offers
# error correction and MMR as well (the reference has both), and by the same with MH only: the
# reception time MMR saves against MH. Usage: bench/fax_call.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
# shellcheck source=bench/fax_lib.sh
source "$(dirname "$0")/fax_lib.sh"
ring_ms=6000

# Two A4 pages of text-like bars at normal resolution.
make_page "$dir/page.tif" 1100 \
    "rectangle 100,100 1600,140 rectangle 100,300 900,330 rectangle 100,700 1400,720"
tiffcp "$dir/page.tif" "$dir/page.tif" "$dir/doc.tif"

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
wait_for_line() {  # FILE TEXT COUNT: until FILE holds COUNT lines equal to TEXT
    for _ in $(seq 600); do
        [ "$(grep -cx -- "$2" "$1" 2>/dev/null || true)" -ge "$3" ] && return 0
        sleep 0.1
    done
    echo "fax_call: timed out waiting for '$2'" >&2
    return 1
}
call() {  # SOCKET [CALLER OPTIONS]: places the call, prints its length in ms
    local socket=$1 start
    shift
    start=$(now_ms)
    "$build/vantoro-call" --socket "$socket" --fax "$dir/doc.tif" "$@" >"$dir/call.out"
    grep -q "RESULT fax ok pages=2" "$dir/call.out" || { cat "$dir/call.out" >&2; return 1; }
    echo $(($(now_ms) - start))
}

start_vmodem "$dir/ref.sock" $ring_ms --answer-fax "$dir/ref.tif"
start_vmodem "$dir/line.sock" $ring_ms --link "$dir/tty"
mkdir -p "$dir/config/vantoro" "$dir/home" "$dir/state" "$dir/tmp"
echo "modem=$dir/tty" >"$dir/config/vantoro/line.ini"

measure() {  # LABEL MODE [CALLER OPTIONS]: one call to the reference, one to the program in MODE
    local label=$1 mode=$2 reference_ms program_ms ticks_before ticks program
    shift 2
    reference_ms=$(call "$dir/ref.sock" "$@")
    printf '[vantoro]\nring=1\ntime=1\n[fax]\nmode=%s\n' "$mode" >"$dir/home/vantoro.ini"
    rm -f "$dir/status" "$dir/commands"
    mkfifo "$dir/commands"
    exec 3<>"$dir/commands"
    XDG_RUNTIME_DIR=$dir XDG_STATE_HOME=$dir/state XDG_CONFIG_HOME=$dir/config TMPDIR=$dir/tmp \
        VANTORO_HOME=$dir/home "$build/vantoro" --headless <"$dir/commands" >"$dir/status" 2>&1 &
    program=$!
    pids+=($program)
    wait_for_line "$dir/status" "等待呼叫..." 1
    ticks_before=$(cpu_ticks $program)
    program_ms=$(call "$dir/line.sock" "$@")
    last_program_ms=$program_ms
    ticks=$(($(cpu_ticks $program) - ticks_before))
    wait_for_line "$dir/status" "等待呼叫..." 2
    echo exit >&3
    wait $program || true
    exec 3>&-
    ls "$dir/home/fax/"*.tif >/dev/null
    awk -v mode="$label" -v ticks="$ticks" -v hz="$(getconf CLK_TCK)" -v p="$program_ms" \
        -v r="$reference_ms" -v goal="$([ "$mode" = fast ] && echo "goal <= 1.05" || echo "2.7 as before")" 'BEGIN {
        printf "%s mode, 2 pages: program %.1f s, spandsp terminal %.1f s, time ratio %.3f (%s)\n",
            mode, p / 1000, r / 1000, p / r, goal
        printf "%s mode: program CPU %.2f s over the call: %.4f CPU s per wall s (goal <= 0.02)\n",
            mode, ticks / hz, ticks / hz / (p / 1000)
    }'
}

measure standard standard
measure fast fast --v17
measure "fast+ECM+MMR" fast --v17 --ecm
mmr_ms=$last_program_ms
measure "fast+ECM+MH" fast --v17 --ecm --coding mh
awk -v mmr="$mmr_ms" -v mh="$last_program_ms" 'BEGIN {
    printf "ECM reception of the 2 pages: MMR %.1f s, MH %.1f s, MMR/MH %.3f\n",
        mmr / 1000, mh / 1000, mmr / mh
}'
