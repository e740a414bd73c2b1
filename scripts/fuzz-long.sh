#!/usr/bin/env bash
# The long fuzzing run: every target for 10 minutes (or the given number of
# seconds), two at a time, at low priority so the machine stays usable. The
# corpus grows in build-fuzz/corpus/ and is reused by the next run.
#
#   scripts/fuzz-long.sh [seconds per target] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
NUVEX_FUZZ_NICE=${NUVEX_FUZZ_NICE:-10} exec fuzz/run.sh "$seconds" 2 "$@"
