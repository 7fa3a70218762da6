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
      "$wine" wineboot -i >/dev/null 2>&1
      wineserver -w
      [ -d "$prefix/drive_c" ] && touch "$prefix/.ready"
    fi
  ) 9>"$prefix.lock"
fi
exec "$wine" "$@"
