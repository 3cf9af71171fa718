#!/usr/bin/env bash
# One message with a random attachment (default 100 MB) to a sink on loopback
# that discards DATA, sent by TSmtpCli (bench/smtp_send), by s-nail and curl
# building the MIME themselves, by curl uploading an equivalent pre-built MIME
# file, and by Python's smtplib. Wall time, CPU time and peak memory of each
# (GNU time), the median of RUNS runs, and the ratios to s-nail.
#   bench/smtp_send.sh [BUILD_DIR] [MEGABYTES] [RUNS]
# Also sends 10 MB through TSmtpCli, to show its memory does not follow the
# attachment's size.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
mb=${2:-100}
runs=${3:-3}
client=$build/bench/smtp_send
[[ -x $client ]] || { echo "build the bench first: $client is missing" >&2; exit 1; }
py=/usr/bin/python3
work=$(mktemp -d)
sink_pid=
cleanup() {
    [[ -n $sink_pid ]] && kill "$sink_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The sink: answers every command, discards DATA in large reads.
cat > "$work/sink.py" <<'EOF'
import socket, sys, threading
def serve(conn):
    f = conn.makefile("rb", buffering=1 << 20)
    conn.sendall(b"220 sink ready\r\n")
    while True:
        line = f.readline()
        if not line:
            break
        cmd = line[:4].upper()
        if cmd == b"DATA":
            conn.sendall(b"354 go ahead\r\n")
            tail = b""
            while True:
                chunk = f.read1(1 << 20)
                if not chunk:
                    return
                if b"\r\n.\r\n" in tail + chunk[:5] or b"\r\n.\r\n" in chunk:
                    break
                tail = chunk[-5:]
            conn.sendall(b"250 discarded\r\n")
        elif cmd == b"QUIT":
            conn.sendall(b"221 bye\r\n")
            break
        elif cmd == b"EHLO":
            conn.sendall(b"250-sink\r\n250 8BITMIME\r\n")
        else:
            conn.sendall(b"250 ok\r\n")
    conn.close()
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 0))
s.listen(8)
print(s.getsockname()[1], flush=True)
while True:
    c, _ = s.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
EOF
$py "$work/sink.py" > "$work/port" &
sink_pid=$!
for _ in $(seq 50); do [[ -s $work/port ]] && break; sleep 0.1; done
port=$(cat "$work/port")

head -c $((mb * 1000 * 1000)) /dev/urandom > "$work/attachment.bin"
head -c $((10 * 1000 * 1000)) /dev/urandom > "$work/small.bin"
echo "One attachment follows." > "$work/body.txt"

# The pre-built message for curl -T: the same layout TSmtpCli sends.
$py - "$work/attachment.bin" "$work/prebuilt.eml" <<'EOF'
import base64, sys
src, dst = sys.argv[1], sys.argv[2]
with open(src, "rb") as f, open(dst, "wb") as out:
    out.write(b"From: bench@example.org\r\nTo: sink@example.org\r\nSubject: prebuilt\r\n"
              b"Mime-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
              b"--b\r\nContent-Type: text/plain\r\n\r\nOne attachment follows.\r\n\r\n"
              b"--b\r\nContent-Type: application/octet-stream; name=\"attachment.bin\"\r\n"
              b"Content-Transfer-Encoding: base64\r\n\r\n")
    while True:
        block = f.read(54 * 20000)
        if not block:
            break
        enc = base64.b64encode(block)
        out.write(b"\r\n".join(enc[i:i + 72] for i in range(0, len(enc), 72)) + b"\r\n")
    out.write(b"\r\n--b--\r\n")
EOF

cat > "$work/smtplib_send.py" <<'EOF'
import smtplib, sys
from email.message import EmailMessage
port, path = int(sys.argv[1]), sys.argv[2]
msg = EmailMessage()
msg["From"], msg["To"], msg["Subject"] = "bench@example.org", "sink@example.org", "smtplib"
msg.set_content("One attachment follows.")
with open(path, "rb") as f:
    msg.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                       filename="attachment.bin")
with smtplib.SMTP("127.0.0.1", port) as s:
    s.send_message(msg)
EOF

run_tsmtpcli() { "$client" 127.0.0.1 "$port" "$1" > /dev/null; }
run_snail() {
    s-nail -:/ -S mta="smtp://127.0.0.1:$port" -S hostname=bench.example.org \
        -r bench@example.org -s "s-nail" -a "$1" sink@example.org < "$work/body.txt"
}
run_curl_mime() {
    curl -s "smtp://127.0.0.1:$port" --mail-from bench@example.org --mail-rcpt sink@example.org \
        -H "Subject: curl" -F "=<$work/body.txt;type=text/plain" \
        -F "file=@$1;type=application/octet-stream;encoder=base64"
}
run_curl_upload() {
    curl -s "smtp://127.0.0.1:$port" --mail-from bench@example.org \
        --mail-rcpt sink@example.org -T "$work/prebuilt.eml"
}
run_smtplib() { $py "$work/smtplib_send.py" "$port" "$1"; }

# Median of RUNS measurements: "wall cpu maxrss_kb".
measure() {
    local fn=$1 file=$2 i
    for i in $(seq "$runs"); do
        /usr/bin/time -f "%e %U %S %M" -o "$work/time" bash -c "$(declare -f "$fn"); \
            port=$port work=$work client=$client py=$py; $fn '$file'" > /dev/null 2> "$work/err" \
            || { echo "$fn failed:" >&2; cat "$work/err" >&2; return 1; }
        tail -1 "$work/time"
    done | awk '{print $1, $2 + $3, $4}' | sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2)'
}

printf "%d MB attachment, loopback sink, median of %d runs\n" "$mb" "$runs"
printf "%-28s %9s %9s %11s %9s\n" client "wall s" "cpu s" "peak MB" "vs s-nail"
declare -A wall cpu mem
names=(tsmtpcli snail curl_mime curl_upload smtplib)
labels=("TSmtpCli (smtp_send)" "s-nail (builds MIME)" "curl -F (builds MIME)"
        "curl -T (pre-built file)" "Python smtplib")
for n in "${names[@]}"; do
    read -r wall[$n] cpu[$n] mem[$n] < <(measure "run_$n" "$work/attachment.bin")
done
for i in "${!names[@]}"; do
    n=${names[$i]}
    awk -v l="${labels[$i]}" -v w="${wall[$n]}" -v c="${cpu[$n]}" -v m="${mem[$n]}" \
        -v s="${wall[snail]}" 'BEGIN { printf "%-28s %9.2f %9.2f %11.1f %8.2fx\n", l, w, c, m / 1024, w / s }'
done
read -r w10 c10 m10 < <(measure run_tsmtpcli "$work/small.bin")
awk -v w="$w10" -v c="$c10" -v m="$m10" -v big="${mem[tsmtpcli]}" -v mb="$mb" \
    'BEGIN { printf "TSmtpCli with 10 MB: %.2f s wall, %.2f s cpu, %.1f MB peak (%d MB: %.1f MB)\n", w, c, m / 1024, mb, big / 1024 }'
