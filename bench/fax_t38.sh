#!/bin/bash
# Fax as T.38: spandsp's fax machine sends through a bridge that dials and re-INVITEs to T.38 (a
# provider's gateway), to the soft modem behind a second bridge with vantoro-faxrx on it.
# Prints (1) a 1-page fax's time over T.38 against G.711 and against the virtual line alone
# (goal: T.38 / virtual line <= 1.05), with the answering bridge's CPU during the T.38 call (goal
# <= 0.01 CPU s per s); (2) per loss of the UDPTL toward the receiver, how many 3-page calls
# arrived pixel-exact (goals: 10/10 at 2 %, >= 9/10 at 5 %).
# Usage: bench/fax_t38.sh [BUILD_DIR [SEEDS [LOSSES...]]]   (default: build 10 0 2 5)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seeds=${2:-10}
shift $(($# > 2 ? 2 : $#))
losses=("$@")
[ ${#losses[@]} -gt 0 ] || losses=(0 2 5)
dir=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

for n in 1 2 3; do
    convert -size 1728x500 xc:white -fill black \
        -draw "rectangle 100,$((50 * n)),1600,$((50 * n + 30)) rectangle 100,300,$((300 * n)),330" \
        -monochrome -density 204x98 -units PixelsPerInch -compress Fax "$dir/page$n.tif"
done
tiffcp "$dir/page1.tif" "$dir/page2.tif" "$dir/page3.tif" "$dir/doc3.tif"
cp "$dir/page1.tif" "$dir/doc1.tif"

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
now_ms() { date +%s%3N; }
cpu_s() {  # PID: user + system CPU seconds so far
    awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / hz }' "/proc/$1/stat"
}

# One call; prints "<completed 0|1> <pages pixel-exact> <ms to the result> <bridge CPU s>".
call() {  # MEDIA(t38|g711|line) PAGES LOSS SEED
    local run="$dir/run" impair=() port=$((20000 + RANDOM % 20000)) exact=0 done=0 faxrx
    local socket="$run/dial.sock" answer_pid="" cpu=0
    rm -rf "$run" && mkdir -p "$run"
    [ "$3" = 0 ] || impair=(--impair "loss=$3,seed=$4")
    "$build/vantoro-vmodem" --link "$run/tty" --socket "$run/line.sock" --ring-interval 500 \
        >/dev/null 2>&1 &
    pids+=($!)
    if [ "$1" = line ]; then
        socket="$run/line.sock"
        sleep 0.5
    else
        local t38=()
        [ "$1" = t38 ] && t38=(--offer-t38-after 2)
        "$build/vantoro-sipline" --listen "127.0.0.1:$port" --socket "$run/line.sock" \
            --rtp-ports "$((port + 2))-$((port + 11))" >/dev/null 2>"$run/answer.err" &
        answer_pid=$!
        pids+=($!)
        "$build/vantoro-sipline" --listen "127.0.0.1:$((port + 1))" --dial "sip:fax@127.0.0.1:$port" \
            --accept-socket "$run/dial.sock" --rtp-ports "$((port + 12))-$((port + 21))" \
            "${t38[@]}" "${impair[@]}" >/dev/null 2>"$run/dial.err" &
        pids+=($!)
        wait_for "$run/answer.err" "listening on" 10 && wait_for "$run/dial.err" "listening on" 10
    fi
    local start
    start=$(now_ms)
    "$build/vantoro-call" --socket "$socket" --number 5557001 --fax "$dir/doc$2.tif" \
        >"$run/call.out" 2>&1 &
    pids+=($!)
    sleep 2  # the call rings the soft modem
    timeout 240 "$build/vantoro-faxrx" --log "$run/faxrx.log" "$run/tty" "$run/page.raw" \
        >"$run/faxrx.out" 2>&1 && faxrx=0 || faxrx=$?
    for _ in $(seq 300); do
        grep -q "^RESULT" "$run/call.out" && break
        sleep 0.1
    done
    local elapsed=$(($(now_ms) - start))
    [ -n "$answer_pid" ] && cpu=$(cpu_s "$answer_pid")
    stop_all
    if [ "$faxrx" = 0 ] && grep -q "^RESULT fax ok pages=$2" "$run/call.out"; then done=1; fi
    if "$build/vantoro-rawtotiff" "$run/page.raw" "$run/received.tif" >/dev/null 2>&1; then
        for n in $(seq 0 $(($2 - 1))); do
            diff=$(compare -metric AE "$dir/doc$2.tif[$n]" "$run/received.tif[$n]" null: 2>&1 || true)
            [ "$diff" = 0 ] && exact=$((exact + 1))
        done
    fi
    [ -n "${VERBOSE:-}" ] && echo "  $1 loss $3 seed $4: $(grep -a "^RESULT" "$run/call.out" || echo no result), $exact exact, $elapsed ms" >&2
    echo "$done $exact $elapsed $cpu"
}

read -r _ _ line_ms _ < <(call line 1 0 1)
read -r _ _ g711_ms _ < <(call g711 1 0 1)
read -r t38_done t38_exact t38_ms t38_cpu < <(call t38 1 0 1)
awk -v l="$line_ms" -v g="$g711_ms" -v t="$t38_ms" -v c="$t38_cpu" -v ok="$t38_done$t38_exact" 'BEGIN {
    printf "1 page: virtual line %.1f s, G.711 %.1f s, T.38 %.1f s (%s): T.38 / line %.3f (goal <= 1.05), T.38 / G.711 %.3f\n",
        l / 1000, g / 1000, t / 1000, ok == "11" ? "pixel-exact" : "NOT exact", t / l, t / g
    printf "answering bridge during the T.38 call: %.3f CPU s over %.1f s: %.4f CPU s per s (goal <= 0.01)\n",
        c, t / 1000, c / (t / 1000)
}'

printf '%-8s %-22s %-16s\n' "loss %" "calls pixel-exact" "pages exact"
for loss in "${losses[@]}"; do
    calls=0 exact=0
    for seed in $(seq "$seeds"); do
        read -r done pages _ _ < <(call t38 3 "$loss" "$seed")
        [ "$done" = 1 ] && [ "$pages" = 3 ] && calls=$((calls + 1))
        exact=$((exact + pages))
    done
    printf '%-8s %-22s %-16s\n' "$loss" "$calls/$seeds" "$exact/$((3 * seeds))"
done
echo "goals: 10/10 at 2 %, >= 9/10 at 5 %"
