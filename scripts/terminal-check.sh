#!/usr/bin/env bash
# Types README.md's run command at a real terminal (a tmux session of its own)
# as a person would, and checks what they would see: the demo starts watching,
# a file saved in demo/watched reaches demo/remote and its transfer line shows,
# its deletion follows likewise, Ctrl-C closes the watcher in order, and the command
# ends with status 0. Any files it made are removed at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
server="pellaro-terminal-$$"
name="terminal-check-$$.txt"

term() { tmux -L "$server" "$@"; }
screen() { term capture-pane -p -J -S -500 -t run; }
# wait_for <seconds> <what> <command...>: polls the command until it succeeds.
wait_for() {
    local seconds="$1" what="$2"
    shift 2
    for ((i = 0; i < seconds * 4; i++)); do
        "$@" && return 0
        sleep 0.25
    done
    echo "terminal: $what did not happen within $seconds s; the terminal showed:"
    screen | grep -v '^$' | tail -n 30
    return 1
}
shows() { screen | grep -Eq "$1"; }
# A run still going is ended as a person would end it, so that it closes the
# watcher and takes its Wine bench down; then the terminal goes.
cleanup() {
    if term has-session -t run 2>/dev/null && ! shows '^status [0-9]+$'; then
        term send-keys -t run C-c 2>/dev/null
        for ((i = 0; i < 240; i++)); do shows '^status [0-9]+$' && break; sleep 0.25; done
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
    echo "terminal: scripts/run.sh ended before it watched; the terminal showed:"
    screen | grep -v '^$' | tail -n 30
    exit 1
fi

echo "saved at a terminal" > "demo/watched/$name"
wait_for 60 "the new file's transfer" \
    bash -c '[ "$(cat "demo/remote/$1" 2>/dev/null)" = "saved at a terminal" ]' _ "$name" || exit 1
wait_for 10 "its line in the terminal" shows "put .*$name" || exit 1
rm "demo/watched/$name"
wait_for 60 "the deletion's transfer" bash -c '[ ! -e "demo/remote/$1" ]' _ "$name" || exit 1
wait_for 10 "its line in the terminal" shows "delete .*$name" || exit 1

term send-keys -t run C-c
wait_for 60 "the watcher's end" shows '^The watcher ended with status 0$' || exit 1
wait_for 10 "the command's status 0" shows '^status 0$' || exit 1
echo "terminal: scripts/run.sh started the demo, sent a new file and its deletion, and Ctrl-C ended it with 0"
