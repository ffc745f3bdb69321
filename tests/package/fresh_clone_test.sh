#!/usr/bin/env bash
# The install commands of README.md as a reader runs them: in a fresh clone
# of this repository's HEAD, the lines between the markers
#   <!-- install commands: begin -->  and  <!-- install commands: end -->
# run in order (stopping at the first that fails); then the package that
# README.md's `apt install` line names must be there. docs/getting-started.md
# must give the same commands. ccache, when installed, serves the objects
# that the suite's own build compiled (paths hashed relative to the tree).
# Usage: fresh_clone_test.sh SOURCE_DIR     (exit 77: no git checkout, skipped)
set -euo pipefail
src=$(cd "${1:?usage: fresh_clone_test.sh SOURCE_DIR}" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

# The commands between the markers, without the code fence.
install_commands() {
  sed -n '/^<!-- install commands: begin -->$/,/^<!-- install commands: end -->$/p' "$1" |
    sed '1d;$d' | grep -v '^```'
}
commands=$(install_commands "$src/README.md")
[ -n "$commands" ] || fail "README.md has no install commands between the markers"
[ "$commands" = "$(install_commands "$src/docs/getting-started.md")" ] ||
  fail "docs/getting-started.md's install commands differ from README.md's"
deb=$(sed -n 's#^apt install \./\(build/package/[^ ]*\.deb\).*#\1#p' "$src/README.md")
[ -n "$deb" ] || fail "README.md names no package to install (apt install ./build/package/...)"

if ! head=$(git -C "$src" rev-parse --verify HEAD 2>/dev/null); then
  echo "$src is not a git checkout: skipped"
  exit 77
fi
[ -z "$(git -C "$src" status --porcelain --untracked-files=no)" ] ||
  echo "note: $src has uncommitted changes; the clone has HEAD ($head) only"
work=$(mktemp -d /tmp/norvane-clone.XXXXXX)
trap 'rm -rf "$work"' EXIT
clone=$work/norvane
git clone -q --no-checkout "$src" "$clone"
git -C "$clone" -c advice.detachedHead=false checkout -q "$head"

if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$work CCACHE_NOHASHDIR=1
  ccache --zero-stats >/dev/null
fi
start=$(date +%s)
(cd "$clone" && bash -euo pipefail -c "$commands") >"$work/install.log" 2>&1 ||
  { tail -n 40 "$work/install.log" >&2; fail "the install commands failed in a fresh clone"; }
seconds=$(($(date +%s) - start))
[ -f "$clone/$deb" ] || fail "no $deb after the install commands: $(ls "$clone/build/package" 2>&1)"
[ "$(dpkg-deb -f "$clone/$deb" Package)" = norvane ] || fail "$deb is not the package norvane"
echo "fresh clone of $head: the install commands made $deb in $seconds s"
if command -v ccache >/dev/null; then ccache --show-stats | grep -iE 'hits|misses' || true; fi
