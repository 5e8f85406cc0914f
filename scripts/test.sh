#!/usr/bin/env bash
# Builds and runs every test:
#   0. the sources' own checks (scripts/check-sources.sh: formatting);
#   1. the native logic build (Linux, address and undefined-behaviour sanitizers);
#   2. the fuzz targets (seeds, then 20 s each) and the race test under the
#      thread sanitizer, native builds with clang;
#   3. the Windows build (MinGW-w64), all tests under Wine with an Xvfb display;
#   4. the Windows unit tests again on a Japanese desktop (code page 932) and
#      with UTF-8 as the ANSI code page; the package unpacked and run;
#   5. README's run command typed at a real terminal: the demo
#      (scripts/terminal-check.sh) and an own folder mirrored to a folder and
#      to FTP, with its refusals and failures (scripts/terminal-check-own.sh).
# Ends with a line adding up every test case that ran, then one per failed step.
#
#   scripts/test.sh --repeat N [--busy] [--fresh]
# runs only the three Wine passes (3. and 4.) N times instead, with a tally of
# failures per pass (scripts/repeat.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--repeat" ]; then
    exec scripts/repeat.sh "$@"
fi
root="$(pwd)"
jobs="${PELLARO_JOBS:-2}"
failed_steps=()
current=""

step() {
    current="$*"
    printf '\n==== %s\n' "$*"
}
# Marks the current step failed; the last lines name every failed step, so a
# failure that left no test report still says where it happened.
fail() {
    failed_steps+=("$current${1:+ ($1)}")
}

step "setup"
scripts/setup.sh || exit 1

step "source checks"
scripts/check-sources.sh || fail

