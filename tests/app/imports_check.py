#!/usr/bin/env python3
"""Checks that a Windows program imports only functions listed in allowlist files: the
updater must load on Windows 98 SE, ME, 2000 and XP, whose system libraries lack many
functions that newer toolchains and runtimes reach for.

  imports_check.py PROGRAM ALLOWLIST... [--allow-none] [--list]

The program's import table (and its delay-load table, if any) is read from the PE file
itself. Each allowlist line names one import as DLL!function, then, separated by "|",
the oldest system that Microsoft's documentation names for it and what is documented of
it on Windows 95/98/ME:

  KERNEL32.dll!CreateFileA | NT 3.1, 95 | 9x: yes

DLL names compare without regard to case; a line starting with "#" is a comment. --allow-none ignores the
lists, so that every import counts as unlisted: that run must fail, which shows that the
check sees the imports at all. --list prints every import with its line.

Exit status 0 when every import is listed, 1 with the unlisted ones printed, 2 when the
program or a list cannot be read.
"""
import struct
import sys


class PeError(Exception):
    pass


def read_imports(data):
    """Returns [(dll, function)] of the import and delay-import tables; a function
    imported by ordinal is given as "#N"."""
    if data[:2] != b"MZ":
        raise PeError("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise PeError("no PE signature")
    sections_count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x10B:
        wide, directories = False, optional + 96
    elif magic == 0x20B:
        wide, directories = True, optional + 112
    else:
        raise PeError(f"unknown optional header magic {magic:#x}")
    directory_count = struct.unpack_from("<I", data, directories - 4)[0]

    sections = []
    table = optional + optional_size
    for i in range(sections_count):
        _, virtual_size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
        sections.append((address, max(virtual_size, raw_size), raw_offset, raw_size))

    def offset(rva):
        for address, size, raw_offset, raw_size in sections:
            if address <= rva < address + size:
                if rva - address >= raw_size:
                    raise PeError(f"RVA {rva:#x} lies outside the file's data")
                return raw_offset + rva - address
        raise PeError(f"RVA {rva:#x} lies in no section")

    def text(rva):
        start = offset(rva)
        end = data.index(b"\0", start)
        return data[start:end].decode("ascii", "replace")

    def directory(index):
        if index >= directory_count:
            return 0, 0
        return struct.unpack_from("<II", data, directories + 8 * index)

    thunk_size = 8 if wide else 4
    ordinal_flag = 1 << (63 if wide else 31)

    def thunks(rva):
        names = []
        at = offset(rva)
        while True:
            value = struct.unpack_from("<Q" if wide else "<I", data, at)[0]
            if value == 0:
                return names
            if value & ordinal_flag:
                names.append(f"#{value & 0xFFFF}")
            else:
                names.append(text((value & 0x7FFFFFFF) + 2))  # past the 2-byte hint
            at += thunk_size

    imports = []
    rva, _ = directory(1)
    while rva:
        lookup, _, _, name, first = struct.unpack_from("<IIIII", data, offset(rva))
        if lookup == 0 and name == 0 and first == 0:
            break
        dll = text(name)
        imports.extend((dll, f) for f in thunks(lookup or first))
        rva += 20
    rva, _ = directory(13)  # delay-load imports: loaded later, but just as needed
    while rva:
        attributes, name, _, _, names, _, _, _ = struct.unpack_from("<8I", data, offset(rva))
        if name == 0:
            break
        base = 0 if attributes & 1 else struct.unpack_from("<Q" if wide else "<I", data, optional + 24 + (0 if wide else 4))[0]
        dll = text(name - base)
        imports.extend((dll, f) for f in thunks(names - base))
        rva += 32
    return imports


def read_allowlist(path):
    entries = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = [field.strip() for field in line.split("|")]
            if len(fields) != 3 or "!" not in fields[0] or not fields[1] or not fields[2]:
                raise PeError(f"{path}:{number}: expected 'DLL!function | oldest system | 9x note'")
            dll, function = fields[0].split("!", 1)
            entries[(dll.lower(), function)] = f"{fields[1]} | {fields[2]}"
    return entries


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    allow_none = "--allow-none" in argv[1:]
    listing = "--list" in argv[1:]
    if len(args) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    program, lists = args[0], args[1:]
    try:
        with open(program, "rb") as f:
            imports = read_imports(f.read())
        allowed = {}
        for path in lists:
            allowed.update(read_allowlist(path))
    except (OSError, PeError, struct.error, ValueError) as e:
        print(f"cannot check {program}: {e}", file=sys.stderr)
        return 2
    if not imports:
        print(f"{program}: no imports found", file=sys.stderr)
        return 2
    if allow_none:
        allowed = {}
    unlisted = []
    for dll, function in imports:
        entry = allowed.get((dll.lower(), function))
        if entry is None:
            unlisted.append(f"{dll}!{function}")
        elif listing:
            print(f"{dll}!{function} | {entry}")
    for name in unlisted:
        print(f"not in the allowlist: {name}")
    if unlisted:
        sys.stdout.flush()
        print(f"{program}: {len(unlisted)} of {len(imports)} imports are not in the allowlist "
              f"({', '.join(lists)})", file=sys.stderr)
        return 1
    dlls = sorted({dll for dll, _ in imports}, key=str.lower)
    print(f"{program}: {len(imports)} imports from {', '.join(dlls)}, every one in the allowlist")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
