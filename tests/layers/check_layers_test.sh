#!/usr/bin/env bash
# scripts/check-layers passes on the gateway as it is, and fails on a copy
# into which an upward include was planted, naming the file, the line and
# the include.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/scripts/check-layers" "$root/gateway"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r "$root/gateway" "$scratch/gateway"
# The log (base, the lowest room) planted with an include of the service.
planted=$scratch/gateway/base/log.h
line=$(($(grep -n '^#include' "$planted" | tail -1 | cut -d: -f1) + 1))
sed -i "${line}i #include \"gateway/service/service.h\"" "$planted"

if out=$("$root/scripts/check-layers" "$scratch/gateway" 2>&1); then
  echo "check-layers passed a tree with an upward include" >&2
  exit 1
fi
expected="gateway/base/log.h:$line: includes gateway/service/service.h, but service/ is above base/"
grep -qxF "$expected" <<<"$out" || {
  echo "check-layers did not name the planted include; it said:" >&2
  echo "$out" >&2
  exit 1
}
echo "ok: $expected"
