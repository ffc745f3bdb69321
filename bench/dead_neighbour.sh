#!/usr/bin/env bash
# The pace of a unit that answers beside one that does not: two units on
# one line, ac1 at slave 1 (the simulated unit) and ac2 at slave 2 (absent),
# a response timeout of 500 ms and one retry, the gateway's defaults for the
# rest. For each interval the gateway runs SECONDS and the script prints the
# live unit's completed rounds, its rounds per second and mean period, and
# the requests sent to the dead unit; and, where the gateway raised the dead
# unit's communication loss, the live unit's pace from then on.
# Usage: bench/dead_neighbour.sh [BUILD_DIR] [SECONDS] [INTERVALS...]
#        (defaults: build, 30, intervals 0 and 1)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
seconds=${2:-30}
shift $(($# > 2 ? 2 : $#))
intervals=("$@")
[ ${#intervals[@]} -eq 0 ] && intervals=(0 1)
work=$(mktemp -d /tmp/norvane-bench.XXXXXX)
# shellcheck source=unit.sh
. "$root/bench/unit.sh"

start_unit --slave 1

# The number after `word` in the summary line of `unit`.
summary_number() {
  sed -n "s/^summary $1: .*$2 \([0-9]*\).*/\1/p" "$work/gateway.out"
}

for interval in "${intervals[@]}"; do
  rm -f "$work/history.db"*
  cat >"$work/gateway.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "$work/history.db", "interval_s": $interval,
 "bus": {"port": "$pty", "response_timeout_ms": 500, "retries": 1},
 "units": [{"name": "ac1", "slave": 1, "data_id": 1}, {"name": "ac2", "slave": 2, "data_id": 2}]}
CONFIG
  "$build/gateway/norvane-gateway" --config "$work/gateway.json" >"$work/gateway.out" \
    2>"$work/gateway.err" &
  gateway_pid=$!
  sleep "$seconds"
  stopped=$(date '+%Y-%m-%d %H:%M:%S')
  kill -TERM "$gateway_pid"
  wait "$gateway_pid" || true
  live=$(summary_number ac1 completed)
  dead=$(summary_number ac2 requests)
  awk -v i="$interval" -v s="$seconds" -v n="$live" -v d="$dead" 'BEGIN {
    printf "interval %s s, %s s: live unit %d rounds, %.2f rounds/s, a round every %.1f ms;",
      i, s, n, n / s, (n > 0 ? 1000 * s / n : 0)
    printf " dead unit %d requests\n", d }'
  lost=$(sed -n 's/^alarm ac2 raised comm_lost level [0-9]* at \([-0-9: ]*\): .*/\1/p' "$work/gateway.out")
  [ -z "$lost" ] && continue  # the gateway did not raise it (or cannot)
  /usr/bin/python3 -c '
import datetime, sqlite3, sys
db, lost, stopped = sys.argv[1:]
rounds = sqlite3.connect(db).execute(
    "SELECT count(*) FROM history WHERE device = ? AND time > ? AND time < ? AND reload = 0",
    ("ac1", lost, stopped)).fetchone()[0]
span = (datetime.datetime.fromisoformat(stopped) - datetime.datetime.fromisoformat(lost)).seconds - 1
print("  after the dead unit was found not answering (%s): live unit %d rounds in %d s, "
      "a round every %.1f ms" % (lost, rounds, span, 1000.0 * span / max(rounds, 1)))
' "$work/history.db" "$lost" "$stopped"
done
