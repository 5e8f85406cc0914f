#!/usr/bin/env bash
# Kills the real watcher many times at random moments of its firings and
# shutdowns (the real transfer tool sending to a folder) and checks that the
# remote folder ends equal to the watched one. CI runs 25 kills as part of the
# end-to-end tests; this runs as many as asked (1,000 by default).
#   scripts/kill-stress.sh [kills] [seed]
set -euo pipefail
cd "$(dirname "$0")/.."
kills="${1:-1000}"
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target kill_stress_e2etest PellaroCNW plftp
start=$(date +%s)
PELLARO_KILLS="$kills" PELLARO_KILL_SEED="${2:-0}" timeout -k 10 36000 \
    scripts/with-wine build/windows wine build/windows/bin/kill_stress_e2etest.exe
echo "kill-stress: $kills kills in $(( $(date +%s) - start )) s, remote equal to the folder"
