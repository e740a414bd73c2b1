#!/usr/bin/env bash
# CI: Valgrind memcheck over a representative subset of the normal build's
# test programs, each test case in its own process as under ctest. Any
# memory error or definite leak fails the run. The leaks OpenAL Soft makes
# itself are in tests/valgrind.supp.
#
#   scripts/ci.d/valgrind.sh [build directory]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=${1:-$root/build}
# The failure tables, streaming and playback, and every decoder on damaged,
# unusable and application input: the paths that allocate and free the most.
programs=(test_api test_playback test_decoders)
# Too slow under Valgrind for CI (minutes of rendering); the sanitizer build
# runs them.
declare -A skip=([test_decoders]=Decoders.EveryLayoutLoadsAndStreamsAsTheFileHoldsIt:Decoders.WholeLoadsPastTwoGibFail:Decoders.BatchesAndLoadsInTheBackgroundMatchLoadsAlone)
jobs=${NUVEX_VALGRIND_JOBS:-$(nproc)}

if ! command -v valgrind >/dev/null; then
  echo "valgrind: not installed (scripts/setup.sh installs it)" >&2
  exit 1
fi
cmake --build "$build" -j"$(nproc)" --target "${programs[@]}" >/dev/null

export ALSOFT_DRIVERS=null ALSOFT_LOGLEVEL=0
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

cases=()
for p in "${programs[@]}"; do
  exe=$build/tests/$p
  [ -x "$exe" ] || { echo "valgrind: $exe missing" >&2; exit 1; }
  suite=
  while IFS= read -r line; do
    case "$line" in
      " "*) cases+=("$p ${suite}${line#  }") ;;
      *) suite=$line ;;
    esac
  done < <("$exe" --gtest_list_tests --gtest_filter="*-${skip[$p]:-}" | grep -v '^Running main' |
           grep -v '^Note:' | sed 's/ *#.*//')
done
echo "==> valgrind: ${#cases[@]} test cases from ${#programs[@]} programs, $jobs at a time"

run_case() { # program test-name
  local exe=$BUILD/tests/$1 log=$LOGS/$1.$2.log start=$SECONDS
  if valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
       --soname-synonyms=somalloc=nouserintercepts \
       --show-leak-kinds=definite --track-origins=yes --num-callers=30 \
       --suppressions="$ROOT/tests/valgrind.supp" \
       "$exe" --gtest_filter="$2" >"$log" 2>&1; then
    rm -f "$log"
    echo "$((SECONDS - start)) s  $1 $2" >> "$LOGS/times"
  else
    echo "FAILED: $1 $2"
  fi
}
export -f run_case
export BUILD=$build LOGS=$logs ROOT=$root
start=$SECONDS
printf '%s\n' "${cases[@]}" | xargs -P "$jobs" -L 1 bash -c 'run_case "$0" "$1"' > "$logs/summary"
echo "==> valgrind: done in $((SECONDS - start)) s; the slowest cases:"
sort -rn "$logs/times" 2>/dev/null | head -5
if [ -s "$logs/summary" ]; then
  cat "$logs/summary"
  for log in "$logs"/*.log; do
    echo "==> $(basename "$log" .log)"
    cat "$log"
  done
  exit 1
fi
echo "==> valgrind: no memory errors, no definite leaks"
