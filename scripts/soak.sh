#!/usr/bin/env bash
# Long-running checks, outside the default test suite. Loopback only, every
# stage bounded in time. Runs korvane-lab (three switches on distinct /16
# blocks, a TCP echo back end, the admin port) and korvane-tunnel, then:
#   1. switch failovers during one long echo transfer (SHA-256 equal, 0 bytes lost)
#   2. 1,024 connections echoing, resident memory sampled every 10 s
#   3. hostile probes: a switch ignoring the window (the lab's ignore_window
#      fault against an application that does not read), a client ignoring the
#      window (an application through the tunnel, and a raw logged-in client
#      against the switch), 11,000 streams then leave, back-pressured close,
#      40 slow pre-login connections, half-close of 100,000 bytes
# Usage: bash scripts/soak.sh [--minutes N] [--build DIR] [--only failover|connections|probes]
#                             [--port-base N] [--wan RTT_MS [--wan-mbit N]]
#   --minutes N    length of the connection stage (default 10); the failover
#                  count scales with it (10 per minute, at most 100)
#   --port-base N  the lab and the tunnel use ports N+1 to N+201 (default 27000),
#                  so two soak runs can share the machine
#   --wan RTT_MS   korvane-tunnel reaches the switches through an emulated link
#                  (korvane-wan: RTT_MS round trip, --wan-mbit N, default 100);
#                  runs the failover stage only unless --only says otherwise,
#                  10 failovers unless --minutes asks for more
set -uo pipefail
cd "$(dirname "$0")/.."

MINUTES=10
MINUTES_GIVEN=0
BUILD=build/soak
ONLY=all
PORT_BASE=27000
WAN_RTT=""
WAN_MBIT=100
ONLY_GIVEN=0
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) MINUTES=$2; MINUTES_GIVEN=1; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    --only) ONLY=$2; ONLY_GIVEN=1; shift 2 ;;
    --wan) WAN_RTT=$2; shift 2 ;;
    --wan-mbit) WAN_MBIT=$2; shift 2 ;;
    --port-base) PORT_BASE=$2; shift 2 ;;
    *) echo "usage: $0 [--minutes N] [--build DIR] [--only failover|connections|probes] [--port-base N] [--wan RTT_MS [--wan-mbit N]]"; exit 2 ;;
  esac
done
case "$MINUTES" in ''|*[!0-9]*) echo "--minutes needs whole minutes"; exit 2 ;; esac
case "$PORT_BASE" in ''|*[!0-9]*) echo "--port-base needs a number"; exit 2 ;; esac
[ "$PORT_BASE" -ge 1024 ] && [ "$PORT_BASE" -le 65000 ] || { echo "--port-base: 1024 to 65000"; exit 2; }
case "$WAN_RTT$WAN_MBIT" in *[!0-9]*) echo "--wan and --wan-mbit need whole numbers"; exit 2 ;; esac
[ "$MINUTES" -ge 1 ] || MINUTES=1
FAILOVERS=$((MINUTES * 10)); [ "$FAILOVERS" -gt 100 ] && FAILOVERS=100
if [ -n "$WAN_RTT" ]; then
  [ "$ONLY_GIVEN" = 0 ] && ONLY=failover
  [ "$MINUTES_GIVEN" = 0 ] && FAILOVERS=10
fi
SECONDS_ECHO=$((MINUTES * 60))

JOBS=$(nproc 2>/dev/null || echo 2); [ "$JOBS" -gt 2 ] && JOBS=2
WORK=$(mktemp -d)
echo "== building korvane-lab and korvane-tunnel into $BUILD"
# An existing build tree keeps its own options; a new one is made without tests.
TARGETS="korvane-lab korvane-tunnel"
configure() {
  [ -f "$BUILD/CMakeCache.txt" ] || cmake -S . -B "$BUILD" -DKX_BUILD_BENCH=OFF -DKX_BUILD_TESTS=OFF
  # The link emulator lives with the benchmarks.
  if [ -n "$WAN_RTT" ]; then cmake -S . -B "$BUILD" -DKX_BUILD_BENCH=ON >/dev/null; fi
}
[ -n "$WAN_RTT" ] && TARGETS="$TARGETS korvane-wan"
if ! { configure && cmake --build "$BUILD" -j"$JOBS" --target $TARGETS; } \
     >"$WORK/build.log" 2>&1; then
  tail -n 40 "$WORK/build.log"; echo "FAIL: the build failed"; rm -rf "$WORK"; exit 1
fi

# Enough descriptors for 11,000 streams on both sides of the tunnel.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || ulimit -n 16384 2>/dev/null || true

