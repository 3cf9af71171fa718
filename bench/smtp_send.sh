#!/usr/bin/env bash
# One message with a random attachment (default 100 MB) to a sink on loopback
# that discards DATA, sent by TSmtpCli (bench/smtp_send), by the whole program
# (installed, run once; its one-second start delay taken out), by s-nail and
# curl -F building the MIME themselves, and by curl -T uploading an
# equivalent pre-built file (what the sink takes at most). Wall time, CPU time
# and peak memory: medians of RUNS interleaved runs, and the ratios to s-nail
# of the same runs. Then the peak memory of the client and the program for
# 1 MB and 1 GB, to show it does not follow the attachment's size.
#   bench/smtp_send.sh [BUILD_DIR] [MEGABYTES] [RUNS]
# Targets: at most 0.5 x s-nail's wall time, at most 10 MB peak.
set -euo pipefail

build=$(cd "${1:-$(dirname "$0")/../build}" && pwd)
mb=${2:-100}
runs=${3:-5}
[[ -x $build/bench/smtp_send ]] || {
    echo "build the bench first: cmake --build $build --target bench_smtp_send" >&2
    exit 1
}
work=$(mktemp -d)
source "$(dirname "$0")/bench_lib.sh"
trap bench_cleanup EXIT
start_sink
install_program

mkdir -p "$work/poll" "$work/flat1" "$work/flat1000"
head -c $((mb * 1000 * 1000)) /dev/urandom > "$work/poll/attachment.bin"
head -c $((1000 * 1000)) /dev/urandom > "$work/flat1/attachment.bin"
truncate -s $((1000 * 1000 * 1000)) "$work/flat1000/attachment.bin" # reads as zeros
echo "One attachment follows." > "$work/body.txt"

# The pre-built message for curl -T: the layout TSmtpCli sends.
$py - "$work/poll/attachment.bin" "$work/prebuilt.eml" <<'EOF'
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

run_tsmtpcli() { "$build/bench/smtp_send" 127.0.0.1 "$port" "$1/attachment.bin"; }
run_program() {
    "$work/prog/postvane" && grep -q "^1 File(s) with 1 Mail(s) sent" "$work/prog/Postvane.log"
}
run_snail() {
    s-nail -:/ -S mta="smtp://127.0.0.1:$port" -S hostname=bench.example.org \
        -r bench@example.org -s "s-nail" -a "$1/attachment.bin" sink@example.org \
        < "$work/body.txt"
}
run_curl_mime() {
    curl -sS "smtp://127.0.0.1:$port" --mail-from bench@example.org \
        --mail-rcpt sink@example.org -H "Subject: curl" -F "=<$work/body.txt;type=text/plain" \
        -F "file=@$1/attachment.bin;type=application/octet-stream;encoder=base64"
}
run_curl_upload() {
    curl -sS "smtp://127.0.0.1:$port" --mail-from bench@example.org \
        --mail-rcpt sink@example.org -T "$work/prebuilt.eml"
}

# The program's runs lose the poll interval it waits before the job.
measure() {
    local n=$1 dir=$2
    [[ $n == program ]] && program_ini "$dir" "*.bin" 0
    time_once "run_$n" "$dir" | awk -v n="$n" -v d="$program_interval" \
        '{ if (n == "program") $1 -= d; print $1, $2, $3 }'
}

names=(tsmtpcli program snail curl_mime curl_upload)
labels=("TSmtpCli (smtp_send)" "Postvane (run once)" "s-nail (builds MIME)"
        "curl -F (builds MIME)" "curl -T (pre-built file)")
load_before=$(load_average)
for r in $(seq "$runs"); do
    for n in "${names[@]}"; do
        measure "$n" "$work/poll" >> "$work/times.$n"
    done
done
load_after=$(load_average)

printf "%d MB attachment, loopback sink, median of %d interleaved runs\n" "$mb" "$runs"
printf "load average before %s, after %s (%d cores)\n" "$load_before" "$load_after" "$(nproc)"
printf "%-28s %9s %9s %9s %10s\n" sender "wall s" "cpu s" "peak MB" "vs s-nail"
declare -A wall cpu mem
for n in "${names[@]}"; do
    read -r wall[$n] cpu[$n] mem[$n] < <(median3 < "$work/times.$n")
done
for i in "${!names[@]}"; do
    n=${names[$i]}
    awk -v l="${labels[$i]}" -v w="${wall[$n]}" -v c="${cpu[$n]}" -v m="${mem[$n]}" \
        -v s="${wall[snail]}" \
        'BEGIN { printf "%-28s %9.2f %9.2f %9.1f %9.2fx\n", l, w, c, m / 1024, w / s }'
done

# Peak memory for 1 MB and 1 GB, one run each.
declare -A flat
for n in tsmtpcli program; do
    for size in 1 1000; do
        read -r _ _ flat[$n$size] < <(measure "$n" "$work/flat$size")
    done
done
awk -v mb="$mb" -v c1="${flat[tsmtpcli1]}" -v c="${mem[tsmtpcli]}" -v cg="${flat[tsmtpcli1000]}" \
    -v p1="${flat[program1]}" -v p="${mem[program]}" -v pg="${flat[program1000]}" 'BEGIN {
    printf "peak MB for 1 MB / %d MB / 1 GB: TSmtpCli %.1f / %.1f / %.1f, Postvane %.1f / %.1f / %.1f\n",
        mb, c1 / 1024, c / 1024, cg / 1024, p1 / 1024, p / 1024, pg / 1024
}'
awk -v c="${wall[tsmtpcli]}" -v p="${wall[program]}" -v s="${wall[snail]}" \
    -v mc="${flat[tsmtpcli1000]}" -v mp="${flat[program1000]}" 'BEGIN {
    printf "target wall <= 0.5 x s-nail: TSmtpCli %.2fx %s, Postvane %.2fx %s\n",
        c / s, c / s <= 0.5 ? "met" : "NOT met", p / s, p / s <= 0.5 ? "met" : "NOT met"
    printf "target peak <= 10 MB at 1 GB: TSmtpCli %.1f MB %s, Postvane %.1f MB %s\n",
        mc / 1024, mc <= 10240 ? "met" : "NOT met", mp / 1024, mp <= 10240 ? "met" : "NOT met"
}'
