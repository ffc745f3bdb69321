#!/usr/bin/env bash
# Runs a fuzz target from its seeds in a working corpus of its own and prints
# how many executions it made.  Usage: run_fuzzer.sh TARGET SEEDS CORPUS [libFuzzer options]
set -euo pipefail
target=$1 seeds=$2 corpus=$3
shift 3
mkdir -p "$corpus"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$target" -close_fd_mask=1 -print_final_stats=1 "$@" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$log"
  exit "$status"
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "$(basename "$target"): ${runs:-?} executions, corpus $(ls "$corpus" | wc -l) inputs"
