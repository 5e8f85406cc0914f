#!/usr/bin/env bash
# Builds PellaroCNW.exe and runs it under Wine on a folder until stopped:
#   scripts/run.sh [folder]
# Without a folder it watches demo/watched (created, with a sample file).
# Ctrl-C (or SIGTERM) closes the watcher in order: WM_CLOSE to its dialog, then
# its own shutdown; the script ends with the watcher's exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "${PELLARO_JOBS:-2}" --target PellaroCNW pellaro-close

folder="${1:-$root/demo/watched}"
if [ $# -eq 0 ]; then
    mkdir -p "$folder"
    [ -e "$folder/hello.txt" ] || echo "Change me, rename me, delete me." > "$folder/hello.txt"
fi
folder="$(realpath "$folder")"

exec env PELLARO_BENCH_TIMEOUT="${PELLARO_RUN_SECONDS:-31536000}" \
    scripts/with-wine build/windows bash -c '
    bin="$1"
    folder_win="$(winepath -w "$2" 2>/dev/null)"
    echo "Watching $folder_win (stop with Ctrl-C)"
    # A process group of its own: Ctrl-C reaches this script, which closes the
    # watcher through its dialog instead of letting the signal kill it.
    setsid wine "$bin/PellaroCNW.exe" "$folder_win" &
    watcher=$!
    stopping=""
    stop() {
        [ -n "$stopping" ] && return
        stopping=1
        echo "Closing the watcher..."
        wine "$bin/pellaro-close.exe" "$folder_win" || true
    }
    trap stop INT TERM
    status=0
    while :; do
        wait "$watcher" && status=0 || status=$?
        # wait returns early when a signal arrives; go on waiting for the end.
        kill -0 "$watcher" 2>/dev/null || break
    done
    echo "The watcher ended with status $status"
    exit "$status"' _ "$root/build/windows/bin" "$folder"
