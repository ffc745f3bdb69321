#!/usr/bin/env bash
# The gateway's resident memory over many reloads: a simulated unit, a
# gateway with the HTTP endpoint and JSON Lines on, and RELOADS reloads
# through the control socket that alternate between two configurations
# whose unit differs (its device made anew and its newest record reloaded
# each time).
# Prints VmRSS (kB) after the tenth reload and after the last, and their
# difference; with --limit-kb N exits 1 when the difference is above N.
#
#   bench/reload_memory.sh [BUILD_DIR] [RELOADS] [--limit-kb N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
reloads=${2:-1000}
limit_kb=
[ "${3:-}" = --limit-kb ] && limit_kb=$4

work=$(mktemp -d /tmp/norvane-reloads.XXXXXX)
# shellcheck source=unit.sh
. "$root/bench/unit.sh"
gateway_pid=
cleanup() {
  [ -n "$gateway_pid" ] && kill "$gateway_pid" 2>/dev/null && wait "$gateway_pid" 2>/dev/null
  stop_unit
  rm -rf "$work"
}
start_unit

for variant in 1 2; do
  cat >"$work/config$variant.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "$work/history.db", "interval_s": 0.2,
 "bus": {"port": "$pty", "response_timeout_ms": 200, "retries": 1},
 "units": [{"name": "ac1", "slave": 1, "data_id": $variant,
            "settings": {"appSetting": {"b_mode": "2"}}, "alarm_levels": {"120800150010": 3}}],
 "control": {"socket": "$work/control.sock"},
 "http": {"listen": "127.0.0.1:0"}, "jsonl": {"path": "$work/rounds.jsonl"}}
CONFIG
done
cp "$work/config1.json" "$work/config.json"
"$build/gateway/norvane-gateway" run --config "$work/config.json" >"$work/gateway.out" \
  2>"$work/gateway.err" &
gateway_pid=$!
for _ in $(seq 100); do
  [ -S "$work/control.sock" ] && break
  sleep 0.05
done

rss() { awk '/^VmRSS/ { print $2 }' "/proc/$gateway_pid/status"; }
at_tenth=
for i in $(seq "$reloads"); do
  cp "$work/config$((i % 2 + 1)).json" "$work/config.json"
  "$build/gateway/norvane-gateway" ctl --socket "$work/control.sock" reload >/dev/null ||
    { echo "reload $i failed" >&2; tail -5 "$work/gateway.err" >&2; exit 1; }
  [ "$i" -eq 10 ] && at_tenth=$(rss)
done
at_last=$(rss)
growth=$((at_last - at_tenth))
echo "VmRSS after reload 10: $at_tenth kB; after reload $reloads: $at_last kB; growth $growth kB"
if [ -n "$limit_kb" ] && [ "$growth" -gt "$limit_kb" ]; then
  echo "more than $limit_kb kB" >&2
  exit 1
fi
