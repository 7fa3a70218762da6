#!/usr/bin/env python3
"""Checks that a 32-bit program runs on any x86 processor of its system family: no MMX,
SSE or later instruction outside functions whose names say the instruction set they need
(those are only called after CPUID reported it).

  instruction_set_check.py OBJDUMP PROGRAM_WITH_SYMBOLS [--list] [--allow-none]

--allow-none treats every function as unnamed: the program's own paths for MMX and SSE2
must then be found, which shows that the check sees such instructions at all.

Exit status 0 when clean, 1 with the offending functions listed, 2 when the program
cannot be read or holds no code.
"""
import re
import subprocess
import sys

# Names of functions that may use what their name says.
ALLOWED_NAME = re.compile(r"mmx|sse|avx|bmi", re.IGNORECASE)
MMX_ONLY = re.compile(r"mmx", re.IGNORECASE)
SSE_NAME = re.compile(r"sse|avx", re.IGNORECASE)
# Tables that the linker places in the code section: data, not instructions.
DATA_LABELS = {".gcc_except_table"}
LABEL = re.compile(r"^[0-9a-f]+ <(.*)>:$")
INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\t(\S+)\s*(.*)$")
# MMX, SSE and later registers, and the instructions of those sets that take none.
REGISTER = re.compile(r"%x?mm\d|%[yz]mm\d|%k[0-7]\b")
SSE_REGISTER = re.compile(r"%[xyz]mm\d")
MNEMONIC = re.compile(
    r"^(emms|femms|ldmxcsr|stmxcsr|vldmxcsr|vstmxcsr|sfence|lfence|mfence|clflush\w*|"
    r"movnti\w*|prefetch\w*|maskmovq|fxsave\w*|fxrstor\w*|xsave\w*|xrstor\w*|v\w+)$")


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    objdump, program = argv[1], argv[2]
    listing = "--list" in argv[3:]
    allow_none = "--allow-none" in argv[3:]
    try:
        text = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", "-j", ".text", program],
                              check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"cannot disassemble {program}: {e}", file=sys.stderr)
        return 2
    function = "?"
    instructions = 0
    offending = {}
    allowed = {}
    for line in text.splitlines():
        m = LABEL.match(line)
        if m:
            function = m.group(1)
            continue
        m = INSTRUCTION.match(line)
        if not m or function in DATA_LABELS:
            continue
        instructions += 1
        mnemonic, operands = m.group(1), m.group(2)
        if REGISTER.search(operands) or MNEMONIC.match(mnemonic):
            ok = not allow_none and ALLOWED_NAME.search(function) is not None
            # A function named for MMX alone runs on processors without SSE.
            if ok and MMX_ONLY.search(function) and not SSE_NAME.search(function):
                ok = not SSE_REGISTER.search(operands) and not mnemonic.startswith("v")
            bucket = allowed if ok else offending
            bucket.setdefault(function, []).append(f"{mnemonic} {operands}".strip())
    if instructions == 0:
        print(f"{program}: no code found", file=sys.stderr)
        return 2
    if listing:
        for name, found in sorted(allowed.items()):
            print(f"allowed: {name}: {len(found)} instructions")
    for name, found in sorted(offending.items()):
        print(f"{name}: {len(found)} instructions, first: {found[0]}")
    if offending:
        print(f"{len(offending)} functions use MMX/SSE without naming it", file=sys.stderr)
        return 1
    print(f"{program}: {instructions} instructions, MMX/SSE only in "
          f"{len(allowed)} functions named for it")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
