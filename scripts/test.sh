#!/usr/bin/env bash
# Builds the SDK and runs the whole test suite twice: a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build.
# Usage: bash scripts/test.sh [--quick|--tsan]
#   --quick: normal build only; --tsan: a ThreadSanitizer build in place of ASan + UBSan
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

JOBS=$(nproc 2>/dev/null || echo 2)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DKX_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
  ctest --test-dir "$dir" -j"$JOBS" --output-on-failure --timeout 180
}

echo "== normal build"
run_suite build/test
if [ "${1:-}" = "--tsan" ]; then
  echo "== ThreadSanitizer build"
  run_suite build/test-tsan -DKX_SANITIZE_THREAD=ON
elif [ "${1:-}" != "--quick" ]; then
  echo "== ASan + UBSan build"
  export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
  run_suite build/test-asan -DKX_SANITIZE_ADDRESS=ON
fi
