#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for SECONDS.
# Usage: bash scripts/fuzz.sh [SECONDS] [TARGET...]      (default 60 s; all targets)
#   e.g. bash scripts/fuzz.sh 5            a smoke run of every target
#        bash scripts/fuzz.sh 600 json url longer runs of two targets
# Each target starts from its seed corpus in fuzz/corpus/<target>/ (never
# modified) plus what earlier runs found in build/fuzz/corpus/<target>/.
# Crashing inputs land in build/fuzz/crashes/<target>/; replay one with
#   build/fuzz/fuzz/fuzz_<target> <file>
# Exit status: 0 when no target found anything.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
shift || true
BUILD=${KX_FUZZ_BUILD_DIR:-build/fuzz}

bash scripts/setup.sh clang libclang-rt-dev

JOBS=$(nproc 2>/dev/null || echo 2)
[ "$JOBS" -gt 2 ] || JOBS=2
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DKX_BUILD_FUZZ=ON -DKX_BUILD_TESTS=OFF \
  -DKX_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target fuzz_all

if [ $# -gt 0 ]; then
  TARGETS=("$@")
else
  TARGETS=()
  for f in "$BUILD"/fuzz/fuzz_*; do
    [ -x "$f" ] && TARGETS+=("${f##*/fuzz_}")
  done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
total=0
printf '%-18s %12s %10s %s\n' target executions exec/s result
for t in "${TARGETS[@]}"; do
  bin="$BUILD/fuzz/fuzz_$t"
  [ -x "$bin" ] || { echo "no such target: $t" >&2; failed+=("$t"); continue; }
  work="$BUILD/corpus/$t"
  crashes="$BUILD/crashes/$t"
  log="$BUILD/logs/$t.log"
  mkdir -p "$work" "$crashes" "$(dirname "$log")"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  # New finds go to the work corpus; the committed seeds are only read.
  status=0
  "$bin" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$crashes/" "$work" "${seeds[@]}" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  runs=${runs:-0}
  total=$((total + runs))
  if [ "$status" -eq 0 ]; then
    result=ok
  else
    result="FAILED (see $log)"
    failed+=("$t")
  fi
  printf '%-18s %12s %10s %s\n' "$t" "$runs" "${rate:-0}" "$result"
done
printf '%-18s %12s\n' total "$total"
if [ ${#failed[@]} -gt 0 ]; then
  echo "Findings in: ${failed[*]}" >&2
  for t in "${failed[@]}"; do
    [ -f "$BUILD/logs/$t.log" ] && grep -m3 -E 'ERROR|invariant failed|runtime error' "$BUILD/logs/$t.log" >&2 || true
  done
  exit 1
fi
