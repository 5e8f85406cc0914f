#!/usr/bin/env bash
# plftp's differential test at scale: N random pairs of trees (default 100000) synchronised by
# the real engine on the in-memory target and compared with the model, in the native build with
# sanitizers. A failing case prints its seed; PLFTP_DIFF_SEED=<seed> with N=1 replays it.
#   scripts/plftp-differential.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
cases="${1:-100000}"
cmake --preset native >/dev/null
cmake --build build/native --target plftp_differential_test
PLFTP_DIFF_CASES="$cases" build/native/bin/plftp_differential_test \
    --gtest_filter='PlftpDifferential.*'
