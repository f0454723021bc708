#!/usr/bin/env bash
# Side-by-side comparison of relay paths on loopback, in one run with
# interleaved repetitions: direct, korvane (korvane-tunnel -> lab switch ->
# back end), haproxy (TCP mode), socat, ssh -L (aes128-gcm) and
# shadowsocks-libev (ss-tunnel -> ss-server, chacha20-ietf-poly1305).
# Writes BENCHMARKS.md (or --out FILE) and a PNG chart of the ratios.
#
#   bash bench/compare/run.sh            full run (3 repetitions, ~15 minutes)
#   bash bench/compare/run.sh --quick    smoke run (1 short repetition, ~2 minutes)
#   bash bench/compare/run.sh --wan      the same paths over an emulated WAN link
#                                        (korvane-wan) at three profiles, ~12 minutes;
#                                        writes the WAN section of BENCHMARKS.md
#   options: --out FILE   --reps N   --no-install   --build DIR
#   WAN options: --profiles "50/100 100/50 200/20"  (round trip ms / Mbit/s)
#                --korvane-base REF   also a korvane built from git REF, side by side
#                --port-base N        WAN run ports N+1 to N+999 (default 17000)
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD

QUICK=0
REPS=3
OUT=BENCHMARKS.md
INSTALL=1
BUILD=build/compare
WAN=0
PROFILES="50/100 100/50 200/20"
BASE_REF=""
WB=17000
while [ $# -gt 0 ]; do
  case "$1" in
    --wan) WAN=1 ;;
    --profiles) PROFILES=$2; shift ;;
    --korvane-base) BASE_REF=$2; shift ;;
    --port-base) WB=$2; shift ;;
    --quick) QUICK=1; REPS=1 ;;
    --reps) REPS=$2; shift ;;
    --out) OUT=$2; shift ;;
    --no-install) INSTALL=0 ;;
    --build) BUILD=$2; shift ;;
    *) echo "usage: $0 [--quick] [--reps N] [--out FILE] [--no-install] [--build DIR]"
       echo "       $0 --wan [--profiles \"RTT_MS/MBIT...\"] [--korvane-base REF] [--port-base N] [--out FILE]"; exit 2 ;;
  esac
  shift
done
if [ "$QUICK" = 1 ]; then
  T_IPERF=1; N_PING=300; T_CONN=0.5; T_UDP=0.5; N_IDLE=200
else
  T_IPERF=5; N_PING=4000; T_CONN=2; T_UDP=2; N_IDLE=500
fi

# The system interpreter: a shim in front of python3 costs a second per call.
PY=python3
[ -x /usr/bin/python3 ] && PY=/usr/bin/python3
WORK=$(mktemp -d /tmp/korvane-compare.XXXXXX)
mkdir -p "$(dirname "$OUT")"
RESULTS=$WORK/results.jsonl
MEASURE="$PY $ROOT/bench/compare/measure.py"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "${KEEP_WORK:-}" ]; then echo "logs kept in $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT INT TERM
log() { echo "== $*" >&2; }

# ---- packages and build ---------------------------------------------------
PACKAGES="haproxy socat openssh-server openssh-client shadowsocks-libev iperf3 gnuplot-nox"
if [ "$INSTALL" = 1 ]; then
  missing=""
  for p in $PACKAGES; do dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"; done
  if [ -n "$missing" ]; then
    log "installing$missing"
    SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $missing >/dev/null
  fi
fi
JOBS=$(nproc 2>/dev/null || echo 2); [ "$JOBS" -gt 2 ] && JOBS=2
build_korvane() {  # source-dir build-dir targets...: configure without tests, build
  local src=$1 dir=$2; shift 2
  log "building $* into $dir"
  if ! { cmake -S "$src" -B "$dir" -DKX_BUILD_BENCH=ON -DKX_BUILD_TESTS=OFF &&
         cmake --build "$dir" -j"$JOBS" --target "$@"; } >"$WORK/build.log" 2>&1; then
    tail -n 30 "$WORK/build.log"; echo "FAIL: build"; exit 1
  fi
}
if [ "$WAN" = 1 ]; then
  build_korvane . "$BUILD" korvane-lab korvane-tunnel korvane-wan
