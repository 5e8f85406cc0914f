#!/usr/bin/env bash
# Checks of the sources themselves, before anything is built (a second or two):
#   - every C++ source is formatted as .clang-format says.
# Prints what it found and fails when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
if ! drift=$(clang-format --dry-run --Werror "${sources[@]}" 2>&1); then
    echo "check-sources: these files differ from .clang-format (run clang-format -i on them):"
    printf '%s\n' "$drift" | grep -oE '^[^:]+\.(cpp|h)' | sort -u | sed 's/^/  /'
    status=1
fi

[ $status -eq 0 ] && echo "check-sources: formatting ok (${#sources[@]} files)"
exit $status
