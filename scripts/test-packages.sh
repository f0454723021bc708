#!/usr/bin/env bash
# Builds the Debian packages, checks their metadata and file lists, runs
# lintian when present, unpacks them into a scratch root (dpkg -x) and runs
# the installed korvane-host against the installed lab: it must report
# readiness, serve /metrics that Prometheus's own text parser accepts, and
# the byte and packet counters must move with traffic.
# Usage: bash scripts/test-packages.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build/packages}
JOBS=$(nproc 2>/dev/null || echo 2)
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
fail() {
  echo "FAIL: $*"
  for log in "$WORK"/*.log; do [ -f "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }; done
  exit 1
}

echo "== building the packages in $BUILD"
{ cmake -S . -B "$BUILD" -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
  cmake --build "$BUILD" -j"$JOBS" &&
  (cd "$BUILD" && rm -f ./*.deb && cpack -G DEB); } >"$WORK/build.log" 2>&1 || fail "package build"
DEBS=()
for p in libkorvane1 libkorvane-dev korvane-host korvane-lab; do
  deb=$(ls "$BUILD"/${p}_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || fail "no $p package"
  DEBS+=("$deb")
done

echo "== metadata and file lists"
field() { dpkg-deb -f "$1" "$2"; }
has() { grep -qx -- "$2" < <(dpkg-deb -c "$1" | awk '{print $6}') || fail "$(basename "$1") lacks $2"; }
LIB=${DEBS[0]} DEV=${DEBS[1]} HOST=${DEBS[2]} LAB=${DEBS[3]}
VERSION=$(field "$LIB" Version)
grep -q 'libkorvane\.so\.1 ->' < <(dpkg-deb -c "$LIB") || fail "libkorvane1 lacks libkorvane.so.1"
grep -q 'libkorvane\.so\.1\.[0-9.]*$' < <(dpkg-deb -c "$LIB") || fail "libkorvane1 lacks the versioned library"
grep -qE 'libkorvane\.(a|so)$|\.h$' < <(dpkg-deb -c "$LIB") && fail "libkorvane1 carries development files"
dpkg-deb -I "$LIB" shlibs | grep -q '^libkorvane 1 libkorvane1' || fail "libkorvane1 has no shlibs entry"
field "$LIB" Depends | grep -q libmbedtls || fail "libkorvane1 does not depend on mbedTLS: $(field "$LIB" Depends)"
for f in ./usr/include/korvane.h ./usr/share/doc/libkorvane-dev/copyright; do has "$DEV" "$f"; done
for f in libkorvane.a libkorvane.so pkgconfig/korvane.pc pkgconfig/korvane-static.pc \
         cmake/Korvane/KorvaneConfig.cmake cmake/Korvane/KorvaneConfigVersion.cmake; do
  grep -q "/$f\$\|/$f ->" < <(dpkg-deb -c "$DEV") || fail "libkorvane-dev lacks $f"
done
field "$DEV" Depends | grep -q "libkorvane1 (= $VERSION)" || fail "libkorvane-dev Depends: $(field "$DEV" Depends)"
for f in ./usr/bin/korvane-host ./usr/share/man/man1/korvane-host.1.gz ./etc/korvane/host.json \
         ./etc/default/korvane-host ./lib/systemd/system/korvane-host.service \
         ./usr/share/doc/korvane-host/copyright ./usr/share/doc/korvane-host/changelog.Debian.gz; do
  has "$HOST" "$f"
done
field "$HOST" Depends | grep -q "libkorvane1" || fail "korvane-host Depends: $(field "$HOST" Depends)"
grep 'etc/korvane/host.json' < <(dpkg-deb -c "$HOST") | grep -q '^-rw-------' || fail "host.json is not root-only"
dpkg-deb -I "$HOST" conffiles | grep -qx /etc/korvane/host.json || fail "host.json is not a conffile"
for f in ./usr/bin/korvane-lab ./usr/bin/korvane-lab-client ./usr/share/korvane-lab/lab.json; do has "$LAB" "$f"; done
for deb in "${DEBS[@]}"; do
  echo "   $(field "$deb" Package) $(field "$deb" Version): $(dpkg-deb -c "$deb" | grep -vc '/$') files," \
       "Depends: $(field "$deb" Depends)"
done

if command -v lintian >/dev/null; then
  echo "== lintian"
  # Tags that stay, each for a reason:
  #   no-manual-page/binary-without-manpage: none stay (every program has one)
  #   changelog-file-missing-in-native-package: the changelog is the Debian one
  lintian --no-tag-display-limit --suppress-tags \
    initial-upload-closes-no-bugs,no-copyright-file,changelog-file-missing-in-native-package,maintainer-script-calls-systemctl \
    "${DEBS[@]}" >"$WORK/lintian.txt" 2>&1 || true
  sed 's/^/   /' "$WORK/lintian.txt"
  grep -q '^E:' "$WORK/lintian.txt" && fail "lintian errors"
else
  echo "== lintian not installed, skipped"
fi

echo "== unpacking into a scratch root"
ROOT=$WORK/root
for deb in "${DEBS[@]}"; do dpkg -x "$deb" "$ROOT"; done
LIBDIR=$(dirname "$(find "$ROOT/usr/lib" -name 'libkorvane.so.1' | head -n 1)")
export LD_LIBRARY_PATH=$LIBDIR
ldd "$ROOT/usr/bin/korvane-host" | grep -q "libkorvane.so.1 => $LIBDIR" || fail "korvane-host does not load the unpacked library"
"$ROOT/usr/bin/korvane-host" --help 2>&1 | grep -q -- '--metrics' || fail "--help does not name --metrics"
grep -q -- '--metrics' <(zcat "$ROOT/usr/share/man/man1/korvane-host.1.gz") || fail "the man page does not name --metrics"
command -v systemd-analyze >/dev/null &&
  systemd-analyze verify --man=no "$ROOT/lib/systemd/system/korvane-host.service" >"$WORK/verify.log" 2>&1 || true

echo "== the installed korvane-host against the installed lab"
"$ROOT/usr/bin/korvane-lab" --config "$ROOT/usr/share/korvane-lab/lab.json" >"$WORK/lab.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 1 100); do grep -q '^ready' "$WORK/lab.log" && break; sleep 0.1; done
grep -q '^ready' "$WORK/lab.log" || fail "the lab did not start (are its ports free?)"
# A notify socket stands in for systemd's.
python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(sys.argv[1]); s.settimeout(60)
with open(sys.argv[2], "w") as out:
    while True:
        try: out.write(s.recv(256).decode() + "\n"); out.flush()
        except socket.timeout: break
' "$WORK/notify.sock" "$WORK/notify.txt" &
PIDS+=($!)
for _ in $(seq 1 50); do [ -S "$WORK/notify.sock" ] && break; sleep 0.1; done
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$WORK/state" "$WORK/tmp"
NOTIFY_SOCKET=$WORK/notify.sock KORVANE_DOCUMENTS_DIR=$WORK/state TMPDIR=$WORK/tmp \
  "$ROOT/usr/bin/korvane-host" --config "$ROOT/etc/korvane/host.json" --quiet \
  --metrics "127.0.0.1:$PORT" >"$WORK/host.log" 2>&1 &
HOST_PID=$!
PIDS+=($HOST_PID)
for _ in $(seq 1 300); do grep -q READY=1 "$WORK/notify.txt" 2>/dev/null && break; sleep 0.1; done
grep -q READY=1 "$WORK/notify.txt" 2>/dev/null || fail "no READY=1 from korvane-host"

scrape() { python3 - "$PORT" "$1" <<'PY'
import json, sys, urllib.request
from prometheus_client.parser import text_string_to_metric_families
text = urllib.request.urlopen("http://127.0.0.1:%s/metrics" % sys.argv[1], timeout=5).read().decode()
values = {}
for family in text_string_to_metric_families(text):
    for s in family.samples:
        values[s.name + json.dumps(s.labels, sort_keys=True)] = s.value
json.dump(values, open(sys.argv[2], "w"))
print(len(values))
PY
}
sleep 1.5
N=$(scrape "$WORK/before.json") || fail "/metrics did not parse"
echo "   $N samples parse"
TCP_PORT=$(python3 -c 'import json,sys; lab=json.load(open(sys.argv[1])); k={b["name"]:b["kind"] for b in lab["backends"]}; print([r["client_port"] for r in lab["routes"] if k[r["backend"]]=="tcp_echo"][0])' "$ROOT/usr/share/korvane-lab/lab.json")
timeout 60 "$ROOT/usr/bin/korvane-lab-client" echo --port "$TCP_PORT" --bytes 2000000 --limit-ms 50000 \
  >"$WORK/echo.log" 2>&1 || fail "echo through the installed host"
sleep 2.5  # the SDK refreshes its status about once a second
scrape "$WORK/after.json" >/dev/null || fail "/metrics did not parse after traffic"
python3 - "$WORK/before.json" "$WORK/after.json" <<'PY' || fail "metrics did not move with traffic"
import json, sys
before, after = (json.load(open(p)) for p in sys.argv[1:3])
need = ["korvane_build_info", "korvane_process_start_time_seconds", "korvane_running",
        "korvane_tunnel_state", "korvane_tunnel_switch_info", "korvane_tunnel_tcp_connections",
        "korvane_tunnel_udp_peers", "korvane_tunnel_failovers_total",
        "korvane_tunnel_switch_latency_seconds", "korvane_tunnel_failures_total"]
for name in need:
    assert any(k.startswith(name + "{") for k in after), "missing " + name
moving = ["korvane_tunnel_received_bytes_total", "korvane_tunnel_sent_bytes_total",
          "korvane_tunnel_received_packets_total", "korvane_tunnel_sent_packets_total"]
for name in moving:
    key = [k for k in after if k.startswith(name + "{")][0]
    assert after[key] > before.get(key, 0) + 1000 * ("bytes" in name), "%s: %s -> %s" % (key, before.get(key), after[key])
    print("   %s %d -> %d" % (key, before.get(key, 0), after[key]))
assert any(v == 1 for k, v in after.items() if k.startswith("korvane_tunnel_state{") and '"open"' in k)
PY

echo "== reload and stop"
kill -HUP "$HOST_PID"
for _ in $(seq 1 300); do [ "$(grep -c READY=1 "$WORK/notify.txt")" -ge 2 ] && break; sleep 0.1; done
grep -q RELOADING=1 "$WORK/notify.txt" && [ "$(grep -c READY=1 "$WORK/notify.txt")" -ge 2 ] ||
  fail "SIGHUP did not reload"
kill -TERM "$HOST_PID"
for _ in $(seq 1 100); do kill -0 "$HOST_PID" 2>/dev/null || break; sleep 0.1; done
wait "$HOST_PID" || fail "korvane-host exited with an error"
ls "$WORK/state/Korvane" >/dev/null 2>&1 || fail "no state under KORVANE_DOCUMENTS_DIR"
echo "PASS: packages $(for d in "${DEBS[@]}"; do basename "$d"; done | tr '\n' ' ')"
