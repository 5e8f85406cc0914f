#!/usr/bin/env bash
# Builds the watcher and its transfer tool when needed and runs the watcher
# under Wine on a folder until stopped:
#   scripts/run.sh                   the demo: demo/watched mirrored to demo/remote
#   scripts/run.sh FOLDER TARGET     FOLDER mirrored to TARGET: the folder is sent
#                                    once, its configuration written, then watched
#   scripts/run.sh FOLDER            FOLDER watched with the configuration it has
# TARGET is a folder, an SMB path (\\server\share\dir, reached through a Linux
# folder: PELLARO_SMB_SHARE names the folder the share is mounted on) or
# ftp://user@host[:port]/dir or ftps://user@host[:port]/dir (FTP over TLS: the
# server's certificate must chain to a root this computer trusts, or to the CA
# file PELLARO_FTPS_CAFILE names, or have the SHA-256 fingerprint
# PELLARO_FTPS_FINGERPRINT gives); the password from PELLARO_FTP_PASSWORD, or
# asked once at the terminal. The configuration: count mode with a threshold
# of 1, subfolders included.
# Every message box of the watcher (its code and text), every line of the
# folder's transfer log and every failure plftp records is printed here as it
# happens, in UTF-8; nobody sees Wine's desktop, nor Wine's own messages. A
# folder that does not exist, a folder already watched, a TARGET of an unknown
# scheme (fpt://, sftp://), a target folder inside the folder or around it, no
# configuration or one with an unknown key or protocol: one line and status 1
# before anything is made or started. A target that already holds files is
# taken as it is: the first send merges (plftp removes nothing it did not put
# there, and keeps both versions of a file that differs).
# Nothing is ever made inside FOLDER. The configuration is written only once
# the first send has succeeded: a refused or failed start leaves it, its .bak
# and the folder as they were (a target folder it made is removed if empty).
# Ctrl-C (or SIGTERM, or closing the terminal) closes the watcher in order:
# WM_CLOSE to its dialog, then its own shutdown; one that has not ended within
# 8 s, or a second Ctrl-C a second later, ends it at once (its pending commands stay in its
# event list file and go at its next start).
# Exit status: 0 when the watcher ended and every send succeeded (plftp's 0,
# or 1000: files over sizelimit= left out as asked); 1 for a refusal before
# start; 2 for a wrong command line; 100 + n when a send failed with plftp's
# status -(1000 + n), the run's first failure (-1010 gives 110), 103 for a
# refused FTP login (3), and 100 for a failure whose status no report named;
# 130 when stopped during the first send; else the watcher's own status.
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
known_keys="cmd protocol root dir ip port username password encoding sync_threshold sync_timestamp sub verbose sizelimit ignore ignore_dir queue fingerprint cafile"
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
        file | smb | ftp | ftps) ;;
        "") fail "$file names no protocol= (file, smb, ftp or ftps)" ;;
        *) fail "$file: protocol=$protocol is unknown here (file, smb, ftp or ftps)" ;;
    esac
}

