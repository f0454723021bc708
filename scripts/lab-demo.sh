#!/usr/bin/env bash
# The product end to end on the local lab: korvane-lab runs its control API,
# switches and back ends from lab/lab.json; korvane-host embeds the SDK
# (libkorvane.so) and starts it with nothing but an access key
# (examples/host.json). The SDK registers with the API over verified HTTPS,
# pinned to the lab's certificate (kept in build/demo/lab-tls, so the pin and
# the SDK build carrying it stay the same between runs), receives its targets,
# and opens their local ports. The demo then echoes BYTES through the TCP
# echo port while the switch carrying the tunnel is taken down halfway,
# checks every byte, checks UDP echo, and prints PASS or FAIL.
# With --ipv6 the same demo runs over IPv6 only: lab/lab-ipv6.json puts the
# API, the switches, the back ends, the admin port and the SDK's local ports
# on ::1, and the SDK's API host group holds ::1 alone.
# Usage: bash scripts/lab-demo.sh [--ipv6] [BYTES]
set -euo pipefail
cd "$(dirname "$0")/.."

IPV6=0
if [ "${1:-}" = --ipv6 ]; then
  IPV6=1
  shift
fi
case "${1:-}" in
  -*) echo "usage: bash scripts/lab-demo.sh [--ipv6] [BYTES]" >&2; exit 2 ;;
esac
bash scripts/setup.sh

BYTES=${1:-8000000}
BUILD=build/demo
LAB_CONFIG=lab/lab.json
[ "$IPV6" = 1 ] && LAB_CONFIG=lab/lab-ipv6.json
HOST_CONFIG=examples/host.json
JOBS=$(nproc 2>/dev/null || echo 2)
[ "$JOBS" -gt 2 ] && JOBS=2
# shellcheck source=scripts/lab-common.sh
. scripts/lab-common.sh
lab_init
TLS_DIR="$PWD/$BUILD/lab-tls"
SDK_CONFIG="$PWD/$BUILD/demo-config.json"
echo "== building korvane-lab and korvane-config-encode into $BUILD"
build_or_fail() {
  if ! "$@" >>"$WORK/build.log" 2>&1; then
    tail -n 40 "$WORK/build.log"
    echo "FAIL: the build failed"
    exit 1
  fi
}
build_or_fail cmake -S . -B "$BUILD" -DKX_BUILD_BENCH=OFF -DKX_BUILD_TESTS=OFF
build_or_fail cmake --build "$BUILD" -j"$JOBS" --target korvane-lab korvane-config-encode

fail() { rm -f "$WORK/build.log"; lab_fail "$@"; }

# The lab file names the ports: the admin port, the API, and the client ports
# of the TCP and UDP echo back ends; the hosts (brackets dropped) of the admin
# port and the API (the SDK's API host group), and where the SDK's local ports
# are (client_ip).
lab_ports "$LAB_CONFIG"
[ "$TCP_PORT" != 0 ] || fail "$LAB_CONFIG has no route to a tcp_echo back end"
[ "$API_ADDR" != none ] || fail "$LAB_CONFIG has no \"https_listen\" for the API"
# The local ports as a client reaches them: [v6]:port or a.b.c.d:port.
case "$CLIENT_IP" in
  *:*) CLIENT_AT="[$CLIENT_IP]" ;;
  *) CLIENT_AT="$CLIENT_IP" ;;
esac

# The lab file with its HTTPS certificates kept between runs.
python3 - "$LAB_CONFIG" "$TLS_DIR" >"$WORK/lab.json" <<'PY'
import json, sys
lab = json.load(open(sys.argv[1]))
lab["api"]["tls_dir"] = sys.argv[2]
print(json.dumps(lab, indent=1))
PY
LAB_CONFIG_USED="$WORK/lab.json"

START=$(date +%s)
echo "== starting the lab: $LAB_CONFIG (control API on $API_ADDR, admin port $ADMIN_PORT)"
lab_start "$BUILD/lab/korvane-lab" "$LAB_CONFIG_USED"
sed 's/^/   lab: /' "$WORK/lab.log"
if [ "$IPV6" = 1 ]; then
  # IPv6 only: every listener of the lab is on [::1].
  grep "listening on" "$WORK/lab.log" | grep -qv "listening on \[::1\]:" &&
    fail "a lab listener in $LAB_CONFIG is not on [::1]"
