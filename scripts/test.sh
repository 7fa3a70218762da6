#!/usr/bin/env bash
# Runs every test: the native build (warnings as errors), the sanitizer build with the
# short fuzz runs, and the Windows builds under Wine (with Xvfb for windows).
#
# The shipped programs are 32-bit (build/win32). Their tests run under 32-bit Wine when
# the machine's kernel can execute 32-bit x86 code; where it cannot (32-bit Wine then
# cannot start at all), the same sources are compiled for 64-bit Windows (build/win64)
# and their tests run under 64-bit Wine instead. GU_WIN_TESTS=win32|win64|both forces a choice.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$(date +%s)

scripts/bootstrap.sh

step() { printf '\n==== %s (%ss)\n' "$*" "$(( $(date +%s) - start ))"; }

step "host: configure and build"
cmake --preset host >/dev/null
cmake --build --preset host
step "host: tests"
ctest --preset host

step "asan: configure and build (clang, ASan+UBSan, fuzz targets)"
cmake --preset asan >/dev/null
cmake --build --preset asan
step "asan: tests and short fuzz runs"
ASAN_OPTIONS=detect_leaks=1 ctest --preset asan

step "win32: configure and build (mingw-w64 i686)"
cmake --preset win32 >/dev/null
cmake --build --preset win32
step "win32: every .exe is PE32 for Intel 80386"
bad=0
while IFS= read -r exe; do
  if ! file -b "$exe" | grep -q '^PE32 executable.*Intel 80386'; then
    echo "not PE32/i386: $exe: $(file -b "$exe")"; bad=1
  fi
done < <(find build/win32 -name '*.exe' -not -path '*/wineprefix/*')
[ $bad -eq 0 ]

win_tests=${GU_WIN_TESTS:-}
if [ -z "$win_tests" ]; then
  if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    win_tests=win32
  else
    win_tests=win64
    echo "This machine's kernel does not execute 32-bit x86 code, so 32-bit Wine cannot start:"
    echo "the Windows tests run on the 64-bit build of the same sources under 64-bit Wine."
  fi
fi

run_wine_tests() {  # preset, wine arch
  local preset=$1 arch=$2
  export WINEPREFIX="$root/build/$preset/wineprefix" WINEARCH=$arch WINEDEBUG=-all
  # Everything Wine starts must see the display: Wine's desktop process is started by the
  # first program of a session and keeps the display it was started with. So the whole
  # run, from the prefix's creation on, stays inside one Xvfb session. The Wine runner
  # creates the prefix, keeps one wineserver alive and opens the first window itself.
  xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "
    ctest --preset $preset; rc=\$?
    wineserver -k 2>/dev/null
    exit \$rc"
}
trap 'wineserver -k 2>/dev/null || true' EXIT

if [ "$win_tests" = win64 ] || [ "$win_tests" = both ]; then
  step "win64: configure and build (mingw-w64 x86-64, test build)"
  cmake --preset win64 >/dev/null
  cmake --build --preset win64
  step "win64: tests under 64-bit Wine (Xvfb display)"
  run_wine_tests win64 win64
fi
if [ "$win_tests" = win32 ] || [ "$win_tests" = both ]; then
  step "win32: tests under 32-bit Wine (Xvfb display)"
  run_wine_tests win32 win32
fi

step "all tests passed"