# TARGET: the lines of the put configuration after cmd=, in UTF-8.
settings=()
if [ -n "$target" ]; then
    # Anything with a scheme is an address: a typo such as fpt:// is no folder.
    if [[ "$target" =~ ^([A-Za-z][A-Za-z0-9+.-]*):// ]]; then
        scheme="${BASH_REMATCH[1],,}"
        [ "$scheme" = ftp ] || [ "$scheme" = ftps ] ||
            fail "$target: unknown scheme ${BASH_REMATCH[1]}:// (a folder, \\\\server\\share\\dir, ftp:// or ftps://user@host[:port]/dir)"
        target="$scheme://${target#*://}"
    fi
    case "$target" in
        ftp://* | ftps://*)
            address="${target#*://}"
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
                fail "$target: expected $scheme://user@host[:port]/dir"
            if [ -n "${PELLARO_FTP_PASSWORD+set}" ]; then
                password="$PELLARO_FTP_PASSWORD"
            elif [ -t 0 ]; then
                read -rsp "FTP password for $ftp_user@$host: " password
                echo
            else
                fail "no FTP password: set PELLARO_FTP_PASSWORD"
            fi
            settings=("protocol=$scheme" "ip=$host" "port=$port" "username=$ftp_user"
                "password=$(printf '%s' "$password" | base64 -w 0)" "encoding=utf8" "dir=$dir")
            if [ "$scheme" = ftps ]; then
                if [ -n "${PELLARO_FTPS_CAFILE:-}" ]; then
                    [ -f "$PELLARO_FTPS_CAFILE" ] || fail "no file $PELLARO_FTPS_CAFILE (PELLARO_FTPS_CAFILE)"
                    settings+=("cafile=$(to_windows "$(realpath "$PELLARO_FTPS_CAFILE")")")
                fi
                [ -z "${PELLARO_FTPS_FINGERPRINT:-}" ] ||
                    settings+=("fingerprint=$PELLARO_FTPS_FINGERPRINT")
            fi
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
            # Made just before the first send, once nothing refuses it.
            if [ ! -d "$target" ]; then
                [ -d "$(dirname "$target")" ] || fail "no folder $(dirname "$target") for the target"
                make_target=1
            fi
            target="$(realpath -m "$target")"
            case "$target/" in "$folder/"*) fail "the target $target lies inside $folder" ;; esac
            case "$folder/" in "$target/"*) fail "$folder lies inside the target $target" ;; esac
            [ -z "${make_target:-}" ] || export PELLARO_MAKE_TARGET="$target"
            settings=("protocol=file" "root=$(to_windows "$target")" "dir=/")
            ;;
    esac
    settings+=("sync_threshold=1" "sub=1")
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
cmake --build "$build" -j "${PELLARO_JOBS:-2}" --target PellaroCNW pellaro-close pellaro-echo \
    pellaro-status plftp 2>&1 |
    grep -Ev '^\[0/[0-9]+\] Re-checking globbed directories|^ninja: no work to do'
built=${PIPESTATUS[0]}
set -e
[ "$built" -eq 0 ] || fail "the build failed"

# plftp's status as this command's exit status (the table at the top).
exit_status_of() {
    case "$1" in
        0 | 1000) echo 0 ;;
        3) echo 103 ;;
        -10[0-9][0-9]) echo $((100 - 1000 - $1)) ;;
        *) echo 100 ;;
    esac
}

