#!/usr/bin/env bash
# The main job: builds everything, makes a sample game install and a patch for it with the
# Linux mkpatch, registers the game in a Wine prefix of its own, runs the patch under Wine
# (on your display when there is one, otherwise under Xvfb with the driver pressing Start
# and leaving screenshots in build/demo/screenshots) and prints what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset host >/dev/null && cmake --build --preset host --target gca mkpatch
cmake --preset win32 >/dev/null && cmake --build --preset win32 --target updater drive_updater gca mkpatch
arch=win32
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "This machine's kernel does not execute 32-bit x86 code: the shipped 32-bit patch is"
  echo "built, and the same patch on the 64-bit build of the updater is what runs under Wine."
  arch=win64
  cmake --preset win64 >/dev/null && cmake --build --preset win64 --target updater drive_updater
fi
export WINEDEBUG=-all
trap 'WINEPREFIX="$PWD/build/demo/wineprefix" wineserver -k 2>/dev/null || true' EXIT
if [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
  python3 scripts/demo.py "$arch" --interactive
else
  # No display: a virtual one, with every Wine process of the demonstration inside it.
  xvfb-run -a -s "-screen 0 1280x1024x24" python3 scripts/demo.py "$arch"
fi
