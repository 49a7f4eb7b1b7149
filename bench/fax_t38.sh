#!/bin/bash
# Fax as T.38: spandsp's fax machine sends through a bridge that dials and re-INVITEs to T.38 (a
# provider's gateway), to the soft modem behind a second bridge with vantoro-faxrx on it.
# Prints (1) a 1-page fax's time over T.38 against G.711 and against the virtual line alone
# (goal: T.38 / virtual line <= 1.05), with the answering bridge's CPU during the T.38 call (goal
# <= 0.01 CPU s per s); (2) per loss of the UDPTL toward the receiver, how many 3-page calls
# arrived pixel-exact (goals: 10/10 at 2 %, >= 9/10 at 5 %). A call that fails keeps its logs in
# $KEEP_DIR (default fax_t38-failed beside the temporary folder), named by medium, loss and seed.
# Usage: bench/fax_t38.sh [BUILD_DIR [SEEDS [LOSSES...]]]   (default: build 10 0 2 5); RUNS=3
# chooses how often the 1-page calls of (1) are measured.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seeds=${2:-10}
shift $(($# > 2 ? 2 : $#))
losses=("$@")
[ ${#losses[@]} -gt 0 ] || losses=(0 2 5)
# shellcheck source=bench/fax_lib.sh
source "$(dirname "$0")/fax_lib.sh"
kept=${KEEP_DIR:-$(dirname "$dir")/fax_t38-failed}

for n in 1 2 3; do
    make_page "$dir/page$n.tif" 500 \
        "rectangle 100,$((50 * n)),1600,$((50 * n + 30)) rectangle 100,300,$((300 * n)),330"
done
tiffcp "$dir/page1.tif" "$dir/page2.tif" "$dir/page3.tif" "$dir/doc3.tif"
cp "$dir/page1.tif" "$dir/doc1.tif"

cpu_s() {  # PID: user + system CPU seconds so far
    awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / hz }' "/proc/$1/stat"
}

# One call; prints "<completed 0|1> <pages pixel-exact> <ms to the result> <bridge CPU s>".
call() {  # MEDIA(t38|g711|line) PAGES LOSS SEED
    local run="$dir/run" impair=() exact=0 done=0 faxrx t38=()
    local socket="$run/dial.sock" cpu=0
    answer_pid=""
    rm -rf "$run" && mkdir -p "$run"
    [ "$3" = 0 ] || impair=(--impair "loss=$3,seed=$4")
    [ "$1" = t38 ] && t38=(--offer-t38-after 2)
    start_vmodem "$run/line.sock" 500 --link "$run/tty"
    if [ "$1" = line ]; then
        socket="$run/line.sock"
    else
        start_sip_line "$run" "${t38[@]}" "${impair[@]}"
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
    "$build/vantoro-rawtotiff" "$run/page.raw" "$run/received.tif" >/dev/null 2>&1 &&
        exact=$(exact_pages "$dir/doc$2.tif" "$run/received.tif" "$2")
    if [ "$done$exact" != "1$2" ]; then
        mkdir -p "$kept" && rm -rf "$kept/$1-loss$3-seed$4" && cp -r "$run" "$kept/$1-loss$3-seed$4"
        echo "  $1 loss $3 seed $4 failed: its logs are in $kept/$1-loss$3-seed$4" >&2
    fi
    [ -n "${VERBOSE:-}" ] && echo "  $1 loss $3 seed $4: $(grep -a "^RESULT" "$run/call.out" || echo no result), $exact exact, $elapsed ms" >&2
    echo "$done $exact $elapsed $cpu"
}

# The three 1-page calls side by side, RUNS times (default 3): each run's figures, then the median
# of the T.38 / line ratio and its spread.
for _ in $(seq "${RUNS:-3}"); do
    read -r _ _ line_ms _ < <(call line 1 0 1)
    read -r _ _ g711_ms _ < <(call g711 1 0 1)
    read -r t38_done t38_exact t38_ms t38_cpu < <(call t38 1 0 1)
    awk -v l="$line_ms" -v g="$g711_ms" -v t="$t38_ms" -v c="$t38_cpu" -v ok="$t38_done$t38_exact" 'BEGIN {
        printf "1 page: virtual line %.1f s, G.711 %.1f s, T.38 %.1f s (%s): T.38 / line %.3f, T.38 / G.711 %.3f\n",
            l / 1000, g / 1000, t / 1000, ok == "11" ? "pixel-exact" : "NOT exact", t / l, t / g
        printf "answering bridge during the T.38 call: %.3f CPU s over %.1f s: %.4f CPU s per s (goal <= 0.01)\n",
            c, t / 1000, c / (t / 1000)
    }'
    echo "$t38_ms $line_ms" >>"$dir/times"
done
awk '{ r[NR] = $1 / $2 } END {
    n = NR
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && r[j - 1] > r[j]; j--) { x = r[j]; r[j] = r[j - 1]; r[j - 1] = x }
    printf "T.38 / line over %d runs: median %.3f (goal <= 1.05), from %.3f to %.3f\n",
        n, n % 2 ? r[(n + 1) / 2] : (r[n / 2] + r[n / 2 + 1]) / 2, r[1], r[n]
}' "$dir/times"

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
