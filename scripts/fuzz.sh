#!/usr/bin/env bash
# Runs the fuzz targets of fuzz/ (libFuzzer, with ASan and UBSan), built with
# clang in a build directory of their own ($PV_FUZZ_BUILD, else build-fuzz).
#   scripts/fuzz.sh TARGET [SECONDS]   one target, 60 s by default; 0 runs only
#                                      the corpus, each input once
#   scripts/fuzz.sh --all [SECONDS]    every target, two at a time
#   scripts/fuzz.sh --build            builds every target
#   scripts/fuzz.sh --list             names the targets
# A run starts from the committed seeds and regression cases
# (fuzz/corpus/TARGET/, never written) and from what earlier runs found
# (BUILD/corpus/TARGET/). Any finding fails the run; its input is kept in
# BUILD/findings/TARGET/ and named in the output. Extra libFuzzer options can
# be given in PV_FUZZ_ARGS (for instance -runs=10000000).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${PV_FUZZ_BUILD:-$here/build-fuzz}

targets() {
    sed -n 's/^pv_add_fuzz(\([a-z0-9_]*\) .*/\1/p' "$here/fuzz/CMakeLists.txt"
}

configure() {
    if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null; then
        echo "fuzz: clang is not installed (scripts/install-deps.sh --fuzz installs it)" >&2
        exit 2
    fi
    if [[ ! -f $build/build.ninja ]] || ! grep -q '^PV_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
        cmake -S "$here" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
            -DPV_FUZZ=ON -DPV_BUILD_TESTS=OFF -DPV_BUILD_BENCH=OFF -DPV_WERROR=ON >/dev/null
    fi
}

# run TARGET SECONDS: one run; the exit status tells whether it found anything.
run() {
    local target=$1 seconds=$2
    local bin=$build/fuzz/fuzz_$target log=$build/fuzz-$target.log
    local corpus=$build/corpus/$target findings=$build/findings/$target/
    mkdir -p "$corpus" "$findings"
    local limit=(-max_total_time="$seconds")
    ((seconds > 0)) || limit=(-runs=0)
    local status=0
    # A session waits on loopback at most a few seconds; 25 s is a hang.
    # shellcheck disable=SC2086
    "$bin" "${limit[@]}" -timeout=25 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$findings" ${PV_FUZZ_ARGS:-} "$corpus" "$here/fuzz/corpus/$target" \
        >"$log" 2>&1 || status=$?
    local runs time
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    if ((status != 0)) && grep -q 'libFuzzer: run interrupted' "$log"; then
        echo "fuzz: $target: interrupted after ${runs:-?} runs, no finding until then" >&2
        return 1
    fi
    if ((status != 0)); then
        echo "fuzz: $target: FINDING (exit $status) after ${runs:-?} runs; log $log" >&2
        grep -E '^(FUZZ FINDING|==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | head -5 >&2 || true
        grep -E '^(artifact_prefix|Test unit written)' "$log" | tail -1 >&2 || true
        return 1
    fi
    local rate=""
    [[ -n $time && $time -gt 0 && -n $runs ]] && rate=" ($((runs / time))/s)"
    echo "fuzz: $target: ${runs:-0} runs in ${time:-0} s$rate, no finding"
}

case ${1:-} in
"" | -h | --help)
    sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
--list)
    targets
    ;;
--build)
    configure
    mapfile -t all < <(targets)
    cmake --build "$build" --target "${all[@]/#/fuzz_}"
    ;;
--all)
    seconds=${2:-60}
    "$0" --build
    export PV_FUZZ_BUILD=$build
    # Two at a time; every target runs even after a finding.
    if targets | xargs -P 2 -I{} "$0" --run-built {} "$seconds"; then
        echo "fuzz: every target ran without a finding"
    else
        echo "fuzz: findings, see above" >&2
        exit 1
    fi
    ;;
--run-built)
    run "$2" "$3"
    ;;
*)
    target=$1
    if ! targets | grep -qx "$target"; then
        echo "fuzz: no target $target (targets: $(targets | tr '\n' ' '))" >&2
        exit 2
    fi
    configure
    cmake --build "$build" --target "fuzz_$target"
    run "$target" "${2:-60}"
    ;;
esac
