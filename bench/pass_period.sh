#!/usr/bin/env bash
# The poll schedule's period: the gateway polls one simulated unit (on a
# pseudo-terminal, the bus at 115,200 baud: a round of four requests takes
# about 8 ms, each after a silent interval of 1.75 ms) for PASSES passes at
# INTERVAL seconds, and the script prints the mean period from the start
# of a pass to the next: the wall time of a run of PASSES + 1 passes less
# a run of one (the start-up and the last pass out), over PASSES. REPEATS
# runs give the spread.
# Usage: bench/pass_period.sh [BUILD_DIR] [PASSES] [INTERVAL] [REPEATS]
#        (defaults: build, 1000, 0.02, 3; about a minute a repeat)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
passes=${2:-1000}
interval=${3:-0.02}
repeats=${4:-3}
work=$(mktemp -d /tmp/norvane-period.XXXXXX)
# shellcheck source=unit.sh
. "$root/bench/unit.sh"

start_unit
cat >"$work/gateway.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "$work/history.db", "interval_s": $interval,
 "bus": {"port": "$pty", "baud": 115200, "parity": "none", "data_bits": 8, "stop_bits": 1},
 "units": [{"name": "ac1", "slave": 1, "data_id": 1}]}
CONFIG

wall_s() {  # passes
  local TIMEFORMAT='%R'
  { time "$build/gateway/norvane-gateway" --config "$work/gateway.json" --rounds "$1" \
    >/dev/null 2>"$work/gateway.err"; } 2>&1
}

for _ in $(seq "$repeats"); do
  one=$(wall_s 1)
  many=$(wall_s $((passes + 1)))
  awk -v a="$many" -v b="$one" -v n="$passes" -v i="$interval" 'BEGIN {
    period = 1000 * (a - b) / n
    printf "%d passes at %g s: mean period %.3f ms (%+.3f ms)\n", n, i, period, period - 1000 * i
  }'
done
