#!/bin/bash
# The answering machine through its faults, round after round: a fax (by its calling tone, or by
# the receive-fax button pressed 4-6 s into the greeting, in turn), a voice message, a message cut
# by the modem going away and coming back, and another voice message. Every message must hold the
# caller's words. Prints one line per message and the rounds that passed; exit status 0 when all
# did. Usage: bench/recovery_loop.sh [ROUNDS (10)] [BUILD_DIR (build)]
set -uo pipefail
rounds=${1:-10}
BUILD=$(cd "${2:-build}" && pwd)
source "$(dirname "$0")/answering_lib.sh"

start_modem
start_program
passed=0
for round in $(seq "$rounds"); do
    echo "round $round"
    before=$faults
    if [ $((round % 2)) = 1 ]; then
        fax_by_tone
    else
        fax_by_button "$(awk -v r="$RANDOM" 'BEGIN { printf "%.1f", 4 + 2 * r / 32767 }')"
    fi
    [ "$(faxes_stored)" -ge "$round" ] || fail "fax: not stored"
    voice_call "voice after the fax"
    voice_then_modem_lost "voice cut by the modem loss"
    voice_call "voice after the modem came back"
    [ "$faults" = "$before" ] && passed=$((passed + 1))
done
stop_program
echo "rounds passed: $passed of $rounds"
[ "$passed" = "$rounds" ]
