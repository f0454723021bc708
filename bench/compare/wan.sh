# The WAN half of bench/compare/run.sh (sourced by it after the build, with
# its helpers): the same paths with one emulated link (korvane-wan) placed
# where the internet is — between korvane-tunnel and the lab switch, between
# ssh and sshd, between ss-tunnel and ss-server, and between the application
# (or haproxy) and the back end for the direct path. Every pair shares the
# link; the profile changes over its control port between rounds.

WAN_BIN=$(find "$BUILD" -name korvane-wan -type f -perm -u+x | head -1)
[ -n "$WAN_BIN" ] || { echo "FAIL: no korvane-wan in $BUILD"; exit 1; }
if [ "$QUICK" = 1 ]; then
  T_IPERF=2; T_UDPFLOW=2; N_SHORT=3; T_NONREAD=3
else
  T_IPERF=3; T_UDPFLOW=3; N_SHORT=5; T_NONREAD=5
fi

# Ports, all from the base so that a run can move out of another's way.
W_IPERF=$((WB + 201)) W_ECHO=$((WB + 301)) W_UDPECHO=$((WB + 302)) W_SOURCE=$((WB + 303))
W_CONTROL=$((WB + 900))
wanctl() {  # one control line; prints the answer
  $PY -c "
import socket,sys
s=socket.create_connection(('$H',$W_CONTROL),5); s.sendall(sys.argv[1].encode()+b'\n')
print(s.makefile().readline().strip())" "$1"
}

# ---- back ends --------------------------------------------------------------
log "back ends: iperf3 on $W_IPERF, lab echo $W_ECHO, UDP echo $W_UDPECHO, source $W_SOURCE"
start iperf3 iperf3 -s -B $H -p $W_IPERF
cat >"$WORK/backends.json" <<EOF
{"tick_ms": 50,
 "switches": [{"name": "unused", "listen": "127.9.0.1:0", "access_keys": ["x"]}],
 "backends": [{"name": "echo", "kind": "tcp_echo", "listen": "$H:$W_ECHO"},
              {"name": "udp", "kind": "udp_echo", "listen": "$H:$W_UDPECHO"},
              {"name": "source", "kind": "tcp_source", "listen": "$H:$W_SOURCE"}]}
EOF
start backends "$LAB" --config "$WORK/backends.json"
wait_port $H $W_IPERF; wait_port $H $W_ECHO; wait_port $H $W_SOURCE

# ---- korvane (and the base build): two switches sharing one tunnel table ------
# korvane_lab NAME LAB-BINARY SWITCH-PORT ADMIN-PORT: switches on SWITCH-PORT
# and SWITCH-PORT+1, back-end routes for the tunnel's ports SWITCH-PORT+1..+4.
korvane_lab() {
  local name=$1 lab=$2 sp=$3 admin=$4
  cat >"$WORK/$name-switch.json" <<EOF
{"tick_ms": 50, "admin": "$H:$admin",
 "switches": [{"name": "$name-a", "listen": "$H:$sp", "access_keys": ["compare-key"]},
              {"name": "$name-b", "listen": "$H:$((sp + 10))", "access_keys": ["compare-key"]}],
 "backends": [{"name": "iperf", "kind": "tcp_remote", "connect": "$H:$W_IPERF"},
              {"name": "echo", "kind": "tcp_remote", "connect": "$H:$W_ECHO"},
              {"name": "udp", "kind": "udp_remote", "connect": "$H:$W_UDPECHO"},
              {"name": "source", "kind": "tcp_remote", "connect": "$H:$W_SOURCE"}],
 "routes": [{"target_id": 1, "client_port": $((sp + 1)), "backend": "iperf"},
            {"target_id": 1, "client_port": $((sp + 2)), "backend": "echo"},
            {"target_id": 1, "client_port": $((sp + 3)), "backend": "udp"},
            {"target_id": 1, "client_port": $((sp + 4)), "backend": "source"}]}
EOF
  start "$name-switch" "$lab" --config "$WORK/$name-switch.json"
  LAST_LAB=$LAST
  wait_port $H "$sp"
}
# korvane_tunnel NAME TUNNEL-BINARY SWITCH-PORT WAN-PORT: the tunnel reaches both
# switches through the link (WAN-PORT, WAN-PORT+10) and forwards SWITCH-PORT+1..+4.
korvane_tunnel() {
  local name=$1 bin=$2 sp=$3 wp=$4
  # Standby port 9 (discard, not listening): without a tunnel nothing
  # connects, so a working echo proves the switch carries it.
  cat >"$WORK/$name-targets.json" <<EOF
{"access_key": "compare-key", "token": "compare", "version": "1.0.0",
 "targets": [{"id": 1, "client_ip": "$H", "standbys": [{"ip": "$H"}],
   "nodes": [{"ip": "$H", "port": $wp, "type": "standard", "latency": 10},
             {"ip": "$H", "port": $((wp + 10)), "type": "standard", "latency": 10}],
   "forwards": [{"protocol": "tcp", "client_port": $((sp + 1)), "standby_port": 9, "range": 0},
                {"protocol": "tcp", "client_port": $((sp + 2)), "standby_port": 9, "range": 0},
                {"protocol": "udp", "client_port": $((sp + 3)), "standby_port": 9, "range": 0},
                {"protocol": "tcp", "client_port": $((sp + 4)), "standby_port": 9, "range": 0}]}]}
EOF
  start "$name-tunnel" "$bin" --config "$WORK/$name-targets.json" --log-dir "$WORK/$name-log"
  LAST_TUNNEL=$LAST
}

