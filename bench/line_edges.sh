#!/usr/bin/env bash
# The line's edges, measured on the simulated unit behind the fault line
# (tests/line): what each costs the gateway.
#   port: the gateway's port goes away for OUTAGE_S seconds (default 30)
#         while the gateway polls every 0.2 s; prints how long after the
#         port's return the gateway opened it again (from the fault line's
#         "link" line to the gateway's "open again" line, both stamped here).
#   silence: the simulated unit paces the line (9600 8N1) and counts the
#         requests that the gateway sent within the silent interval after
#         its reply (from the reply's last character written to the
#         request's first read); the gateway polls at interval 0 for
#         SILENCE_S seconds (default 15), on an idle machine and with two
#         busy loops beside it.
#   dead: units ac1 (the simulated unit) and ac2 (absent) on one line,
#         500 ms response timeout, one retry, intervals 5 s (the default)
#         and 1 s: the live unit's completed rounds in the first 20 s
#         against the passes due in that time.
#   cut:  a response timeout of 100 ms, one retry, interval 0, 100 rounds:
#         clean, with a dropped reply and with a reply cut short every 8
#         exchanges on average; prints what a fault costs, on average (the
#         run's time beyond the clean run's, over the faults injected).
# Usage: bench/line_edges.sh [BUILD_DIR] [SECTIONS...]   (default: all)
#        GATEWAY=PATH runs another gateway binary (e.g. an older build);
#        OUTAGE_S=N sets the outage.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift $(($# > 0 ? 1 : 0))
sections=("$@")
[ ${#sections[@]} -eq 0 ] && sections=(port cut silence dead)
gateway=${GATEWAY:-$build/gateway/norvane-gateway}
outage_s=${OUTAGE_S:-30}
work=$(mktemp -d /tmp/norvane-bench.XXXXXX)
# shellcheck source=unit.sh
. "$root/bench/unit.sh"
line_pid=
gateway_pid=
cleanup() {
  for pid in $gateway_pid $line_pid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  stop_unit
  rm -rf "$work"
}

# Copies stdin to $1, each line preceded by the seconds since the epoch.
stamp() {
  while IFS= read -r text; do printf '%s %s\n' "$(date +%s.%N)" "$text"; done >"$1"
}

# The fault line between the unit and $work/ttyLINE with fault-line ARGS.
start_line() {
  "$build/tests/line/norvane-fault-line" --unit "$pty" --link "$work/ttyLINE" "$@" \
    > >(stamp "$work/line.log") 2>&1 &
  line_pid=$!
  for _ in $(seq 100); do
    grep -q ' link ' "$work/line.log" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "the fault line did not start" >&2
  exit 1
}

# The gateway's configuration on the fault line: interval $1 s, response
# timeout $2 ms, one retry, unit ac1 (and ac2 at slave 2, absent, when $3
# is "dead").
write_config() {
  local units='[{"name": "ac1", "slave": 1, "data_id": 1}]'
  [ "${3:-}" = dead ] &&
    units='[{"name": "ac1", "slave": 1, "data_id": 1}, {"name": "ac2", "slave": 2, "data_id": 2}]'
  rm -f "$work/history.db"*
  cat >"$work/gateway.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "$work/history.db", "interval_s": $1,
 "bus": {"port": "$work/ttyLINE", "response_timeout_ms": $2, "retries": 1},
 "units": $units}
CONFIG
}

# Runs the gateway in the background (see write_config for the arguments).
start_gateway() {
  write_config "$@"
  "$gateway" --config "$work/gateway.json" >"$work/gateway.out" 2> >(stamp "$work/gateway.err") &
  gateway_pid=$!
}

stop_all() {
  kill -TERM "$gateway_pid" "$line_pid" 2>/dev/null || true
  wait "$gateway_pid" 2>/dev/null || true
  wait "$line_pid" 2>/dev/null || true
  gateway_pid=
  line_pid=
}

port_section() {
  start_unit --slave 1
  start_line --faults gone --total 1 --every 4 --gone-ms "$((outage_s * 1000))"
  start_gateway 0.2 200
  local returned=
  for _ in $(seq $((outage_s * 10 + 600))); do
    returned=$(grep ' link ' "$work/line.log" | sed -n '2s/ .*//p')
    [ -n "$returned" ] && break
    sleep 0.1
  done
  sleep 25
  stop_all
  stop_unit
  local opened
  opened=$(grep 'open again' "$work/gateway.err" | sed -n '1s/ .*//p')
  awk -v r="$returned" -v o="$opened" -v s="$outage_s" 'BEGIN {
    if (r == "" || o == "") { printf "port: the port did not return or was not opened again\n"; exit }
    printf "port: after a %d s outage the gateway opened the port %.2f s after it returned\n",
      s, o - r }'
}

