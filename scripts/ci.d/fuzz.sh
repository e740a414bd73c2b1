#!/usr/bin/env bash
# CI: every fuzz target for about a minute on its seeds (two at a time).
# NUVEX_FUZZ_SECONDS shortens or lengthens the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
exec fuzz/run.sh "${NUVEX_FUZZ_SECONDS:-60}" 2
