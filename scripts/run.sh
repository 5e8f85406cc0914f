#!/usr/bin/env bash
# Builds the watcher and its transfer tool when needed and runs the watcher
# under Wine on a folder until stopped:
#   scripts/run.sh                   the demo: demo/watched mirrored to demo/remote
#   scripts/run.sh FOLDER TARGET     FOLDER mirrored to TARGET: its configuration
#                                    is written, the folder is sent once, then watched
#   scripts/run.sh FOLDER            FOLDER watched with the configuration it has
# TARGET is a folder, an SMB path (\\server\share\dir, reached through a Linux
# folder: PELLARO_SMB_SHARE names the folder the share is mounted on) or
# ftp://user@host[:port]/dir (the password from PELLARO_FTP_PASSWORD, or asked
# once at the terminal). The configuration: count mode with a threshold of 1,
# subfolders included.
# Every message box of the watcher (its code and text), every line of the
# folder's transfer log and every failure plftp records is printed here as it
# happens, in UTF-8; nobody sees Wine's desktop. A folder that does not exist,
# a folder already watched, a target folder with files of its own (the first
# send would remove them; PELLARO_REPLACE=1 allows it), no configuration or
# one with an unknown key or protocol: one line and status 1 before anything
# is started.
# Ctrl-C (or SIGTERM, or closing the terminal) closes the watcher in order:
# WM_CLOSE to its dialog, then its own shutdown; one that has not ended within
# 8 s, or a second Ctrl-C a second later, ends it at once (its pending commands stay in its
# event list file and go at its next start). The script ends with the
# watcher's exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="$root/build/windows"

fail() {
    echo "run.sh: $1" >&2
    exit 1
}
if [ $# -gt 2 ]; then
    echo "usage: scripts/run.sh [FOLDER [TARGET]]" >&2
    exit 2
fi

# The Wine prefix and the Windows names of Linux paths, as scripts/with-wine
# and Wine give them, found without starting Wine.
case "${PELLARO_DESKTOP:-}" in
    ja) prefix="$build/wineprefix-ja" codepage=CP932 ;;
    utf8) prefix="$build/wineprefix-utf8" codepage=UTF-8 ;;
    *) prefix="$build/wineprefix" codepage=CP1252 ;;
esac
to_windows() {
    local path="$1"
    if [[ "$path" == "$prefix/drive_c/"* ]]; then
        path="C:/${path#"$prefix/drive_c/"}"
    else
        path="Z:$path"
    fi
    printf '%s' "${path//\//\\}"
}
user="$(id -un)"
data="$prefix/drive_c/users/$user/AppData/Roaming/xq/pellaro"
data_win="C:\\users\\$user\\AppData\\Roaming\\xq\\pellaro"

demo=""
target=""
if [ $# -eq 0 ]; then
    demo="$root/demo"
    folder="$demo/watched"
    mkdir -p "$folder" "$demo/remote"
    [ -e "$folder/hello.txt" ] || echo "Change me, rename me, delete me." > "$folder/hello.txt"
    target="$demo/remote"
else
    [ -d "$1" ] || fail "no folder $1: nothing is started"
    folder="$1"
    target="${2:-}"
fi
folder="$(realpath "$folder")"
folder_win="$(to_windows "$folder")"
# The folder key, as the watcher derives it.
key="${folder_win#\\\\}"
key="${key/:\\/_}"
key="${key/:/_}"
key="${key//\\/_}"
key="${key// /_}"
put_config="$data/${key}_put.config"

# Already watched: the watcher's entry in the registry file holds its process
# id, and its process is running.
watched_here() {
    tr -d '\r' 2>/dev/null < "$data/cnwfolder.txt" | iconv -f "$codepage" -t UTF-8 2>/dev/null |
        entry="$folder_win=" awk 'BEGIN { entry = tolower(ENVIRON["entry"]) }
            index(tolower($0), entry) == 1 && substr($0, length(entry) + 1) + 0 > 0 { found = 1 }
            END { exit !found }'
}
if watched_here && ps -eo args= | tail="pellarocnw.exe $folder_win" awk '
    BEGIN { tail = tolower(ENVIRON["tail"]) } { line = tolower($0) } length(line) >= length(tail) &&
    substr(line, length(line) - length(tail) + 1) == tolower(tail) { found = 1 } END { exit !found }'; then
    fail "$folder is already watched (stop that run first, with Ctrl-C in its terminal)"
fi

# The keys the watcher and plftp read.
known_keys="cmd protocol root dir ip port username password encoding sync_threshold sync_timestamp sub verbose sizelimit ignore ignore_dir queue"
check_config() {
    local file="$1" line number=0 name protocol=""
    while IFS= read -r line || [ -n "$line" ]; do
        number=$((number + 1))
        line="${line%$'\r'}"
        [[ -z "$line" || "$line" == \#* ]] && continue
        name="${line%%=*}"
        if [[ "$line" != *=* || " $known_keys " != *" $name "* ]]; then
            fail "$file line $number: unknown key \"$name\" (known: $known_keys)"
        fi
        [ "$name" = protocol ] && protocol="${line#*=}"
    done < "$file"
    case "$protocol" in
        file | smb | ftp) ;;
        "") fail "$file names no protocol= (file, smb or ftp)" ;;
        *) fail "$file: protocol=$protocol is unknown here (file, smb or ftp)" ;;
    esac
}

