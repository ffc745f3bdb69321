#!/usr/bin/env python3
"""Writes a copy of a little- or big-endian 32-bit MIPS ELF file (object or
library) with other ISA or FP labels: the ISA release and, if asked, the FP
ABI and FPU register size in its .MIPS.abiflags section, and the ISA in the
architecture bits of its ELF header. The code is not touched: a label only
says what the code needs, and a linker gives its output the highest label of
its inputs.

The cross build relabels copies of the toolchain's start files (crti.o,
crtbeginS.o, crtendS.o, crtn.o), which Debian builds for MIPS32 release 2
although their code uses only release-1 instructions, so that a plug-in
compiled for release 1 is labelled release 1. The tests label copies of the
controller's libraries to stand for a controller of another core.

Usage: mips_abiflags.py IN OUT --isa-rev N [--fp-abi N] [--cpr1-size 32|64]
  --isa-rev N     MIPS32 release N (1, 2, 5 or 6)
  --fp-abi N      Tag_GNU_MIPS_ABI_FP value: 1 double, 2 single, 3 soft,
                  5 any FPU (FPXX), 6 64-bit FPU (FP64), 7 FP64A
  --cpr1-size B   the FPU's register size that the code needs, in bits
"""

import argparse
import struct
import sys

SHT_MIPS_ABIFLAGS = 0x7000002A
EM_MIPS = 8
EF_MIPS_ARCH = 0xF0000000
# The ELF header's architecture of MIPS32 release N.
ARCH_OF_RELEASE = {1: 0x50000000, 2: 0x70000000, 5: 0x70000000, 6: 0x90000000}
# Elf_MIPS_ABIFlags_v0: version (2 bytes), isa_level, isa_rev, gpr_size,
# cpr1_size, cpr2_size, fp_abi (1 byte each), then four 32-bit words.
ISA_REV_AT, CPR1_SIZE_AT, FP_ABI_AT = 3, 5, 7
AFL_REG_SIZE = {0: 0, 32: 1, 64: 2}


def relabel(data, isa_rev, fp_abi, cpr1_size):
    if data[:4] != b"\x7fELF" or data[4] != 1:
        raise ValueError("not a 32-bit ELF file")
    end = "<" if data[5] == 1 else ">"
    machine, = struct.unpack_from(end + "H", data, 18)
    if machine != EM_MIPS:
        raise ValueError("not a MIPS file")
    flags, = struct.unpack_from(end + "I", data, 0x24)
    struct.pack_into(end + "I", data, 0x24, (flags & ~EF_MIPS_ARCH) | ARCH_OF_RELEASE[isa_rev])
    shoff, = struct.unpack_from(end + "I", data, 0x20)
    entsize, count = struct.unpack_from(end + "HH", data, 0x2E)
    for i in range(count):
        _, kind, _, _, offset, _ = struct.unpack_from(end + "IIIIII", data, shoff + i * entsize)
        if kind != SHT_MIPS_ABIFLAGS:
            continue
        data[offset + ISA_REV_AT] = isa_rev
        if fp_abi is not None:
            data[offset + FP_ABI_AT] = fp_abi
        if cpr1_size is not None:
            data[offset + CPR1_SIZE_AT] = AFL_REG_SIZE[cpr1_size]
        return
    raise ValueError("no .MIPS.abiflags section")


def main(argv):
    parser = argparse.ArgumentParser(description="Relabels a MIPS ELF file's ISA and FP ABI.")
    parser.add_argument("source")
    parser.add_argument("target")
    parser.add_argument("--isa-rev", type=int, required=True, choices=sorted(ARCH_OF_RELEASE))
    parser.add_argument("--fp-abi", type=int, choices=[1, 2, 3, 5, 6, 7])
    parser.add_argument("--cpr1-size", type=int, choices=[0, 32, 64])
    args = parser.parse_args(argv)
    with open(args.source, "rb") as f:
        data = bytearray(f.read())
    try:
        relabel(data, args.isa_rev, args.fp_abi, args.cpr1_size)
    except (ValueError, struct.error, IndexError) as e:
        print("mips_abiflags.py: %s: %s" % (args.source, e), file=sys.stderr)
        return 1
    with open(args.target, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
