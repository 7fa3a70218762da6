#!/usr/bin/env python3
"""End-to-end test of the shipped program under Wine: a generated game install is
registered in the test prefix's registry, a patch is built with mkpatch, and the real
updater is driven through its windows by drive_updater, as a person would.

Usage: run_e2e.py --updater EXE --mkpatch EXE --gca EXE --driver EXE
                  --wine-run cmake/wine-run.sh --arch win64|win32 --prefix WINEPREFIX --out OUT_DIR
Screenshots (PNG) are left in OUT_DIR/screenshots.
"""
import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import time

TITLE = "Sample Quest"
OLD_VERSION = "1.0.0"
NEW_VERSION = "1.1.0"
WINDOW_TITLE = TITLE + " Update Patch ver. " + NEW_VERSION
SUCCESS = " " * 24 + "Success" + " " * 24
FAILURE = "Update process failed.\\nPlease update it after installing the game again."
REG_KEY = "HKLM\\Software\\ORVANE\\" + TITLE

failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)


class Wine:
    def __init__(self, args):
        self.run_script = args.wine_run
        self.arch = args.arch
        self.prefix = args.prefix
        self.drive_c = os.path.join(self.prefix, "drive_c")

    def run(self, *cmd, check_rc=True, timeout=600):
        full = [self.run_script, self.arch, self.prefix] + list(cmd)
        p = subprocess.run(full, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        out = p.stdout.decode("utf-8", "replace")
        if check_rc and p.returncode != 0:
            sys.stderr.write(out + p.stderr.decode("utf-8", "replace"))
            raise RuntimeError("failed: %s (rc %d)" % (" ".join(cmd), p.returncode))
        return p.returncode, out

    def winpath(self, path):
        """Windows name of a Linux path (inside drive_c when possible, else Z:)."""
        path = os.path.abspath(path)
        if path.startswith(self.drive_c + os.sep):
            return "C:\\" + path[len(self.drive_c) + 1:].replace("/", "\\")
        return "Z:" + path.replace("/", "\\")


# Where Debian's fonts-wine puts Wine's own fonts.
WINE_FONTS = "/usr/share/wine/fonts"


def install_wine_fonts(wine):
    """Wine's Marlett font in the prefix's Fonts folder, where Wine looks for it: it draws
    the caption buttons, which show letters without it."""
    source = os.path.join(WINE_FONTS, "marlett.ttf")
    fonts = os.path.join(wine.drive_c, "windows", "Fonts")
    if not os.path.isfile(source):
        print("note: %s is missing (package fonts-wine): caption buttons show letters" % source)
        return
    os.makedirs(fonts, exist_ok=True)
    if not os.path.exists(os.path.join(fonts, "marlett.ttf")):
        shutil.copyfile(source, os.path.join(fonts, "marlett.ttf"))


def use_own_desktop(wine, program, name, size="1024x768"):
    """Runs the program, and the programs it starts, in a Wine desktop window of their own,
    which draws the windows' captions and frames as the players' systems do (under Xvfb
    there is no window manager to draw them)."""
    wine.run("reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\%s\\Explorer" % program, "/v", "Desktop",
             "/d", name, "/f")
    wine.run("reg", "add", "HKCU\\Software\\Wine\\Explorer\\Desktops", "/v", name, "/d", size, "/f")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_trees(root):
    """Old and new game trees: two data archives' contents and some loose files."""
    old, new = os.path.join(root, "old-src"), os.path.join(root, "new-src")
    for base in (old, new):
        shutil.rmtree(base, ignore_errors=True)
    # data archive contents (packed into .dat files below)
    for i in range(40):
        body = ("map %d\n" % i).encode() * (50 + i)
        write(os.path.join(old, "data", "maps", "m%02d.txt" % i), body)
        write(os.path.join(new, "data", "maps", "m%02d.txt" % i), body if i % 5 else body + b"patched\n")
    write(os.path.join(new, "data", "maps", "extra", "new-map.txt"), b"a new map\n" * 100)
    for i in range(10):
        write(os.path.join(old, "voice", "v%d.bin" % i), bytes((i * j) & 0xFF for j in range(3000)))
        write(os.path.join(new, "voice", "v%d.bin" % i), bytes((i * j + (i == 3)) & 0xFF for j in range(3000)))
    # loose files
    write(os.path.join(old, "game", "game.exe"), b"MZ old game binary" + bytes(5000))
    write(os.path.join(new, "game", "game.exe"), b"MZ new game binary" + bytes(6000))
    write(os.path.join(old, "game", "readme.txt"), b"old readme\n")
    write(os.path.join(new, "game", "readme.txt"), b"new readme\n")
    write(os.path.join(new, "game", "docs", "changes", "v1.1.txt"), b"what changed\n")
    write(os.path.join(old, "game", "update", "index.htm"), b"<html>old</html>")
    write(os.path.join(new, "game", "update", "index.htm"), b"<html>new</html>")
    t = time.mktime((2024, 5, 6, 7, 8, 9, 0, 0, 0))
    for base in (old, new):
        for d, _, files in os.walk(base):
            for f in files:
                os.utime(os.path.join(d, f), (t, t + (100 if base == new else 0)))
    return old, new


def build_install(wine, src, dest, gca):
    """Loose files copied, each data folder packed into NAME.dat with gca."""
    shutil.rmtree(dest, ignore_errors=True)
    shutil.copytree(os.path.join(src, "game"), dest)
    for name in ("data", "voice"):
        wine.run(gca, "create", wine.winpath(os.path.join(dest, name + ".dat")), wine.winpath(os.path.join(src, name)))
    # the packed folder name inside is the folder's own name; the game expects its files
    # under that name, which the patch's members use too


def tree_files(root):
    out = {}
    for d, _, files in os.walk(root):
        for f in files:
            p = os.path.join(d, f)
            out[os.path.relpath(p, root)] = p
    return out


def same_tree(a, b, skip=()):
    fa, fb = tree_files(a), tree_files(b)
    for s in skip:
        fa.pop(s, None)
        fb.pop(s, None)
    if sorted(fa) != sorted(fb):
        print("  names differ:", sorted(set(fa) ^ set(fb)))
        return False
    bad = [k for k in fa if not filecmp.cmp(fa[k], fb[k], shallow=False)]
    if bad:
        print("  contents differ:", bad[:10])
    return not bad


def drive(wine, args, mode, patch, shots):
    rc, out = wine.run(args.driver, mode, wine.winpath(patch), wine.winpath(shots), check_rc=False, timeout=900)
    values = {}
    lines = []
    for line in out.splitlines():
        if "=" in line:
            k, v = line.split("=", 1)
            values.setdefault(k, v)
            lines.append((k, v))
    print("\n".join("  " + l for l in out.splitlines()[:60]))
    return rc, values, lines


def convert_shots(shots, dest, tag):
    os.makedirs(dest, exist_ok=True)
    for f in sorted(os.listdir(shots)) if os.path.isdir(shots) else []:
        if f.endswith(".bmp"):
            png = os.path.join(dest, tag + "-" + f[:-4] + ".png")
            subprocess.run(["convert", os.path.join(shots, f), png], check=False)
            print("  screenshot:", png)


def main():
    ap = argparse.ArgumentParser()
    for name in ("updater", "mkpatch", "gca", "driver"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--arch", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    wine = Wine(args)
    wine.run("cmd", "/c", "exit")  # make sure the prefix exists
    install_wine_fonts(wine)
    use_own_desktop(wine, os.path.basename(args.driver), "PatchDriver")

    stub = os.path.abspath(args.updater)
    mkpatch = wine.winpath(args.mkpatch)
    gca = wine.winpath(args.gca)
    args.driver = wine.winpath(args.driver)

    work = os.path.join(wine.drive_c, "e2e")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    out = os.path.abspath(args.out)
    shutil.rmtree(os.path.join(out, "screenshots"), ignore_errors=True)
    old_src, new_src = make_trees(work)
    old_tree, new_tree = os.path.join(work, "old"), os.path.join(work, "new")
    build_install(wine, old_src, old_tree, gca)
    build_install(wine, new_src, new_tree, gca)

    patch = os.path.join(work, "patch.exe")
    t0 = time.time()
    # Every file of the new tree has a new time: with --with-times the members whose bytes
    # are unchanged are shipped too, so the installation ends with the new tree's times.
    wine.run(mkpatch, "--stub", wine.winpath(stub), "--old", wine.winpath(old_tree), "--new", wine.winpath(new_tree),
             "--title", TITLE, "--old-version", OLD_VERSION, "--new-version", NEW_VERSION,
             "--check-file", "game.exe", "--with-times", "-o", wine.winpath(patch))
    print("mkpatch: %.1f s, patch %d bytes" % (time.time() - t0, os.path.getsize(patch)))

    install = os.path.join(wine.drive_c, "Games", "SampleQuest")
    pristine = os.path.join(work, "pristine")

    def fresh_install():
        shutil.rmtree(install, ignore_errors=True)
        shutil.copytree(old_tree, install)
        shutil.rmtree(pristine, ignore_errors=True)
        shutil.copytree(old_tree, pristine)

    def register(path):
        wine.run("reg", "add", REG_KEY, "/v", "PATH", "/t", "REG_SZ", "/d", path, "/f")

    def unregister():
        wine.run("reg", "delete", REG_KEY, "/f", check_rc=False)

    # 1. Start-up messages.
    unregister()
    fresh_install()
    rc, v, _ = drive(wine, args, "message", patch, os.path.join(work, "s1"))
    check(v.get("MESSAGE_TEXT") == "installation destination is not found." and v.get("MESSAGE_CAPTION") == "Error",
          "no registry key: 'installation destination is not found.'")
    check(v.get("EXIT_CODE") == "0", "exit code 0 without registry key")

    register(wine.winpath(install))
    damaged = os.path.join(work, "damaged.exe")
    with open(patch, "rb") as f:
        data = f.read()
    marker = b"CHECK_OLD_HASH__"
    at = data.find(marker)
    write(damaged, data[:at] if at > 0 else data[:1000])
    rc, v, _ = drive(wine, args, "message", damaged, os.path.join(work, "s2"))
    check(v.get("MESSAGE_TEXT") == "This file is damaged.", "cut payload: 'This file is damaged.'")

    shutil.copy(os.path.join(new_tree, "game.exe"), os.path.join(install, "game.exe"))
    rc, v, _ = drive(wine, args, "message", patch, os.path.join(work, "s3"))
    check(v.get("MESSAGE_TEXT") == "already attached even version." and v.get("MESSAGE_CAPTION") == "",
          "new version installed: 'already attached even version.' with empty caption")

    write(os.path.join(install, "game.exe"), b"some other version")
    rc, v, _ = drive(wine, args, "message", patch, os.path.join(work, "s4"))
    check(v.get("MESSAGE_TEXT") == "No game requiring an update is installed on this computer.",
          "other version: 'No game requiring an update is installed on this computer.'")
    convert_shots(os.path.join(work, "s4"), os.path.join(out, "screenshots"), "startup")

    # 2. Finish before Start changes nothing.
    fresh_install()
    rc, v, lines = drive(wine, args, "finish", patch, os.path.join(work, "s5"))
    check(v.get("MAIN_CAPTION") == WINDOW_TITLE, "main window caption is the window title")
    check(v.get("EXIT_CODE") == "0", "Finish: exit code 0")
    check(same_tree(install, pristine), "Finish before Start leaves the install unchanged")
    controls = [val.split("|") for k, val in lines if k.startswith("CONTROL")]
    texts = [c[-1] for c in controls]
    expected = ["Update Application", "Installed Path", "Version", wine.winpath(install),
                OLD_VERSION + " >> " + NEW_VERSION, "Start", "Finish"]
    check(texts == expected, "main window controls and texts: %r" % texts)
    check([c[1] for c in controls] == ["1004", "1004", "1004", "1002", "1003", "1000", "1001"], "control ids")

    # Many starts in a row (GU_E2E_START_LOOP=N, from bench/start_loop.sh): each must show
    # the main window or a message; the exits without either are counted and shown.
    loops = int(os.environ.get("GU_E2E_START_LOOP", "0"))
    silent = 0
    for i in range(loops):
        rc, v, lines = drive(wine, args, "finish", patch, os.path.join(work, "loop"))
        if not v.get("MAIN_CAPTION") and not v.get("MESSAGE_TEXT"):
            silent += 1
            print("silent start %d: %r" % (i, lines))
    if loops:
        check(silent == 0, "%d starts: %d ended without a window or a message" % (loops, silent))

    # 3. The update itself.
    fresh_install()
    t0 = time.time()
    rc, v, lines = drive(wine, args, "start", patch, os.path.join(work, "s6"))
    elapsed = time.time() - t0
    print("update run (window to exit): %.1f s" % elapsed)
    bars = [tuple(int(x) for x in val.split()) for k, val in lines if k == "BARS"]
    check(len(bars) >= 2, "progress bars were seen moving (%d states)" % len(bars))
    check(v.get("BARS_END") == "368 368", "both bars full at the end: %s" % v.get("BARS_END"))
    check(v.get("PROGRESS_CAPTION") == WINDOW_TITLE, "progress window caption")
    check(v.get("MESSAGE_TEXT") == SUCCESS, "final message is the padded Success text")
    check(v.get("MESSAGE_CAPTION") == WINDOW_TITLE, "final message caption is the window title")
    check(v.get("PROGRESS_TEXT_END") == "finished renewal of patch complete.", "progress text after success")
    check(v.get("EXIT_CODE") == "0", "exit code 0 after the update")
    convert_shots(os.path.join(work, "s6"), os.path.join(out, "screenshots"), "update")
    check(not os.path.exists(os.path.join(install, "tmp")), "work directory removed")
    # loose files equal; data archives hold the new members
    check(same_tree(install, new_tree, skip=("data.dat", "voice.dat")), "loose files equal the new tree")
    for name in ("data", "voice"):
        a, bdir = os.path.join(work, "x-" + name + "-got"), os.path.join(work, "x-" + name + "-want")
        for d, dat in ((a, os.path.join(install, name + ".dat")), (bdir, os.path.join(new_tree, name + ".dat"))):
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
            wine.run(gca, "extract", "-C", wine.winpath(d), wine.winpath(dat))
        check(same_tree(a, bdir), name + ".dat holds exactly the new members")
        _, la = wine.run(gca, "list", wine.winpath(os.path.join(install, name + ".dat")))
        _, lb = wine.run(gca, "list", wine.winpath(os.path.join(new_tree, name + ".dat")))
        # attributes, unpacked size, packed size (differs: the rebuilt archive is stored), CRC,
        # date, time, name. Files keep their write times; directory entries are written anew
        # by the rebuild, so their times are those of the update.
        def key(line):
            f = line.split(None, 6)
            if len(f) != 7:
                return (line,)
            is_dir = int(f[0], 16) & 0x10
            return (f[6], f[0], f[1], f[3]) + (() if is_dir else (f[4], f[5]))
        check(sorted(map(key, la.splitlines())) == sorted(map(key, lb.splitlines())),
              name + ".dat: names, attributes, sizes, CRCs and file times as in the new tree")

    # 4. A missing data archive makes the run fail and changes nothing else.
    fresh_install()
    os.remove(os.path.join(install, "voice.dat"))
    os.remove(os.path.join(pristine, "voice.dat"))
    rc, v, _ = drive(wine, args, "start", patch, os.path.join(work, "s7"))
    # The installation's own damage keeps the reinstall text; the log of the run is named.
    check((v.get("MESSAGE_TEXT") or "").startswith(FAILURE + "\\n\\nDetails for support are in "),
          "missing data archive: failure message")
    check(v.get("MESSAGE_CAPTION") == WINDOW_TITLE, "failure message caption")
    check(v.get("EXIT_CODE") == "0", "exit code 0 after a failed update")
    shutil.rmtree(os.path.join(install, "tmp"), ignore_errors=True)
    check(same_tree(install, pristine), "failed update leaves the install unchanged")
    convert_shots(os.path.join(work, "s7"), os.path.join(out, "screenshots"), "failure")

    unregister()
    print("%d checks failed" % len(failures) if failures else "all end-to-end checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
