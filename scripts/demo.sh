#!/usr/bin/env bash
# Installs the dependencies, builds Postvane, installs it into a throw-away
# program directory and runs one job: a sample poll directory is mailed to a
# local SMTP server (storing into a Maildir), then the log and the mail are shown.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build"

demo=$(mktemp -d /tmp/postvane-demo.XXXXXX)
prog=$demo/program
cmake --install "$build" --prefix "$prog" >/dev/null
mkdir -p "$demo/poll"
printf 'Disk usage report\r\n' > "$demo/poll/report.txt"
printf 'Nightly counters: 17 42 99\r\n' > "$demo/poll/counters.txt"
printf 'not selected\r\n' > "$demo/poll/picture.png"

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$port" -c aiosmtpd.handlers.Mailbox "$demo/maildir" \
    >"$demo/smtpd.log" 2>&1 &
smtpd=$!
trap 'kill $smtpd 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done

# Only the keys the demo needs; Postvane writes all others with their defaults.
printf '[SETUP]\r\nPollDir=%s/\r\nHost=127.0.0.1\r\nHostPort=%s\r\nTo=admin@example.org\r\nCc=\r\nBcc=\r\nFrom=postvane@example.org\r\nSubject=Postvane demo\r\nFileSelection=*.txt\r\nTimeUnit=S\r\nPollInterval=1\r\nRunOnceExit=1\r\nVerboseLogging=1\r\n' \
    "$demo/poll" "$port" > "$prog/postvane.ini"

echo "== running $prog/postvane once (it polls after 1 second and exits)"
timeout 120 "$prog/postvane"
echo "== $prog/Postvane.log"
cat "$prog/Postvane.log"
echo "== mail received by the local SMTP server on port $port"
shopt -s nullglob
mails=("$demo"/maildir/new/*)
if ((${#mails[@]} == 0)); then
    echo "(no mail arrived)"
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
echo "== the demo directory is $demo"
