#!/usr/bin/env bash
# The configuration file's manual page as norvane-config-reference prints it
# from the field table: man renders it without a warning (as lintian asks),
# and the rendered page lists every field of the table by its path, so that
# every field the parser accepts (config_table_test) is in the manual.
# Usage: check_config_manual.sh NORVANE_CONFIG_REFERENCE
set -euo pipefail
program=${1:?usage: check_config_manual.sh NORVANE_CONFIG_REFERENCE}
work=$(mktemp -d /tmp/norvane-config-manual.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$program" >"$work/norvane-gateway.json.5"
"$program" --paths >"$work/paths"
[ "$(wc -l <"$work/paths")" -gt 50 ] || fail "the table has only $(wc -l <"$work/paths") fields"

LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$work/norvane-gateway.json.5" \
  >/dev/null 2>"$work/warnings" || fail "man failed: $(cat "$work/warnings")"
[ ! -s "$work/warnings" ] || fail "man warns: $(cat "$work/warnings")"

# Wide, so that no path is broken over two lines.
LC_ALL=C.UTF-8 MANWIDTH=250 man -l "$work/norvane-gateway.json.5" 2>/dev/null | col -b \
  >"$work/page.txt"
grep -q '^NAME' "$work/page.txt" || fail "no page rendered"
missing=0
while read -r path; do
  # Each field is a paragraph of its own that starts with its path.
  awk -v path="$path" '$1 == path { found = 1 } END { exit !found }' "$work/page.txt" ||
    { echo "the manual page does not list $path" >&2; missing=$((missing + 1)); }
done <"$work/paths"
[ "$missing" -eq 0 ] || fail "$missing fields missing from the manual page"
echo "norvane-gateway.json(5): $(wc -l <"$work/paths") fields listed, no warning from man"