step "native build (sanitizers)"
cmake --preset native >/dev/null || exit 1
cmake --build --preset native -j "$jobs" || exit 1
rm -f build/native/test-reports/*.xml
(cd build/native && ctest --output-on-failure -j "$jobs") || fail

step "fuzz targets: seeds replayed, then 20 s each"
scripts/fuzz-ci.sh || fail

step "race test under the thread sanitizer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DPELLARO_LOGIC_ONLY=ON -DPELLARO_TSAN=ON >/dev/null || exit 1
cmake --build build/tsan -j "$jobs" --target race_stress_test || exit 1
rm -f build/tsan/test-reports/*.xml
(cd build/tsan && PELLARO_RACE_SECONDS="${PELLARO_RACE_SECONDS:-20}" TSAN_OPTIONS=halt_on_error=1 \
    ctest -R '^race_stress_test$' --output-on-failure) || fail

step "Windows build"
cmake --preset windows >/dev/null || exit 1
cmake --build --preset windows -j "$jobs" || exit 1

step "Windows tests under Wine"
# Wine's error messages stay on for the test programs: one that dies as it
# starts, or a child of it, then says why in the test's output.
# Now and then (measured: about 1 launch in 300 of a test that starts nine
# threads at once, four such runs side by side) a Wine 8 process stops in a
# wait that is never woken: its threads sit in the kernel, waiting on their
# wake-up pipes and futexes, and attaching winedbg alone lets it go on to pass.
# A test that runs out of time is therefore run once more (CTest says so in
# its output); one that fails, or runs out of time twice, fails the run.
export PELLARO_WINEDEBUG=-all,err+all
rm -f build/windows/test-reports/*.xml
scripts/with-wine build/windows ctest --test-dir build/windows --output-on-failure -j "$jobs" \
    --repeat after-timeout:2 -E '^kill_stress_e2etest$' || fail

# Runs one test program under Wine (in a with-wine shell) with a time limit:
# wine_gtest <exe> <report.xml> <log> <what failed> [gtest flags]. Its output
# goes to the log, whose end is shown when the program fails. A program that
# runs out of time is run once more, as CTest does above.
wine_gtest='
wine_gtest() {
    local exe="$1" report="$2" log="$3" what="$4" status
    shift 4
    for attempt in 1 2; do
        timeout -k 5 600 wine "$exe" "$@" "--gtest_output=xml:Z:$report" > "$log" 2>&1
        status=$?
        [ "$status" -eq 0 ] && return 0
        [ "$status" -eq 124 ] || [ "$status" -eq 137 ] || break
        echo "TIMED OUT $what: $(basename "$exe" .exe) (run $attempt of 2)"
        tail -n 5 "$log"
    done
    echo "FAILED $what: $(basename "$exe" .exe)"
    tail -n 60 "$log"
    return 1
}'

# The kill stress run on its own, its output to a file: the processes it kills
# and starts under Wine share its standard output, and a pipe that one of them
# still held would keep CTest waiting after the test had ended.
step "kill stress: 25 kills of the real watcher"
scripts/with-wine build/windows bash -c "$wine_gtest"'
    wine_gtest "$1/bin/kill_stress_e2etest.exe" "$1/test-reports/kill_stress_e2etest.xml" \
        "$1/kill-stress.log" "under Wine" && tail -n 5 "$1/kill-stress.log"' \
    _ "$root/build/windows" || fail

# The Windows unit tests once more on another desktop: $1 is ja (code page
# 932) or utf8 (UTF-8 as the ANSI code page); the reports go to $2.
desktop_pass() {
    rm -rf "$2"
    mkdir -p "$2"
    PELLARO_DESKTOP="$1" scripts/with-wine build/windows bash -c "$wine_gtest"'
        status=0
        for exe in "$1"/bin/*_test.exe "$1"/bin/*_wintest.exe; do
            [ -e "$exe" ] || continue
            name="$(basename "$exe" .exe)"
            wine_gtest "$exe" "$2/$name.xml" "$2/$name.log" "on the $3 desktop" \
                --gtest_brief=1 || status=1
        done
        exit $status' _ "$root/build/windows" "$2" "$1" || fail
}

step "Windows unit tests on a Japanese desktop"
ja_reports="$root/build/windows/test-reports-ja"
desktop_pass ja "$ja_reports"

step "Windows unit tests with UTF-8 as the ANSI code page"
utf8_reports="$root/build/windows/test-reports-utf8"
desktop_pass utf8 "$utf8_reports"

step "Windows package: unpacked, its programs run under Wine"
unset PELLARO_WINEDEBUG  # the package and the terminal as a user sees them
check="$root/build/windows/package-check"
rm -rf "$check" && mkdir -p "$check"
if cmake --build --preset windows --target package >/dev/null &&
    (cd "$check" && cmake -E tar xf "$root"/build/windows/package/PellaroCNW-*-win64.zip); then
    scripts/with-wine build/windows bash -c '
        cd "$1"/PellaroCNW-*-win64 && mkdir -p watched remote && echo hello > watched/a.txt
        w="$(winepath -w watched)"
        printf "cmd=put\r\nprotocol=file\r\nroot=%s\r\n" "$(winepath -w remote)" > check_put.config
        wine bin/plftp.exe -f check_put.config -path "$w" && cmp watched/a.txt remote/a.txt || exit 1
        PLDIR="$(winepath -w .)\\" wine bin/PellaroCNW.exe "$w" &
        for _ in $(seq 60); do wine bin/pellaro-close.exe "$w" >/dev/null && break; sleep 1; done
        wait $! && echo "package: plftp sent a file, the watcher started and closed in order"' \
        _ "$check" || fail
else
    fail "not built or not unpacked"
fi

step "README's run command typed at a real terminal (tmux)"
scripts/terminal-check.sh || fail demo
scripts/terminal-check-own.sh || fail "own folder"

# One line for all: every gtest report of the three passes.
summary() {
    cat "$@" 2>/dev/null | awk '
        /<testsuites / {
            match($0, / tests="[0-9]+"/);    t += substr($0, RSTART + 8, RLENGTH - 9)
            match($0, / failures="[0-9]+"/); f += substr($0, RSTART + 11, RLENGTH - 12)
            match($0, / errors="[0-9]+"/);   e += substr($0, RSTART + 9, RLENGTH - 10)
            if (match($0, / disabled="[0-9]+"/)) d += substr($0, RSTART + 11, RLENGTH - 12)
        }
        /<testsuite / {
            if (match($0, / skipped="[0-9]+"/)) s += substr($0, RSTART + 10, RLENGTH - 11)
        }
        END { printf "%d %d %d\n", t - s - d - f - e, f + e, s + d }'
}
read -r np nf ns < <(summary build/native/test-reports/*.xml)
read -r wp wf ws < <(summary build/windows/test-reports/*.xml)
read -r jp jf js < <(summary "$ja_reports"/*.xml)
read -r up uf us < <(summary "$utf8_reports"/*.xml)
read -r tp tf ts < <(summary build/tsan/test-reports/*.xml)
echo
echo "native:   $np passed, $nf failed, $ns skipped"
echo "wine:     $wp passed, $wf failed, $ws skipped"
echo "japanese: $jp passed, $jf failed, $js skipped"
echo "utf-8:    $up passed, $uf failed, $us skipped"
echo "tsan:     $tp passed, $tf failed, $ts skipped"
total_failed=$((nf + wf + jf + uf + tf))
if [ ${#failed_steps[@]} -ne 0 ] && [ "$total_failed" -eq 0 ]; then
    total_failed=1  # a test executable crashed or timed out without a report
fi
echo "tests: $((np + wp + jp + up + tp)) passed, $total_failed failed"
for s in "${failed_steps[@]}"; do
    echo "failed step: $s"
done
[ ${#failed_steps[@]} -eq 0 ] && [ "$total_failed" -eq 0 ]
