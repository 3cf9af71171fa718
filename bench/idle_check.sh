#!/usr/bin/env bash
# The program between polls: installed, started in timer mode with a poll
# interval of 10 minutes, left alone once start-up is over: its wake-ups
# (context switches of every thread) in SECONDS (default 60), then its system
# calls (strace on every thread) in another SECONDS. Expected: 0 and 0.
#   bench/idle_check.sh [BUILD_DIR] [SECONDS]
set -euo pipefail

build=$(cd "${1:-$(dirname "$0")/../build}" && pwd)
seconds=${2:-60}
work=$(mktemp -d)
source "$(dirname "$0")/bench_lib.sh"
prog_pid=
cleanup() {
    [[ -n $prog_pid ]] && kill "$prog_pid" 2>/dev/null && wait "$prog_pid" 2>/dev/null
    bench_cleanup
}
trap cleanup EXIT
port=25 # never reached: no job runs in the time measured
install_program
mkdir -p "$work/poll"
program_ini "$work/poll" "*.dat" 0
sed -i 's/^TimeUnit=S/TimeUnit=M/; s/^PollInterval=1/PollInterval=10/; s/^RunOnceExit=1/RunOnceExit=0/' \
    "$work/prog/postvane.ini"
echo "StartInTimerMode=1" >> "$work/prog/postvane.ini"

"$work/prog/postvane" 2> "$work/stderr" &
prog_pid=$!
sleep 5 # start-up, the About box's three seconds included

switches() {
    cat /proc/"$prog_pid"/task/*/status |
        awk '/^(non)?voluntary_ctxt_switches/ { n += $2 } END { print n }'
}
# Wake-ups first, undisturbed; then the system calls, with strace attached
# (its attaching stops the threads, which counts as switches).
before=$(switches)
sleep "$seconds"
after=$(switches)
tasks=$(ls /proc/"$prog_pid"/task | sed 's/^/-p /' | tr '\n' ' ')
# shellcheck disable=SC2086
timeout -s INT "$seconds" strace -c -f -o "$work/strace" $tasks 2> /dev/null || true
calls=$(awk '$NF == "total" { print $4 }' "$work/strace")
echo "idle for $seconds s: $((after - before)) wake-ups; then for $seconds s: ${calls:-0}" \
    "system calls ($(ls /proc/"$prog_pid"/task | wc -l) threads)"
