#!/usr/bin/env bash
# Idle wake-ups of the SDK with a tunnel up: runs korvane-lab (lab/lab.json)
# and korvane-host (examples/host.json) from BUILD, waits for an open tunnel,
# then counts the context switches (voluntary + involuntary) of every SDK
# thread of the host over SECONDS, from /proc/<pid>/task/<tid>/status. The
# host's own main thread (a 100 ms poll of its signal flags) is left out.
# Usage: bash bench/idle/idle-wakeups.sh [BUILD] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build/dev}
SECONDS_IDLE=${2:-20}
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

"$BUILD/lab/korvane-lab" --config lab/lab.json >"$WORK/lab.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 1 100); do grep -q "^ready" "$WORK/lab.log" && break; sleep 0.1; done
mkdir -p "$WORK/documents" "$WORK/tmp"
KORVANE_DOCUMENTS_DIR="$WORK/documents" TMPDIR="$WORK/tmp" \
  "$BUILD/tools/korvane-host/korvane-host" --config examples/host.json >"$WORK/host.log" 2>&1 &
HOST=$!
PIDS+=($HOST)
for _ in $(seq 1 300); do grep -q " open, " "$WORK/host.log" && break; sleep 0.1; done
grep -q " open, " "$WORK/host.log" || { tail -n 20 "$WORK/host.log"; echo "FAIL: no open tunnel"; exit 1; }
sleep 2  # let the start settle

sample() {
  for task in /proc/"$HOST"/task/*; do
    tid=${task##*/}
    [ "$tid" = "$HOST" ] && continue
    name=$(cat "$task/comm" 2>/dev/null || echo "?")
    switches=$(awk '/ctxt_switches/ {n += $2} END {print n}' "$task/status" 2>/dev/null || echo 0)
    echo "$tid $name $switches"
  done
}
sample >"$WORK/before"
sleep "$SECONDS_IDLE"
sample >"$WORK/after"
join "$WORK/before" "$WORK/after" | awk -v s="$SECONDS_IDLE" '
  { d = $5 - $3; total += d; printf "  thread %-8s %-16s %6d switches  %.2f/s\n", $1, $2, d, d / s }
  END { printf "SDK threads: %.2f wake-ups per second idle with a tunnel up (%d s)\n", total / s, s }'