# TARGET: the lines of the put configuration after cmd=, in UTF-8.
settings=()
if [ -n "$target" ]; then
    case "$target" in
        ftp://*)
            address="${target#ftp://}"
            dir="/${address#*/}"
            [[ "$address" == */* ]] || dir="/"
            address="${address%%/*}"
            ftp_user="anonymous"
            if [[ "$address" == *@* ]]; then
                ftp_user="${address%@*}"
                address="${address##*@}"
            fi
            [[ "$ftp_user" == *:* ]] &&
                fail "no password in the address: give it in PELLARO_FTP_PASSWORD or at the prompt"
            host="${address%%:*}"
            port=21
            [[ "$address" == *:* ]] && port="${address##*:}"
            [[ -n "$host" && "$port" =~ ^[0-9]+$ && "$port" -ge 1 && "$port" -le 65535 ]] ||
                fail "$target: expected ftp://user@host[:port]/dir"
            if [ -n "${PELLARO_FTP_PASSWORD+set}" ]; then
                password="$PELLARO_FTP_PASSWORD"
            elif [ -t 0 ]; then
                read -rsp "FTP password for $ftp_user@$host: " password
                echo
            else
                fail "no FTP password: set PELLARO_FTP_PASSWORD"
            fi
            settings=("protocol=ftp" "ip=$host" "port=$port" "username=$ftp_user"
                "password=$(printf '%s' "$password" | base64 -w 0)" "encoding=utf8" "dir=$dir")
            ;;
        \\\\* | //*)
            unc="${target//\//\\}"
            unc="${unc%\\}"
            IFS='\' read -r _ _ server share _ <<< "$unc"
            [ -n "$server" ] && [ -n "$share" ] || fail "$target: expected \\\\server\\share\\dir"
            # Wine reaches \\server\share through dosdevices/unc/server/share.
            link="$prefix/dosdevices/unc/$server/$share"
            if [ -n "${PELLARO_SMB_SHARE:-}" ]; then
                [ -d "$PELLARO_SMB_SHARE" ] || fail "no folder $PELLARO_SMB_SHARE (PELLARO_SMB_SHARE)"
                # Made in the bench, once the prefix is there.
                export PELLARO_SMB_LINK="$link"
                PELLARO_SMB_SHARE="$(realpath "$PELLARO_SMB_SHARE")"
            elif [ ! -d "$link" ]; then
                fail "\\\\$server\\$share is not mapped: set PELLARO_SMB_SHARE to the Linux folder the share is mounted on"
            fi
            settings=("protocol=smb" "dir=$unc")
            ;;
        *)
            if [ ! -d "$target" ]; then
                [ -d "$(dirname "$target")" ] || fail "no folder $(dirname "$target") for the target"
                mkdir "$target"
                echo "Made the target folder $target"
            fi
            target="$(realpath "$target")"
            case "$target/" in "$folder/"*) fail "the target $target lies inside $folder" ;; esac
            case "$folder/" in "$target/"*) fail "$folder lies inside the target $target" ;; esac
            settings=("protocol=file" "root=$(to_windows "$target")" "dir=/")
            ;;
    esac
    settings+=("sync_threshold=1" "sub=1")
    # The first send makes the target equal to the folder: what a target
    # folder holds that the folder has not would be removed. Only an empty
    # target, or the one this folder is already mirrored to, is taken as it is.
    local_target=""
    case "${settings[0]}" in
        protocol=file) local_target="$target" ;;
        protocol=smb)
            local_target="${PELLARO_SMB_SHARE:-$link}"
            IFS='\' read -r -a parts <<< "$unc"
            for part in "${parts[@]:4}"; do local_target="$local_target/$part"; done
            ;;
    esac
    if [ -z "$demo" ] && [ -n "$local_target" ] && [ -n "$(ls -A "$local_target" 2>/dev/null)" ] &&
        [ -z "${PELLARO_REPLACE:-}" ] &&
        ! printf '%s\r\n' "cmd=put" "${settings[@]}" | iconv -f UTF-8 -t "$codepage" 2>/dev/null |
            cmp -s "$put_config" -; then
        fail "the target $target is not empty: the first send would remove what it has and $folder has not (an empty target, or PELLARO_REPLACE=1)"
    fi
elif [ ! -e "$put_config" ]; then
    fail "no configuration for $folder ($data_win\\${key}_put.config); make one with: scripts/run.sh \"$folder\" TARGET"
else
    check_config "$put_config"
    [ ! -e "$data/${key}_get.config" ] || check_config "$data/${key}_get.config"
fi

# Every package the build and the bench need, installed when missing (a
# fraction of a second when nothing is). Then builds only what changed: the
# configure step only when missing (a build re-configures itself when a CMake
# file changed).
scripts/setup.sh || exit 1
if [ ! -f "$build/build.ninja" ]; then
    echo "Building (the first time takes a few minutes)..."
    cmake --preset windows >/dev/null
fi
# Its progress shows; a build with nothing to do says nothing.
set +e
cmake --build "$build" -j "${PELLARO_JOBS:-2}" --target PellaroCNW pellaro-close pellaro-echo plftp 2>&1 |
    grep -Ev '^\[0/[0-9]+\] Re-checking globbed directories|^ninja: no work to do'
built=${PIPESTATUS[0]}
set -e
[ "$built" -eq 0 ] || fail "the build failed"

# Runs inside the Wine bench.
watch_folder() {
    local build="$1" data_win="$4" key="$5" pldir="$7"
    folder_win="$2" data="$3" codepage="$6" # read by watched_here
    shift 7
    local bin="$build/bin"
    local put="$data/${key}_put.config"
    if [ ! -d "$data" ]; then
        # A prefix of another shape: ask Wine where the data folder is.
        data_win="$(wine cmd /c echo %APPDATA% </dev/null 2>/dev/null | tr -d '\r')\\xq\\pellaro"
        data="$(winepath -u "$data_win" 2>/dev/null)"
        if [[ "$data_win" != ?:* || -z "$data" ]]; then
            echo "run.sh: Wine gave no data folder (APPDATA): nothing is started" >&2
            return 1
        fi
        put="$data/${key}_put.config"
    fi
    mkdir -p "$data"
    if [ -n "${PELLARO_SMB_LINK:-}" ]; then
        mkdir -p "$(dirname "$PELLARO_SMB_LINK")"
        ln -sfn "$PELLARO_SMB_SHARE" "$PELLARO_SMB_LINK"
    fi

    local send_once=""
    if [ $# -gt 0 ]; then
        send_once=1
        local direction file new
        for direction in put get; do
            file="$data/${key}_$direction.config"
            new="$data/.${key}_$direction.config.new"
            # The configuration is read in the ANSI code page.
            if ! printf '%s\r\n' "cmd=$direction" "$@" | iconv -f UTF-8 -t "$codepage" > "$new" 2>/dev/null; then
                rm -f "$new"
                echo "run.sh: a path or name does not fit the desktop's code page $codepage" >&2
                return 1
            fi
            # A configuration of another target is kept beside.
            if [ -e "$file" ] && ! cmp -s "$file" "$new"; then cp "$file" "$file.bak"; fi
            mv "$new" "$file"
        done
        echo "Configuration: $data_win\\${key}_put.config and _get.config"
    fi

    # Failures of an earlier run would count against every run of this one.
    local errors="$data/${key}_plerror.txt"
    if [ -s "$errors" ]; then
        cat "$errors" >> "$data/${key}_plerror.old.txt"
        : > "$errors"
        echo "Failures of an earlier run moved to $data_win\\${key}_plerror.old.txt"
    fi

    [ -z "${PELLARO_RUN_TRACE:-}" ] || echo "trace: $(date +%T.%N) bench up"
    # The terminal's view of message boxes, transfers and failures.
    # The files' sizes now: what the run adds is shown even if the echo is up
    # only after the first send has written it.
    local log_size error_size
    log_size=$(stat -c %s "$data/${key}_plftp.log" 2>/dev/null || echo 0)
    error_size=$(stat -c %s "$data/${key}_plerror.txt" 2>/dev/null || echo 0)
    setsid wine "$bin/pellaro-echo.exe" "$folder_win" "$data_win\\${key}_plftp.log" \
        "$data_win\\${key}_plerror.txt" "$log_size" "$error_size" </dev/null 2>/dev/null > >(cat) &
    local echo_pid=$!
    local watcher="" sender=""
    stopping=""
    stop() {
        if [ -z "$watcher" ]; then
            # During the first send: it ends here, its run file with it.
            echo "Stopped during the first send: nothing is watched"
            if [ -n "$sender" ]; then
                kill -KILL "$sender" 2>/dev/null
                { wait "$sender"; } 2>/dev/null
            fi
            rm -f "$data/${key}_.plftp.swap"
            exit 130
        fi
        if [ -n "$stopping" ]; then
            # The same signal twice at once (timeout sends it to its whole
            # group as well) is one request.
            [ $((SECONDS - stopping)) -ge 1 ] || return 0
            echo "Ending the watcher now"
            kill -KILL "$watcher" 2>/dev/null || true
            # 0 given: a bare return in a trap gives the interrupted command's
            # status, which would end the script here under `set -e`.
            return 0
        fi
        stopping=$SECONDS
        echo "Closing the watcher..."
        wine "$bin/pellaro-close.exe" "$folder_win" </dev/null >/dev/null 2>&1 || true
    }
    trap stop INT TERM HUP
    end() {
        sleep 2 # the last lines (the echo may have come up only after the send)
        kill -KILL "$echo_pid" 2>/dev/null || true
    }

    # The tool is %PLDIR%bin\plftp.exe.
    export PLDIR="$pldir"
    if [ -n "$send_once" ]; then
        # Both sides start equal: one whole-folder send.
        echo "Sending $folder_win once..."
        local sent=0
        # In the background: a trap runs only once a foreground command ends.
        setsid wine "$bin/plftp.exe" -f "$data_win\\${key}_put.config" -path "$folder_win" </dev/null &
        sender=$!
        wait "$sender" || sent=$?
        if [ "$sent" -ne 0 ]; then
            end
            echo "The first send failed (plftp status $sent, its failures above): nothing is watched" >&2
            return 1
        fi
    fi

    # A process group of its own: Ctrl-C reaches this script, which closes the
    # watcher through its dialog instead of letting the signal kill it.
    [ -z "${PELLARO_RUN_TRACE:-}" ] || echo "trace: $(date +%T.%N) watcher started"
    setsid wine "$bin/PellaroCNW.exe" "$folder_win" </dev/null &
    watcher=$!
    # It takes the folder in the registry just before it asks for the folder's
    # changes: a change made after "Watching" shows is seen.
    local i
    for ((i = 0; i < 300; i++)); do
        watched_here && break
        [ -z "$stopping" ] || break
        kill -0 "$watcher" 2>/dev/null || break
        sleep 0.1
    done
    sleep 0.3
    [ -z "$stopping" ] && kill -0 "$watcher" 2>/dev/null && echo "Watching $folder_win (stop with Ctrl-C)"
    local status=0 reaped=""
    while :; do
        if [ -z "$stopping" ]; then
            # Returns early when a signal arrives.
            wait "$watcher" 2>/dev/null && status=0 || status=$?
            kill -0 "$watcher" 2>/dev/null || { [ -z "$stopping" ] && reaped=1; break; }
            continue
        fi
        kill -0 "$watcher" 2>/dev/null || break
        if [ $((SECONDS - stopping)) -ge 8 ]; then
            echo "The watcher did not close within 8 s: ending it (its pending commands stay in its event list)"
            kill -KILL "$watcher" 2>/dev/null || true
        fi
        sleep 0.2 &
        wait $! 2>/dev/null || true
    done
    if [ -z "$reaped" ]; then
        { wait "$watcher"; } 2>/dev/null && status=0 || status=$?
    fi
    end
    echo "The watcher ended with status $status"
    exit "$status"
}
export -f watch_folder watched_here

[ -z "$target" ] || echo "Mirroring $folder to $target"
exec env PELLARO_BENCH_TIMEOUT="${PELLARO_RUN_SECONDS:-31536000}" \
    scripts/with-wine "$build" bash -c 'watch_folder "$@"' _ "$build" "$folder_win" "$data" \
    "$data_win" "$key" "$codepage" "$(to_windows "$build")\\" "${settings[@]}"
