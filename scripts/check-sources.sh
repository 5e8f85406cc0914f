#!/usr/bin/env bash
# Checks of the sources themselves, before anything is built (a second or two):
#   - every C++ source is formatted as .clang-format says;
#   - the watcher's own sources reach files only through the file layer
#     (base/file_ops.h): no direct C runtime, C++ stream or Win32 file call;
#   - the include graph runs one way (scripts/include-graph.sh, well under a second).
# Prints what it found and fails when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
if ! drift=$(clang-format --dry-run --Werror "${sources[@]}" 2>&1); then
    echo "check-sources: these files differ from .clang-format (run clang-format -i on them):"
    printf '%s\n' "$drift" | grep -oE '^[^:]+\.(cpp|h)' | sort -u | sed 's/^/  /'
    status=1
fi

[ $status -eq 0 ] && echo "check-sources: formatting ok (${#sources[@]} files)"

# Direct file calls. Allowed only where the call is the point of the file:
#   base/file_ops_win.cpp, base/file_ops_posix.cpp  the file layer itself
#   watch/change_feed_win.cpp                       the change feed's directory handle
#   notify/tray_pipe_win.cpp                        opens the tray application's pipe, not a file
file_layer_exceptions='^(base/file_ops_win\.cpp|base/file_ops_posix\.cpp|watch/change_feed_win\.cpp|notify/tray_pipe_win\.cpp)$'
file_calls='(fopen|_wfopen|_fsopen|_wfsopen|freopen|_wfreopen|fdopen|_wopen|_sopen|_wsopen|remove|_wremove|rename|_wrename|unlink|_unlink|_wunlink|mkdir|_mkdir|_wmkdir|CreateFile[AW2]?|OpenFile|DeleteFile[AW]?|MoveFile(Ex|WithProgress)?[AW]?|CopyFile(Ex|2)?[AW]?|ReplaceFile[AW]?|CreateDirectory(Ex)?[AW]?|RemoveDirectory[AW]?)'
mapfile -t own < <(git ls-files base config notify watch sync ui app | grep -E '\.(cpp|h)$' |
    grep -vE "$file_layer_exceptions")
# Comments are left out ("//" to the end of the line); a call is the name not
# reached through an object or another namespace than std, followed by "(".
direct=$(for f in "${own[@]}"; do
    sed 's|//.*$||' "$f" | grep -nE \
        "(^|[^A-Za-z0-9_.>:])((std)?::)?${file_calls}[[:space:]]*\(|(^|[^A-Za-z0-9_])(std::)?(basic_)?[io]?fstream\b" |
        sed "s|^|  $f:|"
done)
if [ -n "$direct" ]; then
    echo "check-sources: direct file calls outside the file layer (use base/file_ops.h):"
    printf '%s\n' "$direct"
    status=1
else
    echo "check-sources: file access ok (${#own[@]} files use the file layer only)"
fi
scripts/include-graph.sh || status=1

exit $status
