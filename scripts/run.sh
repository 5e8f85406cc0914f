#!/usr/bin/env bash
# Builds the watcher and its transfer tool and runs the watcher under Wine on a
# folder until stopped:
#   scripts/run.sh [folder]
# Without a folder it runs the demo: demo/watched is watched, and every change
# there reaches demo/remote through plftp (protocol=file, count mode with a
# threshold of 1, subfolders included); the demo's configuration is written
# at each start. With a folder, that folder's own configuration in the data
# folder is used. Every line of the folder's transfer log is printed as it is
# written.
# Ctrl-C (or SIGTERM, or closing the terminal) closes the watcher in order:
# WM_CLOSE to its dialog, then its own shutdown; the script ends with the
# watcher's exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "${PELLARO_JOBS:-2}" --target PellaroCNW pellaro-close plftp

demo=""
if [ $# -eq 0 ]; then
    demo="$root/demo"
    folder="$demo/watched"
    mkdir -p "$folder" "$demo/remote"
    [ -e "$folder/hello.txt" ] || echo "Change me, rename me, delete me." > "$folder/hello.txt"
else
    folder="$1"
fi
folder="$(realpath "$folder")"

# Runs inside the Wine bench.
watch_folder() {
    local build="$1" folder="$2" demo="$3"
    local bin="$build/bin"
    local folder_win data_win data key
    folder_win="$(winepath -w "$folder" 2>/dev/null)"
    data_win="$(wine cmd /c echo %APPDATA% </dev/null 2>/dev/null | tr -d '\r')\\xq\\pellaro"
    data="$(winepath -u "$data_win" 2>/dev/null)"
    if [[ "$data_win" != ?:* || -z "$data" ]]; then
        echo "Wine gave no data folder (APPDATA): nothing is started" >&2
        return 1
    fi
    mkdir -p "$data"
    # The folder key, as the watcher derives it.
    key="${folder_win#\\\\}"
    key="${key/:\\/_}"
    key="${key/:/_}"
    key="${key//\\/_}"
    key="${key// /_}"

    if [ -n "$demo" ]; then
        local direction
        for direction in put get; do
            printf '%s\r\n' "cmd=$direction" "protocol=file" \
                "root=$(winepath -w "$demo/remote" 2>/dev/null)" "dir=/" \
                "sync_threshold=1" "sub=1" > "$data/${key}_$direction.config"
        done
        echo "Demo: changes in $folder go to $demo/remote"
    elif [ ! -e "$data/${key}_put.config" ]; then
        echo "No configuration for this folder: $data_win\\${key}_put.config" >&2
    fi

    # The tool is %PLDIR%bin\plftp.exe.
    export PLDIR
    PLDIR="$(winepath -w "$build" 2>/dev/null)\\"
    local log="$data/${key}_plftp.log"
    touch "$log"
    tail -n 0 -F "$log" 2>/dev/null > >(
        # Tab-separated: time, action, local path, remote path, result (a
        # separator that is no blank keeps empty fields).
        while IFS= read -r line; do
            line="${line%$'\r'}"
            IFS=$'\x1f' read -r time action localpath remotepath result <<< "${line//$'\t'/$'\x1f'}"
            [ -n "$localpath" ] && [ -n "$remotepath" ] && localpath="$localpath -> "
            printf '%s %-8s %s%s  %s\n' "${time#* }" "$action" "$localpath" "$remotepath" "$result"
        done) &
    local printer=$!
    if [ -n "$demo" ]; then
        # The demo starts with both sides equal: one whole-folder upload.
        wine "$bin/plftp.exe" -f "$data_win\\${key}_put.config" -path "$folder_win" || true
    fi

    # A process group of its own: Ctrl-C reaches this script, which closes the
    # watcher through its dialog instead of letting the signal kill it.
    setsid wine "$bin/PellaroCNW.exe" "$folder_win" &
    local watcher=$!
    # It takes the folder in the registry just before it asks for the folder's
    # changes: a change made after "Watching" shows is seen.
    local i
    for ((i = 0; i < 300; i++)); do
        tr -d '\r' < "$data/cnwfolder.txt" 2>/dev/null |
            awk -v entry="$folder_win=" 'index(tolower($0), tolower(entry)) == 1 &&
                substr($0, length(entry) + 1) + 0 > 0 { found = 1 } END { exit !found }' && break
        kill -0 "$watcher" 2>/dev/null || break
        sleep 0.1
    done
    sleep 0.5
    kill -0 "$watcher" 2>/dev/null && echo "Watching $folder_win (stop with Ctrl-C)"
    stopping=""
    stop() {
        [ -n "$stopping" ] && return
        stopping=1
        echo "Closing the watcher..."
        wine "$bin/pellaro-close.exe" "$folder_win" || true
    }
    trap stop INT TERM HUP
    local status=0
    while :; do
        wait "$watcher" && status=0 || status=$?
        # wait returns early when a signal arrives; go on waiting for the end.
        kill -0 "$watcher" 2>/dev/null || break
    done
    sleep 1  # the log's last lines
    kill "$printer" 2>/dev/null || true
    echo "The watcher ended with status $status"
    exit "$status"
}
export -f watch_folder

exec env PELLARO_BENCH_TIMEOUT="${PELLARO_RUN_SECONDS:-31536000}" \
    scripts/with-wine build/windows bash -c 'watch_folder "$@"' _ "$root/build/windows" "$folder" "$demo"
