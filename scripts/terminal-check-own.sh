#!/usr/bin/env bash
# Types the run command for a user's own folder at a real terminal (a tmux
# session of its own) and checks what they would see:
#   - a folder mirrored to a folder that holds a colleague's file: its files
#     (names in UTF-8) sent once, the colleague's file kept, a new file sent, the same folder refused while it is watched, Ctrl-C ends
#     it with 0, and a restart with the configuration it has watches again;
#   - a folder that does not exist, a target of an unknown scheme, a target
#     inside the folder and a
#     configuration with a misspelt key: refused in one line with status 1,
#     the configuration and the folder left as they were;
#   - a folder mirrored to an FTP server (pyftpdlib on 127.0.0.1): a wrong
#     password (status 103, the server's reason shown) and then a port where
#     no server answers (status 110, plftp's -1010 shown) each leave the
#     configuration, its .bak and the folder as they were; the right password
#     sends the folder and only then writes the configuration; the server
#     stopped, a saved file's failure shows, and the command ends with 110
#     after Ctrl-C (run.sh kills a watcher not closed within 8 s);
#   - none of Wine's own messages on the terminal.
# It prints how long the restart took to say "Watching" and the Ctrl-C after
# the failure took to end (figures, not limits: a loaded machine is slower).
# Every wait is bounded; a failure dumps the screen. Everything it made is
# removed at the end, and every run it started is ended.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
server="pellaro-own-$$"
work="$(mktemp -d /tmp/pellaro-own.XXXXXX)"
data="$root/build/windows/wineprefix/drive_c/users/$(id -un)/AppData/Roaming/xq/pellaro"
ftp_pid=""

term() { tmux -L "$server" "$@"; }
screen() { term capture-pane -p -J -S -500 -t "$1"; }
shows() { screen "$1" | grep -Eq "$2"; }
dump() {
    echo "terminal-own: $2; the terminal showed:"
    screen "$1" | grep -v '^$' | tail -n 30
}
# wait_for <seconds> <window> <what> <pattern>: polls the window's screen.
wait_for() {
    local seconds="$1" window="$2" what="$3" pattern="$4" i
    for ((i = 0; i < seconds * 4; i++)); do
        shows "$window" "$pattern" && return 0
        sleep 0.25
    done
    dump "$window" "$what did not show within $seconds s"
    return 1
}
wait_file() {
    local seconds="$1" path="$2" i
    for ((i = 0; i < seconds * 4; i++)); do
        [ -e "$path" ] && return 0
        sleep 0.25
    done
    dump run "$path did not arrive within $seconds s"
    return 1
}
# type <window> <command>: a fresh screen, then the command and its status.
type_command() {
    term send-keys -t "$1" 'clear' Enter
    sleep 0.2
    term clear-history -t "$1"
    term send-keys -t "$1" "$2"'; echo "status $?"' Enter
}
key_of() {
    local key="Z:${1//\//\\}"
    key="${key/:\\/_}"
    key="${key//\\/_}"
    printf '%s' "${key// /_}"
}
# What a refused or failed start leaves as it was: the folder's configuration
# files (the .bak too, and no other), and the names and contents in the folder.
snapshot() {
    local key
    key="$(key_of "$1")"
    (cd "$data" 2>/dev/null && find . -maxdepth 1 -name "*${key}_*config*" -exec md5sum {} + | sort)
    (cd "$1" && find . | sort && find . -type f -exec md5sum {} + | sort)
}
# unchanged <folder> <snapshot> <what>
unchanged() {
    [ "$(snapshot "$1")" = "$2" ] && return 0
    echo "terminal-own: $3 changed the configuration or the folder:"
    diff <(printf '%s\n' "$2") <(snapshot "$1")
    return 1
}
# refused_in_one_line <window> <pattern>: the command printed one line, and it matches.
refused_in_one_line() {
    local lines
    lines="$(screen "$1" | grep -v '^bash-[0-9.]*[$#]' | grep -v '^status [0-9]*$' | grep .)"
    [ "$(printf '%s\n' "$lines" | wc -l)" -eq 1 ] && printf '%s\n' "$lines" | grep -Eq "$2" && return 0
    dump "$1" "not the one line \"$2\""
    return 1
}
# Wine's own messages (wine: ..., its debug channels) never reach the terminal.
no_wine_noise() {
    ! screen "$1" | grep -Eq '^wine: |^[0-9a-f]{4}:(fixme|err|warn|trace):' && return 0
    dump "$1" "Wine's own messages reached the terminal"
    return 1
}
cleanup() {
    local window
    for window in run other; do
        if term has-session -t "$window" 2>/dev/null && ! shows "$window" '^status [0-9]+$'; then
            term send-keys -t "$window" C-c 2>/dev/null
            wait_for 30 "$window" "the run's end" '^status [0-9]+$' >/dev/null
        fi
    done
    term kill-server 2>/dev/null
    [ -z "$ftp_pid" ] || kill "$ftp_pid" 2>/dev/null
    local folder
    for folder in "$work/own" "$work/ftpdocs"; do
        rm -f "$data/$(key_of "$folder")"_*
    done
    rm -rf "$work"
}
trap cleanup EXIT
started=$SECONDS

