#!/usr/bin/env bash
# One message with a random attachment (default 100 MB) over STARTTLS to a
# sink on loopback that discards DATA, sent by TSmtpCli (bench/smtp_send
# --starttls), by the whole program (installed, run once with [TLS]
# SMTP=starttls; its one-second start delay taken out), by s-nail and by
# curl -F, both building the MIME themselves and checking the certificate as
# the program does. Wall time, CPU time and peak memory: medians of RUNS
# interleaved runs, and the ratios to the faster of s-nail and curl in the
# same runs. The certificates are made by tests/support/make_certs.sh.
#   bench/smtp_tls.sh [BUILD_DIR] [MEGABYTES] [RUNS]
# Target: at most 0.7 x the faster of s-nail and curl.
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
"$here/../tests/support/make_certs.sh" "$work/certs"
start_sink --tls "$work/certs/server.pem" "$work/certs/server.key"
install_program

mkdir -p "$work/poll"
head -c $((mb * 1000 * 1000)) /dev/urandom > "$work/poll/attachment.bin"
echo "One attachment follows." > "$work/body.txt"

run_tsmtpcli() {
    "$build/bench/smtp_send" --starttls "$work/certs/ca.pem" 127.0.0.1 "$port" \
        "$1/attachment.bin"
}
run_program() {
    "$work/prog/postvane" && grep -q "^1 File(s) with 1 Mail(s) sent" "$work/prog/Postvane.log"
}
# s-nail matches no address against the certificate's names: it goes by
# "localhost", which the certificate names too.
run_snail() {
    s-nail -:/ -S nosave -S mta="smtp://localhost:$port" -S smtp-use-starttls \
        -S tls-ca-file="$work/certs/ca.pem" -S hostname=bench.example.org \
        -r bench@example.org -s "s-nail" -a "$1/attachment.bin" sink@example.org \
        < "$work/body.txt" 2> "$work/snail.err"
}
run_curl() {
    curl -sS "smtp://127.0.0.1:$port" --ssl-reqd --cacert "$work/certs/ca.pem" \
        --mail-from bench@example.org --mail-rcpt sink@example.org -H "Subject: curl" \
        -F "=<$work/body.txt;type=text/plain" \
        -F "file=@$1/attachment.bin;type=application/octet-stream;encoder=base64"
}

# The program's runs lose the poll interval it waits before the job.
measure() {
    local n=$1 dir=$2
    if [[ $n == program ]]; then
        program_ini "$dir" "*.bin" 0
        printf '[TLS]\nSMTP=starttls\nCAFile=%s\n' "$work/certs/ca.pem" >> "$work/prog/postvane.ini"
    fi
    time_once "run_$n" "$dir" | awk -v n="$n" -v d="$program_interval" \
        '{ if (n == "program") $1 -= d; print $1, $2, $3 }'
}

names=(tsmtpcli program snail curl)
labels=("TSmtpCli (smtp_send)" "Postvane (run once)" "s-nail" "curl -F")
load_before=$(load_average)
for r in $(seq "$runs"); do
    for n in "${names[@]}"; do
        measure "$n" "$work/poll" >> "$work/times.$n"
    done
done
load_after=$(load_average)

declare -A wall cpu mem
for n in "${names[@]}"; do
    read -r wall[$n] cpu[$n] mem[$n] < <(median3 < "$work/times.$n")
done
best=$(awk -v s="${wall[snail]}" -v c="${wall[curl]}" 'BEGIN { print (s < c ? s : c) }')
printf "%d MB attachment over STARTTLS, loopback sink, median of %d interleaved runs\n" "$mb" "$runs"
printf "load average before %s, after %s (%d cores)\n" "$load_before" "$load_after" "$(nproc)"
printf "%-24s %9s %9s %9s %12s\n" sender "wall s" "cpu s" "peak MB" "vs fastest"
for i in "${!names[@]}"; do
    n=${names[$i]}
    awk -v l="${labels[$i]}" -v w="${wall[$n]}" -v c="${cpu[$n]}" -v m="${mem[$n]}" -v b="$best" \
        'BEGIN { printf "%-24s %9.2f %9.2f %9.1f %11.2fx\n", l, w, c, m / 1024, w / b }'
done
awk -v c="${wall[tsmtpcli]}" -v p="${wall[program]}" -v b="$best" 'BEGIN {
    printf "target wall <= 0.7 x the faster of s-nail and curl: TSmtpCli %.2fx %s, Postvane %.2fx %s\n",
        c / b, c / b <= 0.7 ? "met" : "NOT met", p / b, p / b <= 0.7 ? "met" : "NOT met"
}'
