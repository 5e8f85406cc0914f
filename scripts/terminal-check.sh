#!/usr/bin/env bash
# Types README.md's run command at a real terminal (a tmux session of its own)
# as a person would, and checks what they would see: the demo starts watching,
# a file saved in demo/watched reaches demo/remote and its transfer line shows,
# its deletion follows likewise, Ctrl-C closes the watcher in order, and the
# command ends with status 0. Any files it made are removed at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
server="pellaro-terminal-$$"
name="terminal-check-$$.txt"

term() { tmux -L "$server" "$@"; }
screen() { term capture-pane -p -J -S -500 -t run; }
shows() { screen | grep -Eq "$1"; }
dump() {
    echo "terminal: $1; the terminal showed:"
    screen | grep -v '^$' | tail -n 30
}
# wait_for <seconds> <what> <command...>: polls the command until it succeeds.
wait_for() {
    local seconds="$1" what="$2" i
    shift 2
    for ((i = 0; i < seconds * 4; i++)); do
        "$@" && return 0
        sleep 0.25
    done
    dump "$what did not happen within $seconds s"
    return 1
}
arrived() { [ "$(cat "demo/remote/$name" 2>/dev/null)" = "saved at a terminal" ]; }
gone() { [ ! -e "demo/remote/$name" ]; }
# A run still going is ended as a person would end it, so that it closes the
# watcher and takes its Wine bench down; then the terminal goes.
cleanup() {
    if term has-session -t run 2>/dev/null && ! shows '^status [0-9]+$'; then
        term send-keys -t run C-c 2>/dev/null
        wait_for 60 "the run's end" shows '^status [0-9]+$' >/dev/null
    fi
    term kill-server 2>/dev/null
    rm -f "demo/watched/$name" "demo/remote/$name"
}
trap cleanup EXIT

term new-session -d -s run -x 160 -y 50 -c "$root" "bash --norc --noprofile" || exit 1
# The status line tells an early end from a watcher that is running.
term send-keys -t run 'scripts/run.sh; echo "status $?"' Enter
wait_for 900 "the watcher's start" shows 'Watching .* \(stop with Ctrl-C\)|^status [0-9]+$' || exit 1
if shows '^status [0-9]+$'; then
    dump "scripts/run.sh ended before it watched"
    exit 1
fi

echo "saved at a terminal" > "demo/watched/$name"
wait_for 60 "the new file's transfer" arrived || exit 1
wait_for 10 "its line in the terminal" shows "put .*$name" || exit 1
rm "demo/watched/$name"
wait_for 60 "the deletion's transfer" gone || exit 1
wait_for 10 "its line in the terminal" shows "delete .*$name" || exit 1

term send-keys -t run C-c
wait_for 60 "the watcher's end" shows '^The watcher ended with status 0$' || exit 1
wait_for 10 "the command's status 0" shows '^status 0$' || exit 1
echo "terminal: scripts/run.sh started the demo, sent a new file and its deletion, and Ctrl-C ended it with 0"