WAN_PAIRS=(
  --tcp $H:$((WB + 901))=$H:$W_IPERF --tcp $H:$((WB + 902))=$H:$W_ECHO
  --udp $H:$((WB + 903))=$H:$W_UDPECHO
  --tcp $H:$((WB + 950))=$H:$((WB + 400)) --tcp $H:$((WB + 960))=$H:$((WB + 410))
  --tcp $H:$((WB + 970))=$H:$((WB + 722))
  --tcp $H:$((WB + 980))=$H:$((WB + 888)) --udp $H:$((WB + 980))=$H:$((WB + 888))
  --tcp $H:$((WB + 991))=$H:$W_IPERF --tcp $H:$((WB + 992))=$H:$W_ECHO
)
PATHS="direct korvane haproxy ssh shadowsocks"
if [ -n "$BASE_REF" ]; then
  BASE_SRC=$ROOT/build/wan-base/src
  log "korvane-base: $BASE_REF in a git worktree at $BASE_SRC"
  git worktree remove --force "$BASE_SRC" >/dev/null 2>&1 || rm -rf "$BASE_SRC"
  git worktree prune
  git worktree add --detach "$BASE_SRC" "$BASE_REF" >"$WORK/base-worktree.log" 2>&1 ||
    { cat "$WORK/base-worktree.log"; echo "FAIL: no worktree for $BASE_REF"; exit 1; }
  build_korvane "$BASE_SRC" "$ROOT/build/wan-base/build" korvane-lab korvane-tunnel
  BASE_LAB=$(find "$ROOT/build/wan-base/build" -name korvane-lab -type f -perm -u+x | head -1)
  BASE_TUNNEL=$(find "$ROOT/build/wan-base/build" -name korvane-tunnel -type f -perm -u+x | head -1)
  # The binaries are all the run needs: the checkout leaves the repository's
  # worktree list again (its build tree stays for the next run's cache).
  git worktree remove --force "$BASE_SRC" >/dev/null 2>&1 || true
  WAN_PAIRS+=(--tcp $H:$((WB + 955))=$H:$((WB + 420)) --tcp $H:$((WB + 965))=$H:$((WB + 430)))
  PATHS="direct korvane korvane-base haproxy ssh shadowsocks"
fi

# The link starts nearly transparent so that the set-up is quick.
log "korvane-wan: one link for every path, control on $W_CONTROL"
start korvane-wan "$WAN_BIN" --delay-ms 1 --rate-mbit 1000 --control $H:$W_CONTROL "${WAN_PAIRS[@]}"
WAN_PID=$LAST
for _ in $(seq 100); do grep -q '^ready' "$WORK/korvane-wan.log" && break; sleep 0.1; done
grep -q '^ready' "$WORK/korvane-wan.log" || { cat "$WORK/korvane-wan.log"; echo "FAIL: korvane-wan"; exit 1; }