else
  build_korvane . "$BUILD" korvane-lab korvane-tunnel
fi
LAB=$(find "$BUILD" -name korvane-lab -type f -perm -u+x | head -1)
TUNNEL=$(find "$BUILD" -name korvane-tunnel -type f -perm -u+x | head -1)

# ---- servers --------------------------------------------------------------
H=127.0.0.1
IPERF=15201; ECHO=15301; UDPECHO=15302
# Per path: iperf port, echo port, UDP echo port (0: the path carries no UDP).
declare -A P_IPERF P_ECHO P_UDP SIDE_C SIDE_S
P_IPERF[direct]=$IPERF; P_ECHO[direct]=$ECHO; P_UDP[direct]=$UDPECHO

wait_port() {  # host port: until a TCP connect succeeds (10 s)
  for _ in $(seq 100); do
    $PY -c "import socket,sys; socket.create_connection(('$1',$2),1).close()" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "FAIL: nothing answers on $1:$2" >&2; return 1
}
echo_ok() {  # port: one byte echoed through it
  $PY -c "
import socket
s=socket.create_connection(('$H',$1),1); s.settimeout(1); s.sendall(b'k')
assert s.recv(1)==b'k'" 2>/dev/null
}
start() {  # name command...: background, remembered for cleanup; pid in $LAST
  local name=$1; shift
  "$@" >"$WORK/$name.log" 2>&1 &
  LAST=$!
  PIDS+=($LAST)
}

record() {  # path rep metric value (empty or failed: null)
  local v=${4:-null}
  set -- "$1" "$2" "$3" "$v"
  printf '{"path": "%s", "rep": %s, "metric": "%s", "value": %s}\n' "$1" "$2" "$3" "$4" >>"$RESULTS"
}
cpu_of() { [ -z "$1" ] && { echo 0; return; }; $MEASURE cpu $1 | $PY -c "import json,sys; print(json.load(sys.stdin)['cpu_s'])"; }
mem_of() { [ -z "$1" ] && { echo 0; return; }; $MEASURE cpu $1 | $PY -c "import json,sys; print(json.load(sys.stdin)['pss_kib'])"; }
jget() { $PY -c "import json,sys; d=json.load(sys.stdin); print($1)"; }

start_sshd() {  # port: keys in $WORK/ssh, sshd on $H:port (aes128-gcm), pid in $LAST
  mkdir -p "$WORK/ssh"; chmod 700 "$WORK/ssh"
  ssh-keygen -q -t ed25519 -N "" -f "$WORK/ssh/host" </dev/null
  ssh-keygen -q -t ed25519 -N "" -f "$WORK/ssh/user" </dev/null
  cp "$WORK/ssh/user.pub" "$WORK/ssh/authorized_keys"; chmod 600 "$WORK/ssh/authorized_keys"
  mkdir -p /run/sshd 2>/dev/null || true
  start sshd /usr/sbin/sshd -D -e -p "$1" -o ListenAddress=$H -h "$WORK/ssh/host" \
    -o AuthorizedKeysFile="$WORK/ssh/authorized_keys" -o StrictModes=no -o PasswordAuthentication=no \
    -o PidFile="$WORK/ssh/sshd.pid" -o Ciphers=aes128-gcm@openssh.com -o UsePAM=no
}

haproxy_cfg() {  # iperf-port iperf-server-port echo-port echo-server-port: $WORK/haproxy.cfg
  cat >"$WORK/haproxy.cfg" <<EOF
global
  maxconn 4000
defaults
  mode tcp
  timeout connect 5s
  timeout client 60s
  timeout server 60s
listen iperf
  bind $H:$1
  server s $H:$2
listen echo
  bind $H:$3
  server s $H:$4
EOF
}

if [ "$WAN" = 1 ]; then
  # shellcheck source=bench/compare/wan.sh
  . "$ROOT/bench/compare/wan.sh"
  exit 0
fi

