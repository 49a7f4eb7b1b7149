# Sourced by tools/inbox_screenshot.sh and bench/inbox_rss.sh: a program folder in $1 with three
# calls in calls.tsv (two messages, one of them heard, and a fax) and their files.
# shellcheck shell=bash
inbox_fixture() {
    local home="$1"
    mkdir -p "$home/wav" "$home/fax"
    printf '[vantoro]\nring=3\ntime=5\n' >"$home/vantoro.ini"
    sox -q -n -r 8000 -b 16 -c 1 "$home/wav/2026-12-07 09-14-03.wav" synth 12 sine 440 vol 0.2
    sox -q -n -r 8000 -b 16 -c 1 "$home/wav/2026-12-07 18-40-51.wav" synth 37 sine 440 vol 0.2
    convert -size 1728x2200 xc:white -depth 1 -compress Group4 "$home/fax/2026-12-07 13-02-27.tif"
    {
        printf 'time\tcaller\toutcome\tlength\tfile\n'
        printf '2026-12-07 09:14:03\t13912345678\tmessage\t12\twav/2026-12-07 09-14-03.wav\n'
        printf '2026-12-07 13:02:27\t02158889999\tfax\t1\tfax/2026-12-07 13-02-27.tif\n'
        printf '2026-12-07 16:20:10\t\tunanswered\t\t\n'
        printf '2026-12-07 18:40:51\t\tmessage\t37\twav/2026-12-07 18-40-51.wav\n'
    } >"$home/calls.tsv"
    printf 'wav/2026-12-07 09-14-03.wav\n' >"$home/inbox-heard.txt"
}
