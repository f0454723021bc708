# Shell functions for scripts that run korvane-lab and korvane-host on
# loopback. Source it, then call lab_init once: it makes the scratch
# directory $WORK and stops every process started through lab_spawn when the
# script ends, however it ends.
#
#   lab_init                     scratch directory, clean-up on exit
#   lab_spawn NAME CMD...        runs CMD in the background, output in
#                                $WORK/NAME.log; its pid in LAB_PID
#   wait_for TEXT TENTHS FILE    waits up to TENTHS/10 s for TEXT in FILE
#   lab_fail MESSAGE             prints FAIL and the end of every log, exits 1
#   lab_ports CONFIG             ADMIN_PORT API_ADDR TCP_PORT UDP_PORT from a
#                                lab file (0 or "none" when missing), and
#                                ADMIN_HOST API_HOST (brackets dropped) and
#                                CLIENT_IP, where the SDK's local ports are
#   lab_start LAB CONFIG         starts the lab and waits for "ready"; while
#                                its ports are taken it tries again, for up
#                                to LAB_PORT_WAIT seconds (default 0)
#   host_start HOST CONFIG ARGS  starts korvane-host with its documents and
#                                temporary files under $WORK; pid in HOST_PID
#   host_stop                    SIGTERM, at most 10 s, exit status 0

lab_init() {
  WORK=$(mktemp -d)
  LAB_PIDS=()
  trap lab_cleanup EXIT
  trap 'exit 130' INT TERM
}

lab_cleanup() {
  local pid
  for pid in "${LAB_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${LAB_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}

lab_spawn() {
  local name=$1; shift
  "$@" >"$WORK/$name.log" 2>&1 &
  LAB_PID=$!
  LAB_PIDS+=("$LAB_PID")
}

wait_for() {
  local _
  for _ in $(seq 1 "$2"); do
    grep -q -- "$1" "$3" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

lab_fail() {
  local log
  echo "FAIL: $*"
  for log in "$WORK"/*.log; do
    [ -f "$log" ] || continue
    echo "--- $(basename "$log" .log)"
    tail -n 20 "$log"
  done
  exit 1
}

lab_ports() {
  read -r ADMIN_PORT API_ADDR TCP_PORT UDP_PORT ADMIN_HOST API_HOST CLIENT_IP < <(python3 - "$1" <<'PY'
import json, sys
lab = json.load(open(sys.argv[1]))
kinds = {b["name"]: b["kind"] for b in lab.get("backends", [])}
def port_of(kind):
    for r in lab.get("routes", []):
        if kinds.get(r.get("backend")) == kind:
            return r["client_port"]
    return 0
api = lab.get("api", {})
api_addr = api.get("https_listen", "none") if isinstance(api, dict) else "none"
api_host = api_addr.rsplit(":", 1)[0].strip("[]") if api_addr != "none" else "none"
client_ip = api.get("client_ip", "127.0.0.1") if isinstance(api, dict) else "127.0.0.1"
admin_host, admin_port = lab["admin"].rsplit(":", 1)
print(admin_port, api_addr, port_of("tcp_echo"), port_of("udp_echo"), admin_host.strip("[]"),
      api_host, client_ip)
PY
  )
  [ -n "${ADMIN_PORT:-}" ] || lab_fail "cannot read the ports of $1"
}

lab_start() {
  local until=$(( $(date +%s) + ${LAB_PORT_WAIT:-0} ))
  while :; do
    lab_spawn lab "$1" --config "$2"
    local _
    for _ in $(seq 1 100); do
      grep -q "^ready" "$WORK/lab.log" && return 0
      kill -0 "$LAB_PID" 2>/dev/null || break
      sleep 0.1
    done
    grep -q "cannot listen" "$WORK/lab.log" && [ "$(date +%s)" -lt "$until" ] || break
    sleep 2
  done
  lab_fail "korvane-lab did not start (are its ports free?)"
}

host_start() {
  local bin=$1 config=$2; shift 2
  mkdir -p "$WORK/documents" "$WORK/tmp"
  lab_spawn host env KORVANE_DOCUMENTS_DIR="$WORK/documents" TMPDIR="$WORK/tmp" \
    "$bin" --config "$config" "$@"
  HOST_PID=$LAB_PID
}

host_stop() {
  local _
  kill -TERM "$HOST_PID"
  for _ in $(seq 1 100); do kill -0 "$HOST_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$HOST_PID" 2>/dev/null && lab_fail "korvane-host did not stop within 10 s"
  wait "$HOST_PID" || lab_fail "korvane-host exited with an error"
}
