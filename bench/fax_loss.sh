#!/bin/bash
# Faxes over a lossy SIP line: spandsp's fax machine sends a 3-page document through a bridge
# that dials and loses the given share of the RTP packets toward the receiver (the soft modem
# behind a second bridge, vantoro-faxrx on it). Prints, per loss and mode, how many calls
# completed and how many pages arrived pixel-exact. The standard mode is called by a machine
# without error correction (goal: >= 9 of 10 calls complete at 0.5 %, >= 7 of 10 at 1 %); the
# fast mode by one with error correction and MMR (goal: >= 9 of 10 complete and pixel-exact at
# 1 %, >= 7 of 10 at 2 %).
# Usage: bench/fax_loss.sh [BUILD_DIR [SEEDS [LOSSES...]]]   (default: build 10 0 0.5 1 2);
# MODES="standard fast" (the default) chooses the modes; VERBOSE=1 prints each call and the
# receiver's recoveries; KEEP=DIR keeps each call's logs in DIR/<mode>-<loss>-<seed>.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seeds=${2:-10}
shift $(($# > 2 ? 2 : $#))
losses=("$@")
[ ${#losses[@]} -gt 0 ] || losses=(0 0.5 1 2)
read -r -a modes <<<"${MODES:-standard fast}"
# shellcheck source=bench/fax_lib.sh
source "$(dirname "$0")/fax_lib.sh"

# Three short pages of text-like bars at normal resolution, each a little different: at 20 ms
# a row, about 10 s of page data each.
for n in 1 2 3; do
    make_page "$dir/page$n.tif" 500 \
        "rectangle 100,$((50 * n)),1600,$((50 * n + 30)) rectangle 100,300,$((300 * n)),330" \
        "rectangle 200,420,1400,$((425 + 10 * n))"
done
tiffcp "$dir/page1.tif" "$dir/page2.tif" "$dir/page3.tif" "$dir/doc.tif"

# One call; prints "<completed 0|1> <pages pixel-exact>".
call() {  # LOSS SEED MODE
    local run="$dir/run" impair=() port=$((20000 + RANDOM % 20000)) exact=0 done=0 faxrx
    local sender=() receiver=()
    [ "$3" = fast ] && sender=(--v17 --ecm) && receiver=(--fast)
    [ -n "${KEEP:-}" ] && sender+=(--trace)
    rm -rf "$run" && mkdir -p "$run"
    [ "$1" = 0 ] || impair=(--impair "loss=$1,seed=$2")
    "$build/vantoro-vmodem" --link "$run/tty" --socket "$run/line.sock" --ring-interval 500 \
        >/dev/null 2>&1 &
    pids+=($!)
    "$build/vantoro-sipline" --listen "127.0.0.1:$port" --socket "$run/line.sock" \
        --rtp-ports "$((port + 2))-$((port + 11))" >/dev/null 2>"$run/answer.err" &
    pids+=($!)
    "$build/vantoro-sipline" --listen "127.0.0.1:$((port + 1))" --dial "sip:fax@127.0.0.1:$port" \
        --accept-socket "$run/dial.sock" --rtp-ports "$((port + 12))-$((port + 21))" \
        "${impair[@]}" >/dev/null 2>"$run/dial.err" &
    pids+=($!)
    wait_for "$run/answer.err" "listening on" 10 && wait_for "$run/dial.err" "listening on" 10
    "$build/vantoro-call" --socket "$run/dial.sock" --number 5557001 --fax "$dir/doc.tif" \
        "${sender[@]}" >"$run/call.out" 2>&1 &
    pids+=($!)
    sleep 2  # the call rings the soft modem
    timeout 180 "$build/vantoro-faxrx" --log "$run/faxrx.log" "${receiver[@]}" "$run/tty" \
        "$run/page.raw" \
        >"$run/faxrx.out" 2>&1 && faxrx=0 || faxrx=$?
    for _ in $(seq 300); do
        grep -q "^RESULT" "$run/call.out" && break
        sleep 0.1
    done
    stop_all
    # VERBOSE: the receiver's recoveries from damaged frames, from its log.
    if [ -n "${VERBOSE:-}" ]; then
        echo "  $3 loss $1 seed $2: faxrx exit $faxrx, $(grep -a "^RESULT" "$run/call.out" || echo no result)" >&2
        grep -aE "损坏|重发|重新接收|CRP|未收到|错误号|PPR|CTC|EOR" "$run/faxrx.log" | sed 's/^/    /' >&2 || true
    fi
    if [ "$faxrx" = 0 ] && grep -q "^RESULT fax ok pages=3" "$run/call.out"; then done=1; fi
    if [ -n "${KEEP:-}" ]; then
        mkdir -p "$KEEP/$3-$1-$2" && cp "$run"/*.log "$run"/*.out "$run"/*.err "$KEEP/$3-$1-$2/"
    fi
    if "$build/vantoro-rawtotiff" "$run/page.raw" "$run/received.tif" >/dev/null 2>&1; then
        for n in 0 1 2; do
            diff=$(compare -metric AE "$dir/doc.tif[$n]" "$run/received.tif[$n]" null: 2>&1 || true)
            [ "$diff" = 0 ] && exact=$((exact + 1))
        done
    fi
    echo "$done $exact"
}

printf '%-8s %-9s %-16s %-16s %-16s\n' "loss %" "mode" "calls completed" "pages exact" \
    "calls exact"
for loss in "${losses[@]}"; do
    for mode in "${modes[@]}"; do
        completed=0 exact=0 whole=0
        for seed in $(seq "$seeds"); do
            read -r done pages < <(call "$loss" "$seed" "$mode")
            completed=$((completed + done))
            exact=$((exact + pages))
            [ "$done" = 1 ] && [ "$pages" = 3 ] && whole=$((whole + 1))
        done
        printf '%-8s %-9s %-16s %-16s %-16s\n' "$loss" "$mode" "$completed/$seeds" \
            "$exact/$((3 * seeds))" "$whole/$seeds"
    done
done
