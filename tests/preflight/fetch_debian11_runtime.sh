#!/usr/bin/env bash
# Unpacks the runtime of a Debian 11 machine (amd64: glibc 2.31, the
# libstdc++ and libgcc_s of GCC 10, JsonCpp 1.9.4) into OUT/root, as a copy
# of a root filesystem that this project did not build. The packages come
# from the Debian archive through a private apt state (scripts/debian_archive.sh)
# and are unpacked with dpkg-deb -x: nothing is installed. Done once per
# build tree; later runs find OUT/unpacked and return at once.
# Usage: fetch_debian11_runtime.sh OUT
set -euo pipefail
out=${1:?usage: fetch_debian11_runtime.sh OUT}
root=$out/root
packages=(libc6 libgcc-s1 libstdc++6 libjsoncpp24)
if [ -f "$out/unpacked" ]; then
  echo "Debian 11 runtime already in $root: $(tr '\n' ' ' <"$out/unpacked")"
  exit 0
fi
# shellcheck source=../../scripts/debian_archive.sh
. "$(dirname "$0")/../../scripts/debian_archive.sh"

rm -rf "$out"
mkdir -p "$out/debs"
debian_apt_state "$out/apt" deb bullseye amd64
(cd "$out/debs" &&
  debian_retry "downloading ${packages[*]} of Debian 11" debian_apt "$out/apt" download "${packages[@]}")
for deb in "$out/debs"/*.deb; do
  dpkg-deb -x "$deb" "$root"
done
rm -rf "$out/apt/lists"
(cd "$out/debs" && ls) >"$out/unpacked"
echo "Debian 11 runtime in $root: $(tr '\n' ' ' <"$out/unpacked")"
