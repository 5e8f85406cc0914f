#!/usr/bin/env bash
# Runs the Wine passes of scripts/test.sh again and again, to find a test that
# fails only now and then:
#   scripts/repeat.sh [--repeat N] [--busy] [--fresh] [--passes "wine ja utf8"]
# Each round runs the Windows tests under Wine (CTest, as scripts/test.sh does,
# without the kill stress run), then the Windows unit tests on the Japanese
# desktop and with UTF-8 as the ANSI code page. --busy keeps both cores busy
# with two loops of its own while the rounds run; --fresh makes each round's
# Wine prefixes anew. Ends with a tally per pass; the logs of every failed pass
# stay in build/windows/repeat/<run>/<round>-<pass>/ (a folder per run). Status 1
# when any pass failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
rounds=1 busy="" fresh="" passes="wine ja utf8"
while [ $# -gt 0 ]; do
    case "$1" in
        --repeat) rounds="$2"; shift 2 ;;
        --busy) busy=1; shift ;;
        --fresh) fresh=1; shift ;;
        --passes) passes="$2"; shift 2 ;;
        *) echo "usage: $0 [--repeat N] [--busy] [--fresh] [--passes \"wine ja utf8\"]" >&2; exit 2 ;;
    esac
done
jobs="${PELLARO_JOBS:-2}"
build="$root/build/windows"
# Each run keeps its failed passes under a folder of its own: a later run does
# not remove an earlier one's logs.
out="$build/repeat/$(date +%Y%m%d-%H%M%S)-$$"

cmake --preset windows >/dev/null || exit 1
cmake --build --preset windows -j "$jobs" >/dev/null || { echo "repeat: the Windows build failed" >&2; exit 1; }

loops=()
stop_loops() {
    local pid
    for pid in "${loops[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    loops=()
}
trap stop_loops EXIT
if [ -n "$busy" ]; then
    for _ in 1 2; do
        (while :; do :; done) &
        loops+=($!)
    done
fi

# Wine's error messages stay on, as in the test command's Wine passes.
export PELLARO_WINEDEBUG=-all,err+all

# One pass: $1 wine, ja or utf8, $2 its folder for reports and logs.
run_pass() {
    local pass="$1" dir="$2"
    mkdir -p "$dir"
    if [ "$pass" = wine ]; then
        scripts/with-wine "$build" ctest --test-dir "$build" --output-on-failure -j "$jobs" \
            -E '^kill_stress_e2etest$' > "$dir/ctest.log" 2>&1
        return
    fi
    PELLARO_DESKTOP="$pass" scripts/with-wine "$build" bash -c '
        status=0
        for exe in "$1"/bin/*_test.exe "$1"/bin/*_wintest.exe; do
            [ -e "$exe" ] || continue
            name="$(basename "$exe" .exe)"
            timeout -k 5 600 wine "$exe" --gtest_brief=1 > "$2/$name.log" 2>&1
            code=$?
            if [ "$code" -ne 0 ]; then
                # The status says how it ended even when the program wrote nothing.
                echo "exit status $code" >> "$2/$name.log"
                echo "FAILED $name (status $code)"
                status=1
            fi
        done
        exit $status' _ "$build" "$dir" > "$dir/pass.log" 2>&1
}

declare -A failures seconds
for pass in $passes; do failures[$pass]=0 seconds[$pass]=0; done
for round in $(seq 1 "$rounds"); do
    if [ -n "$fresh" ]; then
        rm -rf "$build/wineprefix" "$build/wineprefix-ja" "$build/wineprefix-utf8"
    fi
    for pass in $passes; do
        dir="$out/$round-$pass"
        rm -rf "$dir"
        start=$(date +%s)
        if run_pass "$pass" "$dir"; then
            result=passed
            rm -rf "$dir"
        else
            result="FAILED: $(grep -hoE '^FAILED [a-z_]+|\*\*\*Failed|Timeout|[0-9]+ - [a-z_]+ \([A-Za-z]+\)' \
                "$dir"/*.log | sort -u | tr '\n' ' ')(logs in $dir)"
            failures[$pass]=$((failures[$pass] + 1))
        fi
        took=$(($(date +%s) - start))
        seconds[$pass]=$((seconds[$pass] + took))
        echo "round $round/$rounds, $pass: $result, ${took} s"
    done
done
stop_loops

echo
echo "tally of $rounds rounds${busy:+, both cores kept busy}${fresh:+, fresh prefixes}:"
total=0
for pass in $passes; do
    echo "  $pass: ${failures[$pass]} failed of $rounds, $((seconds[$pass] / rounds)) s a pass on average"
    total=$((total + failures[$pass]))
done
[ "$total" -eq 0 ]
