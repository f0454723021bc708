#!/usr/bin/env bash
# The Debian packages as a user meets them: builds them with CPack, checks
# each one's metadata and file list, runs lintian (every tag it keeps has an
# override with its reason), unpacks them into a scratch root (dpkg -x) and
# runs the unpacked korvane-host against the unpacked lab. The host must
# report readiness, carry traffic through a forward, serve /metrics that
# Prometheus's own text parser accepts with every family named by the
# conventions, and its byte and packet counters must move with the traffic.
# Everything runs on loopback and every process started here is stopped.
# Usage: bash scripts/test-packages.sh [BUILD_DIR]
#   BUILD_DIR (default build/packages) is reused as it is configured when it
#   already holds a build, so a tested build tree packages without a rebuild.
# Checks read whole outputs (grep without -q), so pipefail never sees a
# writer cut off by SIGPIPE.
set -euo pipefail
cd "$(dirname "$0")/.."
# CPack's DEB generator runs dpkg-shlibdeps (dpkg-dev) and file.
bash scripts/setup.sh dpkg-dev file || exit 1
source scripts/lab-common.sh
# Debian's python3 with its python3-prometheus-client, whatever else PATH holds.
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3
BUILD=${1:-build/packages}
JOBS=$(nproc 2>/dev/null || echo 2)
START=$(date +%s)
lab_init

