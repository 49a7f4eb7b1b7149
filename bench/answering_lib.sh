# Shared by bench/recovery_loop.sh and bench/soak.sh: the headless program on a virtual modem in a
# folder of its own, callers into it, and the check that a message holds the caller's words.
# Sourced with BUILD set to the build folder. A run that fails keeps its folder (with the program's
# audio trace and the modem's trace) and names it.

dir=$(mktemp -d)
pids=()
failed=0
faults=0
fail() {
    echo "  FAILED: $*" >&2
    failed=1
    faults=$((faults + 1))
}
cleanup() {
    [ -n "${modem:-}" ] && kill "$modem" 2>/dev/null
    [ -n "${program:-}" ] && kill "$program" 2>/dev/null
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    if [ "$failed" = 0 ]; then rm -rf "$dir"; else echo "kept for inspection: $dir" >&2; fi
}
trap cleanup EXIT
words_hz=700

mkdir -p "$dir/config/vantoro" "$dir/home" "$dir/state" "$dir/tmp"
echo "modem=$dir/tty" >"$dir/config/vantoro/line.ini"
printf '[vantoro]\nring=1\ntime=1\n' >"$dir/home/vantoro.ini"
sox -n -r 8000 -b 16 -c 1 "$dir/words.wav" synth 3 sine $words_hz vol 0.5
convert -size 1728x600 xc:white -fill black -draw "rectangle 100,100 1600,140" -monochrome \
    -density 204x98 -units PixelsPerInch -compress Fax "$dir/page.tif"

start_modem() {
    "$BUILD/vantoro-vmodem" --link "$dir/tty" --socket "$dir/line.sock" --ring-interval 600 \
        --trace >>"$dir/vmodem.trace" 2>&1 &
    modem=$!
    for _ in $(seq 50); do [ -e "$dir/tty" ] && return 0; sleep 0.1; done
}
stop_modem() {
    kill "$modem"
    wait "$modem" 2>/dev/null
    modem=
}
start_program() {
    mkfifo "$dir/commands"
    exec 3<>"$dir/commands"
    XDG_RUNTIME_DIR=$dir XDG_STATE_HOME=$dir/state XDG_CONFIG_HOME=$dir/config TMPDIR=$dir/tmp \
        VANTORO_HOME=$dir/home VANTORO_AUDIO_TRACE=1 "$BUILD/vantoro" --headless \
        <"$dir/commands" >"$dir/status" 2>"$dir/program.err" &
    program=$!
    wait_for_line "等待呼叫..." 1
}
stop_program() {
    echo exit >&3
    wait "$program"
    program=
}

count_lines() { grep -cx -- "$1" "$dir/status" 2>/dev/null || true; }
# TEXT COUNT: until the status holds COUNT lines equal to TEXT (two minutes at most).
wait_for_line() {
    for _ in $(seq 1200); do
        [ "$(count_lines "$1")" -ge "$2" ] && return 0
        sleep 0.1
    done
    fail "timed out waiting for '$1'"
    return 1
}
# Waits for the next TEXT after what the status holds now; the command runs in between.
after_next() {
    local text=$1 count
    count=$(count_lines "$text")
    shift
    "$@"
    wait_for_line "$text" $((count + 1))
}
call() { "$BUILD/vantoro-call" --socket "$dir/line.sock" "$@" >>"$dir/calls.out" 2>&1; }

# Seconds of FILE (a 16-bit mono WAV) whose 50 ms windows are mostly the words' tone (Goertzel).
words_seconds() {
    sox "$1" -t dat - 2>/dev/null | awk -v hz=$words_hz '
        BEGIN { c = 2 * cos(2 * 3.14159265 * hz / 8000); n = 400 }
        /^;/ { next }
        { x = $2 * 32768; s0 = x + c * s1 - s2; s2 = s1; s1 = s0; e += x * x; i++ }
        i == n { p = s1 * s1 + s2 * s2 - c * s1 * s2; if (e > 0 && 2 * p / (n * e) > 0.8) t += 0.05
                 s1 = s2 = e = i = 0 }
        END { printf "%.2f\n", t }'
}
newest_message() { find "$dir/home/wav" -name '*.wav' | sort | tail -1; }
# LABEL: the newest message holds the 3 s of words; otherwise the run is marked failed.
check_message() {
    local file seconds
    file=$(newest_message)
    seconds=$([ -n "$file" ] && words_seconds "$file" || echo 0)
    if awk -v s="$seconds" 'BEGIN { exit !(s >= 2.7 && s <= 3.3) }'; then
        echo "  $1: message holds ${seconds} s of the words"
        return 0
    fi
    fail "$1: ${seconds} s of the words in '${file:-no message}'"
    return 1
}
message_count() { find "$dir/home/wav" -name '*.wav' | wc -l; }

# One voice call whose words come 15 s after the answer, after the greeting, fax window and tone.
voice_call() {
    local before
    before=$(message_count)
    after_next "等待呼叫..." call --say "$dir/words.wav" --say-after 15 --hangup-after 20
    [ "$(message_count)" -gt "$before" ] || { fail "$1: no new message"; return 1; }
    check_message "$1"
}
# A fax machine known by its calling tone in the greeting.
fax_by_tone() { after_next "等待呼叫..." call --fax "$dir/page.tif"; }
# A fax machine without calling tone; receive-fax is pressed DELAY seconds into the greeting.
fax_by_button() {
    local greetings
    greetings=$(count_lines "正在播放欢迎词")
    call --fax "$dir/page.tif" --no-cng &
    local caller=$!
    wait_for_line "正在播放欢迎词" $((greetings + 1))
    sleep "$1"
    after_next "等待呼叫..." eval "echo receive-fax >&3"
    wait "$caller"
}
# A message cut by the modem going away 5 s into the recording; the modem comes back.
voice_then_modem_lost() {
    local recordings
    recordings=$(count_lines "正在录制留言")
    call --say "$dir/words.wav" --say-after 15 --hangup-after 60 &
    local caller=$!
    wait_for_line "正在录制留言" $((recordings + 1))
    sleep 5
    after_next "线路中断，正在重新打开..." stop_modem
    wait "$caller"
    after_next "等待呼叫..." start_modem
    check_message "$1"
}
faxes_stored() { find "$dir/home/fax" -name '*.tif' | wc -l; }
