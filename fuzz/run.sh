#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) in build-fuzz and
# runs each for a bounded time on its generated seeds plus the corpus kept
# from earlier runs. Any crash, leak, timeout, out-of-memory or sanitizer
# report fails the run; the offending input is printed (base64) in the log
# and kept under build-fuzz/artifacts/.
#
#   fuzz/run.sh <seconds per target> <targets at a time> [target...]
#
# Environment: NUVEX_FUZZ_NICE (default 0) runs the fuzzers at that niceness.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:?seconds per target}
parallel=${2:-2}
shift 2 || true
build=$root/build-fuzz

echo "==> fuzz: configure and build (clang, libFuzzer, ASan + UBSan)"
CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < "$build/targets.txt"
fi

# libmodplug has no frame pointers: only the slow unwinder sees through it to
# name the loader a leak comes from, which its suppression needs.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:allocator_may_return_null=0:fast_unwind_on_malloc=0
# The test suite's suppressions (OpenAL's own leaks) plus the fuzz-only ones.
cat "$root/tests/lsan.supp" "$root/fuzz/lsan.supp" > "$build/lsan.supp"
export LSAN_OPTIONS=suppressions=$build/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ALSOFT_DRIVERS=null ALSOFT_LOGLEVEL=0
mkdir -p "$build/logs" "$build/artifacts"

run_one() { # target
  local t=$1
  local corpus=$build/corpus/$t
  mkdir -p "$corpus"
  nice -n "${NUVEX_FUZZ_NICE:-0}" "$build/$t" \
    -max_total_time="$seconds" ${NUVEX_FUZZ_SEED:+-seed="$NUVEX_FUZZ_SEED"} -timeout=30 -rss_limit_mb=2560 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
    "$corpus" "$build/seeds/$t" >"$build/logs/$t.log" 2>&1
}

declare -A pids
failed=()
wait_for_slot() {
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do
    sleep 1
  done
}
for t in "${targets[@]}"; do
  wait_for_slot
  echo "==> fuzz: $t for ${seconds}s"
  rm -f "$build/artifacts/$t-"*
  run_one "$t" &
  pids[$t]=$!
done
for t in "${targets[@]}"; do
  if ! wait "${pids[$t]}"; then
    failed+=("$t")
  fi
done

printf '%-18s %12s %8s %8s %8s\n' target executions exec/s cov features
for t in "${targets[@]}"; do
  log=$build/logs/$t.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  printf '%-18s %12s %8s %8s %8s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}"
done

if [ ${#failed[@]} -gt 0 ]; then
  for t in "${failed[@]}"; do
    echo "==> fuzz: $t FAILED; its log ends:"
    tail -n 60 "$build/logs/$t.log"
    for a in "$build/artifacts/$t-"*; do
      [ -e "$a" ] || continue
      echo "==> reproducer $a (base64; decode and pass the file to $build/$t):"
      base64 "$a"
    done
  done
  exit 1
fi
echo "==> fuzz: all targets ran clean"
