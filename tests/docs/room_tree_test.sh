#!/usr/bin/env bash
# The room tree's copies in README.md and docs/architecture.md are what
# scripts/room-tree prints; a stale copy is caught and --update mends it.
# Usage: room_tree_test.sh SOURCE_DIR
set -euo pipefail
src=$(cd "${1:?usage: room_tree_test.sh SOURCE_DIR}" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
for doc in README.md docs/architecture.md; do
  "$src/scripts/room-tree" --check "$src/$doc" || fail "$doc"
done
work=$(mktemp -d /tmp/norvane-room-tree.XXXXXX)
trap 'rm -rf "$work"' EXIT
sed 's#^├── bus/ .*#├── bus/      a job that is no more#' "$src/docs/architecture.md" >"$work/stale.md"
! cmp -s "$src/docs/architecture.md" "$work/stale.md" || fail "could not plant a stale line"
if "$src/scripts/room-tree" --check "$work/stale.md" 2>"$work/check.log"; then
  fail "--check passed a stale copy"
fi
grep -q 'out of date' "$work/check.log" || fail "--check said: $(cat "$work/check.log")"
"$src/scripts/room-tree" --update "$work/stale.md"
cmp -s "$src/docs/architecture.md" "$work/stale.md" || fail "--update did not restore the copy"
