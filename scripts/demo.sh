#!/usr/bin/env bash
# The demonstration: installs the dependencies, builds the program alone (a
# Release build in build-demo/, no tests, no benchmarks), installs it stripped
# into a throw-away program directory with a sample poll directory, starts a
# local SMTP server that stores into a Maildir, runs one job, and shows the
# exit status, the log and the mail that arrived.
#   scripts/demo.sh [--keep]
# Afterwards the program directory, the poll directory and the Maildir are
# removed, unless --keep leaves them (the script says where); build-demo/ is
# kept, so a second run does not compile again.
# CMAKE_BUILD_PARALLEL_LEVEL=1 scripts/demo.sh runs one compiler at a time.
set -euo pipefail
keep=0
case "${1:-}" in
--keep) keep=1 ;;
"") ;;
*)
    echo "usage: scripts/demo.sh [--keep]" >&2
    exit 2
    ;;
esac
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-demo
"$here/scripts/install-deps.sh"

echo "== building the program (Release) in $build"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPV_BUILD_TESTS=OFF \
    -DPV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build"

demo=$(mktemp -d "${TMPDIR:-/tmp}/postvane-demo.XXXXXX")
smtpd=
cleanup() {
    if [[ -n $smtpd ]]; then
        kill "$smtpd" 2>/dev/null || true
        wait "$smtpd" 2>/dev/null || true
    fi
    if ((keep)); then
        echo "== left in $demo: program/ (with its log), poll/, maildir/"
    else
        rm -rf "$demo"
    fi
}
trap cleanup EXIT

prog=$demo/program
cmake --install "$build" --prefix "$prog" --strip >/dev/null
echo "== installed $("$prog/postvane" --version) into $prog ($(du -k "$prog/postvane" | cut -f1) kB)"
mkdir -p "$demo/poll"
printf 'Disk usage report\r\n' >"$demo/poll/report.txt"
printf 'Nightly counters: 17 42 99\r\n' >"$demo/poll/counters.txt"
printf 'not selected\r\n' >"$demo/poll/picture.png"

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$port" -c aiosmtpd.handlers.Mailbox "$demo/maildir" \
    >"$demo/smtpd.log" 2>&1 &
smtpd=$!
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done

# Only the keys the demo needs; Postvane writes all others with their defaults.
# Cc and Bcc must be given: their defaults are sample addresses.
printf '[SETUP]\r\nPollDir=%s/\r\nHost=127.0.0.1\r\nHostPort=%s\r\nTo=admin@example.org\r\nCc=\r\nBcc=\r\nFrom=postvane@example.org\r\nSubject=Postvane demo\r\nFileSelection=*.txt\r\nTimeUnit=S\r\nPollInterval=1\r\nRunOnceExit=1\r\nVerboseLogging=1\r\n' \
    "$demo/poll" "$port" >"$prog/postvane.ini"

echo "== running $prog/postvane once (it polls after 1 second and exits)"
status=0
timeout 120 "$prog/postvane" || status=$?
echo "== exit status $status (0: everything selected was sent)"
echo "== $prog/Postvane.log"
cat "$prog/Postvane.log"
echo "== mail received by the local SMTP server on port $port"
shopt -s nullglob
mails=("$demo"/maildir/new/*)
if ((${#mails[@]} == 0)); then
    echo "(no mail arrived)"
    status=1
else
    for m in "${mails[@]}"; do
        echo "--- $m"
        /usr/bin/python3 - "$m" <<'PY'
import email, sys
from email import policy
msg = email.message_from_binary_file(open(sys.argv[1], "rb"), policy=policy.default)
for h in ("From", "To", "Subject", "Date", "X-Mailer"):
    print(f"{h}: {msg[h]}")
for part in msg.walk():
    if part.get_content_disposition() == "attachment":
        print(f"attachment {part.get_filename()}: {len(part.get_content())} bytes")
    elif part.get_content_type() == "text/plain":
        print("text:", part.get_content().strip().replace("\n", "\n      "))
PY
    done
fi
echo "== the build stays in $build (remove it when you no longer need it)"
exit "$status"
