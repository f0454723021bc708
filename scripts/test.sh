#!/usr/bin/env bash
# Builds the SDK and runs the whole test suite: a normal build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build, a ThreadSanitizer build,
# a short run of every fuzz target, then the Debian packages made from the
# normal build, checked and run as a user meets them (scripts/test-packages.sh).
# Usage: bash scripts/test.sh [--quick|--asan|--tsan|--fuzz|--packages]
#   --quick: normal build only
#   --asan, --tsan, --fuzz, --packages: the normal build and that one stage
# Every stage runs even when an earlier one failed; the output ends with each
# stage's result and ctest's summary lines, and the exit status is non-zero
# when any stage failed.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

MODE=${1:-all}
case "$MODE" in
  all | --quick | --asan | --tsan | --fuzz | --packages) ;;
  *) echo "usage: $0 [--quick|--asan|--tsan|--fuzz|--packages]" >&2; exit 2 ;;
esac
FUZZ_SECONDS=${KX_FUZZ_SMOKE_SECONDS:-3}

JOBS=$(nproc 2>/dev/null || echo 2)
SUMMARY=()
FAILED=0
PASSED_TOTAL=0
FAILED_TOTAL=0

# run_suite <name> <build dir> [cmake options...]
run_suite() {
  local name=$1 dir=$2; shift 2
  echo "== $name build"
  local log
  log=$(mktemp)
  if cmake -S . -B "$dir" -DKX_BUILD_BENCH=OFF "$@" >/dev/null && cmake --build "$dir" -j"$JOBS"; then
    ctest --test-dir "$dir" -j"$JOBS" --output-on-failure --timeout 180 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    # ctest's own summary: "N% tests passed, ..." and "Total Test time (real) = ...".
    local lines
    lines=$({ grep -E 'tests passed|tests failed out of|Total Test time' "$log"
              sed -n '/The following tests FAILED/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - '
            } | sed "s/^/$name: /")
    SUMMARY+=("$lines")
    # "N% tests passed, F tests failed out of T": add up over the stages.
    local counts
    counts=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$log" | tail -n 1)
    if [ -n "$counts" ]; then
      set -- $counts
      FAILED_TOTAL=$((FAILED_TOTAL + $1))
      PASSED_TOTAL=$((PASSED_TOTAL + $2 - $1))
    fi
    if [ "$status" -ne 0 ]; then
      FAILED=1
      SUMMARY+=("$name: FAILED (ctest exit $status)")
    fi
  else
    FAILED=1
    SUMMARY+=("$name: FAILED (build)")
  fi
  rm -f "$log"
}

run_suite normal build/test
if [ "$MODE" = all ] || [ "$MODE" = --asan ]; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite "ASan + UBSan" build/test-asan -DKX_SANITIZE_ADDRESS=ON
fi
if [ "$MODE" = all ] || [ "$MODE" = --tsan ]; then
  TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1" \
    run_suite ThreadSanitizer build/test-tsan -DKX_SANITIZE_THREAD=ON
fi
if [ "$MODE" = all ] || [ "$MODE" = --fuzz ]; then
  echo "== fuzz smoke (${FUZZ_SECONDS} s per target)"
  log=$(mktemp)
  bash scripts/fuzz.sh "$FUZZ_SECONDS" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  SUMMARY+=("fuzz smoke: $(grep -E '^total ' "$log" | awk '{print $2}') executions, $([ "$status" -eq 0 ] && echo 'no findings' || echo FAILED)")
  [ "$status" -eq 0 ] || FAILED=1
  rm -f "$log"
fi

if [ "$MODE" = all ] || [ "$MODE" = --packages ]; then
  # Packages the normal build's tree as it is, so nothing is built again.
  echo "== packages"
  log=$(mktemp)
  timeout 600 bash scripts/test-packages.sh build/test 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  if [ "$status" -eq 0 ]; then
    SUMMARY+=("packages: $(grep -E '^PASS: ' "$log" | tail -n 1)")
  else
    FAILED=1
    reason=$(grep -E '^FAIL: ' "$log" | tail -n 1)
    SUMMARY+=("packages: FAILED (${reason:-exit $status})")
  fi
  rm -f "$log"
fi

echo "== summary"
printf '%s\n' "${SUMMARY[@]}"
# One closing line over every ctest stage.
echo "tests: $PASSED_TOTAL passed, $FAILED_TOTAL failed"
exit "$FAILED"
