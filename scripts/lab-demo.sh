#!/usr/bin/env bash
# The local lab end to end: starts korvane-lab (two switches, echo back ends)
# and korvane-tunnel from the shipped example configs, pushes 8 MB through
# the tunnel's TCP forward and checks the echo byte for byte while the switch
# carrying the tunnel is taken down midway, then checks UDP echo too.
# Usage: bash scripts/lab-demo.sh [BYTES]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

BYTES=${1:-8000000}
BUILD=build/demo
JOBS=$(nproc 2>/dev/null || echo 2)
echo "== building korvane-lab, korvane-lab-client and korvane-tunnel into $BUILD"
LOGS=$(mktemp -d)
if ! { cmake -S . -B "$BUILD" -DKX_BUILD_BENCH=OFF -DKX_BUILD_TESTS=OFF &&
       cmake --build "$BUILD" -j"$JOBS" --target korvane-lab korvane-lab-client korvane-tunnel; } \
     >"$LOGS/build.log" 2>&1; then
  tail -n 40 "$LOGS/build.log"
  echo "FAIL: the build failed"
  rm -rf "$LOGS"
  exit 1
fi

PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$LOGS"
}
trap cleanup EXIT INT TERM

fail() {
  echo "FAIL: $*"
  echo "--- korvane-lab";    tail -n 20 "$LOGS/lab.log" 2>/dev/null || true
  echo "--- korvane-tunnel"; tail -n 30 "$LOGS/tunnel.log" 2>/dev/null || true
  exit 1
}

# Waits up to $2 tenths of a second for the text $1 in the file $3.
wait_for() {
  for _ in $(seq 1 "$2"); do
    grep -q -- "$1" "$3" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

START=$(date +%s)
echo "== starting the lab: examples/lab.json"
"$BUILD/lab/korvane-lab" --config examples/lab.json >"$LOGS/lab.log" 2>&1 &
PIDS+=($!)
wait_for "^ready" 100 "$LOGS/lab.log" || fail "korvane-lab did not start (ports 18101, 18102, 19000-19002 free?)"
sed 's/^/   lab: /' "$LOGS/lab.log"

echo "== starting korvane-tunnel: examples/targets.json"
"$BUILD/tools/korvane-tunnel" --config examples/targets.json >"$LOGS/tunnel.log" 2>&1 &
PIDS+=($!)
wait_for "Tunnel created. Switch:" 200 "$LOGS/tunnel.log" || fail "no tunnel within 20 s"
grep "Tunnel created" "$LOGS/tunnel.log" | sed 's/^/   tunnel: /'

echo "== UDP echo through 127.0.0.1:18002"
UDP=$(timeout 30 "$BUILD/lab/korvane-lab-client" udp --port 18002 --count 20 --size 1200 \
      --limit-ms 20000) || fail "$UDP"
echo "   $UDP"

echo "== TCP echo of $BYTES bytes through 127.0.0.1:18001, the bound switch goes down halfway"
TCP=$(timeout 90 "$BUILD/lab/korvane-lab-client" echo --port 18001 --bytes "$BYTES" \
      --admin 19000 --down-at $((BYTES / 2)) --limit-ms 80000) || fail "$TCP"
echo "$TCP" | sed 's/^/   /'
echo "$TCP" | grep -q "down bound -> ok down" || fail "no switch was taken down"
wait_for "Tunnel attached. Switch:" 100 "$LOGS/tunnel.log" || fail "the tunnel was not attached elsewhere"
grep -E "Not alive|Unbind with|Tunnel attached" "$LOGS/tunnel.log" | sed 's/^/   tunnel: /'

echo "PASS: $BYTES bytes echoed intact across a switch failover, UDP echo intact" \
     "($(( $(date +%s) - START )) s)"
