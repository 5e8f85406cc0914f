#!/usr/bin/env bash
# Runs days of random user actions in a watched folder against the real
# watcher and the real transfer tool, and checks after each that the remote
# tree equals the folder (tests/e2e/convergence_e2etest.cpp; CI runs its fixed
# days). Prints each day, a shortened action list for each differing one, the
# table of action kinds by target and mode, and the time taken.
#   scripts/convergence.sh N [seed] [target] [mode]
# Day i has seed SEED + i (the clock's when not given); target: file, smb, ftp
# or all (default); mode: 1, 5, 1000, immediate or all (default); lists with
# commas, the days take the pairs in turn. Environment:
#   PELLARO_CONVERGENCE_KEEP=3,7,12   only these actions of each day
#   PELLARO_CONVERGENCE_SETTLE_MS     the quiet time before the close (1000;
#                                     0: a change in the last instant)
#   PELLARO_CONVERGENCE_SHRINK_S      seconds of shortening per differing day
#                                     (600; the fixed days share 120)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 1 ]; then
    echo "usage: $0 days [seed] [target] [mode]" >&2
    exit 2
fi
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target convergence_e2etest PellaroCNW plftp
start=$(date +%s)
status=0
PELLARO_CONVERGENCE_DAYS="$1" PELLARO_CONVERGENCE_SEED="${2:-}" \
    PELLARO_CONVERGENCE_TARGET="${3:-all}" PELLARO_CONVERGENCE_MODE="${4:-all}" \
    PELLARO_BENCH_TIMEOUT=86400 \
    scripts/with-wine build/windows wine build/windows/bin/convergence_e2etest.exe || status=$?
echo "convergence.sh: $1 days in $(( $(date +%s) - start )) s"
exit $status
