#!/bin/bash
# Fails when a C++ file of the project is not formatted as .clang-format says.
# With --fix it formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.h.in')
if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/garvina-format.$$; then
    grep -E '^[^ ].*: (error|warning):' /tmp/garvina-format.$$ | cut -d: -f1 | sort -u | sed 's/^/not formatted: /'
    rm -f /tmp/garvina-format.$$
    echo "check-format: run scripts/check-format.sh --fix" >&2
    exit 1
fi
rm -f /tmp/garvina-format.$$
echo "check-format: all files formatted"
