#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, their own native configuration in
# build/fuzz: clang, address and undefined-behaviour sanitizers) and runs them:
#   scripts/fuzz.sh [--runs N | --seconds S] [--jobs J] [--fresh] [--replay-only] [target...]
# Each target first replays its seed corpus (fuzz/corpus/<target>), then fuzzes
# for N executions (10 million unless told, shared among J processes on one
# corpus, 1 unless told) or S seconds. The corpus grows in
# build/fuzz/corpus/<target> (--fresh: a scratch copy of the seeds instead);
# an input that fails is kept in build/fuzz/findings/<target>/. One line per
# target gives executions, seconds and findings; the status is 1 after any
# finding. Several targets run one after the other. PELLARO_FUZZ_MAX_LEN
# overrides the longest input (4096 bytes, 128 for command_buffer): shorter
# inputs run faster on a corpus that has grown long ones.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${PELLARO_FUZZ_BUILD:-build/fuzz}"
runs=10000000
seconds=""
jobs=1
fresh=""
replay_only=""
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --seconds) seconds="$2"; shift 2 ;;
        --jobs) jobs="$2"; shift 2 ;;
        --fresh) fresh=1; shift ;;
        --replay-only) replay_only=1; shift ;;
        -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
        *) targets+=("$1"); shift ;;
    esac
done
if [ ${#targets[@]} -eq 0 ]; then
    for f in fuzz/*_fuzz.cpp; do
        name="$(basename "$f" .cpp)"
        targets+=("${name%_fuzz}")
    done
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DPELLARO_LOGIC_ONLY=ON -DPELLARO_FUZZ=ON -DPELLARO_TESTS=OFF >/dev/null || exit 1
exes=()
for t in "${targets[@]}"; do exes+=("${t}_fuzz"); done
nice cmake --build "$build" -j "${PELLARO_JOBS:-2}" --target "${exes[@]}" >/dev/null || {
    echo "fuzz: build failed" >&2
    exit 1
}

# Targets that write files do so in a folder of their own under TMPDIR: a
# memory file system keeps them from waiting on the disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
# A smaller quarantine than the address sanitizer's default lets freed memory
# be reused sooner: fresh pages for every allocation cost more than the run.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# Inputs longer than this add steps, not new behaviour (the buffer's steps
# each write a file).
max_len_of() {
    [ -n "${PELLARO_FUZZ_MAX_LEN:-}" ] && { echo "$PELLARO_FUZZ_MAX_LEN"; return; }
    case "$1" in
        command_buffer) echo 128 ;;
        *) echo 4096 ;;
    esac
}

status=0
printf '%-18s %12s %9s %9s\n' target executions seconds findings
for t in "${targets[@]}"; do
    exe="$root/$build/bin/${t}_fuzz"
    seeds="$root/fuzz/corpus/$t"
    findings="$root/$build/findings/$t"
    mkdir -p "$findings"
    if [ -n "$fresh" ]; then
        corpus="$scratch/$t"
    else
        corpus="$root/$build/corpus/$t"
    fi
    mkdir -p "$corpus"
    options=(-max_len="$(max_len_of "$t")" -print_final_stats=1 -timeout=20
             -artifact_prefix="$findings/")
    if [ -f "fuzz/$t.dict" ]; then options+=(-dict="$root/fuzz/$t.dict"); fi
    log="$scratch/$t.log"

    # Every seed once: a seed that fails is a finding of its own.
    if ! "$exe" "${options[@]}" -runs=0 "$seeds" >"$log" 2>&1; then
        echo "fuzz: $t fails on its seed corpus:" >&2
        tail -n 30 "$log" >&2
        printf '%-18s %12s %9s %9s\n' "$t" 0 0 1
        status=1
        continue
    fi
    [ -n "$replay_only" ] && { printf '%-18s %12s %9s %9s\n' "$t" replayed - 0; continue; }

    limit=(-runs="$(( (runs + jobs - 1) / jobs ))")
    [ -n "$seconds" ] && limit=(-max_total_time="$seconds")
    start=$SECONDS
    found=0
    if [ "$jobs" -gt 1 ]; then
        # Each process writes its own log (fuzz-<n>.log) in the current folder,
        # and libFuzzer copies a process's log into its own output as the
        # process ends: the executions are counted there once. A process still
        # running when the run is stopped is counted from its own log.
        (cd "$scratch" && nice "$exe" "${options[@]}" "${limit[@]}" -jobs="$jobs" -workers="$jobs" \
            "$corpus" "$seeds" >"$log" 2>&1)
        for worker in "$scratch"/fuzz-*.log; do
            seed_line="$(grep -m 1 '^INFO: Seed:' "$worker")"
            [ -n "$seed_line" ] && grep -qxF "$seed_line" "$log" || cat "$worker" >>"$log"
        done
    else
        nice "$exe" "${options[@]}" "${limit[@]}" "$corpus" "$seeds" >"$log" 2>&1
    fi
    # A unit libFuzzer reports as slow (over 10 s, "slow-unit-") is the machine
    # stalling, not the code: each runs in microseconds, and a hang is a
    # time-out (-timeout=20), which fails the run. Only crashes, leaks,
    # time-outs and running out of memory are findings.
    if [ $? -ne 0 ] || grep -qE '^==[0-9]+==ERROR|check failed|runtime error|Test unit written to .*/(crash|leak|timeout|oom)-' "$log"; then
        found=1
        status=1
        echo "fuzz: $t found a failing input (in $findings):" >&2
        grep -E 'ERROR|check failed|runtime error|SUMMARY|Test unit written' "$log" | head -n 20 >&2
    fi
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | awk '{n += $1} END {print n}')"
    printf '%-18s %12s %9s %9s\n' "$t" "${executions:-?}" $((SECONDS - start)) "$found"
done
exit $status
