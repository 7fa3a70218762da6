#!/usr/bin/env python3
"""The real patch run from a downloads folder into which someone has dropped libraries
named after system libraries that system code loads by bare name. Each planted library
leaves a marker file when it is loaded; Wine is told to prefer a library found on the
search path over its own copy for these names (with its default order it would take its
own copies and show nothing). A control program shows that every planted copy is taken
when nothing prevents it; then the updater runs a start-up message run (no registry key:
"installation destination is not found.") and a whole update through drive_updater, and
the test asserts that no planted library was loaded by any process of either run.

One load is reachable only through Wine's own libraries and is named below with the
evidence the test checks for it: Wine's user32.dll imports version.dll statically, so
Wine's loader resolves "version.dll" by name while it resolves the updater's own static
imports, before any code of the program runs. On Windows user32.dll does not import
version.dll, and the imports of a KnownDLL come from the system folder.

Usage: run_dll_planting.py --updater EXE --mkpatch EXE --gca EXE --driver EXE
                           --planted DLL --loader EXE --wine-run cmake/wine-run.sh
                           --arch win64|win32 --prefix WINEPREFIX
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_e2e as e2e  # noqa: E402
from run_e2e import check  # noqa: E402

# Names that system libraries load by bare name (the updater loads each from the system
# folder before any window, COM or shell call).
PLANTED = ["version", "uxtheme", "dwmapi", "cryptbase", "userenv", "propsys", "apphelp", "winmm",
           "dbghelp", "msimg32", "shfolder", "wtsapi32", "profapi", "oleacc", "clbcatq", "setupapi"]

# KnownDLLs on every Windows the updater supports (Vista and later): the system maps them
# from its own folder whatever lies beside the program, and takes their imports from there.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
              "oleaut32.dll", "msvcrt.dll", "comdlg32.dll", "shlwapi.dll", "imm32.dll", "rpcrt4.dll"}

# The load reachable only through Wine's own libraries: name -> (the Wine library whose
# static import asks for it, reason).
WINE_ONLY = {
    "version": ("user32.dll",
                "Wine's user32.dll imports version.dll statically, so Wine's loader resolves it by name "
                "while resolving the updater's static import of user32.dll, before any code of the "
                "program runs; Windows' user32.dll does not import version.dll, and a KnownDLL's "
                "imports come from the system folder"),
}

LOADED = re.compile(r'^([0-9a-f]+):trace:loaddll:\w+ Loaded L"(.*)" at [0-9A-Fa-f]+: (\w+)')


def pe_imports(path):
    """Names of the libraries in a PE image's import table and in its delay-import table."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(path + " is not a PE image")
    sections_count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    sections = []
    for i in range(sections_count):
        at = optional + optional_size + 40 * i
        vsize, va, rsize, raw = struct.unpack_from("<IIII", data, at + 8)
        sections.append((va, max(vsize, rsize), raw))

    def offset(rva):
        for va, size, raw in sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError("address %#x outside the sections of %s" % (rva, path))

    def name_at(rva):
        at = offset(rva)
        return data[at:data.index(b"\0", at)].decode("ascii").lower()

    def table(index, entry_size, name_field):
        rva = struct.unpack_from("<I", data, directories + 8 * index)[0]
        names = []
        while rva:
            at = offset(rva)
            entry = data[at:at + entry_size]
            if entry == bytes(entry_size):
                break
            names.append(name_at(struct.unpack_from("<I", entry, name_field)[0]))
            rva += entry_size
        return names

    return table(1, 20, 12), table(13, 32, 4)


class PlantingWine(e2e.Wine):
    def run_in(self, cwd, env, *cmd, timeout=900):
        """Runs a program with the given working directory and extra environment; gives
        the return code, standard output and standard error."""
        full = [self.run_script, self.arch, self.prefix] + list(cmd)
        p = subprocess.run(full, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                           cwd=cwd, env=dict(os.environ, **env))
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def loads_of(log):
    """(process id, Windows path) of every module Wine loaded, in the order of loading."""
    out = []
    for line in log.splitlines():
        m = LOADED.match(line)
        if m:
            out.append((m.group(1), m.group(2).replace("\\\\", "\\")))
    return out


def planted_loads(loads, downloads_win):
    """Planted libraries that were loaded: name -> list of (process id, index in loads)."""
    found = {}
    for i, (pid, path) in enumerate(loads):
        folder, _, base = path.rpartition("\\")
        if folder.lower() == downloads_win.lower() and base.lower().endswith(".dll"):
            found.setdefault(base[:-4].lower(), []).append((pid, i))
    return found


def markers(downloads):
    return sorted(f[:-len(".dll.loaded")].lower() for f in os.listdir(downloads) if f.endswith(".dll.loaded"))


def clear_markers(downloads):
    for f in os.listdir(downloads):
        if f.endswith(".loaded"):
            os.remove(os.path.join(downloads, f))