# Seconds that the gateway takes for `--rounds $1` on the fault line.
timed_rounds() {
  local began ended
  began=$(date +%s.%N)
  "$gateway" --config "$work/gateway.json" --rounds "$1" >"$work/gateway.out" \
    2>"$work/gateway.err" || true
  ended=$(date +%s.%N)
  awk -v b="$began" -v e="$ended" 'BEGIN { printf "%.3f", e - b }'
}

cut_section() {
  local rounds=100 clean=
  for kind in none drop cut; do
    start_unit --slave 1
    if [ "$kind" = none ]; then start_line; else start_line --faults "$kind" --every 8; fi
    write_config 0 100
    local took faults
    took=$(timed_rounds "$rounds")
    kill -TERM "$line_pid"
    wait "$line_pid" 2>/dev/null || true
    line_pid=
    stop_unit
    sleep 0.5  # the stamped log catches up
    faults=$(sed -n "s/.* injected $kind faults \([0-9]*\).*/\1/p" "$work/line.log")
    if [ "$kind" = none ]; then
      clean=$took
      printf 'cut: %d rounds at a 100 ms response timeout, clean: %.2f s\n' "$rounds" "$took"
      continue
    fi
    awk -v k="$kind" -v t="$took" -v c="$clean" -v f="${faults:-0}" -v r="$rounds" 'BEGIN {
      printf "cut: %d rounds with %d %s faults: %.2f s, %.0f ms a fault\n", r, f, k, t,
        (f > 0 ? 1000 * (t - c) / f : 0) }'
  done
}

silence_section() {
  local seconds=${SILENCE_S:-15}
  for load in idle loaded; do
    local hogs=()
    if [ "$load" = loaded ]; then
      for _ in 1 2; do
        (while :; do :; done) &
        hogs+=($!)
      done
    fi
    start_unit --slave 1 --pace
    cat >"$work/gateway.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "$work/history.db", "interval_s": 0,
 "bus": {"port": "$pty", "response_timeout_ms": 500, "retries": 1},
 "units": [{"name": "ac1", "slave": 1, "data_id": 1}]}
CONFIG
    "$gateway" --config "$work/gateway.json" >"$work/gateway.out" 2>"$work/gateway.err" &
    gateway_pid=$!
    sleep "$seconds"
    kill -TERM "$gateway_pid" 2>/dev/null || true
    wait "$gateway_pid" || true
    gateway_pid=
    stop_unit
    for hog in "${hogs[@]}"; do kill "$hog"; done
    wait "${hogs[@]}" 2>/dev/null || true
    sed -n "s/^master turnaround after a reply: \(.*\)/silence: $load machine, $seconds s: \1/p" \
      "$work/unit.log"
    rm -f "$work/history.db"*
  done
}

dead_section() {
  start_unit --slave 1
  for interval in 5 1; do
    cat >"$work/gateway.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "$work/history.db", "interval_s": $interval,
 "bus": {"port": "$pty", "response_timeout_ms": 500, "retries": 1},
 "units": [{"name": "ac1", "slave": 1, "data_id": 1}, {"name": "ac2", "slave": 2, "data_id": 2}]}
CONFIG
    "$gateway" --config "$work/gateway.json" >"$work/gateway.out" 2>"$work/gateway.err" &
    gateway_pid=$!
    sleep 20
    kill -TERM "$gateway_pid" 2>/dev/null || true
    wait "$gateway_pid" || true
    gateway_pid=
    local live due
    live=$(sed -n 's/^summary ac1: rounds [0-9]* completed \([0-9]*\).*/\1/p' "$work/gateway.out")
    due=$(awk -v i="$interval" 'BEGIN { printf "%d", 20 / i }')
    awk -v i="$interval" -v n="${live:-0}" -v d="$due" 'BEGIN {
      printf "dead: interval %s s, first 20 s: the live unit completed %d rounds of %d due, %.0f%% lost\n",
        i, n, d, (n < d ? 100 * (d - n) / d : 0) }'
    rm -f "$work/history.db"*
  done
  stop_unit
}

for section in "${sections[@]}"; do "${section}_section"; done