mkdir -p "$work/own/Projets été" "$work/out" "$work/ftproot/docs" "$work/ftpdocs"
echo "first" > "$work/own/Projets été/résumé final.txt"
echo "ftp" > "$work/ftpdocs/sent.txt"

term new-session -d -s run -x 200 -y 50 -c "$root" "bash --norc --noprofile" || exit 1
term new-session -d -s other -x 200 -y 50 -c "$root" "bash --norc --noprofile" || exit 1

# A folder that does not exist.
type_command other "scripts/run.sh '$work/nope' '$work/out'"
wait_for 10 other "the refusal of a missing folder" '^status 1$' || exit 1
shows other "no folder $work/nope" || { dump other "no word of the missing folder"; exit 1; }

# A typo in the scheme: no folder of that name is made or looked for.
before="$(snapshot "$work/own")"
type_command other "scripts/run.sh '$work/own' fpt://me@127.0.0.1/docs"
wait_for 10 other "the refusal of an unknown scheme" '^status 1$' || exit 1
refused_in_one_line other 'unknown scheme fpt://' || exit 1
unchanged "$work/own" "$before" "an unknown scheme" || exit 1
[ ! -e fpt: ] || { echo "terminal-own: a folder fpt: was made"; exit 1; }

# Own folder to a folder that holds a colleague's file: sent once, names in UTF-8, the
# colleague's file kept, then watched.
echo "theirs" > "$work/out/theirs.txt"
type_command run "scripts/run.sh '$work/own' '$work/out'"
wait_for 900 run "the watcher's start" 'Watching .* \(stop with Ctrl-C\)|^status [0-9]+$' || exit 1
shows run '^status' && { dump run "scripts/run.sh ended before it watched"; exit 1; }
[ "$(cat "$work/out/Projets été/résumé final.txt" 2>/dev/null)" = "first" ] ||
    { dump run "the folder was not sent once"; exit 1; }
[ "$(cat "$work/out/theirs.txt" 2>/dev/null)" = "theirs" ] ||
    { dump run "the first send removed the target's own file"; exit 1; }
# The echo prints the log's lines in its own time, not before "Watching".
wait_for 60 run "the first send's line in UTF-8" 'put .*Projets été.résumé final\.txt.* ok' || exit 1
echo "saved" > "$work/own/new.txt"
wait_file 60 "$work/out/new.txt" || exit 1
wait_for 10 run "the new file's line" 'put .*new\.txt.* ok' || exit 1

# The same folder again, while it is watched.
type_command other "scripts/run.sh '$work/own'"
wait_for 20 other "the refusal of a watched folder" '^status 1$' || exit 1
shows other 'already watched' || { dump other "no word that the folder is watched"; exit 1; }

term send-keys -t run C-c
wait_for 15 run "the end after Ctrl-C" '^status 0$' || exit 1
no_wine_noise run || exit 1

# A target inside the folder: refused before anything is made in it.
before="$(snapshot "$work/own")"
type_command other "scripts/run.sh '$work/own' '$work/own/mirror'"
wait_for 10 other "the refusal of a target inside the folder" '^status 1$' || exit 1
refused_in_one_line other "the target $work/own/mirror lies inside $work/own" || exit 1
unchanged "$work/own" "$before" "a target inside the folder" || exit 1

# A restart: nothing to build, the configuration it has.
type_command run "scripts/run.sh '$work/own'"
restart=$SECONDS
wait_for 60 run "the restart's Watching" 'Watching .* \(stop with Ctrl-C\)' || exit 1
restart=$((SECONDS - restart))
term send-keys -t run C-c
wait_for 15 run "the end after Ctrl-C" '^status 0$' || exit 1

# A misspelt key.
echo "protocl=ftp" >> "$data/$(key_of "$work/own")_put.config"
type_command other "scripts/run.sh '$work/own'"
wait_for 10 other "the refusal of an unknown key" '^status 1$' || exit 1
shows other 'unknown key "protocl"' || { dump other "no word of the unknown key"; exit 1; }

# FTPS: a server of our own on a free port, with a certificate of its own for 127.0.0.1.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null ||
    { echo "terminal-own: openssl made no certificate"; exit 1; }
