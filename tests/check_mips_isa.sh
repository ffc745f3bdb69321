#!/usr/bin/env bash
# Checks that a MIPS file runs on every core of MIPS32 release 1 (4Kc, 4KEc
# and every later MIPS32 core):
#   - its .MIPS.abiflags (readelf -A) name the ISA "MIPS32" and the FP ABI
#     given;
#   - its code holds none of the instructions that release 2 added: the
#     bit-field, sign-extension, byte-swap and rotate instructions, synci,
#     the hazard-barrier jumps, di/ei, the shadow-register moves, mfhc1/mthc1
#     (and of coprocessor 2), the FPU's multiply-adds, indexed loads and
#     stores, reciprocals, 64-bit integer conversions and paired singles;
#     nor rdhwr but "rdhwr $3,$29", the thread pointer's read, which Linux
#     emulates on a release-1 core. Each is named with the function that
#     holds it (with the address only, in a stripped file).
# The code is disassembled as MIPS32 release 2 whatever its label says:
# objdump shows a release-2 instruction of a file labelled release 1 as a
# bare .word. Any word of code that is no MIPS32r2 instruction fails too.
# Usage: check_mips_isa.sh FP_ABI FILE
#   e.g. check_mips_isa.sh "Hard float (32-bit CPU, Any FPU)" norvane.so
# OBJDUMP names the disassembler (default mipsel-linux-gnu-objdump).
set -euo pipefail
usage="usage: check_mips_isa.sh FP_ABI FILE"
fp_abi=${1:?$usage}
file=${2:?$usage}
objdump=${OBJDUMP:-mipsel-linux-gnu-objdump}
[ -f "$file" ] || { echo "FAIL: no file $file"; exit 1; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

abiflags=$(readelf -A "$file")
isa=$(sed -n 's/^ISA: *//p' <<<"$abiflags")
fp=$(sed -n 's/^FP ABI: *//p' <<<"$abiflags")
[ -n "$isa" ] || fail "no .MIPS.abiflags: the file does not say its ISA"
[ -z "$isa" ] || [ "$isa" = "MIPS32" ] || fail "ISA is $isa, not MIPS32 (release 1)"
[ -z "$isa" ] || [ "$fp" = "$fp_abi" ] || fail "FP ABI is '$fp', not '$fp_abi'"

release2='ext|ins|seb|seh|wsbh|rotr|rotrv|synci|jalr\.hb|jr\.hb|di|ei|rdpgpr|wrpgpr'
release2+='|mfhc1|mthc1|mfhc2|mthc2|(madd|msub|nmadd|nmsub)\.(s|d|ps)|[ls][wdu]xc1|prefx'
release2+='|(recip|rsqrt)\.[sd]|cvt\.l\.[sd]|cvt\.[sd]\.l|(trunc|round|ceil|floor)\.l\.[sd]'
release2+='|[a-z.]+\.ps|cvt\.s\.p[lu]'
grep -q ' \.symtab ' <<<"$(readelf -W -S "$file")" && named=1 || named=0
# One line per offending instruction: "MNEMONIC<TAB>in FUNCTION" (or "at ADDRESS").
found=$("$objdump" -d --no-show-raw-insn -m mips:isa32r2 -M gpr-names=numeric,hwr-names=numeric \
  "$file" | awk -F'\t' -v release2="^($release2)\$" -v named="$named" '
    /^[0-9a-f]+ <.*>:$/ { function_name = $0; sub(/^[0-9a-f]+ </, "", function_name); sub(/>:$/, "", function_name); next }
    /^ *[0-9a-f]+:\t/ {
      address = $1; sub(/^ */, "", address); sub(/:$/, "", address)
      where = named ? "in " function_name : "at 0x" address
      if ($2 ~ release2) print $2 "\t" where
      else if ($2 == "rdhwr" && $3 != "$3,$29") print "rdhwr " $3 "\t" where
      else if ($2 == ".word") print ".word " $3 " (no MIPS32r2 instruction)\t" where
    }')
if [ -n "$found" ]; then
  while IFS=$'\t' read -r count instruction where; do
    fail "$count $instruction $where"
  done < <(sort <<<"$found" | uniq -c | sed -E 's/^ *([0-9]+) /\1\t/' |
    awk -F'\t' '{ print $1 "\t" $2 "\t" $3 }' | c++filt)
  echo "not in MIPS32 release 1: $(cut -f1 <<<"$found" | sort | uniq -c |
    awk '{ printf "%s%s %s", sep, $1, $2; sep = ", " }')"
fi

if [ "$failures" -gt 0 ]; then
  echo "$file: $failures ISA check(s) failed"
  exit 1
fi
echo "$file: ISA $isa, FP ABI $fp; no instruction beyond MIPS32 release 1"
