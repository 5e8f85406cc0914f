#!/usr/bin/env bash
# The watcher's include graph by folder: each folder, then the folders its
# sources include with the number of include lines, and whether the graph runs
# one way. The floors, lowest first (a folder includes its own files and those
# of the floors below it, never a floor above):
#   base    bounded text, text conversion, handle owners, files, seams, process id,
#           WatcherState and the command buffer's data
#   notify  message catalogue and boxes, tray pipe, process coordination
#   config  per-folder configuration, watched-folder registry
#   sync    transfer commands and merge rules, command buffer, event list file,
#           timer, transfer runs and their report
#   watch   change notifications, the change feed, the change event handler, paths
#   ui      the watcher dialog
#   app     start-up, command line, folder key, entry point, the real seams
# Fails (status 1) on an include that runs upwards. Costs well
# under a second (grep over the sources).
set -uo pipefail
cd "$(dirname "$0")/.."

declare -A floor=([base]=0 [notify]=1 [config]=2 [sync]=3 [watch]=4 [ui]=5 [app]=6)
folders=(base notify config sync watch ui app)

declare -A count
wrong=""
for from in "${folders[@]}"; do
    while IFS=: read -r file _ to; do
        [ -n "${floor[$to]+set}" ] || continue
        [ "$to" = "$from" ] && continue
        count["$from $to"]=$((${count["$from $to"]:-0} + 1))
        if [ "${floor[$to]}" -ge "${floor[$from]}" ]; then
            wrong+="  $file includes $to/ (floor ${floor[$to]} from floor ${floor[$from]})"$'\n'
        fi
    done < <(git ls-files "$from" | grep -E '\.(cpp|h)$' | xargs -r grep -HoE '^#include "[a-z_]+/' |
        sed -E 's|:#include "([a-z_]+)/$|:x:\1|')
done

for from in "${folders[@]}"; do
    line=""
    for to in "${folders[@]}"; do
        n=${count["$from $to"]:-0}
        [ "$n" -gt 0 ] && line+=" $to($n)"
    done
    printf '  %-7s ->%s\n' "$from" "${line:- (nothing)}"
done
if [ -n "$wrong" ]; then
    echo "include-graph: includes that run upwards:"
    printf '%s' "$wrong"
    exit 1
fi
echo "include-graph: one way (base < notify < config < sync < watch < ui < app)"
