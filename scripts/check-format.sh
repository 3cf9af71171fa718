#!/usr/bin/env bash
# Checks that C++ files are formatted as .clang-format says.
#   scripts/check-format.sh          every tracked C++ file
#   scripts/check-format.sh REV      the C++ files changed since REV
set -euo pipefail
cd "$(dirname "$0")/.."
if (($# > 0)); then
    mapfile -t files < <(git diff --name-only --diff-filter=d "$1" -- '*.cpp' '*.h')
else
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
fi
if ((${#files[@]} == 0)); then
    echo "check-format: no C++ files to check"
    exit 0
fi
bad=()
for f in "${files[@]}"; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if ((${#bad[@]} > 0)); then
    echo "check-format: not formatted (run clang-format -i on them):" >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files formatted"
