#!/usr/bin/env bash
# Configures a tree of build type Debug (no optimisation of its own) in
# BUILD-DIR, builds the release files there, and checks its release layout
# with check_release.sh: the files keep their floors and their ISA whatever
# build type an integrator picks, or this fails naming what broke them.
# Usage: check_debug_release.sh SOURCE BUILD-DIR [CMAKE-OPTION...] --
#          [check_release.sh options after its BUILD-DIR and OUT-DIR]
#   e.g. check_debug_release.sh . build/debug -DCMAKE_TOOLCHAIN_FILE=... --
#          --file cxx11-abi --runtime-at-most ... --file pre-cxx11-abi ...
set -euo pipefail
usage="usage: check_debug_release.sh SOURCE BUILD-DIR [CMAKE-OPTION...] -- CHECK-OPTION..."
source=${1:?$usage}
build=${2:?$usage}
shift 2
options=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  options+=("$1")
  shift
done
[ "${1:-}" = "--" ] || { echo "$usage" >&2; exit 2; }
shift

# Runs a step quietly; if it fails, shows the end of its output and stops.
step() {
  local what=$1 output
  shift
  output=$("$@" 2>&1) && return 0
  tail -n 40 <<<"$output"
  echo "FAIL: $what"
  exit 1
}
step "the Debug tree does not configure" cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DNORVANE_TESTS=OFF -DNORVANE_BENCHMARKS=OFF "${options[@]}"
step "the Debug tree's release files do not build" \
  cmake --build "$build" -j "${NORVANE_JOBS:-2}" --target norvane norvane_pre_cxx11
echo "built in $build, build type $(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
exec "$(dirname "$0")/check_release.sh" "$build" "$build/release" "$@"
