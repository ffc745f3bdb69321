#!/usr/bin/env bash
# The history's faults against a running gateway (the simulated unit, a
# round every 0.1 s, the water alarm raised and cleared every 5 s):
#   1. another process holds a write lock on the history for LOCK_SECONDS;
#   2. the history is full (history_max_mb 1, its room taken by another
#      table) for FULL_SECONDS, then room is made;
# each time: rounds completed, records and alarm events stored, lost, and
# the longest queue. Then the cost of synchronous=FULL against NORMAL per
# round (one commit a round), interval 0, ROUNDS rounds each.
# Usage: bench/history_faults.sh [BUILD_DIR] [LOCK_SECONDS] [FULL_SECONDS] [ROUNDS]
#        (defaults: build, 60, 30, 2000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
lock_seconds=${2:-60}
full_seconds=${3:-30}
rounds=${4:-2000}
python=/usr/bin/python3
work=$(mktemp -d "$build/history-bench.XXXXXX")  # on the build's disk, as a history would be
# shellcheck source=unit.sh
. "$root/bench/unit.sh"
gateway_pid=
cleanup() {
  [ -n "$gateway_pid" ] && kill "$gateway_pid" 2>/dev/null && wait "$gateway_pid" 2>/dev/null
  stop_unit
  rm -rf "$work"
}

for at in $(seq 5 5 $((lock_seconds + full_seconds + 60))); do
  echo "$at floor_water $([ $((at / 5 % 2)) -eq 1 ] && echo on || echo off)"
done >"$work/scenario.txt"
start_unit --scenario "$work/scenario.txt"

write_config() {  # extra top-level fields
  cat >"$work/gateway.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "$work/history.db", "interval_s": 0.1 $1,
 "bus": {"port": "$pty"}, "control": {"socket": "$work/gateway.sock"},
 "units": [{"name": "ac1", "slave": 1, "data_id": 1,
            "settings": {"appSetting": {"b_mode": "2"}}, "alarm_levels": {"120800150010": 3}}]}
CONFIG
}
sql() { "$python" -c 'import sqlite3, sys; print(sqlite3.connect(sys.argv[1]).execute(sys.argv[2]).fetchone()[0])' "$work/history.db" "$1"; }
queued() {
  "$build/gateway/norvane-gateway" ctl --socket "$work/gateway.sock" --json status 2>/dev/null |
    "$python" -c 'import json, sys; h = json.load(sys.stdin)["history"]; print(h["queued_records"] + h["queued_events"])' ||
    echo 0
}
# Runs the gateway while `fault` (a command) runs beside it, sampling the
# queue every second; then 5 s more, and prints the figures.
run_through() {
  local name=$1 fault=$2
  "$build/gateway/norvane-gateway" --config "$work/gateway.json" >"$work/gateway.out" \
    2>"$work/gateway.err" &
  gateway_pid=$!
  sleep 3
  bash -c "$fault" &
  local fault_pid=$! longest=0
  while kill -0 "$fault_pid" 2>/dev/null; do
    local now
    now=$(queued)
    [ "$now" -gt "$longest" ] && longest=$now
    sleep 1
  done
  wait "$fault_pid"
  sleep 5
  kill -TERM "$gateway_pid"
  wait "$gateway_pid"
  gateway_pid=
  local completed alarms
  completed=$(sed -n 's/^summary ac1: rounds [0-9]* completed \([0-9]*\);.*/\1/p' "$work/gateway.out")
  alarms=$(grep -c '^alarm ac1 ' "$work/gateway.out" || true)
  echo "$name: $completed rounds completed, $(sql 'SELECT count(*) FROM history WHERE reload = 0') records stored;" \
    "$alarms alarm events printed, $(sql 'SELECT count(*) FROM alarm_events') stored;" \
    "longest queue $longest; $(sed -n 's/^summary history .*; \(lost .*\)/\1/p' "$work/gateway.out")"
}

write_config ""
run_through "lock of ${lock_seconds} s" \
  "'$python' -c 'import sqlite3, time; c = sqlite3.connect(\"$work/history.db\", isolation_level=None); c.execute(\"BEGIN EXCLUSIVE\"); time.sleep($lock_seconds); c.execute(\"ROLLBACK\")'"

rm -f "$work/history.db"*
"$python" -c '
import sqlite3, sys
c = sqlite3.connect(sys.argv[1])
c.executescript("PRAGMA page_size = 4096; CREATE TABLE filler (bytes BLOB);"
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 246)"
                " INSERT INTO filler SELECT zeroblob(4000) FROM n;")' "$work/history.db"
write_config ', "history_max_mb": 1'
run_through "full for ${full_seconds} s" \
  "sleep $full_seconds; '$python' -c 'import sqlite3; c = sqlite3.connect(\"$work/history.db\"); c.execute(\"DELETE FROM filler\"); c.commit()'"

# FULL against NORMAL, in turn three times each (the machine's load
# drifts): the gateway's wall time per round of ROUNDS rounds, interval 0,
# one commit a round; and SQLite's own time per commit of one record.
declare -A per_round=([normal]="" [full]="")
for _ in 1 2 3; do
  for mode in normal full; do
    rm -f "$work/history.db"*
    write_config ", \"history_synchronous\": \"$mode\""
    start=$(date +%s.%N)
    "$build/gateway/norvane-gateway" --config "$work/gateway.json" --interval 0 \
      --rounds "$rounds" >/dev/null 2>&1
    end=$(date +%s.%N)
    per_round[$mode]+="$(awk -v s="$start" -v e="$end" -v n="$rounds" 'BEGIN { print 1000 * (e - s) / n }') "
  done
done
median() { tr ' ' '\n' | sed '/^$/d' | sort -g | sed -n 2p; }
for mode in normal full; do
  commit=$("$python" - "$work/commit.db" "$mode" <<'PY'
import os, sqlite3, sys, time
path, mode = sys.argv[1:]
for suffix in ("", "-wal", "-shm"):
    if os.path.exists(path + suffix):
        os.remove(path + suffix)
db = sqlite3.connect(path, isolation_level=None)
db.executescript("PRAGMA journal_mode = WAL; PRAGMA synchronous = %s;"
                 "CREATE TABLE history (id INTEGER PRIMARY KEY, record BLOB)" % mode)
record = bytes(121)
times = []
for _ in range(3):
    start = time.perf_counter()
    for _ in range(1000):
        db.execute("BEGIN IMMEDIATE")
        db.execute("INSERT INTO history (record) VALUES (?)", (record,))
        db.execute("COMMIT")
    times.append((time.perf_counter() - start) / 1000)
print("%.3f" % (1000 * sorted(times)[1]))
PY
)
  echo "synchronous $mode: $(echo "${per_round[$mode]}" | median) ms a round (median of 3 runs of" \
    "$rounds rounds, one commit each); $commit ms a commit of one record"
done
