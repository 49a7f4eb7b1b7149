#!/usr/bin/env bash
# Builds the program's two WAVE resources into res/wave/ (8000 Hz, 16-bit, mono PCM with the
# chunks fmt (18 bytes), fact and data):
#   158.wav  the built-in greeting, exactly 7.5 s, spoken by espeak-ng in Mandarin
#   159.wav  the 0.5 s 500 Hz tone before recording, followed by a 40-byte INFO list
# Needs espeak-ng and sox. Run it again only to change the sound; the output is committed.
set -euo pipefail
out="$(cd "$(dirname "$0")/.." && pwd)/res/wave"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

readonly greeting_text="请在提示音后留言，传真请按下发送键发送传真。"
readonly greeting_bytes=120000 # 7.5 s
readonly tone_bytes=8000       # 0.5 s

le32() { # little-endian 32-bit value
    local v=$1
    printf "\\x$(printf %02x $((v & 255)))\\x$(printf %02x $((v >> 8 & 255)))"
    printf "\\x$(printf %02x $((v >> 16 & 255)))\\x$(printf %02x $((v >> 24 & 255)))"
}

# RAW [TRAILER]: a WAVE file of the 16-bit samples in RAW, with TRAILER's bytes (whole chunks)
# after the data chunk.
wave() {
    local raw=$1 trailer=${2:-/dev/null}
    local n tail
    n=$(stat -c %s "$raw")
    tail=$(cat "$trailer" | wc -c)
    printf 'RIFF'
    le32 $((4 + 26 + 12 + 8 + n + tail))
    printf 'WAVEfmt '
    le32 18
    # PCM, mono, 8000 Hz, 16000 bytes/s, block align 2, 16 bits, no extra bytes
    printf '\x01\x00\x01\x00\x40\x1f\x00\x00\x80\x3e\x00\x00\x02\x00\x10\x00\x00\x00'
    printf 'fact'
    le32 4
    le32 $((n / 2))
    printf 'data'
    le32 "$n"
    cat "$raw" "$trailer"
}

# The greeting: speech with its leading and trailing silence cut, a short lead-in, then
# silence up to exactly 7.5 s.
espeak-ng -v cmn -s 200 -w "$work/speech.wav" "$greeting_text"
sox "$work/speech.wav" -t raw -r 8000 -b 16 -c 1 -e signed "$work/greeting.raw" \
    silence 1 0.02 0.5% reverse silence 1 0.02 0.5% reverse norm -3 pad 0.1 8
head -c $greeting_bytes "$work/greeting.raw" >"$work/greeting.cut"
[ "$(stat -c %s "$work/greeting.cut")" -eq $greeting_bytes ]
wave "$work/greeting.cut" >"$out/158.wav"

sox -n -t raw -r 8000 -b 16 -c 1 -e signed "$work/tone.raw" synth 0.5 sine 500 vol 0.5
[ "$(stat -c %s "$work/tone.raw")" -eq $tone_bytes ]
{
    printf 'LIST'
    le32 40
    printf 'INFOICMT'
    le32 28
    printf 'Vantoro tone 500 Hz 0.5 s\0\0\0'
} >"$work/info.chunk"
[ "$(stat -c %s "$work/info.chunk")" -eq 48 ]
wave "$work/tone.raw" "$work/info.chunk" >"$out/159.wav"
echo "wrote $out/158.wav and $out/159.wav"
