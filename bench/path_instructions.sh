#!/usr/bin/env bash
# Counts the instructions that each path of the plug-in takes on the
# controller's ISA: bench/path_runs of a cross build, run under qemu-mipsel
# with every instruction logged as it executes (-singlestep -d nochain,exec),
# COUNT and then 2 x COUNT passes of a path; the difference of the two runs,
# divided by COUNT, is the instructions of one pass (user space: the
# plug-in's code and the runtime libraries it calls, start-up left out).
# qemu's count is exact and the same on every run: it does not depend on
# the machine's load, unlike a time.
# Usage: bench/path_instructions.sh BUILD-DIR [COUNT]   (default COUNT 200)
#   e.g. bench/path_instructions.sh build-mipsel
set -euo pipefail
build=${1:?usage: bench/path_instructions.sh BUILD-DIR [COUNT]}
count=${2:-200}
program=$build/bench/path_runs
[ -x "$program" ] || { echo "no $program: build the target path_runs of a cross tree" >&2; exit 1; }

executed() {
  qemu-mipsel -singlestep -d nochain,exec -D /dev/fd/3 "$program" "$1" "$2" 3>&1 >/dev/null |
    grep -c '^Trace'
}

echo "Instructions of one pass, $program under qemu-mipsel ($count and $((2 * count)) passes):"
for path in reply round alarms report command; do
  once=$(executed "$path" "$count")
  twice=$(executed "$path" $((2 * count)))
  awk -v path="$path" -v d=$((twice - once)) -v n="$count" 'BEGIN { printf "  %-8s %9.1f\n", path, d / n }'
done