fi

# The SDK is built for the lab's HTTPS API: the URL names "localhost" (the
# race still connects to the API's literal, 127.0.0.1 or ::1; the name is what
# is checked) and "p" pins the lab's server key. Unchanged between runs of
# one mode, so no rebuild.
PIN=$("$BUILD/tools/korvane-config-encode" --pin "$TLS_DIR/api-cert.pem") ||
  fail "no pin for $TLS_DIR/api-cert.pem"
python3 - "$API_ADDR" "$PIN" "$SDK_CONFIG" "$API_HOST" <<'PY'
import json, os, sys
addr, pin, path, host = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
config = {"u": "https://localhost:%s" % addr.rsplit(":", 1)[1], "h": [[host]],
          "e": "tea(korvane-lab-api)", "p": [pin]}
text = json.dumps(config, indent=1) + "\n"
if not os.path.exists(path) or open(path).read() != text:
    open(path, "w").write(text)
PY
echo "== building libkorvane.so, korvane-host and korvane-lab-client for https://localhost, pin $PIN"
build_or_fail cmake -S . -B "$BUILD" -DKORVANE_BUILTIN_CONFIG="$SDK_CONFIG"
build_or_fail cmake --build "$BUILD" -j"$JOBS" --target korvane-lab-client korvane korvane-host korvane-config

echo "== starting korvane-host: $HOST_CONFIG ($(tr -d '\n' <"$HOST_CONFIG"))"
host_start "$BUILD/tools/korvane-host/korvane-host" "$HOST_CONFIG"
for _ in $(seq 1 300); do
  grep -q "^\[Host\] started" "$WORK/host.log" && break
  kill -0 "$HOST_PID" 2>/dev/null || fail "korvane-host ended: $(tail -n 1 "$WORK/host.log")"
  sleep 0.1
done
grep -q "^\[Host\] started" "$WORK/host.log" || fail "korvane_start did not return within 30 s"
wait_for " open, " 50 "$WORK/host.log" || fail "no open tunnel in the status lines"
grep -m 2 "Target #" "$WORK/host.log" | sed 's/^/   host: /'
# The SDK has no unverified fallback: targets from an https URL with a pin
# mean the lab's certificate was verified and matched.
"$BUILD/tools/korvane-config" --builtin | grep -q '"u": "https://' ||
  fail "the SDK was not built for the lab's HTTPS API"
echo "   the SDK reached the API over https://localhost, certificate verified and pinned"

if [ "$UDP_PORT" != 0 ]; then
  echo "== UDP echo through $CLIENT_AT:$UDP_PORT"
  UDP=$(timeout 30 "$BUILD/lab/korvane-lab-client" udp --host "$CLIENT_IP" --port "$UDP_PORT" \
        --count 20 --size 1200 --limit-ms 20000) || fail "$UDP"
  echo "   $UDP"
fi

echo "== TCP echo of $BYTES bytes through $CLIENT_AT:$TCP_PORT, the bound switch goes down halfway"
TCP=$(timeout 90 "$BUILD/lab/korvane-lab-client" echo --host "$CLIENT_IP" --port "$TCP_PORT" \
      --bytes "$BYTES" --admin "$ADMIN_PORT" --admin-host "$ADMIN_HOST" --down-at $((BYTES / 2)) \
      --limit-ms 80000) || fail "$TCP"
echo "$TCP" | sed 's/^/   /'
echo "$TCP" | grep -q "down bound -> ok down" || fail "no switch was taken down"
wait_for "failovers [1-9]" 50 "$WORK/host.log" || fail "the SDK reported no failover"
grep -m 1 "failovers [1-9]" "$WORK/host.log" | sed 's/^/   host: /'

echo "== stopping korvane-host"
host_stop
grep -q "^\[Host\] stopped" "$WORK/host.log" || fail "korvane-host did not stop cleanly"

OVER=""
[ "$IPV6" = 1 ] && OVER=" over IPv6 only"
echo "PASS$OVER: $BYTES bytes echoed intact across a switch failover, UDP echo intact," \
     "SDK started from an access key alone over pinned HTTPS ($(( $(date +%s) - START )) s)"
