#!/usr/bin/env bash
# Checks what the loader sees of a built norvane.so:
#   - with --elf: the ELF class and machine, and little-endian data;
#   - SONAME exactly "norvane.so";
#   - NEEDED only the standard runtime libraries (no JsonCpp, no host);
#   - get_providers exported under its plain name, and nothing else defined
#     is exported;
#   - every undefined symbol comes from the C or C++ runtime (versioned),
#     from JsonCpp, or from the host framework;
#   - with --runtime-at-most: no symbol version newer than the given ones is
#     required (one per family: GLIBC_, GLIBCXX_, CXXABI_, GCC_), and every
#     family that the file requires has a limit.
# Usage: check_plugin_file.sh [--elf CLASS MACHINE] [--runtime-at-most VERSION...] PATH
#   e.g. --elf ELF32 MIPS --runtime-at-most GLIBC_2.32 GLIBCXX_3.4.21 CXXABI_1.3.9 GCC_3.0
set -euo pipefail
usage="usage: check_plugin_file.sh [--elf CLASS MACHINE] [--runtime-at-most VERSION...] PATH"
want_class=
want_machine=
limits=()
while [ $# -gt 1 ]; do
  case "$1" in
    --elf)
      want_class=${2:?$usage}
      want_machine=${3:?$usage}
      shift 3
      ;;
    --runtime-at-most)
      shift
      while [ $# -gt 1 ] && [ "${1#--}" = "$1" ]; do
        limits+=("$1")
        shift
      done
      ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
file=${1:?$usage}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -f "$file" ] || { echo "FAIL: no file $file"; exit 1; }

if [ -n "$want_class" ]; then
  header=$(readelf -h "$file")
  grep -Eq "Class:[[:space:]]+$want_class\$" <<<"$header" || fail "class is not $want_class"
  grep -Eq "Data:.*little endian" <<<"$header" || fail "not little-endian"
  grep -Eq "Machine:[[:space:]]+$want_machine" <<<"$header" || fail "machine is not $want_machine"
fi

dynamic=$(readelf -d "$file")
soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
[ "$soname" = "norvane.so" ] || fail "SONAME is '$soname', not 'norvane.so'"

needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic")
while read -r lib; do
  [ -z "$lib" ] && continue
  case "$lib" in
    libstdc++.so.6 | libm.so.6 | libgcc_s.so.1 | libc.so.6 | ld-linux*.so.* | ld.so.1) ;;
    *) fail "needs $lib, which is not a standard runtime library" ;;
  esac
done <<<"$needed"
grep -q 'libstdc++' <<<"$needed" || fail "libstdc++ is not needed: is this a C++ plug-in?"

# Dynamic symbols: num value size type bind vis ndx name. Read once into a
# variable: "readelf | grep -q" would let grep's early exit kill readelf, and
# pipefail would count that as no match.
dyn_syms=$(readelf -W --dyn-syms "$file")
symbols=$(awk 'NR > 3 && $8 != "" { print $5, $7, $8 }' <<<"$dyn_syms")
exported=$(awk '$2 != "UND" && ($1 == "GLOBAL" || $1 == "WEAK") { print $3 }' <<<"$symbols")
[ "$exported" = "get_providers" ] || fail "exports other than get_providers: $(tr '\n' ' ' <<<"$exported")"
grep -Eq 'FUNC +GLOBAL +DEFAULT +[0-9]+ get_providers$' <<<"$dyn_syms" ||
  fail "get_providers is not a global function of default visibility"

undefined=$(awk '$2 == "UND" { print $3 }' <<<"$symbols")
grep -q '^_ZN4Json' <<<"$undefined" || fail "no JsonCpp symbol is left undefined: is JsonCpp linked in?"
grep -q '8SPModbus' <<<"$undefined" || fail "no host symbol is left undefined: is the host linked in?"
while read -r sym; do
  [ -z "$sym" ] && continue
  case "$sym" in
    *@GLIBC_* | *@GLIBCXX_* | *@CXXABI_* | *@GCC_*) continue ;;  # C and C++ runtime
    _ITM_* | __gmon_start__ | _Jv_RegisterClasses | __cxa_finalize*) continue ;;  # weak hooks
  esac
  plain=$(c++filt <<<"${sym%%@*}")
  case "$plain" in
    *Json::*) ;;  # JsonCpp, resolved by the host process
    *VDeviceInterface* | *SMDVDevice* | *SMDSPDevice* | *SPModbus* | get_ttime*) ;;  # host
    *) fail "undefined symbol from neither runtime, JsonCpp nor host: $plain" ;;
  esac
done <<<"$undefined"

# Symbol versions required of the runtime, against the limits.
runtime=$("$(dirname "$0")/../plugin/runtime_versions.sh" "$file")
if [ "${#limits[@]}" -gt 0 ]; then
  while read -r lib version; do
    family=${version%_*}
    limit=
    for candidate in "${limits[@]}"; do
      [ "${candidate%_*}" = "$family" ] && limit=$candidate
    done
    if [ -z "$limit" ]; then
      fail "$lib: requires $version, and no limit is set for ${family}_"
    elif [ "$(printf '%s\n%s\n' "$version" "$limit" | sort -V | tail -n 1)" != "$limit" ]; then
      fail "$lib: requires $version, newer than the limit $limit"
    fi
  done <<<"$runtime"
fi

if [ "$failures" -gt 0 ]; then
  echo "$file: $failures check(s) failed"
  exit 1
fi
echo "$file: SONAME $soname; NEEDED $(tr '\n' ' ' <<<"$needed"); exports get_providers only"
echo "requires: $(tr '\n' ' ' <<<"$runtime")"
