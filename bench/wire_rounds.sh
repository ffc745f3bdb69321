#!/usr/bin/env bash
# The gateway against the wire: today's gateway polls the simulated unit on
# a paced line (norvane-sim --pace), which keeps the time that the frames
# would take on a real RS-485 line, with interval_s 0, at 9600 and 19,200
# baud 8N1, for 1 unit and for 32 units on one line. Prints the rounds per
# second, the measured time of a round (the four reads of one unit), and its
# ratio to the wire minimum: the rounds' characters plus a silent interval of
# 3.5 characters after each frame, with a unit that answers at once. Below
# each case, how soon the gateway sent its next request after a reply (the
# paced unit takes a request sent within the silent interval as starting
# when the interval ends, as the wire would need), and its CPU time.
#
# Usage: bench/wire_rounds.sh [BUILD_DIR] [ROUNDS_ONE_UNIT] [PASSES_32_UNITS]
#        (defaults: build, 50, 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rounds_one=${2:-50}
passes_many=${3:-3}
work=$(mktemp -d /tmp/norvane-wire.XXXXXX)
# shellcheck source=unit.sh
. "$root/bench/unit.sh"

# A round: four reads (registers 1+4, 7+4, 13+3, 22+44), each an 8-byte
# request and a reply of 5 + 2n bytes, each frame followed by 3.5
# characters of silence. 8N1: 10 bits a character.
wire_minimum_ms() {  # baud -> milliseconds
  awk -v baud="$1" 'BEGIN {
    characters = 0
    split("4 4 3 44", counts, " ")
    for (i = 1; i <= 4; i++) characters += 8 + 5 + 2 * counts[i] + 2 * 3.5
    printf "%.2f", 1000 * characters * 10 / baud
  }'
}

write_config() {  # baud units
  local units="" slave
  for slave in $(seq "$2"); do
    units+="${units:+,}{\"name\": \"ac$slave\", \"slave\": $slave, \"data_id\": $slave,"
    units+=" \"settings\": {\"appSetting\": {\"b_mode\": \"2\"}}}"
  done
  rm -f "$work"/history.db*
  cat >"$work/gateway.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "$work/history.db", "interval_s": 0,
 "bus": {"port": "$pty", "baud": $1, "parity": "none", "data_bits": 8, "stop_bits": 1,
         "response_timeout_ms": 500, "retries": 1},
 "units": [$units]}
CONFIG
}

# Seconds of wall, user and system time of a command, its output dropped.
measure() {
  local TIMEFORMAT='%R %U %S'
  { time "$@" >/dev/null 2>&1; } 2>&1
}

run_case() {  # baud units passes
  local baud=$1 units=$2 passes=$3
  start_unit --pace --baud "$baud" --slaves "1-$units"
  write_config "$baud" "$units"
  local gateway=("$build/gateway/norvane-gateway" --config "$work/gateway.json")
  "${gateway[@]}" --rounds 1 >/dev/null # stops here, with its message, if it cannot run
  stop_unit
  start_unit --pace --baud "$baud" --slaves "1-$units" # its figures then cover the measured run only
  sed -i "s|\"port\": \"[^\"]*\"|\"port\": \"$pty\"|" "$work/gateway.json"
  local base_wall base_user base_sys wall user sys
  read -r base_wall base_user base_sys < <(measure "${gateway[@]}" --rounds 0)
  read -r wall user sys < <(measure "${gateway[@]}" --rounds "$passes")
  stop_unit
  turnaround=$(sed -n 's/^master turnaround after a reply: //p' "$work/unit.log")
  awk -v baud="$baud" -v units="$units" -v passes="$passes" -v wall="$wall" \
    -v base="$base_wall" -v cpu="$(awk -v a="$user" -v b="$sys" -v c="$base_user" \
      -v d="$base_sys" 'BEGIN { print a + b - c - d }')" -v minimum="$(wire_minimum_ms "$baud")" '
    BEGIN {
      rounds = units * passes
      seconds = wall - base
      round_ms = 1000 * seconds / rounds
      printf "%6d %6d %7d %10.2f %9.2f %9.2f %7.3f %9.3f\n", baud, units, rounds,
        rounds / seconds, round_ms, minimum, round_ms / minimum, 1000 * cpu / rounds
    }'
  echo "               the gateway's next request after a reply: $turnaround"
}

echo "  baud  units  rounds  rounds/s  round ms  wire ms   ratio  CPU ms/round"
for baud in 9600 19200; do
  run_case "$baud" 1 "$rounds_one"
  run_case "$baud" 32 "$passes_many"
done