log "back ends: iperf3 on $IPERF, lab echo on $ECHO, lab UDP echo on $UDPECHO"
start iperf3 iperf3 -s -B $H -p $IPERF
IPERF_PID=$LAST
cat >"$WORK/backends.json" <<EOF
{"tick_ms": 50,
 "switches": [{"name": "unused", "listen": "127.9.0.1:0", "access_keys": ["x"]}],
 "backends": [{"name": "echo", "kind": "tcp_echo", "listen": "$H:$ECHO"},
              {"name": "udp", "kind": "udp_echo", "listen": "$H:$UDPECHO"}]}
EOF
start backends "$LAB" --config "$WORK/backends.json"
BACKENDS_PID=$LAST
wait_port $H $IPERF; wait_port $H $ECHO

log "korvane: korvane-tunnel -> lab switch 127.0.0.1:15400 -> back ends"
cat >"$WORK/switch.json" <<EOF
{"tick_ms": 50,
 "switches": [{"name": "s", "listen": "$H:15400", "access_keys": ["compare-key"]}],
 "backends": [{"name": "iperf", "kind": "tcp_remote", "connect": "$H:$IPERF"},
              {"name": "echo", "kind": "tcp_remote", "connect": "$H:$ECHO"},
              {"name": "udp", "kind": "udp_remote", "connect": "$H:$UDPECHO"}],
 "routes": [{"target_id": 1, "client_port": 15401, "backend": "iperf"},
            {"target_id": 1, "client_port": 15402, "backend": "echo"},
            {"target_id": 1, "client_port": 15403, "backend": "udp"}]}
EOF
# Standby port 9 (discard, not listening): without a tunnel nothing connects,
# so a working echo proves the switch carries it.
cat >"$WORK/targets.json" <<EOF
{"access_key": "compare-key", "token": "compare", "version": "1.0.0",
 "targets": [{"id": 1, "client_ip": "$H", "standbys": [{"ip": "$H"}],
   "nodes": [{"ip": "$H", "port": 15400, "type": "standard", "latency": 10}],
   "forwards": [{"protocol": "tcp", "client_port": 15401, "standby_port": 9, "range": 0},
                {"protocol": "tcp", "client_port": 15402, "standby_port": 9, "range": 0},
                {"protocol": "udp", "client_port": 15403, "standby_port": 9, "range": 0}]}]}
EOF
start switch "$LAB" --config "$WORK/switch.json"
SWITCH_PID=$LAST
wait_port $H 15400
start korvane-tunnel "$TUNNEL" --config "$WORK/targets.json" --log-dir "$WORK/ktlog"
KT_PID=$LAST
for _ in $(seq 100); do echo_ok 15402 && break; sleep 0.2; done
echo_ok 15402 || { tail "$WORK/korvane-tunnel.log" "$WORK/switch.log"; echo "FAIL: no tunnel"; exit 1; }
P_IPERF[korvane]=15401; P_ECHO[korvane]=15402; P_UDP[korvane]=15403
SIDE_C[korvane]=$KT_PID; SIDE_S[korvane]=$SWITCH_PID

log "haproxy (TCP mode) on 15501/15502"
haproxy_cfg 15501 $IPERF 15502 $ECHO
start haproxy haproxy -db -f "$WORK/haproxy.cfg"
HAPROXY_PID=$LAST
wait_port $H 15502
P_IPERF[haproxy]=15501; P_ECHO[haproxy]=15502; P_UDP[haproxy]=0
SIDE_C[haproxy]=$HAPROXY_PID

log "socat on 15601/15602, UDP 15603"
start socat1 socat TCP-LISTEN:15601,bind=$H,reuseaddr,fork,nodelay TCP:$H:$IPERF,nodelay
S1=$LAST
start socat2 socat TCP-LISTEN:15602,bind=$H,reuseaddr,fork,nodelay TCP:$H:$ECHO,nodelay
S2=$LAST
start socat3 socat UDP-LISTEN:15603,bind=$H,reuseaddr,fork UDP:$H:$UDPECHO
S3=$LAST
wait_port $H 15602
P_IPERF[socat]=15601; P_ECHO[socat]=15602; P_UDP[socat]=15603
SIDE_C[socat]="$S1 $S2 $S3"