def check_no_planted_load(what, loads, downloads, downloads_win, system32):
    """Every planted library that was loaded must be the Wine-only load, and that load must
    be the one described: taken in the patch's process while Wine resolved the static
    imports of the updater, by a Wine library that imports it."""
    patch_pids = [pid for pid, path in loads if path.lower() == downloads_win.lower() + "\\patch.exe"]
    check(len(patch_pids) >= 1, what + ": the patch program was started and its loads were logged")
    found = planted_loads(loads, downloads_win)
    seen = set(markers(downloads))
    check(seen <= set(found), what + ": every marker left belongs to a load in the log (%s)" % sorted(seen))
    for name in sorted(set(found) | seen):
        if name not in WINE_ONLY:
            check(False, what + ": planted %s.dll was loaded by process %s" % (name, [p for p, _ in found.get(name, [])]))
            continue
        importer, reason = WINE_ONLY[name]
        imports, _ = pe_imports(os.path.join(system32, importer))
        ok = name + ".dll" in imports
        for pid, index in found.get(name, []):
            importer_at = [i for i, (p, path) in enumerate(loads) if p == pid and path.lower().endswith("\\" + importer)]
            # Wine logs a module once its own imports are resolved: the planted copy, logged
            # before the library that imports it, came in as that library's import.
            ok = ok and pid in patch_pids and bool(importer_at) and index < importer_at[0]
        check(ok, what + ": planted %s.dll loaded only as Wine's own static import (%s)" % (name, reason))


def main():
    ap = argparse.ArgumentParser()
    for name in ("updater", "mkpatch", "gca", "driver", "planted", "loader", "wine-run", "arch", "prefix"):
        ap.add_argument("--" + name, required=True)
    args = ap.parse_args()
    wine = PlantingWine(args)
    wine.run("cmd", "/c", "exit")  # make sure the prefix exists
    system32 = os.path.join(wine.drive_c, "windows", "system32")

    # The updater's own import table holds only libraries the system maps from its own folder.
    imports, delayed = pe_imports(args.updater)
    check(set(imports) <= KNOWN_DLLS, "updater.exe imports only KnownDLLs: %s" % sorted(imports))
    check(not delayed, "updater.exe has no delay-loaded imports: %s" % delayed)

    work = os.path.join(wine.drive_c, "dllplant")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    old_src, new_src = e2e.make_trees(work)
    old_tree, new_tree = os.path.join(work, "old"), os.path.join(work, "new")
    gca = wine.winpath(args.gca)
    e2e.build_install(wine, old_src, old_tree, gca)
    e2e.build_install(wine, new_src, new_tree, gca)

    downloads = os.path.join(work, "downloads")
    downloads_win = wine.winpath(downloads)
    os.makedirs(downloads)
    patch = os.path.join(downloads, "patch.exe")
    wine.run(wine.winpath(args.mkpatch), "--stub", wine.winpath(args.updater), "--old", wine.winpath(old_tree),
             "--new", wine.winpath(new_tree), "--title", e2e.TITLE, "--old-version", e2e.OLD_VERSION,
             "--new-version", e2e.NEW_VERSION, "--check-file", "game.exe", "-o", wine.winpath(patch))
    for name in PLANTED:
        shutil.copy(args.planted, os.path.join(downloads, name + ".dll"))
    shutil.copy(args.loader, os.path.join(downloads, "load_by_name.exe"))

    env = {"WINEDEBUG": "+loaddll", "WINEDLLOVERRIDES": "mscoree,mshtml=;" + ",".join(PLANTED) + "=n,b"}

    # The control: loaded by bare name from the downloads folder, every planted copy is
    # taken and leaves its marker.
    rc, out, _ = wine.run_in(downloads, env, downloads_win + "\\load_by_name.exe", *[n + ".dll" for n in PLANTED])
    got = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    taken = [n for n in PLANTED if got.get(n + ".dll", "").lower() == (downloads_win + "\\" + n + ".dll").lower()]
    check(taken == PLANTED, "control: every planted library is taken by a load by bare name (missing: %s)"
          % sorted(set(PLANTED) - set(taken)))
    check(markers(downloads) == sorted(PLANTED), "control: every planted library leaves its marker")
    clear_markers(downloads)

    install = os.path.join(wine.drive_c, "Games", "SampleQuest")

    def drive(mode, shots):
        rc, out, log = wine.run_in(downloads, env, wine.winpath(args.driver), mode, downloads_win + "\\patch.exe",
                                   wine.winpath(os.path.join(work, shots)))
        values = {}
        for line in out.splitlines():
            if "=" in line:
                k, v = line.split("=", 1)
                values.setdefault(k, v)
        print("\n".join("  " + line for line in out.splitlines()[:40]), flush=True)
        return values, loads_of(log)

    # A start-up message run: no registry key.
    wine.run("reg", "delete", e2e.REG_KEY, "/f", check_rc=False)
    values, loads = drive("message", "s1")
    check(values.get("MESSAGE_TEXT") == "installation destination is not found." and
          values.get("EXIT_CODE") == "0", "message run: 'installation destination is not found.', exit code 0")
    check_no_planted_load("message run", loads, downloads, downloads_win, system32)
    clear_markers(downloads)

    # A whole update.
    shutil.rmtree(install, ignore_errors=True)
    shutil.copytree(old_tree, install)
    wine.run("reg", "add", e2e.REG_KEY, "/v", "PATH", "/t", "REG_SZ", "/d", wine.winpath(install), "/f")
    values, loads = drive("start", "s2")
    check(values.get("MESSAGE_TEXT") == e2e.SUCCESS and values.get("EXIT_CODE") == "0",
          "update run: the padded Success text, exit code 0")
    check(e2e.same_tree(install, new_tree, skip=("data.dat", "voice.dat")), "update run: loose files equal the new tree")
    check(len(loads) > 40, "update run: the loads of the whole run were logged (%d)" % len(loads))
    check_no_planted_load("update run", loads, downloads, downloads_win, system32)
    clear_markers(downloads)

    wine.run("reg", "delete", e2e.REG_KEY, "/f", check_rc=False)
    print("%d checks failed" % len(e2e.failures) if e2e.failures else "all planting checks passed")
    return 1 if e2e.failures else 0


if __name__ == "__main__":
    sys.exit(main())
