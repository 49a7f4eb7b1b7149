#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exit status 0 only when all pass.
# ./test.sh --sanitize: the same with AddressSanitizer and UndefinedBehaviorSanitizer, built in
# build-sanitize/ (slower; not part of CI). ./test.sh --quick: all but the tests labelled
# realtime (calls through the virtual modem), for the edit-build-test loop. Other arguments go
# to ctest.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
source "$root/tools/bootstrap.sh"
sanitize=no
selection=()
# Two tests a core: the calls in real time mostly wait for the clock (four fax calls at once
# take 4 % of a core), so the suite takes little more than half as long as with one a core.
# The sanitizers' code is several times slower: one test a core there.
jobs=$((2 * $(nproc)))
while [ $# -gt 0 ]; do
    case "$1" in
        --sanitize) sanitize=yes ;;
        --quick) selection=(-LE realtime) ;;
        *) break ;;
    esac
    shift
done
if [ "$sanitize" = yes ]; then
    jobs=$(nproc)
    export VANTORO_BUILD_DIR="$root/build-sanitize" VANTORO_CMAKE_OPTIONS="-DVANTORO_SANITIZE=ON"
    # verify_asan_link_order=0: the calendar test preloads libfaketime.
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:verify_asan_link_order=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    export LSAN_OPTIONS="suppressions=$root/tests/support/lsan.supp:print_suppressions=0"
fi
vantoro_install_missing
vantoro_check_format "$root"
vantoro_build "$root"
cd "${VANTORO_BUILD_DIR:-$root/build}"
ctest --output-on-failure --timeout 600 -j"$jobs" "${selection[@]}" "$@"
