#!/usr/bin/env bash
# Prints what a built plug-in file requires of the runtime of the machine
# that loads it: for each runtime library and each family of symbol versions
# (GLIBC_, GLIBCXX_, CXXABI_, GCC_), the highest version that the file
# references, one "LIBRARY VERSION" line each, e.g. "libc.so.6 GLIBC_2.32".
# A machine whose libraries define these versions can load the file.
# Read from the file's version needs (.gnu.version_r), so it works for a file
# of any architecture and gives the same result stripped or not.
# Usage: runtime_versions.sh FILE
set -euo pipefail
file=${1:?usage: runtime_versions.sh FILE}
[ -f "$file" ] || { echo "no file $file" >&2; exit 1; }

needs=$(readelf -W -V "$file" | sed -n '/\.gnu\.version_r/,/^$/p')
# "File: libc.so.6" opens a library's list; "Name: GLIBC_2.32" is one version.
awk '/File:/ { for (i = 1; i < NF; i++) if ($i == "File:") lib = $(i + 1) }
     /Name:/ { for (i = 1; i < NF; i++) if ($i == "Name:") print lib, $(i + 1) }' <<<"$needs" |
  sort -k1,1 -k2,2V |
  awk '{ family = $2; sub(/_[^_]*$/, "", family); best[$1 " " family] = $0 }
       END { for (key in best) print best[key] }' |
  sort
