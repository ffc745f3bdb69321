#!/usr/bin/env bash
# The gateway's own cost per poll round, side by side with mbpoll doing the
# same four reads (registers 1+4, 7+4, 13+3, 22+44) against the same
# simulated unit on a pseudo-terminal, where the line itself costs almost
# nothing; and the gateway's memory over 10,000 rounds.
# Usage: bench/gateway_rounds.sh [BUILD_DIR] [ROUNDS]   (defaults: build, 2000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rounds=${2:-2000}
# shellcheck source=rss_samples.sh
. "$root/bench/rss_samples.sh"
work=$(mktemp -d /tmp/norvane-bench.XXXXXX)
# shellcheck source=unit.sh
. "$root/bench/unit.sh"

start_unit
cat >"$work/gateway.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "$work/history.db", "interval_s": 0,
 "bus": {"port": "$pty", "baud": 9600, "parity": "none", "data_bits": 8, "stop_bits": 1},
 "units": [{"name": "ac1", "slave": 1, "data_id": 1,
            "settings": {"appSetting": {"b_mode": "2"}},
            "alarm_levels": {"120800150010": 3, "120800090010": 2}}]}
CONFIG

# Seconds of wall, user and system time of a command, its output dropped.
measure() {
  local TIMEFORMAT='%R %U %S'
  { time "$@" >/dev/null 2>&1; } 2>&1
}
per_round() {  # total seconds, rounds -> milliseconds per round
  awk -v t="$1" -v n="$2" 'BEGIN { printf "%.3f", 1000 * t / n }'
}

gateway=("$build/gateway/norvane-gateway" --config "$work/gateway.json")
"${gateway[@]}" --rounds 1 >/dev/null  # stops here, with its message, if it cannot run
read -r base_wall base_user base_sys < <(measure "${gateway[@]}" --rounds 0)
read -r wall user sys < <(measure "${gateway[@]}" --rounds "$rounds")
gw_wall=$(awk -v a="$wall" -v b="$base_wall" 'BEGIN { print a - b }')
gw_cpu=$(awk -v a="$user" -v b="$sys" -v c="$base_user" -v d="$base_sys" 'BEGIN { print a + b - c - d }')

mbpoll_rounds=$((rounds / 20))
mbpoll_round() {
  for block in "1 4" "7 4" "13 3" "22 44"; do
    set -- $block
    mbpoll -m rtu -a 1 -b 9600 -P none -0 -t 4 -r "$1" -c "$2" "$pty" -1 >/dev/null
  done
}
mbpoll_rounds_loop() { for _ in $(seq "$1"); do mbpoll_round; done; }
read -r mb_wall mb_user mb_sys < <(measure mbpoll_rounds_loop "$mbpoll_rounds")
mb_cpu=$(awk -v a="$mb_user" -v b="$mb_sys" 'BEGIN { print a + b }')

echo "gateway: $rounds rounds; per round: wall $(per_round "$gw_wall" "$rounds") ms," \
  "CPU $(per_round "$gw_cpu" "$rounds") ms (startup taken off)"
echo "mbpoll:  $mbpoll_rounds rounds of four calls; per round: wall" \
  "$(per_round "$mb_wall" "$mbpoll_rounds") ms, CPU $(per_round "$mb_cpu" "$mbpoll_rounds") ms"
echo "wire time of the four reads at 9600 8N1: about 200 ms; 1% of it: 2 ms"

# Memory: resident set size sampled while 10,000 rounds run.
"${gateway[@]}" --rounds 10000 >/dev/null 2>&1 &
rss_samples $! 0.5 "10,000 rounds"
