#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the normal build, then the
# same tests under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# threading tests under ThreadSanitizer. Any failure or sanitizer report
# fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

scripts/setup.sh

build_and_test() { # dir, ctest-args, cmake-args...
  local dir=$1 ctest_args=$2
  shift 2
  echo "==> ${dir}: configure and build"
  cmake -S "$root" -B "$root/$dir" -DNUVEX_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$root/$dir" -j"$jobs"
  echo "==> ${dir}: test"
  (cd "$root/$dir" && ctest --output-on-failure -j"$jobs" $ctest_args)
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp

build_and_test build ""
build_and_test build-asan "" -DNUVEX_SANITIZE=address,undefined -DNUVEX_BUILD_TOOLS=OFF
build_and_test build-tsan "-L threads" -DNUVEX_SANITIZE=thread -DNUVEX_BUILD_TOOLS=OFF

for extra in "$root"/scripts/ci.d/*.sh; do
  [ -e "$extra" ] || continue
  echo "==> $(basename "$extra")"
  bash "$extra"
done
echo "All test builds passed."
