#!/usr/bin/env bash
# Installs the dependencies, builds Postvane and runs every test.
#   scripts/test.sh [build-dir] [extra cmake options...]
# Tests that need a mail daemon (label interop) skip when it is not installed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -G Ninja "$@"
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j2 ${PV_CTEST_ARGS:-}
