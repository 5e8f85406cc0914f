#!/usr/bin/env bash
# Kills the real watcher many times at random moments of its firings and
# shutdowns (the real transfer tool sending to a folder) and checks that the
# remote folder ends equal to the watched one. CI runs 25 kills as part of the
# end-to-end tests; this runs as many as asked (1,000 by default).
#   scripts/kill-stress.sh [kills] [seed]
# Without a seed each run takes a new one and prints it: give it back to replay a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
kills="${1:-1000}"
seed="${2:-$(( (RANDOM << 15 | RANDOM) % 2000000000 + 1 ))}"
echo "kill-stress: seed $seed"
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target kill_stress_e2etest PellaroCNW plftp
start=$(date +%s)
PELLARO_KILLS="$kills" PELLARO_KILL_SEED="$seed" timeout -k 10 36000 \
    scripts/with-wine build/windows wine build/windows/bin/kill_stress_e2etest.exe
echo "kill-stress: $kills kills (seed $seed) in $(( $(date +%s) - start )) s, remote equal to the folder"
