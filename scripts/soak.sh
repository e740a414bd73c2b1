#!/usr/bin/env bash
# Soak run, not part of CI: 128 streamed sources looping through a loopback
# device for 10 minutes of audio (rendered as fast as the machine goes)
# while two threads create and destroy streams. Prints underruns, end-of-play
# callbacks and the heap's growth after warm-up; fails on any underrun or
# growth.
#
#   scripts/soak.sh [seconds of audio] [sources] [threads]
# Environment: NUVEX_SOAK_BUILD (default build-soak) is the build directory.
# The heap is compared at checkpoints where every playback is stopped and
# rewound (see bench/soak.cpp), then everything plays on.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${NUVEX_SOAK_BUILD:-build-soak}
cmake -S . -B "$build" -DNUVEX_BUILD_BENCH=ON -DNUVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target nuvex_soak
# glibc's per-thread caches would count freed blocks as in use.
GLIBC_TUNABLES=glibc.malloc.tcache_count=0 ALSOFT_DRIVERS=null ALSOFT_LOGLEVEL=0 \
  "$build/bench/nuvex_soak" "${1:-600}" "${2:-128}" "${3:-2}"
