#!/usr/bin/env bash
# Checks what the loader sees of a built norvane.so:
#   - with --elf: the ELF class and machine, and little-endian data;
#   - SONAME exactly "norvane.so";
#   - NEEDED only the standard runtime libraries (no JsonCpp, no host);
#   - get_providers exported under its plain name, and nothing else defined
#     is exported;
#   - every undefined symbol comes from the C or C++ runtime (versioned),
#     from JsonCpp, or from the host framework; with --imports FILE, those
#     of JsonCpp and the host are exactly the ones listed in FILE
#     (tests/plugin_imports.txt), no more and no fewer;
#   - with --runtime-at-most: no runtime symbol requires a version newer than
#     the given ones (one per family: GLIBC_, GLIBCXX_, CXXABI_, GCC_), every
#     family that the file requires has a limit, and each symbol beyond its
#     limit is named;
#   - with --string-abi: cxx11, the host's operations take the C++11
#     std::string; pre-cxx11, no symbol of the file names cxx11 at all;
#   - with --mips32 FP_ABI: labelled and coded for MIPS32 release 1, with the
#     FP ABI given (check_mips_isa.sh).
# Usage: check_plugin_file.sh [--elf CLASS MACHINE] [--runtime-at-most VERSION...]
#                             [--string-abi cxx11|pre-cxx11] [--imports FILE]
#                             [--mips32 FP_ABI] PATH
#   e.g. --elf ELF32 MIPS --runtime-at-most GLIBC_2.2 GLIBCXX_3.4.21 CXXABI_1.3 GCC_3.0
set -euo pipefail
usage="usage: check_plugin_file.sh [--elf CLASS MACHINE] [--runtime-at-most VERSION...]"
usage+=" [--string-abi cxx11|pre-cxx11] [--imports FILE] [--mips32 FP_ABI] PATH"
want_class=
mips32_fp_abi=
want_machine=
string_abi=
imports=
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
    --string-abi) string_abi=${2:?$usage} && shift 2 ;;
    --imports) imports=${2:?$usage} && shift 2 ;;
    --mips32) mips32_fp_abi=${2:?$usage} && shift 2 ;;
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

# Imports without a symbol version come from the loading process: JsonCpp
# and the host framework (weak hooks of the toolchain aside). Names are
# compared demangled, with either std::string written as std::string.
undefined=$(awk '$2 == "UND" { print $3 }' <<<"$symbols")
versioned=$(grep '@' <<<"$undefined" || true)
basic_string='std::(__cxx11::)?basic_string<char, std::char_traits<char>, std::allocator<char> >'
from_process=$(grep -v '@' <<<"$undefined" |
  grep -Ev '^(_ITM_.*|__gmon_start__|_Jv_RegisterClasses)$' | c++filt |
  sed -E "s/$basic_string/std::string/g; s/\[abi:cxx11\]//g" | sort)
grep -q '^Json::' <<<"$from_process" || fail "no JsonCpp symbol is left undefined: is JsonCpp linked in?"
grep -q 'SPModbus' <<<"$from_process" || fail "no host symbol is left undefined: is the host linked in?"
if [ -n "$imports" ]; then
  pinned=$(grep -v '^#' "$imports" | grep -v '^$' | sort)
  while read -r name; do
    [ -n "$name" ] && fail "imports $name, which $imports does not list"
  done < <(comm -13 <(echo "$pinned") <(echo "$from_process"))
  while read -r name; do
    [ -n "$name" ] && fail "no longer imports $name, which $imports lists"
  done < <(comm -23 <(echo "$pinned") <(echo "$from_process"))
else
  while read -r plain; do
    case "$plain" in
      *Json::*) ;;  # JsonCpp, resolved by the host process
      *SMDVDevice* | *SMDSPDevice* | *SPModbus* | get_ttime*) ;;  # host
      *) fail "undefined symbol from neither runtime, JsonCpp nor host: $plain" ;;
    esac
  done <<<"$from_process"
fi

# Symbol versions required of the runtime, against the limits: each version
# beyond its family's limit fails with the symbols that require it, so a
# toolchain change that raises a floor names what raised it.
if [ "${#limits[@]}" -gt 0 ]; then
  for version in $(sed 's/.*@//' <<<"$versioned" | sort -u); do
    family=${version%_*}
    limit=
    for candidate in "${limits[@]}"; do
      [ "${candidate%_*}" = "$family" ] && limit=$candidate
    done
    if [ -z "$limit" ]; then
      problem="no limit is set for ${family}_"
    elif [ "$(printf '%s\n%s\n' "$version" "$limit" | sort -V | tail -n 1)" != "$limit" ]; then
      problem="newer than the limit $limit"
    else
      continue
    fi
    while read -r name; do
      fail "$name requires $version, $problem"
    done < <(grep "@$version\$" <<<"$versioned" | sed 's/@.*//' | c++filt)
  done
fi

case "$string_abi" in
  "") ;;
  cxx11)
    grep -q 'SMDVDevice13CheckAOReportERKNSt7__cxx11' <<<"$undefined" ||
      fail "the host's operations do not take the C++11 std::string"
    ;;
  pre-cxx11)
    all_symbols=$(readelf -W --syms "$file" | awk 'NR > 3 && $8 != "" { print $8 }')
    while read -r name; do
      [ -n "$name" ] && fail "names cxx11: $(c++filt <<<"${name%%@*}")"
    done < <(grep 'cxx11' <<<"$all_symbols" | sort -u || true)
    ;;
  *) echo "$usage" >&2; exit 2 ;;
esac

if [ -n "$mips32_fp_abi" ]; then
  isa_report=$("$(dirname "$0")/check_mips_isa.sh" "$mips32_fp_abi" "$file") || failures=$((failures + 1))
  echo "$isa_report"
fi

if [ "$failures" -gt 0 ]; then
  echo "$file: $failures check(s) failed"
  exit 1
fi
runtime=$("$(dirname "$0")/../plugin/runtime_versions.sh" "$file")
echo "$file: SONAME $soname; NEEDED $(tr '\n' ' ' <<<"$needed"); exports get_providers only"
echo "imports from the host and JsonCpp: $(wc -l <<<"$from_process")${imports:+, as $imports lists}"
echo "requires: $(tr '\n' ' ' <<<"$runtime")"
