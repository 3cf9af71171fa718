#!/usr/bin/env bash
# Many small files (default 1,000 of 4 KB), one message per file over one
# connection, to a sink on loopback: sent by TSmtpCli (bench/smtp_send
# --per-file), by the whole program with "Single file per mail" (installed,
# run once; its one-second start delay taken out) and by Python's smtplib
# over one connection. Wall time, CPU time and peak memory: medians of RUNS
# interleaved runs, and the ratios to smtplib of the same runs.
#   bench/smtp_many.sh [BUILD_DIR] [FILES] [RUNS]
# Target: at most 1.0 x smtplib's wall time.
set -euo pipefail

build=$(cd "${1:-$(dirname "$0")/../build}" && pwd)
files=${2:-1000}
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

mkdir -p "$work/poll"
for i in $(seq -w 1 "$files"); do
    head -c 4096 /dev/urandom > "$work/poll/file$i.dat"
done

cat > "$work/smtplib_many.py" <<'EOF'
import os, smtplib, sys
from email.message import EmailMessage
port, folder = int(sys.argv[1]), sys.argv[2]
with smtplib.SMTP("127.0.0.1", port) as s:
    for name in sorted(os.listdir(folder)):
        msg = EmailMessage()
        msg["From"], msg["To"], msg["Subject"] = "bench@example.org", "sink@example.org", name
        msg.set_content("One attachment follows.")
        with open(os.path.join(folder, name), "rb") as f:
            msg.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                               filename=name)
        s.send_message(msg)
EOF

run_tsmtpcli() { "$build/bench/smtp_send" --per-file 127.0.0.1 "$port" "$work"/poll/*.dat; }
run_program() {
    "$work/prog/postvane" &&
        grep -q "^$(ls "$work/poll" | wc -l) File(s) with $(ls "$work/poll" | wc -l) Mail(s) sent" \
            "$work/prog/Postvane.log"
}
run_smtplib() { $py "$work/smtplib_many.py" "$port" "$work/poll"; }

measure() {
    local n=$1
    [[ $n == program ]] && program_ini "$work/poll" "*.dat" 1
    time_once "run_$n" | awk -v n="$n" -v d="$program_interval" \
        '{ if (n == "program") $1 -= d; print $1, $2, $3 }'
}

names=(tsmtpcli program smtplib)
labels=("TSmtpCli (smtp_send)" "Postvane (run once)" "Python smtplib")
load_before=$(load_average)
for r in $(seq "$runs"); do
    for n in "${names[@]}"; do
        measure "$n" >> "$work/times.$n"
    done
done
load_after=$(load_average)

printf "%d files of 4 KB, one mail per file over one connection, loopback sink,\n" "$files"
printf "median of %d interleaved runs\n" "$runs"
printf "load average before %s, after %s (%d cores)\n" "$load_before" "$load_after" "$(nproc)"
printf "%-28s %9s %9s %9s %10s\n" sender "wall s" "cpu s" "peak MB" "vs smtplib"
declare -A wall
for i in "${!names[@]}"; do
    n=${names[$i]}
    read -r w c m < <(median3 < "$work/times.$n")
    wall[$n]=$w
    awk -v l="${labels[$i]}" -v w="$w" -v c="$c" -v m="$m" -v s="$(median3 < "$work/times.smtplib" | cut -d' ' -f1)" \
        'BEGIN { printf "%-28s %9.2f %9.2f %9.1f %9.2fx\n", l, w, c, m / 1024, w / s }'
done
awk -v c="${wall[tsmtpcli]}" -v p="${wall[program]}" -v s="${wall[smtplib]}" 'BEGIN {
    printf "target wall <= 1.0 x smtplib: TSmtpCli %.2fx %s, Postvane %.2fx %s\n",
        c / s, c / s <= 1 ? "met" : "NOT met", p / s, p / s <= 1 ? "met" : "NOT met"
}'