# Runs inside the Wine bench.
watch_folder() {
    local build="$1" data_win="$4" key="$5" pldir="$7"
    folder_win="$2" data="$3" codepage="$6" # read by watched_here
    shift 7
    local bin="$build/bin"
    if [ ! -d "$data" ]; then
        # A prefix of another shape: ask Wine where the data folder is.
        data_win="$(wine cmd /c echo %APPDATA% </dev/null 2>/dev/null | tr -d '\r')\\xq\\pellaro"
        data="$(winepath -u "$data_win" 2>/dev/null)"
        if [[ "$data_win" != ?:* || -z "$data" ]]; then
            echo "run.sh: Wine gave no data folder (APPDATA): nothing is started" >&2
            return 1
        fi
    fi
    mkdir -p "$data"
    if [ -n "${PELLARO_SMB_LINK:-}" ]; then
        mkdir -p "$(dirname "$PELLARO_SMB_LINK")"
        ln -sfn "$PELLARO_SMB_SHARE" "$PELLARO_SMB_LINK"
    fi
    # What Wine itself prints (`wine: Read access denied for device ...`, its
    # debug channels) stays off the terminal; the programs' own lines pass.
    exec 4> >(grep --line-buffered -Ev '^wine: |^[0-9a-f]{4}:(fixme|err|warn|trace):' >&2)
    # The terminal's view, kept to find the failed sends' statuses in; the
    # first send's status; the configuration until that send has succeeded.
    local scratch
    scratch="$(mktemp -d)"
    local made_target=""
    # shellcheck disable=SC2064 # the names are fixed now
    trap "rm -rf $(printf '%q ' "$scratch" "$data/.${key}_put.config.new" \
        "$data/.${key}_get.config.new")" EXIT

    local send_once=""
    if [ $# -gt 0 ]; then
        send_once=1
        local direction
        for direction in put get; do
            # The configuration is read in the ANSI code page.
            if ! printf '%s\r\n' "cmd=$direction" "$@" | iconv -f UTF-8 -t "$codepage" \
                > "$data/.${key}_$direction.config.new" 2>/dev/null; then
                echo "run.sh: a path or name does not fit the desktop's code page $codepage" >&2
                return 1
            fi
        done
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
    error_size=$(stat -c %s "$errors" 2>/dev/null || echo 0)
    setsid wine "$bin/pellaro-echo.exe" "$folder_win" "$data_win\\${key}_plftp.log" \
        "$data_win\\${key}_plerror.txt" "$log_size" "$error_size" </dev/null 2>/dev/null \
        > >(tee -a "$scratch/seen") &
    local echo_pid=$!
    local watcher="" sender=""
    stopping=""
    stop() {
        if [ -z "$watcher" ]; then
            # During the first send: it ends here, its run file with it.
            echo "Stopped during the first send: nothing is watched"
            if [ -n "$sender" ]; then
                kill -KILL -- "-$sender" 2>/dev/null || kill -KILL "$sender" 2>/dev/null
                { wait "$sender"; } 2>/dev/null
            fi
            rm -f "$data/${key}_.plftp.swap"
            [ -z "$made_target" ] || rmdir "$made_target" 2>/dev/null
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
        { wait "$echo_pid"; } 2>/dev/null || true  # no "Killed" line from the shell
    }

    # The tool is %PLDIR%bin\plftp.exe.
    export PLDIR="$pldir"
    if [ -n "$send_once" ]; then
        if [ -n "${PELLARO_MAKE_TARGET:-}" ] && [ ! -d "$PELLARO_MAKE_TARGET" ]; then
            mkdir "$PELLARO_MAKE_TARGET"
            made_target="$PELLARO_MAKE_TARGET"
            echo "Made the target folder $made_target"
        fi
        # Both sides start equal: one whole-folder send, with the configuration
        # not yet in place.
        echo "Sending $folder_win once..."
        local status=""
        # In the background: a trap runs only once a foreground command ends.
        # Through pellaro-status: the shell alone would see plftp's status cut
        # to its low 8 bits.
        setsid wine "$bin/pellaro-status.exe" "${pldir}bin\\plftp.exe" \
            -f "$data_win\\.${key}_put.config.new" -path "$folder_win" \
            </dev/null >"$scratch/status" 2>&4 &
        sender=$!
        wait "$sender" || true
        status="$(tr -d '\r' < "$scratch/status")"
        [ -n "$status" ] || status=unknown
        if [ "$(exit_status_of "$status")" -ne 0 ]; then
            end
            [ -z "$made_target" ] || rmdir "$made_target" 2>/dev/null || true
            echo "The first send failed (plftp status $status, its failures above):" \
                "nothing is watched, the configuration is as it was" >&2
            return "$(exit_status_of "$status")"
        fi
        # In place now; a configuration of another target is kept beside.
        local file
        for direction in put get; do
            file="$data/${key}_$direction.config"
            if [ -e "$file" ] && ! cmp -s "$file" "$data/.${key}_$direction.config.new"; then
                cp "$file" "$file.bak"
            fi
            mv "$data/.${key}_$direction.config.new" "$file"
        done
        echo "Configuration: $data_win\\${key}_put.config and _get.config"
    fi

    # A process group of its own: Ctrl-C reaches this script, which closes the
    # watcher through its dialog instead of letting the signal kill it.
    [ -z "${PELLARO_RUN_TRACE:-}" ] || echo "trace: $(date +%T.%N) watcher started"
    setsid wine "$bin/PellaroCNW.exe" "$folder_win" </dev/null 2>&4 &
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
    # The run's first failed send: the status its report named, or, when the
    # watcher reported none (a failure as it closed), the failures it left.
    local reported failed="" code=0
    for reported in $(grep -oE 'Process failed with returned as -?[0-9]+' "$scratch/seen" |
        grep -oE -- '-?[0-9]+$'); do
        code="$(exit_status_of "$reported")"
        [ "$code" -eq 0 ] || { failed="$reported"; break; }
    done
    [ "$code" -ne 0 ] || [ ! -s "$errors" ] || code=100
    if [ "$code" -ne 0 ]; then
        echo "A send failed (plftp status ${failed:-not reported}, its failures in" \
            "$data_win\\${key}_plerror.txt): exit status $code" >&2
        status=$code
    fi
    exit "$status"
}
export -f watch_folder watched_here exit_status_of

[ -z "$target" ] || echo "Mirroring $folder to $target"
exec env PELLARO_BENCH_TIMEOUT="${PELLARO_RUN_SECONDS:-31536000}" \
    scripts/with-wine "$build" bash -c 'watch_folder "$@"' _ "$build" "$folder_win" "$data" \
    "$data_win" "$key" "$codepage" "$(to_windows "$build")\\" "${settings[@]}"
