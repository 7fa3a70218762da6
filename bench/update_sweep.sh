#!/bin/sh
# The full sweep of the interrupted and failing update: every file-system operation of
# the reference update cut off (crash at N, then a restart) and failing once (fail N,
# then a normal run), in code page 1252 and, with GU_SWEEP_932=1, in code page 932. The
# test command runs a spread sample of N; this runs every N.
#   bench/update_sweep.sh [WIN_BUILD]
# WIN_BUILD defaults to build/win32 (build/win64 where 32-bit code cannot run); it must
# hold tests/app/update_sweep_test.exe. Runs under Xvfb when there is no display.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
win=${1:-$root/build/win32}
# Wine wants an absolute prefix path.
win=$(cd "$win" && pwd)
exe=$win/tests/app/update_sweep_test.exe
[ -f "$exe" ] || { echo "missing $exe: build update_sweep_test" >&2; exit 1; }
arch=win32
case "$win" in *win64*) arch=win64 ;; esac
export WINEPREFIX="$win/wineprefix" WINEARCH=$arch WINEDEBUG=-all GU_SWEEP=full
run() {
  if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
    xvfb-run -a -s "-screen 0 1280x1024x24" "$root/cmake/wine-run.sh" $arch "$WINEPREFIX" "$exe" "$@"
  else
    "$root/cmake/wine-run.sh" $arch "$WINEPREFIX" "$exe" "$@"
  fi
}
start=$(date +%s)
run --gtest_filter=-*Japanese*
if [ "${GU_SWEEP_932:-0}" = 1 ]; then
  # Wine maps file names through the locale; the build tree holds a Japanese one.
  [ -d "$win/locale/ja_JP.UTF-8" ] && export LOCPATH="$win/locale"
  LC_ALL=ja_JP.UTF-8 run --gtest_filter=*Japanese*
fi
echo "sweep took $(( $(date +%s) - start )) s"
