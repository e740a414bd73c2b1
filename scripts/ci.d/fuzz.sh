#!/usr/bin/env bash
# CI: every fuzz target for about a minute on its seeds (two at a time).
# NUVEX_FUZZ_SECONDS shortens or lengthens the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
# A fixed seed: CI replays the same mutations each time, so a red run means
# a change of ours, not the luck of the draw (the long runs stay random).
export NUVEX_FUZZ_SEED=${NUVEX_FUZZ_SEED:-1}
exec fuzz/run.sh "${NUVEX_FUZZ_SECONDS:-60}" 2