log "ssh -L (aes128-gcm) through a local sshd on 15722"
start_sshd 15722
SSHD_PID=$LAST
wait_port $H 15722
start ssh ssh -N -p 15722 -i "$WORK/ssh/user" -o StrictHostKeyChecking=no \
  -o UserKnownHostsFile=/dev/null -o Ciphers=aes128-gcm@openssh.com -o Compression=no \
  -o ExitOnForwardFailure=yes -L $H:15701:$H:$IPERF -L $H:15702:$H:$ECHO "$(id -un)@$H"
SSH_PID=$LAST
for _ in $(seq 100); do echo_ok 15702 && break; sleep 0.1; done
P_IPERF[ssh]=15701; P_ECHO[ssh]=15702; P_UDP[ssh]=0
SIDE_C[ssh]=$SSH_PID; SIDE_S[ssh]=$SSHD_PID

log "shadowsocks-libev: ss-tunnel 15801/15802/15803 -> ss-server 15888 (chacha20-ietf-poly1305)"
SS="-s $H -p 15888 -k compare-pass -m chacha20-ietf-poly1305"
start ss-server ss-server $SS -u --no-delay
SSS_PID=$LAST
start ss-tunnel1 ss-tunnel $SS -b $H -l 15801 -L $H:$IPERF --no-delay
T1=$LAST
start ss-tunnel2 ss-tunnel $SS -b $H -l 15802 -L $H:$ECHO --no-delay
T2=$LAST
start ss-tunnel3 ss-tunnel $SS -b $H -l 15803 -L $H:$UDPECHO -U
T3=$LAST
wait_port $H 15802
for _ in $(seq 50); do echo_ok 15802 && break; sleep 0.1; done
P_IPERF[shadowsocks]=15801; P_ECHO[shadowsocks]=15802; P_UDP[shadowsocks]=15803
SIDE_C[shadowsocks]="$T1 $T2 $T3"; SIDE_S[shadowsocks]=$SSS_PID

