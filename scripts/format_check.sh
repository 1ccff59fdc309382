#!/usr/bin/env bash
# Fails when a tracked C or C++ file differs from what clang-format makes of
# it under the tree's .clang-format; names each such file. With --fix,
# reformats them in place instead.
#   scripts/format_check.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

if ! command -v clang-format >/dev/null 2>&1; then
    install_packages clang-format
fi

mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
if ! clang-format --dry-run -Werror "${files[@]}" 2>/dev/null; then
    clang-format --dry-run "${files[@]}" 2>&1 | grep -o '^[^:]*:' | sort -u | tr -d ':' |
        sed 's/^/not formatted: /' >&2
    say "run scripts/format_check.sh --fix to reformat"
    exit 1
fi
say "formatting: ${#files[@]} files match .clang-format"
