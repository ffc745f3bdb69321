#!/usr/bin/env bash
# What each output of the gateway costs per poll round, beside a round with
# none: the gateway polls the simulated unit on a pseudo-terminal with
# interval_s 0 (a round is the gateway's own work), once with no output,
# then with each output alone, then with all of them; CPU time (user +
# system) per round, start-up taken off. The unit's scenario raises and
# clears an alarm every 2 s, so alarm events, MQTT's queue and the
# notification program (/bin/true) take part; Prometheus's scrape is played
# by a request of /metrics every 0.5 s. Then the gateway's resident memory
# over 10,000 rounds with every output on.
# Usage: bench/outputs_rounds.sh [BUILD_DIR] [ROUNDS]   (defaults: build, 5000)
# NORVANE_CALLGRIND=1 counts instructions (callgrind, all threads) instead
# of CPU time: steadier on a shared machine; ROUNDS 1000 is plenty then.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rounds=${2:-5000}
# shellcheck source=rss_samples.sh
. "$root/bench/rss_samples.sh"
work=$(mktemp -d /tmp/norvane-outputs-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

scenario=$work/scenario.txt
: >"$scenario"
for second in $(seq 1 2 3600); do
  printf '%d floor_water on\n%d floor_water off\n' "$second" "$((second + 1))" >>"$scenario"
done
"$build/simulator/norvane-sim" --scenario "$scenario" >"$work/unit.log" 2>&1 &
pids+=($!)
broker_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nuser %s\n' \
  "$broker_port" "$(id -un)" >"$work/broker.conf"
/usr/sbin/mosquitto -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  pty=$(sed -n 's/^pty //p' "$work/unit.log")
  [ -n "$pty" ] && break
  sleep 0.1
done

# config NAME SECTIONS: a configuration with the output sections given.
config() {
  cat >"$work/$1.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "$work/history-$1.db", "interval_s": 0,
 "bus": {"port": "$pty", "baud": 9600, "parity": "none", "data_bits": 8, "stop_bits": 1},
 "units": [{"name": "ac1", "slave": 1, "data_id": 1,
            "settings": {"appSetting": {"b_mode": "2"}},
            "alarm_levels": {"120800150010": 3, "120800090010": 2}}]$2}
CONFIG
}
http=', "http": {"listen": "127.0.0.1:0"}'
jsonl=", \"jsonl\": {\"path\": \"$work/rounds.jsonl\"}"
mqtt=", \"mqtt\": {\"host\": \"127.0.0.1\", \"port\": $broker_port, \"base_topic\": \"bench\"}"
notify=', "notify": {"exec": ["/bin/true"]}'
config none ""
config jsonl "$jsonl"
config http "$http"
config mqtt "$mqtt"
config notify "$notify"
config all "$http$jsonl$mqtt$notify"

# Scrapes the metrics of the gateway whose log is $1 every 0.5 s until it ends.
scrape_while() {
  local log=$1 pid=$2 address=
  while kill -0 "$pid" 2>/dev/null; do
    [ -z "$address" ] && address=$(sed -n 's#.*metrics at http://\([^/]*\)/metrics.*#\1#p' "$log")
    [ -n "$address" ] && curl -s -o /dev/null "http://$address/metrics" || true
    sleep 0.5
  done
}

# CPU seconds (user + system) of a gateway run, or with NORVANE_CALLGRIND
# its instructions: run NAME ROUNDS
run() {
  local name=$1 count=$2 log=$work/$1-$2.log
  local TIMEFORMAT='%U %S' tool=()
  [ -n "${NORVANE_CALLGRIND:-}" ] &&
    tool=(valgrind --tool=callgrind --callgrind-out-file="$work/$name-$count.out")
  { time {
      "${tool[@]}" "$build/gateway/norvane-gateway" --config "$work/$name.json" \
        --rounds "$count" --log-level notice >/dev/null 2>"$log" &
      local pid=$!
      case $name in http | all) scrape_while "$log" "$pid" & ;; esac
      wait "$pid"
    }; } 2>&1 | awk '{ print $1 + $2 }' >"$work/cpu"
  if [ -n "${NORVANE_CALLGRIND:-}" ]; then
    awk '/^summary:/ { print $2 / 1e6 }' "$work/$name-$count.out"  # million instructions
  else
    cat "$work/cpu"
  fi
}

unit=us
[ -n "${NORVANE_CALLGRIND:-}" ] && unit=Ir
printf '%-8s %12s %14s\n' output "$unit/round" "beside none"
base=
for name in none jsonl http mqtt notify all; do
  start=$(run "$name" 0)
  total=$(run "$name" "$rounds")
  per=$(awk -v t="$total" -v s="$start" -v n="$rounds" 'BEGIN { printf "%.1f", 1e6 * (t - s) / n }')
  [ -z "$base" ] && base=$per
  printf '%-8s %9s %s %11s %s\n' "$name" "$per" "$unit" \
    "$(awk -v p="$per" -v b="$base" 'BEGIN { printf "%+.1f", p - b }')" "$unit"
done

# Memory: resident set size sampled while 10,000 rounds run with every output on.
rm -f "$work/rounds.jsonl"
"$build/gateway/norvane-gateway" --config "$work/all.json" --rounds 10000 --log-level warning \
  >/dev/null 2>"$work/memory.log" &
gw_pid=$!
scrape_while "$work/memory.log" "$gw_pid" &
rss_samples "$gw_pid" 0.2 "10,000 rounds, every output on"
echo "JSON Lines written: $(wc -l <"$work/rounds.jsonl") lines"