PATHS="direct korvane haproxy socat ssh shadowsocks"
for p in $PATHS; do
  echo_ok ${P_ECHO[$p]} || { echo "FAIL: path $p does not echo"; for f in "$WORK"/*.log; do echo "-- $f"; tail -n 5 "$f"; done; exit 1; }
done

# ---- measurements ---------------------------------------------------------
NCPU=$(nproc)
pin_all() {  # CPU list for every process of the run (all threads)
  for pid in "${PIDS[@]}"; do
    for t in $(ls /proc/$pid/task 2>/dev/null); do taskset -pc "$1" "$t" >/dev/null 2>&1 || true; done
    for c in $(pgrep -P "$pid" 2>/dev/null); do taskset -apc "$1" "$c" >/dev/null 2>&1 || true; done
  done
}

iperf() {  # path rep metric args...
  local path=$1 rep=$2 metric=$3; shift 3
  local json
  json=$(timeout $((T_IPERF * 3 + 20)) iperf3 -c $H -p ${P_IPERF[$path]} -t $T_IPERF -J "$@" 2>/dev/null) || { record $path $rep $metric null; return; }
  echo "$json" >"$WORK/last-iperf.json"
  record $path $rep $metric "$(echo "$json" | jget "round(d['end']['sum_received']['bits_per_second']/1e9, 4)" 2>/dev/null || echo null)"
}

# Memory per idle connection, once per path on processes that have carried no
# traffic yet: after the throughput runs their heaps hold freed buffers that
# new connections reuse without a page more, which reads as 0. A warm-up round
# pages in the code paths first; every connection has echoed a byte (through
# the tunnel, for korvane) before the sample. Proportional set size, so that
# the forked children of socat and sshd count their shared pages once.
idle_memory() {  # path
  local path=$1 m0 m1 wp hp
  # The warm-up connections stay open, so the measured ones cannot reuse
  # what they would have freed.
  $MEASURE hold $H ${P_ECHO[$path]} 20 120 >"$WORK/warm.out" 2>&1 &
  wp=$!
  for _ in $(seq 200); do grep -q held "$WORK/warm.out" 2>/dev/null && break; sleep 0.05; done
  sleep 1
  m0=$(( $(mem_of "${SIDE_C[$path]:-}") + $(mem_of "${SIDE_S[$path]:-}") ))
  $MEASURE hold $H ${P_ECHO[$path]} $N_IDLE 120 >"$WORK/hold.out" 2>&1 &
  hp=$!
  for _ in $(seq 600); do grep -q held "$WORK/hold.out" 2>/dev/null && break; sleep 0.05; done
  if grep -q held "$WORK/warm.out" && grep -q held "$WORK/hold.out"; then
    sleep 1
    m1=$(( $(mem_of "${SIDE_C[$path]:-}") + $(mem_of "${SIDE_S[$path]:-}") ))
    log "$path: $m0 -> $m1 KiB with $N_IDLE idle connections"
    record $path 1 idle_kib_per_conn "$($PY -c "print(round(($m1-$m0)/$N_IDLE,2))")"
  else
    record $path 1 idle_kib_per_conn null
  fi
  kill $wp $hp 2>/dev/null || true; wait $wp $hp 2>/dev/null || true
}
for path in $PATHS; do
  [ "$path" = direct ] || idle_memory $path
done
sleep 1

for rep in $(seq 1 "$REPS"); do
  for path in $PATHS; do
    log "rep $rep/$REPS: $path"
    c0=$(cpu_of "${SIDE_C[$path]:-}"); s0=$(cpu_of "${SIDE_S[$path]:-}")
    iperf $path $rep tput_up_gbps
    bytes=$(jget "d['end']['sum_received']['bytes']" <"$WORK/last-iperf.json" 2>/dev/null || echo 0)
    c1=$(cpu_of "${SIDE_C[$path]:-}"); s1=$(cpu_of "${SIDE_S[$path]:-}")
    if [ "${bytes:-0}" != 0 ] && [ "$path" != direct ]; then
      record $path $rep cpu_client_s_per_gb "$($PY -c "print(round(($c1-$c0)/($bytes/1e9),3))")"
      # One-process relays (haproxy, socat) have no server side: no figure, not 0.
      if [ -n "${SIDE_S[$path]:-}" ]; then
        record $path $rep cpu_server_s_per_gb "$($PY -c "print(round(($s1-$s0)/($bytes/1e9),3))")"
      fi
    fi
    iperf $path $rep tput_down_gbps -R
    iperf $path $rep tput_8x_gbps -P 8
    pp=$($MEASURE pingpong $H ${P_ECHO[$path]} $N_PING) || pp="{}"
    record $path $rep pingpong_p50_us "$(echo "$pp" | jget "round(d['p50_us'],1)")"
    record $path $rep pingpong_p99_us "$(echo "$pp" | jget "round(d['p99_us'],1)")"
    pin_all 0
    pp=$(taskset -c 0 $MEASURE pingpong $H ${P_ECHO[$path]} $N_PING) || pp="{}"
    pin_all "0-$((NCPU - 1))"
    record $path $rep pinned_p50_us "$(echo "$pp" | jget "round(d['p50_us'],1)")"
    record $path $rep pinned_p99_us "$(echo "$pp" | jget "round(d['p99_us'],1)")"
    record $path $rep conn_per_s "$($MEASURE connrate $H ${P_ECHO[$path]} $T_CONN | jget "round(d['per_s'],1)")"
    if [ "${P_UDP[$path]}" != 0 ]; then
      u=$($MEASURE udp $H ${P_UDP[$path]} $T_UDP) || u="{}"
      record $path $rep udp_per_s "$(echo "$u" | jget "round(d['per_s'],1)")"
      record $path $rep udp_loss "$(echo "$u" | jget "round(d['loss'],4)")"
    fi
  done
done

# ---- report ---------------------------------------------------------------
VERSIONS="korvane $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
for p in haproxy socat openssh-server shadowsocks-libev iperf3; do
  VERSIONS="$VERSIONS; $p $(dpkg-query -W -f='${Version}' $p 2>/dev/null || echo '?')"
done
$PY "$ROOT/bench/compare/report.py" --results "$RESULTS" --out "$OUT" \
  --chart "${OUT%.md}.png" --versions "$VERSIONS" --reps "$REPS" --quick "$QUICK"
log "wrote $OUT and ${OUT%.md}.png"