ADMIN=$((PORT_BASE + 100)) ECHO_PORT=$((PORT_BASE + 201)) CLIENT_PORT=$((PORT_BASE + 1))
SWITCH_A=$((PORT_BASE + 101)) SWITCH_B=$((PORT_BASE + 102)) SWITCH_C=$((PORT_BASE + 103))
KEY=soak-access-key
# The tunnel's view of the switches: themselves, or the link in front of them
# (one korvane-wan on 127.21-23.0.1, the same ports).
NODE_A=127.11.0.1 NODE_B=127.12.0.1 NODE_C=127.13.0.1
[ -n "$WAN_RTT" ] && NODE_A=127.21.0.1 NODE_B=127.22.0.1 NODE_C=127.23.0.1
cat >"$WORK/lab.json" <<JSON
{
  "tick_ms": 20,
  "admin": "127.0.0.1:$ADMIN",
  "switches": [
    {"name": "soak-a", "listen": "127.11.0.1:$SWITCH_A", "access_keys": ["$KEY"], "latency": 30},
    {"name": "soak-b", "listen": "127.12.0.1:$SWITCH_B", "access_keys": ["$KEY"], "latency": 40},
    {"name": "soak-c", "listen": "127.13.0.1:$SWITCH_C", "access_keys": ["$KEY"], "latency": 50}
  ],
  "backends": [{"name": "echo", "kind": "tcp_echo", "listen": "127.0.0.1:$ECHO_PORT"}],
  "routes": [{"target_id": 1, "client_port": $CLIENT_PORT, "backend": "echo"}]
}
JSON
cat >"$WORK/targets.json" <<JSON
{
  "access_key": "$KEY", "token": "soak-token", "version": "1.0.0", "fast_tick_enabled": true,
  "targets": [{
    "id": 1, "client_ip": "127.0.0.1", "standbys": [{"ip": "127.0.0.1"}],
    "nodes": [
      {"ip": "$NODE_A", "port": $SWITCH_A, "type": "standard"},
      {"ip": "$NODE_B", "port": $SWITCH_B, "type": "standard"},
      {"ip": "$NODE_C", "port": $SWITCH_C, "type": "standard"}
    ],
    "forwards": [{"protocol": "tcp", "client_port": $CLIENT_PORT, "standby_port": $ECHO_PORT, "range": 0}]
  }]
}
JSON

PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

wait_for() {  # text, tenths of a second, file
  for _ in $(seq 1 "$2"); do grep -q -- "$1" "$3" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

"$BUILD/lab/korvane-lab" --config "$WORK/lab.json" >"$WORK/lab.log" 2>&1 &
LAB_PID=$!; PIDS+=("$LAB_PID")
wait_for "^ready" 100 "$WORK/lab.log" || { cat "$WORK/lab.log"; echo "FAIL: korvane-lab did not start"; exit 1; }
if [ -n "$WAN_RTT" ]; then
  "$BUILD/bench/korvane-wan" --delay-ms "$((WAN_RTT / 2))" --rate-mbit "$WAN_MBIT" \
    --tcp "$NODE_A:$SWITCH_A=127.11.0.1:$SWITCH_A" --tcp "$NODE_B:$SWITCH_B=127.12.0.1:$SWITCH_B" \
    --tcp "$NODE_C:$SWITCH_C=127.13.0.1:$SWITCH_C" >"$WORK/wan.log" 2>&1 &
  WAN_PID=$!; PIDS+=("$WAN_PID")
  wait_for "^ready" 100 "$WORK/wan.log" || { cat "$WORK/wan.log"; echo "FAIL: korvane-wan did not start"; exit 1; }
  echo "== korvane-wan pid $WAN_PID: $WAN_RTT ms round trip, $WAN_MBIT Mbit/s between the tunnel and the switches"
fi
"$BUILD/tools/korvane-tunnel" --config "$WORK/targets.json" --log-dir "$WORK" >"$WORK/tunnel.log" 2>&1 &
TUNNEL_PID=$!; PIDS+=("$TUNNEL_PID")
wait_for " open" 150 "$WORK/tunnel.log" || { tail -n 20 "$WORK/tunnel.log"; echo "FAIL: no open tunnel"; exit 1; }
echo "== lab pid $LAB_PID, korvane-tunnel pid $TUNNEL_PID, echo through 127.0.0.1:$CLIENT_PORT"

PY="python3 scripts/soak/soak.py"
FAILED=0
stage() {  # name, command...
  local name=$1; shift
  echo "== $name"
  if ! "$@"; then FAILED=$((FAILED + 1)); fi
  if ! kill -0 "$TUNNEL_PID" 2>/dev/null; then
    echo "FAIL: korvane-tunnel ended during $name"; tail -n 20 "$WORK/tunnel.log"; exit 1
  fi
  if ! kill -0 "$LAB_PID" 2>/dev/null; then
    echo "FAIL: korvane-lab ended during $name"; tail -n 20 "$WORK/lab.log"; exit 1
  fi
}

if [ "$ONLY" = all ] || [ "$ONLY" = failover ]; then
  stage "$FAILOVERS switch failovers during one transfer" \
    timeout $((FAILOVERS * 8 + 120)) $PY failover --port "$CLIENT_PORT" --admin "$ADMIN" \
      --failovers "$FAILOVERS" --limit-s $((FAILOVERS * 8 + 60))
fi
if [ "$ONLY" = all ] || [ "$ONLY" = connections ]; then
  stage "1024 connections echoing for $MINUTES min" \
    timeout $((SECONDS_ECHO + 120)) $PY connections --port "$CLIENT_PORT" --pid "$TUNNEL_PID" \
      --lab-pid "$LAB_PID" --count 1024 --seconds "$SECONDS_ECHO"
fi
if [ "$ONLY" = all ] || [ "$ONLY" = probes ]; then
  for probe in half-close backpressured-close client-ignores-window raw-client-ignores-window \
               slow-prelogin switch-ignores-window streams-leave; do
    stage "probe $probe" timeout 300 $PY probe "$probe" --port "$CLIENT_PORT" --admin "$ADMIN" \
      --pid "$TUNNEL_PID" --lab-pid "$LAB_PID" --switch soak-a --switch-addr "127.11.0.1:$SWITCH_A" \
      --log-dir "$WORK"
  done
fi

echo "== last status: $(grep -v '^\s*$' "$WORK/tunnel.log" | tail -n 1)"
if [ "$FAILED" -eq 0 ]; then echo "SOAK PASS"; else echo "SOAK FAIL: $FAILED stage(s) failed"; fi
[ "$FAILED" -eq 0 ]
