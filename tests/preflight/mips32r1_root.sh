#!/usr/bin/env bash
# Makes ROOT/usr/lib a synthetic controller of a MIPS32 release-1 core with
# a 32-bit FPU only: copies of this machine's mipsel runtime (Debian 12:
# the loader, libc, libm, libgcc_s, libstdc++, JsonCpp), relabelled in
# their .MIPS.abiflags and ELF headers as built for MIPS32 (release 1) with
# the double-precision FP ABI (FR=0, 32-bit FP registers). Their symbols are
# Debian 12's: only the ISA and the FP ABI tell this controller apart.
# With --without-abiflags, as a toolchain of binutils before 2.25 left them:
# no .MIPS.abiflags, the ISA in the ELF header alone (MIPS32) and the FP ABI
# in the GNU attributes alone (as Debian 12 built them: any FPU).
# Usage: mips32r1_root.sh [--without-abiflags] ROOT
set -euo pipefail
without_abiflags=0
[ "${1:-}" = "--without-abiflags" ] && without_abiflags=1 && shift
root=${1:?usage: mips32r1_root.sh [--without-abiflags] ROOT}
here=$(dirname "$0")
runtime=/usr/lib/mipsel-linux-gnu
rm -rf "$root"
mkdir -p "$root/usr/lib"
for lib in ld.so.1 libc.so.6 libm.so.6 libgcc_s.so.1 libstdc++.so.6 libjsoncpp.so.25; do
  python3 "$here/../../cmake/mips_abiflags.py" "$(readlink -f "$runtime/$lib")" "$root/usr/lib/$lib" \
    --isa-rev 1 --fp-abi 1 --cpr1-size 32
  if [ "$without_abiflags" -eq 1 ]; then
    mipsel-linux-gnu-objcopy --remove-section=.MIPS.abiflags "$root/usr/lib/$lib"
  fi
done
readelf -h -A "$root/usr/lib/libc.so.6" | grep -E '^ *(Flags|Tag_GNU_MIPS_ABI_FP|ISA|FP ABI|CPR1 size):'
