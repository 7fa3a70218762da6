#!/usr/bin/env python3
"""The demonstration: a sample game install, a patch for it made with the Linux mkpatch,
the game registered in a Wine prefix of its own, the patch run under Wine, and a summary
of what changed. With a display (and not under CI) the patch window is left to the user;
otherwise it runs under Xvfb with drive_updater pressing Start and leaving screenshots."""
import os
import shutil
import subprocess
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(root, "tests", "e2e"))
import run_e2e as e2e  # noqa: E402


def sh(*cmd, **kw):
    print("$ " + " ".join(cmd), flush=True)
    return subprocess.run(list(cmd), check=True, **kw)


def listing(gca, dat):
    out = subprocess.run([gca, "list", dat], check=True, stdout=subprocess.PIPE).stdout.decode("utf-8", "replace")
    rows = {}
    for line in out.splitlines():
        # attributes, unpacked size, packed size, CRC, date, time, name
        parts = line.split(None, 6)
        if len(parts) == 7:
            rows[parts[6]] = (parts[1], parts[3])  # size, CRC
    return rows


def main():
    # argv: the Wine build that can run here (win32 or win64), then --interactive when the
    # patch is left to the user on their display (else the automation program drives it)
    arch = sys.argv[1]
    win = os.path.join(root, "build", arch)
    host = os.path.join(root, "build", "host")
    gca, mkpatch = os.path.join(host, "tools", "gca"), os.path.join(host, "tools", "mkpatch")
    demo = os.path.join(root, "build", "demo")
    os.makedirs(demo, exist_ok=True)

    class A:
        pass
    a = A()
    a.wine_run, a.arch, a.prefix = os.path.join(root, "cmake", "wine-run.sh"), arch, os.path.join(demo, "wineprefix")
    a.driver = None
    wine = e2e.Wine(a)
    wine.run("cmd", "/c", "exit")
    # The patch and the automation program run in a Wine desktop window of their own,
    # which draws the windows' captions and frames; Marlett draws the caption buttons.
    e2e.install_wine_fonts(wine)

    src = os.path.join(demo, "src")
    old_src, new_src = e2e.make_trees(src)
    trees = {}
    for name, s in (("old", old_src), ("new", new_src)):
        t = os.path.join(demo, name)
        shutil.rmtree(t, ignore_errors=True)
        shutil.copytree(os.path.join(s, "game"), t)
        for dat in ("data", "voice"):
            sh(gca, "create", os.path.join(t, dat + ".dat"), os.path.join(s, dat))
        trees[name] = t

    patch = os.path.join(demo, "SampleQuest-1.1.0-patch.exe")
    shipped = os.path.join(root, "build", "win32", "app", "updater.exe")
    sh(mkpatch, "--stub", shipped, "--old", trees["old"], "--new", trees["new"], "--title", e2e.TITLE,
       "--old-version", e2e.OLD_VERSION, "--new-version", e2e.NEW_VERSION, "--check-file", "game.exe", "-o", patch)
    run_patch = patch
    if arch != "win32":
        # 32-bit code cannot run on this machine: the same patch on the 64-bit test build of the stub
        run_patch = os.path.join(demo, "SampleQuest-1.1.0-patch-x64.exe")
        sh(mkpatch, "--stub", os.path.join(win, "app", "updater.exe"), "--old", trees["old"], "--new", trees["new"],
           "--title", e2e.TITLE, "--old-version", e2e.OLD_VERSION, "--new-version", e2e.NEW_VERSION,
           "--check-file", "game.exe", "-o", run_patch)
    sh(mkpatch, "--show", patch)

    install = os.path.join(wine.drive_c, "Games", "SampleQuest")
    shutil.rmtree(install, ignore_errors=True)
    shutil.copytree(trees["old"], install)
    before = {f: open(p, "rb").read() for f, p in e2e.tree_files(install).items()}
    dat_before = {d: listing(gca, os.path.join(install, d)) for d in ("data.dat", "voice.dat")}
    wine.run("reg", "add", e2e.REG_KEY, "/v", "PATH", "/t", "REG_SZ", "/d", wine.winpath(install), "/f")

    interactive = len(sys.argv) > 2 and sys.argv[2] == "--interactive"
    for program in ("drive_updater.exe", os.path.basename(run_patch)):
        e2e.use_own_desktop(wine, program, "SampleQuestDemo")
    if interactive:
        print("Running the patch on your display: press Start, then OK.")
        wine.run(wine.winpath(run_patch), check_rc=False, timeout=3600)
    else:
        shots = os.path.join(demo, "shots")
        # Only this run's screenshots.
        for d in (shots, os.path.join(demo, "screenshots")):
            shutil.rmtree(d, ignore_errors=True)
        driver = os.path.join(win, "tests", "e2e", "drive_updater.exe")
        env = dict(os.environ)
        cmd = [a.wine_run, arch, a.prefix, wine.winpath(driver), "start", wine.winpath(run_patch), wine.winpath(shots)]
        out = subprocess.run(cmd, stdout=subprocess.PIPE, env=env, timeout=1800).stdout.decode("utf-8", "replace")
        print(out)
        e2e.convert_shots(shots, os.path.join(demo, "screenshots"), "demo")

    after = e2e.tree_files(install)
    print("\nWhat changed in %s:" % install)
    for f in sorted(set(before) | set(after)):
        if f in ("data.dat", "voice.dat"):
            continue
        if f not in after:
            print("  removed  " + f)
        elif f not in before:
            print("  added    " + f)
        elif open(after[f], "rb").read() != before[f]:
            print("  replaced " + f)
    for d in ("data.dat", "voice.dat"):
        now = listing(gca, os.path.join(install, d))
        for m in sorted(set(now) | set(dat_before[d])):
            if m not in dat_before[d]:
                print("  %s: added member    %s" % (d, m))
            elif m in now and now[m] != dat_before[d][m]:
                print("  %s: replaced member %s" % (d, m))
    return 0


if __name__ == "__main__":
    sys.exit(main())
