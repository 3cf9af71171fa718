# Shared pieces of the mail benchmarks (sourced, not run): the sink, the
# program installed into a scratch directory and run once, and timing with
# medians of interleaved runs.
# The caller sets: build (the build tree), work (a scratch directory).

py=/usr/bin/python3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sink_pid=

bench_cleanup() {
    [[ -n $sink_pid ]] && kill "$sink_pid" 2>/dev/null
    rm -rf "$work"
}

# Starts bench/smtp_sink.py; sets port.
start_sink() {
    $py "$here/smtp_sink.py" > "$work/port" &
    sink_pid=$!
    local i
    for i in $(seq 50); do [[ -s $work/port ]] && break; sleep 0.1; done
    port=$(cat "$work/port")
    [[ -n $port ]] || { echo "the sink did not start" >&2; exit 1; }
}

# The program with its ZIP library in $work/prog, as an administrator would
# install it.
install_program() {
    [[ -x $build/postvane && -e $build/libzipdll.so ]] || {
        echo "build the program first: cmake --build $build --target postvane pv_zipdll" >&2
        exit 1
    }
    cmake --install "$build" --prefix "$work/prog" > /dev/null
}

# Settings for one job, run once one second after start:
#   program_ini POLL_DIR SELECTION SINGLE_FILE_PER_MAIL
program_ini() {
    cat > "$work/prog/postvane.ini" <<EOF
[SETUP]
Authentication=0
PollDir=$1
Host=127.0.0.1
HostPort=$port
To=sink@example.org
Cc=
Bcc=
From=bench@example.org
Subject=postvane
TimeUnit=S
PollInterval=1
Log=1
Backup=0
Delete=0
Archive=0
ZipCompression=0
AppendFileNames=0
Charset=iso-8859-1
SingleFilePerMail=$3
FileSelection=$2
RunOnceExit=1
EOF
    rm -f "$work/prog/Postvane.log"
}

# The program's wall time includes the poll interval it waits after start.
program_interval=1

# One run of a command: "wall cpu maxrss_kb". A function name and its
# arguments; the function runs in a fresh bash that sees the variables below.
time_once() {
    local fn=$1
    shift
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" bash -c "$(declare -f "$fn"); \
        port=$port work=$work build=$build py=$py; $fn $*" > /dev/null 2> "$work/err" \
        || { echo "$fn failed:" >&2; cat "$work/err" >&2; return 1; }
    tail -1 "$work/time" | awk '{print $1, $2 + $3, $4}'
}

# Median of the lines "wall cpu rss" on stdin, column by column.
median3() {
    awk '{ w[NR] = $1; c[NR] = $2; m[NR] = $3 }
         function med(a, n,   i, j, t) {
             for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++)
                 if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
             return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
         }
         END { print med(w, NR), med(c, NR), med(m, NR) }'
}

load_average() {
    cut -d' ' -f1-3 /proc/loadavg
}
