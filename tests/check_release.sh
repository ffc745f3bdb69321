#!/usr/bin/env bash
# Installs a build's release layout into a fresh directory and checks it:
# the norvane.so files named, each in its folder (cxx11-abi/,
# pre-cxx11-abi/) and no other, each stripped of its symbol table and debug
# sections and still passing check_plugin_file.sh with its own options; the
# text beside each names every runtime version that the installed file
# requires, its std::string ABI and, for MIPS, its ISA and FP ABI; norvane-preflight is installed beside
# the folders and, given the options after --preflight and the root folder
# /, finds the files there and names the first one as the one that fits.
# Usage: check_release.sh BUILD-DIR OUT-DIR [--preflight OPTION...]
#          --file FOLDER [check_plugin_file.sh options] [--file FOLDER [options]]...
set -euo pipefail
usage="usage: check_release.sh BUILD-DIR OUT-DIR [--preflight OPTION...] --file FOLDER [options]..."
build=${1:?$usage}
out=${2:?$usage}
shift 2
preflight=()
if [ "${1:-}" = "--preflight" ]; then
  shift
  while [ $# -gt 0 ] && [ "$1" != "--file" ]; do
    preflight+=("$1")
    shift
  done
fi
[ "${1:-}" = "--file" ] || { echo "$usage" >&2; exit 2; }
here=$(dirname "$0")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$out"
cmake --install "$build" --component release --prefix "$out" >/dev/null

# Checks one installed file with the options given for it.
check_file() {
  local folder=$1
  shift
  local plugin=$out/$folder/norvane.so note=$out/$folder/norvane-runtime.txt
  [ -f "$plugin" ] || { fail "no $folder/norvane.so"; return; }
  grep -Eq ' \.symtab | \.debug_' <<<"$(readelf -W -S "$plugin")" && fail "$plugin is not stripped"
  "$here/check_plugin_file.sh" "$@" "$plugin" || fail "the installed $folder/norvane.so fails its checks"
  [ -s "$note" ] || { fail "no text $note"; return; }
  while read -r lib version; do
    grep -qxF "  $lib $version" "$note" || fail "$note does not name $lib $version"
  done < <("$here/../plugin/runtime_versions.sh" "$plugin")
  local flags isa fp
  flags=$(readelf -A "$plugin")
  isa=$(sed -n 's/^ISA: *//p' <<<"$flags")
  fp=$(sed -n 's/^FP ABI: *//p' <<<"$flags")
  if [ -n "$isa" ]; then
    grep -q "^ISA: *$isa (o32, release " "$note" || fail "$note does not name the ISA $isa"
    grep -qxF "FP ABI:   $fp" "$note" || fail "$note does not name the FP ABI $fp"
  fi
  case "$folder" in
    cxx11-abi) grep -q '^String ABI: C++11 std::string' "$note" || fail "$note names another ABI" ;;
    pre-cxx11-abi) grep -q '^String ABI: pre-C++11' "$note" || fail "$note names another ABI" ;;
  esac
  echo "$folder/norvane.so: $(stat -c %s "$plugin") bytes, stripped, with norvane-runtime.txt"
}

folders=()
while [ $# -gt 0 ]; do
  [ "$1" = "--file" ] || { echo "$usage" >&2; exit 2; }
  folder=${2:?$usage}
  shift 2
  options=()
  while [ $# -gt 0 ] && [ "$1" != "--file" ]; do
    options+=("$1")
    shift
  done
  folders+=("$folder")
  check_file "$folder" "${options[@]}"
done

while read -r found; do
  printf '%s\n' "${folders[@]}" | grep -qxF "$(dirname "${found#"$out"/}")" ||
    fail "installs ${found#"$out"/}, which is not one of the files checked"
done < <(find "$out" -name norvane.so)
if [ ! -x "$out/norvane-preflight" ]; then
  fail "norvane-preflight is not installed"
elif [ "${#preflight[@]}" -gt 0 ]; then
  verdict=$("$out/norvane-preflight" "${preflight[@]}" / | tail -n 1) || true
  [ "$verdict" = "This controller can load: $out/${folders[0]}/norvane.so" ] ||
    fail "norvane-preflight beside the files says: $verdict"
fi

[ "$failures" -eq 0 ] || exit 1
echo "$out: ${folders[*]} and norvane-preflight"
