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
source scripts/lab-common.sh
lab_init

lab_start "$BUILD/lab/korvane-lab" lab/lab.json
host_start "$BUILD/tools/korvane-host/korvane-host" examples/host.json
HOST=$HOST_PID
wait_for " open, " 300 "$WORK/host.log" || lab_fail "no open tunnel"
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
