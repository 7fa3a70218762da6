#!/bin/sh
# Starts the real patch program many times in a row under Wine, each time pressing
# Finish, while the machine is kept busy: every start must show the main window or a
# message. Prints each start that ended with neither.
#   bench/start_loop.sh [WIN_BUILD] [STARTS]
# WIN_BUILD defaults to build/win32; STARTS to 100. Busy means two processes spinning
# beside Wine for the whole run (GU_START_LOOP_IDLE=1 leaves the machine quiet).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
win=${1:-$root/build/win32}
win=$(cd "$win" && pwd)
starts=${2:-100}
arch=win32
case "$win" in *win64*) arch=win64 ;; esac
export WINEPREFIX="$win/wineprefix" WINEARCH=$arch WINEDEBUG=-all GU_E2E_START_LOOP=$starts
busy=""
if [ "${GU_START_LOOP_IDLE:-0}" != 1 ]; then
  for _ in 1 2; do (while :; do :; done) & busy="$busy $!"; done
fi
trap '[ -n "$busy" ] && kill $busy 2>/dev/null; true' EXIT
cmd="python3 $root/tests/e2e/run_e2e.py --updater $win/app/updater.exe --mkpatch $win/tools/mkpatch.exe
  --gca $win/tools/gca.exe --driver $win/tests/e2e/drive_updater.exe --wine-run $root/cmake/wine-run.sh
  --arch $arch --prefix $WINEPREFIX --out $win/start_loop"
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  xvfb-run -a -s "-screen 0 1280x1024x24" $cmd
else
  $cmd
fi
