#!/usr/bin/env bash
# Writes the short text that goes out with a built norvane.so: what machine
# (for MIPS: the ISA, the FP ABI and the cores they cover) and which host it
# is for and what it needs of the runtime of the machine that loads it. Everything but the two versions given is read from the file
# itself.
# Usage: release_note.sh FILE VERSION JSONCPP_VERSION
set -euo pipefail
usage="usage: release_note.sh FILE VERSION JSONCPP_VERSION"
file=${1:?$usage}
version=${2:?$usage}
jsoncpp_version=${3:?$usage}
here=$(dirname "$0")

header=$(readelf -h "$file")
field() { sed -n "s/^ *$1: *//p" <<<"$header"; }
needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' ')
runtime=$("$here/runtime_versions.sh" "$file")
glibc=$(sed -n 's/^libc\.so\.[0-9]* GLIBC_//p' <<<"$runtime")
glibcxx=$(sed -n 's/^libstdc++\.so\.[0-9]* GLIBCXX_//p' <<<"$runtime")

# The GCC release whose libstdc++ first defined a GLIBCXX_ version.
gcc_of_glibcxx() {
  case "$1" in
    3.4.9) echo 4.2 ;; 3.4.10) echo 4.3 ;; 3.4.11 | 3.4.12 | 3.4.13) echo 4.4 ;;
    3.4.14) echo 4.5 ;; 3.4.15 | 3.4.16) echo 4.6 ;; 3.4.17) echo 4.7 ;;
    3.4.18 | 3.4.19) echo 4.8 ;; 3.4.20) echo 4.9 ;; 3.4.21) echo 5.1 ;;
    3.4.22) echo 6.1 ;; 3.4.23 | 3.4.24) echo 7 ;; 3.4.25) echo 8.1 ;;
    3.4.26 | 3.4.27 | 3.4.28) echo 9 ;; 3.4.29) echo 11.1 ;; 3.4.30) echo 12.1 ;;
    *) echo "? (GLIBCXX_$1)" ;;
  esac
}

# The host framework's operations take std::string: their names say which
# std::string the host must have been built with.
# (Read into a variable first: grep -q's early exit would fail the pipe.)
dyn_syms=$(readelf -W --dyn-syms "$file")
if grep -q 'cxx11' <<<"$dyn_syms"; then
  abi="C++11 std::string (std::__cxx11)"
  hosts="host frameworks built with GCC 5 or later, with its default C++11 ABI"
  other="../pre-cxx11-abi/norvane.so serves host frameworks built with GCC before 5
or with -D_GLIBCXX_USE_CXX11_ABI=0."
else
  abi="pre-C++11 std::string (_GLIBCXX_USE_CXX11_ABI=0)"
  hosts="host frameworks built with GCC before 5, or with -D_GLIBCXX_USE_CXX11_ABI=0"
  other="../cxx11-abi/norvane.so serves host frameworks built with GCC 5 or later
with the default C++11 ABI."
fi

# MIPS: the ISA and FP ABI that the file is labelled with (.MIPS.abiflags;
# tests/check_mips_isa.sh holds the code to the label), and what they mean
# for the controller's core.
isa_lines() {
  local flags isa fp
  flags=$(readelf -A "$file")
  isa=$(sed -n 's/^ISA: *//p' <<<"$flags")
  fp=$(sed -n 's/^FP ABI: *//p' <<<"$flags")
  [ -n "$isa" ] || return 0
  echo  # after the flags' line, which the text keeps on the same line
  echo "ISA:      $isa (o32, ${isa_cores[$isa]:-release $isa})"
  echo "FP ABI:   $fp"
  [ -n "${fp_meaning[$fp]:-}" ] && echo "          (${fp_meaning[$fp]})"
  return 0
}
declare -A isa_cores=(
  [MIPS32]="release 1: runs on every core of MIPS32 releases 1 to 5,
          the 4K family (4Kc, 4KEc, ...), 24K, 34K, 74K, 1004K, 1074K,
          interAptiv, proAptiv, P5600 and their kin, and on MIPS64 cores of
          releases 1 to 5 that run o32 programs; not on release 6"
  [MIPS32r2]="release 2: needs a core of MIPS32 releases 2 to 5, 24K, 34K,
          74K, 1004K and later; a release-1 core (4Kc, ...) stops on it
          with SIGILL")
declare -A fp_meaning=(
  ["Hard float (32-bit CPU, Any FPU)"]="FPXX: floating point in the FPU's registers, with a 32-bit
          or a 64-bit FPU, in either of its modes; a core without an FPU
          (4Kc, 4KEc, 24Kc, 34Kc, 74Kc, ...) runs it through the Linux
          kernel's FPU emulator, as it runs the controller's own hard-float
          libraries")

cat <<TEXT
norvane.so $version: device-driver plug-in of the field-monitoring gateway
for a precision air-conditioning unit on Modbus RTU.

String ABI: $abi
For:      $hosts.
$other
norvane-preflight, beside these folders, tells which one a controller can load.

Machine:  $(field Class), $(field Data), $(field Machine)
          (flags: $(field Flags | sed 's/^0x[0-9a-f]*, //'))$(isa_lines)
Size:     $(stat -c %s "$file") bytes
Needs:    $needed

Symbol versions it requires of the runtime (the newest of each family);
the controller can load it if its libraries define them:
$(sed 's/^/  /' <<<"$runtime")
That is glibc $glibc or later and the libstdc++ of GCC $(gcc_of_glibcxx "$glibcxx") or later.

JsonCpp (built against $jsoncpp_version) and the host framework are not
linked in: the process that loads the plug-in provides them.
TEXT
