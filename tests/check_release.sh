#!/usr/bin/env bash
# Installs a build's release layout into a fresh directory and checks it:
# norvane.so is stripped of its symbol table and debug sections and still
# passes check_plugin_file.sh (given the same options), and the text beside
# it names every runtime version that the installed file requires.
# Usage: check_release.sh BUILD-DIR OUT-DIR [check_plugin_file.sh options]
set -euo pipefail
build=${1:?usage: check_release.sh BUILD-DIR OUT-DIR [options]}
out=${2:?usage: check_release.sh BUILD-DIR OUT-DIR [options]}
shift 2
here=$(dirname "$0")

rm -rf "$out"
cmake --install "$build" --component release --prefix "$out" >/dev/null
plugin=$out/norvane.so
note=$out/norvane-runtime.txt
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

sections=$(readelf -W -S "$plugin")
grep -Eq ' \.symtab | \.debug_' <<<"$sections" && fail "$plugin is not stripped"
"$here/check_plugin_file.sh" "$@" "$plugin" || fail "the installed file fails its checks"

[ -s "$note" ] || fail "no text $note"
while read -r lib version; do
  grep -qxF "  $lib $version" "$note" || fail "$note does not name $lib $version"
done < <("$here/../plugin/runtime_versions.sh" "$plugin")

[ "$failures" -eq 0 ] || exit 1
echo "$out: norvane.so ($(stat -c %s "$plugin") bytes, stripped) and norvane-runtime.txt"
