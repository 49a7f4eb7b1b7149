#!/bin/bash
# A long run of ordinary calls into one program: voice messages, callers who hang up in the
# greeting, faxes by calling tone. Every message must hold the caller's words, and the program's
# memory and open descriptors must not grow with the calls. Prints both at the start and the end.
# Usage: bench/soak.sh [MINUTES (30)] [BUILD_DIR (build)]
set -uo pipefail
minutes=${1:-30}
BUILD=$(cd "${2:-build}" && pwd)
source "$(dirname "$0")/answering_lib.sh"

usage() { echo "$(awk '/VmRSS/ { print $2 }' "/proc/$program/status") kB resident," \
    "$(find "/proc/$program/fd" -mindepth 1 | wc -l) descriptors"; }
start_modem
start_program
voice_call "first voice call"
echo "after the first call: $(usage)"
end=$(($(date +%s) + minutes * 60))
calls=1
while [ "$(date +%s)" -lt "$end" ]; do
    case $((calls % 4)) in
        0) fax_by_tone ;;
        1) after_next "等待呼叫..." call --hangup-after 4 ;;
        *) voice_call "voice call $calls" ;;
    esac
    calls=$((calls + 1))
done
echo "after $calls calls: $(usage)"
stop_program
echo "faults: $faults"
[ "$faults" = 0 ]
