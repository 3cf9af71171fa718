#!/usr/bin/env bash
# Installs the dependencies, builds Postvane and runs every test.
#   scripts/test.sh [build-dir] [extra cmake options...]
# Tests that need a mail daemon (label interop) skip when it is not installed;
# each skipped test is listed at the end with the reason it gave.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -G Ninja "$@"
cmake --build "$build"
cd "$build"
status=0
ctest --output-on-failure -j2 ${PV_CTEST_ARGS:-} || status=$?

# CTest names the skipped tests on the console but keeps their reasons (the
# text of GTEST_SKIP, between "file:line: Skipped" and "[  SKIPPED ]") in
# its log.
log=Testing/Temporary/LastTest.log
if [[ -f $log ]]; then
    awk '
        /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); why = ""; skip = 0; next }
        /: Skipped$/ { skip = 1; next }
        /^\[  SKIPPED \] / {
            if (skip) {
                if (!count++) print "\nSkipped tests:"
                print "  " name (why == "" ? " (no reason given)" : ":" why)
            }
            skip = 0
            next
        }
        skip && NF { why = why (why == "" ? " " : " / ") $0 }
    ' "$log"
fi
exit $status
