#!/bin/sh
# Runs a Windows test program under Wine in a prefix owned by the build tree.
# Usage: wine-run.sh win32|win64 PREFIX PROGRAM [ARGS...]
# The prefix is created on first use (under a lock, so parallel tests wait for it).
arch=$1; prefix=$2; shift 2
export WINEPREFIX="$prefix" WINEARCH="$arch"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers (they would try to download).
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ "$arch" = win64 ]; then wine=/usr/lib/wine/wine64; else wine=/usr/lib/wine/wine; fi
if [ ! -f "$prefix/.ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.ready" ]; then
      "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&-
      wineserver -w
      [ -d "$prefix/drive_c" ] && touch "$prefix/.ready"
    fi
  ) 9>"$prefix.lock"
fi
# One wineserver serves all the tests of a run (-p: it stays a minute after the last
# program ends), so Wine does not start afresh for each. The first programs of a server
# start Wine's service processes and, with a display, its desktop process; these keep the
# output handles they are given. Started from a test, they would hold its output pipe
# open and CTest would wait for them until the test's timeout. So they are started here,
# with no output, under the lock: the services by a command that does nothing, the
# desktop by the build tree's warm-up program, which opens a window once. None of them
# inherits the lock's descriptor (9): they would hold the lock for as long as they live.
(
  flock 9
  if wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&-
    warmup="$(dirname "$prefix")/tests/gui_warmup.exe"
    if [ -n "${DISPLAY:-}" ] && [ -f "$warmup" ]; then
      "$wine" "$warmup" </dev/null >/dev/null 2>&1 9>&-
    fi
  fi
) 9>"$prefix.lock"
exec "$wine" "$@"
