#!/usr/bin/env bash
# Runs days of random user actions in a watched folder against the real
# watcher and the real transfer tool, and checks after each that the remote
# tree equals the folder (tests/e2e/convergence_e2etest.cpp; CI runs its fixed
# days). Prints each day, a shortened action list for each differing one, the
# table of action kinds by target and mode, and the time taken.
#   scripts/convergence.sh [--parallel P] N [seed] [target] [mode]
# Day i has seed SEED + i (the clock's when not given); target: file, smb, ftp, ftps
# or all (default); mode: 1, 5, 1000, immediate or all (default); lists with
# commas, the days take the pairs in turn. --parallel P shares the days among P
# processes at once (each with every target; their logs stay in
# build/windows/convergence/) and adds up their tables. Environment:
#   PELLARO_CONVERGENCE_KEEP=3,7,12   only these actions of each day
#   PELLARO_CONVERGENCE_SETTLE_MS     the quiet time before the close (1000;
#                                     0: a change in the last instant)
#   PELLARO_CONVERGENCE_SHRINK_S      seconds of shortening per differing day
#                                     (600; the fixed days share 120)
set -euo pipefail
cd "$(dirname "$0")/.."
parallel=1
if [ "${1:-}" = "--parallel" ]; then
    parallel="$2"
    shift 2
fi
if [ $# -lt 1 ]; then
    echo "usage: $0 [--parallel P] days [seed] [target] [mode]" >&2
    exit 2
fi
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target convergence_e2etest PellaroCNW plftp
start=$(date +%s)
status=0
export PELLARO_CONVERGENCE_DAYS="$1" PELLARO_CONVERGENCE_SEED="${2:-$start}" \
    PELLARO_CONVERGENCE_TARGET="${3:-all}" PELLARO_CONVERGENCE_MODE="${4:-all}" \
    PELLARO_BENCH_TIMEOUT=86400
if [ "$parallel" -le 1 ]; then
    scripts/with-wine build/windows wine build/windows/bin/convergence_e2etest.exe || status=$?
else
    logs=build/windows/convergence
    rm -rf "$logs"
    mkdir -p "$logs"
    echo "convergence.sh: $1 days from seed $PELLARO_CONVERGENCE_SEED in $parallel processes (logs in $logs/)"
    scripts/with-wine build/windows bash -c '
        for k in $(seq 0 $(($2 - 1))); do
            PELLARO_CONVERGENCE_SLICE="$k/$2" wine "$1"/bin/convergence_e2etest.exe > "$3/$k.log" 2>&1 &
        done
        status=0
        for job in $(jobs -p); do wait "$job" || status=1; done
        exit $status' _ build/windows "$parallel" "$logs" || status=$?
    grep -ah -A30 -E "^day seed .*DIFFERS" "$logs"/*.log | grep -av "^day seed .*equal" || true
    # The tables added up: "action <column>... total", then a row per kind, days, differing.
    awk '
        /^action / { in_table = 1; n = NF - 2; for (i = 2; i <= NF - 1; i++) col[i] = $i
                     for (i = 2; i <= NF - 1; i++) if (!(col[i] in seen)) { seen[col[i]] = 1; order[++cols] = col[i] }
                     next }
        in_table { if (!($1 in rowseen)) { rowseen[$1] = 1; rows[++nrows] = $1 }
                   for (i = 2; i <= NF - 1; i++) sum[$1, col[i]] += $i
                   if ($1 == "differing") in_table = 0 }
        END {
            printf "%-15s", "action"; for (c = 1; c <= cols; c++) printf " %9s", order[c]; printf " %7s\n", "total"
            for (r = 1; r <= nrows; r++) {
                printf "%-15s", rows[r]; t = 0
                for (c = 1; c <= cols; c++) { printf " %9d", sum[rows[r], order[c]]; t += sum[rows[r], order[c]] }
                printf " %7d\n", t
            }
        }' "$logs"/*.log
fi
echo "convergence.sh: $1 days in $(( $(date +%s) - start )) s"
exit $status