P_IPERF[direct]=$((WB + 901)); P_ECHO[direct]=$((WB + 902)); P_UDP[direct]=$((WB + 903))
declare -A ADMIN_OF SOURCE_OF
korvane_lab korvane "$LAB" $((WB + 400)) $((WB + 499))
KLAB=$LAST_LAB
korvane_tunnel korvane "$TUNNEL" $((WB + 400)) $((WB + 950))
P_IPERF[korvane]=$((WB + 401)); P_ECHO[korvane]=$((WB + 402)); P_UDP[korvane]=$((WB + 403))
SOURCE_OF[korvane]=$((WB + 404)); ADMIN_OF[korvane]=$((WB + 499))
SIDE_C[korvane]=$LAST_TUNNEL; SIDE_S[korvane]=$KLAB
if [ -n "$BASE_REF" ]; then
  korvane_lab base "$BASE_LAB" $((WB + 420)) $((WB + 498))
  BLAB=$LAST_LAB
  korvane_tunnel base "$BASE_TUNNEL" $((WB + 420)) $((WB + 955))
  P_IPERF[korvane-base]=$((WB + 421)); P_ECHO[korvane-base]=$((WB + 422))
  P_UDP[korvane-base]=$((WB + 423)); SOURCE_OF[korvane-base]=$((WB + 424))
  ADMIN_OF[korvane-base]=$((WB + 498)); SIDE_C[korvane-base]=$LAST_TUNNEL; SIDE_S[korvane-base]=$BLAB
fi

log "haproxy (TCP mode) on $((WB + 501))/$((WB + 502)), its servers across the link"
haproxy_cfg $((WB + 501)) $((WB + 991)) $((WB + 502)) $((WB + 992))
start haproxy haproxy -db -f "$WORK/haproxy.cfg"
wait_port $H $((WB + 502))
P_IPERF[haproxy]=$((WB + 501)); P_ECHO[haproxy]=$((WB + 502)); P_UDP[haproxy]=0

log "ssh -L (aes128-gcm) to a local sshd on $((WB + 722)) across the link"
start_sshd $((WB + 722))
wait_port $H $((WB + 722))
start ssh ssh -N -p $((WB + 970)) -i "$WORK/ssh/user" -o StrictHostKeyChecking=no \
  -o UserKnownHostsFile=/dev/null -o Ciphers=aes128-gcm@openssh.com -o Compression=no \
  -o ExitOnForwardFailure=yes -L $H:$((WB + 701)):$H:$W_IPERF -L $H:$((WB + 702)):$H:$W_ECHO "$(id -un)@$H"
P_IPERF[ssh]=$((WB + 701)); P_ECHO[ssh]=$((WB + 702)); P_UDP[ssh]=0

log "shadowsocks-libev: ss-tunnel -> ss-server on $((WB + 888)) across the link (TCP and UDP)"
start ss-server ss-server -s $H -p $((WB + 888)) -k compare-pass -m chacha20-ietf-poly1305 -u --no-delay
SS="-s $H -p $((WB + 980)) -k compare-pass -m chacha20-ietf-poly1305"
start ss-tunnel1 ss-tunnel $SS -b $H -l $((WB + 801)) -L $H:$W_IPERF --no-delay
start ss-tunnel2 ss-tunnel $SS -b $H -l $((WB + 802)) -L $H:$W_ECHO --no-delay
start ss-tunnel3 ss-tunnel $SS -b $H -l $((WB + 803)) -L $H:$W_UDPECHO -U
P_IPERF[shadowsocks]=$((WB + 801)); P_ECHO[shadowsocks]=$((WB + 802)); P_UDP[shadowsocks]=$((WB + 803))

