#!/usr/bin/env bash
# The main job: builds everything and runs a smoke check of what exists so far.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset host >/dev/null && cmake --build --preset host
cmake --preset win32 >/dev/null && cmake --build --preset win32
echo
echo "Built programs:"
find build/host/tools build/win32/tools build/win32/app -maxdepth 1 -type f \( -perm -u+x -o -name '*.exe' \) 2>/dev/null | sort
