#!/usr/bin/env bash
# Sets up, builds (optimised) and runs every benchmark; each prints its
# figures and its ratio to a plain baseline measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DNUVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)"
export ALSOFT_DRIVERS=null
for b in build-bench/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "==> $(basename "$b")"
  "$b" "$@"
done