for p in $PATHS; do
  ok=0
  for _ in $(seq 150); do echo_ok ${P_ECHO[$p]} && { ok=1; break; }; sleep 0.2; done
  [ $ok = 1 ] || { echo "FAIL: path $p does not echo"; for f in "$WORK"/*.log; do echo "-- $f"; tail -n 5 "$f"; done; exit 1; }
done

# ---- measurements -------------------------------------------------------------
iperf_mbit() {  # path metric args...: iperf3 over the link, Mbit/s (one second of ramp left out)
  local path=$1 metric=$2; shift 2
  local json
  json=$(timeout $((T_IPERF * 3 + 30)) iperf3 -c $H -p ${P_IPERF[$path]} -t $T_IPERF -O 1 -J "$@" 2>/dev/null) ||
    { record "$path" 1 "$metric" null; return; }
  record "$path" 1 "$metric" "$(echo "$json" | jget "round(d['end']['sum_received']['bits_per_second']/1e6, 2)" 2>/dev/null || echo null)"
}

for profile in $PROFILES; do
  RTT=${profile%/*} MBIT=${profile#*/}
  answer=$(wanctl "set delay_ms=$($PY -c "print($RTT/2)") rate_mbit=$MBIT")
  log "profile $profile: $answer"
  case "$answer" in ok*) ;; *) echo "FAIL: korvane-wan: $answer"; exit 1 ;; esac
  N_PING=$($PY -c "print(max(8, int(2000 / $RTT)))")
  # Memory with an application that never reads a fast download: once, at
  # the first (fastest) profile, before any throughput figure has grown the
  # heaps (a reused heap would read as no growth).
  if [ "$profile" = "${PROFILES%% *}" ]; then
    for path in $PATHS; do
      [ -n "${SOURCE_OF[$path]:-}" ] || continue
      nr=$($MEASURE nonreader $H ${SOURCE_OF[$path]} ${SIDE_C[$path]} $T_NONREAD) || nr="{}"
      record $path 1 "$profile/nonreader_growth_kib" "$(echo "$nr" | jget "d['growth_kib']" 2>/dev/null || echo null)"
    done
  fi
  for path in $PATHS; do
    log "$profile: $path"
    M=$profile
    iperf_mbit $path "$M/up_mbit"
    iperf_mbit $path "$M/down_mbit" -R
    iperf_mbit $path "$M/8x_mbit" -P 8
    iperf_mbit $path "$M/tcp80_mbit" -b "$($PY -c "print(int($MBIT * 0.8))")M"
    pp=$($MEASURE pingpong $H ${P_ECHO[$path]} $N_PING) || pp="{}"
    record $path 1 "$M/pingpong_ms" "$(echo "$pp" | jget "round(d['p50_us']/1000,2)" 2>/dev/null || echo null)"
    sc=$($MEASURE shortconn $H ${P_ECHO[$path]} $N_SHORT) || sc="{}"
    record $path 1 "$M/short_ms" "$(echo "$sc" | jget "round(d['p50_ms'],2)" 2>/dev/null || echo null)"
    if [ "${P_UDP[$path]}" != 0 ]; then
      u=$($MEASURE udpflow $H ${P_UDP[$path]} "$($PY -c "print($MBIT * 0.8)")" $T_UDPFLOW) || u="{}"
      record $path 1 "$M/udp80_loss_pct" "$(echo "$u" | jget "round(d['loss']*100,3)" 2>/dev/null || echo null)"
    fi
    if [ -n "${ADMIN_OF[$path]:-}" ]; then
      g=$(timeout 90 $MEASURE gap $H ${P_ECHO[$path]} ${ADMIN_OF[$path]}) || g="{}"
      record $path 1 "$M/failover_gap_ms" "$(echo "$g" | jget "round(d['gap_ms'],1)" 2>/dev/null || echo null)"
      # The tunnel is on the other switch now; let it settle before the next figure.
      for _ in $(seq 50); do echo_ok ${P_ECHO[$path]} && break; sleep 0.2; done
    fi
  done
done

# ---- report -------------------------------------------------------------------
VERSIONS="korvane $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
[ -n "$BASE_REF" ] && VERSIONS="$VERSIONS; korvane-base $BASE_REF ($(git rev-parse --short "$BASE_REF" 2>/dev/null || echo '?'))"
for p in haproxy openssh-server shadowsocks-libev iperf3; do
  VERSIONS="$VERSIONS; $p $(dpkg-query -W -f='${Version}' $p 2>/dev/null || echo '?')"
done
cp "$RESULTS" "$WORK/wan-results.jsonl"
$PY "$ROOT/bench/compare/report.py" --wan --results "$RESULTS" --out "$OUT" \
  --chart "${OUT%.md}-wan.png" --versions "$VERSIONS" --profiles "$PROFILES" --quick "$QUICK"
log "wrote the WAN section of $OUT and ${OUT%.md}-wan.png"
