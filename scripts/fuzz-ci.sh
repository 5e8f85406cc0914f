#!/usr/bin/env bash
# What CI runs of the fuzz targets: every target replays its seed corpus, then
# fuzzes for 20 seconds from a scratch copy of it. Exits non-zero on a finding
# (the failing input is kept in build/fuzz/findings/<target>/).
set -euo pipefail
cd "$(dirname "$0")/.."
exec scripts/fuzz.sh --fresh --seconds "${PELLARO_FUZZ_SECONDS:-20}" "$@"