port="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
/usr/bin/python3 - "$port" "$work/ftproot" "$work" > "$work/ftpd.log" 2>&1 <<'EOF' &
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import TLS_FTPHandler
from pyftpdlib.servers import FTPServer
users = DummyAuthorizer()
users.add_user("me", "pass word", sys.argv[2], perm="elradfmwMT")
TLS_FTPHandler.authorizer = users
TLS_FTPHandler.certfile = sys.argv[3] + "/cert.pem"
TLS_FTPHandler.keyfile = sys.argv[3] + "/key.pem"
TLS_FTPHandler.tls_control_required = TLS_FTPHandler.tls_data_required = True
class Logged(TLS_FTPHandler):  # each command's name on a line of its own, for the checks
    def pre_process_command(self, line, cmd, arg):
        print("command", cmd, file=sys.stderr, flush=True)
        return TLS_FTPHandler.pre_process_command(self, line, cmd, arg)
FTPServer(("127.0.0.1", int(sys.argv[1])), Logged).serve_forever()
EOF
ftp_pid=$!
for ((i = 0; i < 40; i++)); do
    /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null && break
    sleep 0.25
done
url="ftps://me@127.0.0.1:$port/docs"
trust="PELLARO_FTPS_CAFILE='$work/cert.pem'"
# A port where no server listens.
closed="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"

# An earlier configuration of the folder, with its .bak: failed starts keep both.
ftpkey="$(key_of "$work/ftpdocs")"
mkdir -p "$data"
printf 'cmd=put\r\nprotocol=file\r\nroot=Z:\\earlier\r\n' > "$data/${ftpkey}_put.config"
printf 'cmd=get\r\nprotocol=file\r\nroot=Z:\\earlier\r\n' > "$data/${ftpkey}_get.config"
printf 'cmd=put\r\nprotocol=file\r\nroot=Z:\\before\r\n' > "$data/${ftpkey}_put.config.bak"
before="$(snapshot "$work/ftpdocs")"

# failed_start <what> <password> <address> <status> <pattern>: the first send
# fails, the command ends with that status, says why in a line that matches,
# and leaves the configuration and the folder as they were.
failed_start() {
    type_command run "${6:-$trust} PELLARO_FTP_PASSWORD='$2' scripts/run.sh '$work/ftpdocs' $3"
    wait_for 60 run "the end with $1" '^status [0-9]+$' || return 1
    shows run "^status $4\$" || { dump run "not status $4 with $1"; return 1; }
    shows run "$5" || { dump run "no word of $1"; return 1; }
    unchanged "$work/ftpdocs" "$before" "$1" && no_wine_noise run
}
failed_start "a wrong password" wrong "$url" 103 'refused the login' || exit 1
failed_start "no server" 'pass word' "ftps://me@127.0.0.1:$closed/docs" 110 'plftp status -1010' || exit 1
passwords=$(grep -c '^command PASS$' "$work/ftpd.log")
failed_start "another certificate" 'pass word' "$url" 129 'fingerprint is ([0-9A-F]{2}:){31}' \
    "PELLARO_FTPS_FINGERPRINT=$(printf '00%.0s' {1..32})" || exit 1
[ "$(grep -c '^command PASS$' "$work/ftpd.log")" = "$passwords" ] ||
    { echo "terminal-own: the password went to a server whose certificate failed"; exit 1; }

type_command run "$trust PELLARO_FTP_PASSWORD='pass word' scripts/run.sh '$work/ftpdocs' $url"
wait_for 60 run "the watcher's start" 'Watching .* \(stop with Ctrl-C\)|^status [0-9]+$' || exit 1
shows run '^status' && { dump run "scripts/run.sh ended before it watched"; exit 1; }
[ "$(cat "$work/ftproot/docs/sent.txt" 2>/dev/null)" = "ftp" ] ||
    { dump run "the folder was not sent to the server"; exit 1; }
grep -q '^protocol=ftps' "$data/${ftpkey}_put.config" &&
    grep -q 'earlier' "$data/${ftpkey}_put.config.bak" ||
    { echo "terminal-own: the sent folder's configuration was not written, the earlier one kept as .bak"; exit 1; }

kill "$ftp_pid"
wait "$ftp_pid" 2>/dev/null
ftp_pid=""
echo "while the server is away" > "$work/ftpdocs/late.txt"
wait_for 60 run "the failure with the server stopped" 'box 100: .*|FAILED .*late\.txt' || exit 1
term send-keys -t run C-c
stop=$SECONDS
# run.sh ends a watcher that has not closed 8 s after Ctrl-C; the first failure names the status.
wait_for 15 run "the end after Ctrl-C" '^status [0-9]+$' || exit 1
shows run '^status 110$' || { dump run "not status 110 after the failed sends"; exit 1; }
no_wine_noise run || exit 1

echo "terminal-own: own folder to a folder and to FTPS, refusals of a missing folder, an unknown" \
    "scheme, a target inside, a colleague's file kept, a watched folder and a misspelt key, a wrong password," \
    "no server and another certificate leaving the configuration as it was, a stopped server's failure shown (110); restart to" \
    "Watching ${restart} s, Ctrl-C after the failure ended in $((SECONDS - stop)) s; all in" \
    "$((SECONDS - started)) s"