echo "== building the packages in $BUILD"
{ if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD" -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi &&
  cmake --build "$BUILD" -j"$JOBS" &&
  (cd "$BUILD" && rm -f ./*.deb && cpack -G DEB); } >"$WORK/build.log" 2>&1 || lab_fail "package build"
PACKAGES=(libkorvane1 libkorvane-dev korvane-host korvane-lab)
declare -A DEB
for p in "${PACKAGES[@]}"; do
  DEB[$p]=$(ls "$BUILD"/${p}_*.deb 2>/dev/null | head -n 1)
  [ -n "${DEB[$p]}" ] || lab_fail "no $p package"
  # One listing per package, read whole: "mode owner path [-> target]".
  dpkg-deb -c "${DEB[$p]}" | awk '{ $3 = $4 = $5 = ""; print }' | sed 's/  */ /g' >"$WORK/$p.files"
done

echo "== metadata and file lists"
field() { dpkg-deb -f "${DEB[$1]}" "$2"; }
# has PACKAGE REGEX...: every regex matches a path in the package.
has() {
  local p=$1 re; shift
  for re in "$@"; do
    awk '{print $3}' "$WORK/$p.files" | grep -E -- "^\./$re\$" >/dev/null || lab_fail "$p lacks $re"
  done
}
VERSION=$(field libkorvane1 Version)
for p in "${PACKAGES[@]}"; do
  for f in Package Version Architecture Maintainer Section Priority Description; do
    [ -n "$(field "$p" "$f")" ] || lab_fail "$p has no $f"
  done
  [ "$(field "$p" Version)" = "$VERSION" ] || lab_fail "$p is version $(field "$p" Version), not $VERSION"
  # Owned by root, nothing outside the system's directories, no build paths.
  grep -v ' root/root ' "$WORK/$p.files" && lab_fail "$p has files not owned by root"
  awk '{print $3}' "$WORK/$p.files" | grep -vE '^\./(usr/((bin|lib|include|share)(/.*)?)?|etc/.*|lib/(systemd/.*)?)?$' &&
    lab_fail "$p installs outside the system directories"
  has "$p" "usr/share/doc/$p/copyright" "usr/share/doc/$p/changelog.Debian.gz" \
    "usr/share/lintian/overrides/$p"
done

has libkorvane1 'usr/lib/libkorvane\.so\.1' 'usr/lib/libkorvane\.so\.1\.[0-9.]+'
grep -qE '\.(a|h|pc)$|libkorvane\.so$|/cmake/' <(awk '{print $3}' "$WORK/libkorvane1.files") &&
  lab_fail "libkorvane1 carries development files"
dpkg-deb -I "${DEB[libkorvane1]}" shlibs | grep -x "libkorvane 1 libkorvane1 (>= $VERSION)" >/dev/null ||
  lab_fail "libkorvane1 shlibs: $(dpkg-deb -I "${DEB[libkorvane1]}" shlibs 2>&1)"
dpkg-deb -I "${DEB[libkorvane1]}" triggers | grep -x 'activate-noawait ldconfig' >/dev/null ||
  lab_fail "libkorvane1 does not activate the ldconfig trigger"
for lib in libmbedtls libmbedx509 libmbedcrypto libstdc++6 libc6; do
  field libkorvane1 Depends | grep "$lib" >/dev/null || lab_fail "libkorvane1 Depends lacks $lib: $(field libkorvane1 Depends)"
done
[ "$(field libkorvane1 Section)" = libs ] || lab_fail "libkorvane1 is not in section libs"

has libkorvane-dev 'usr/include/korvane\.h' 'usr/lib/libkorvane\.a' 'usr/lib/libkorvane\.so' \
  'usr/lib/pkgconfig/korvane\.pc' 'usr/lib/pkgconfig/korvane-static\.pc' \
  'usr/lib/cmake/Korvane/KorvaneConfig\.cmake' 'usr/lib/cmake/Korvane/KorvaneConfigVersion\.cmake'
grep -q 'usr/lib/libkorvane\.so -> libkorvane\.so\.1$' "$WORK/libkorvane-dev.files" ||
  lab_fail "libkorvane.so does not link to libkorvane.so.1"
field libkorvane-dev Depends | grep "libkorvane1 (= $VERSION)" >/dev/null || lab_fail "libkorvane-dev Depends: $(field libkorvane-dev Depends)"
field libkorvane-dev Depends | grep "libmbedtls-dev" >/dev/null || lab_fail "libkorvane-dev Depends: $(field libkorvane-dev Depends)"

has korvane-host 'usr/bin/korvane-host' 'usr/share/man/man1/korvane-host\.1\.gz' 'etc/korvane/host\.json' \
  'etc/default/korvane-host' 'lib/systemd/system/korvane-host\.service'
field korvane-host Depends | grep "libkorvane1 (= $VERSION)" >/dev/null || lab_fail "korvane-host Depends: $(field korvane-host Depends)"
field korvane-host Depends | grep "libmbedtls" >/dev/null && lab_fail "korvane-host links mbedTLS itself: $(field korvane-host Depends)"
grep -q '^-rw------- root/root ./etc/korvane/host.json$' "$WORK/korvane-host.files" || lab_fail "host.json is not root-only"
[ "$(dpkg-deb -I "${DEB[korvane-host]}" conffiles | sort | tr '\n' ' ')" = "/etc/default/korvane-host /etc/korvane/host.json " ] ||
  lab_fail "korvane-host conffiles: $(dpkg-deb -I "${DEB[korvane-host]}" conffiles 2>&1)"
for script in postinst prerm postrm; do
  dpkg-deb -I "${DEB[korvane-host]}" "$script" | sh -n || lab_fail "korvane-host $script is not a shell script"
done

has korvane-lab 'usr/bin/korvane-lab' 'usr/bin/korvane-lab-client' 'usr/share/korvane-lab/lab\.json' 'usr/share/korvane-lab/lab-ipv6\.json' \
  'usr/share/man/man1/korvane-lab\.1\.gz' 'usr/share/man/man1/korvane-lab-client\.1\.gz'
for p in "${PACKAGES[@]}"; do
  echo "   $p $(field "$p" Version) ($(field "$p" Section)), Depends: $(field "$p" Depends)"
  awk '$1 !~ /^d/ {print $3 ($4 ? " " $4 " " $5 : "")}' "$WORK/$p.files" | sed 's|^\./|     /|'
done

if command -v lintian >/dev/null; then
  echo "== lintian"
  # The packages carry their overrides; an override no longer needed shows
  # as an unused-override tag.
  lintian --tag-display-limit 0 --display-info --fail-on error,warning "${DEB[@]}" \
    >"$WORK/lintian.txt" 2>&1 || { cat "$WORK/lintian.txt"; lab_fail "lintian"; }
  grep -E '^[EWI]: ' "$WORK/lintian.txt" | sed 's/^/   /' || echo "   no tags beyond the overridden ones"
else
  echo "== lintian not installed, skipped"
fi

echo "== unpacking into a scratch root"
ROOT=$WORK/root
for p in "${PACKAGES[@]}"; do dpkg -x "${DEB[$p]}" "$ROOT"; done
LIBDIR=$ROOT/usr/lib
readelf -d "$LIBDIR/libkorvane.so.1" | grep 'SONAME.*\[libkorvane\.so\.1\]' >/dev/null || lab_fail "libkorvane.so.1 has another SONAME"
readelf -d "$ROOT/usr/bin/korvane-host" | grep 'NEEDED.*\[libkorvane\.so\.1\]' >/dev/null || lab_fail "korvane-host does not need libkorvane.so.1"
export LD_LIBRARY_PATH=$LIBDIR
ldd "$ROOT/usr/bin/korvane-host" | grep "libkorvane.so.1 => $LIBDIR" >/dev/null || lab_fail "korvane-host does not load the unpacked library"
"$ROOT/usr/bin/korvane-host" --help >"$WORK/help.txt" 2>&1 || true
zcat "$ROOT/usr/share/man/man1/korvane-host.1.gz" | sed 's/\\-/-/g' >"$WORK/man.txt"
for option in --config --json --quiet --duration --metrics; do
  grep -q -- "$option" "$WORK/help.txt" || lab_fail "--help does not name $option"
  grep -q -- "$option" "$WORK/man.txt" ||
    lab_fail "the man page does not name $option"
done
if command -v systemd-analyze >/dev/null; then
  # Only the unit's own syntax: the unpacked program is not where it names it.
  systemd-analyze verify --man=no "$ROOT/lib/systemd/system/korvane-host.service" >"$WORK/verify.txt" 2>&1 || true
  grep -iE 'unknown|invalid|failed to parse' "$WORK/verify.txt" && lab_fail "systemd-analyze verify"
fi

echo "== the unpacked korvane-host against the unpacked lab"
LAB_CONFIG=$ROOT/usr/share/korvane-lab/lab.json
lab_ports "$LAB_CONFIG"
[ "$TCP_PORT" != 0 ] || lab_fail "$LAB_CONFIG has no route to a tcp_echo back end"
# The lab's ports are fixed (the SDK's built-in configuration names the API);
# on a shared machine another run may hold them for a while.
LAB_PORT_WAIT=${LAB_PORT_WAIT:-120} lab_start "$ROOT/usr/bin/korvane-lab" "$LAB_CONFIG"
# A notify socket stands in for systemd's.
lab_spawn notify python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(sys.argv[1]); s.settimeout(90)
print("listening", flush=True)
while True:
    try: print(s.recv(256).decode(), flush=True)
    except socket.timeout: break
' "$WORK/notify.sock"
wait_for listening 50 "$WORK/notify.log" || lab_fail "no notify socket"
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
NOTIFY_SOCKET=$WORK/notify.sock host_start "$ROOT/usr/bin/korvane-host" "$ROOT/etc/korvane/host.json" \
  --quiet --metrics "127.0.0.1:$PORT"
wait_for READY=1 300 "$WORK/notify.log" || lab_fail "no READY=1 from korvane-host"

# scrape FILE: the parsed samples as JSON, after the checks of every family.
scrape() { "$PYTHON" - "$PORT" "$1" <<'PY'
import json, re, sys, urllib.request
from prometheus_client.parser import text_string_to_metric_families
reply = urllib.request.urlopen("http://127.0.0.1:%s/metrics" % sys.argv[1], timeout=5)
kind = reply.headers.get("Content-Type", "")
assert kind.startswith("text/plain") and "version=0.0.4" in kind, "Content-Type " + kind
text = reply.read().decode()
values, names = {}, set()
for family in text_string_to_metric_families(text):
    assert family.name.startswith("korvane_"), "no korvane_ prefix: " + family.name
    assert family.name not in names, "family twice: " + family.name
    names.add(family.name)
    assert family.type in ("counter", "gauge"), "%s is %s" % (family.name, family.type)
    assert family.documentation, "no HELP for " + family.name
    assert not re.search(r"_(ms|milliseconds|kb|kilobytes|minutes|percent)(_|$)", family.name), \
        "not in base units: " + family.name
    for s in family.samples:
        if family.type == "counter":
            assert s.name == family.name + "_total", "counter sample %s" % s.name
            assert s.value >= 0, "negative counter %s" % s.name
        else:
            assert not s.name.endswith("_total"), "gauge named as a counter: " + s.name
        key = s.name + json.dumps(s.labels, sort_keys=True)
        assert key not in values, "sample twice: " + key
        values[key] = s.value
json.dump(values, open(sys.argv[2], "w"))
print("%d families, %d samples" % (len(names), len(values)))
PY
}
sleep 1.5
SCRAPED=$(scrape "$WORK/before.json") || lab_fail "/metrics did not pass the parser's checks"
echo "   before traffic: $SCRAPED"
timeout 60 "$ROOT/usr/bin/korvane-lab-client" echo --port "$TCP_PORT" --bytes 2000000 --limit-ms 50000 \
  >"$WORK/echo.log" 2>&1 || lab_fail "echo through the unpacked host"
echo "   $(tail -n 1 "$WORK/echo.log")"
if [ "$UDP_PORT" != 0 ]; then
  timeout 30 "$ROOT/usr/bin/korvane-lab-client" udp --port "$UDP_PORT" --count 20 --size 1200 \
    --limit-ms 20000 >"$WORK/udp.log" 2>&1 || lab_fail "UDP echo through the unpacked host"
  echo "   $(tail -n 1 "$WORK/udp.log")"
fi
sleep 2.5  # the SDK refreshes its status about once a second
SCRAPED=$(scrape "$WORK/after.json") || lab_fail "/metrics did not pass the parser's checks after traffic"
echo "   after traffic: $SCRAPED"
python3 - "$WORK/before.json" "$WORK/after.json" <<'PY' || lab_fail "the metrics did not follow the traffic"
import json, sys
before, after = (json.load(open(p)) for p in sys.argv[1:3])
def keys(name):
    return [k for k in after if k.startswith(name + "{")]
need = ["korvane_build_info", "korvane_process_start_time_seconds", "korvane_started",
        "korvane_running", "korvane_tunnel_state", "korvane_tunnel_switch_info",
        "korvane_tunnel_tcp_connections", "korvane_tunnel_udp_peers",
        "korvane_tunnel_failovers_total", "korvane_tunnel_switch_latency_seconds",
        "korvane_tunnel_failures_total"]
for name in need:
    assert keys(name), "missing " + name
# Every target's byte counters moved by at least the echo's share; packets moved too.
moving = {"korvane_tunnel_received_bytes_total": 1000, "korvane_tunnel_sent_bytes_total": 1000,
          "korvane_tunnel_received_packets_total": 1, "korvane_tunnel_sent_packets_total": 1}
for name, least in moving.items():
    moved = max(after[k] - before.get(k, 0) for k in keys(name))
    assert moved >= least, "%s moved by %s" % (name, moved)
    print("   %s +%d" % (name, moved))
for k in after:
    if k.endswith("_total") or "_total{" in k:
        assert after[k] >= before.get(k, 0), "counter went back: " + k
assert after["korvane_started{}"] == 1 and after["korvane_running{}"] == 1
assert any(v == 1 for k, v in after.items() if k.startswith("korvane_tunnel_state{") and '"open"' in k)
PY

echo "== reload and stop"
kill -HUP "$HOST_PID"
for _ in $(seq 1 300); do [ "$(grep -c READY=1 "$WORK/notify.log")" -ge 2 ] && break; sleep 0.1; done
grep -q RELOADING=1 "$WORK/notify.log" && [ "$(grep -c READY=1 "$WORK/notify.log")" -ge 2 ] ||
  lab_fail "SIGHUP did not reload"
host_stop
grep -q STOPPING=1 "$WORK/notify.log" || lab_fail "no STOPPING=1 from korvane-host"
ls "$WORK/documents/Korvane" >/dev/null 2>&1 || lab_fail "no state under KORVANE_DOCUMENTS_DIR"
echo "PASS: $(for p in "${PACKAGES[@]}"; do basename "${DEB[$p]}"; done | tr '\n' ' ')($(( $(date +%s) - START )) s)"
