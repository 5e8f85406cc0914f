#!/usr/bin/env bash
# plftp killed at random moments of whole-folder puts at scale: N kills (default 200) on each
# target (a folder, an FTP server with MLSD, one with LIST only), the folder and another device
# changing both sides between runs. Each kill checks that the sync record is whole and that the
# next run leaves the target holding the folder plus the other device's files. A failure prints
# its seed and kill; PLFTP_KILL_SEED=<seed> replays it.
#   scripts/plftp-kills.sh [N] [SEED]
set -euo pipefail
cd "$(dirname "$0")/.."
kills="${1:-200}"
seed="${2:-$(date +%s)}"
cmake --preset windows >/dev/null
cmake --build --preset windows --target plftp plftp_wintest
PLFTP_KILLS="$kills" PLFTP_KILL_SEED="$seed" PELLARO_WINEDEBUG=-all \
    scripts/with-wine build/windows wine build/windows/bin/plftp_wintest.exe \
    --gtest_filter='*KillsLeaveAWholeRecordAndTheNextRunConverges*'
