#!/usr/bin/env bash
# Sets up, builds, and runs the project's main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
exec build/tools/nuvex-info
