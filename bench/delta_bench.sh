#!/usr/bin/env bash
# Patch sizes with and without deltas for a pair of trees, beside the delta tools a
# publisher could use instead, summed over the changed and added files:
#   bench/delta_bench.sh OLD_DIR NEW_DIR [HOST_BUILD] [WIN32_BUILD]
# Prints mkpatch's patch size with deltas and with --no-delta (time and peak memory of
# each build), and the sums of xdelta3 -9, zstd -19 --long --patch-from, the suffix-array
# tool of the bsdiff package and xz -9 of the changed files whole. Added files count
# with their xz -9 size in every column. The patch's archive part (the patch less the
# updater image and its records) is the figure to set beside the tools' sums. Each patch
# is then applied to a copy of the old tree by the updater's own procedure under 32-bit
# Wine (bench/update_bench.exe of the win32 build), which gives its time and peak memory,
# and the result is compared with the new tree. Never part of the test command.
set -euo pipefail
old=$(realpath "$1"); new=$(realpath "$2")
host=$(realpath "${3:-build/host}"); win32=$(realpath "${4:-build/win32}")
mkpatch="$host/tools/mkpatch"; stub="$win32/app/updater.exe"; runner="$win32/bench/update_bench.exe"
[ -x "$mkpatch" ] && [ -f "$stub" ] && [ -f "$runner" ] ||
  { echo "build mkpatch (host), updater and update_bench (win32) first" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)

# The tools, from Debian.
need=()
for p in xdelta3:xdelta3 zstd:zstd bsdiff:bsdiff xz:xz-utils /usr/bin/time:time; do
  command -v "${p%%:*}" >/dev/null || need+=("${p#*:}")
done
[ ${#need[@]} -eq 0 ] || apt-get install -y -qq "${need[@]}" >/dev/null

work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
# mkpatch needs a check file that tells the versions apart.
cp -a "$old" "$work/old"; cp -a "$new" "$work/new"
echo old > "$work/old/bench-version.txt"; echo new > "$work/new/bench-version.txt"

build() {  # patch name, extra options; prints size archive-part seconds peak-KiB
  local out="$work/$1.exe"; shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$mkpatch" --stub "$stub" --old "$work/old" --new "$work/new" \
    --title Bench --old-version 1 --new-version 2 --check-file bench-version.txt --allow-long-names "$@" \
    -o "$out" > "$work/summary.txt"
  local part; part=$(sed -n 's/.*archive \([0-9]*\)).*/\1/p' "$work/summary.txt")
  echo "$(stat -c %s "$out") $part $(cat "$work/time")"
}
read -r with with_a with_s with_m < <(build delta)
cp "$work/summary.txt" "$work/summary-delta.txt"
read -r without without_a without_s without_m < <(build whole --no-delta)

# The update under Wine: prints seconds peak-working-set-KiB, or fails.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
export WINEDEBUG=-all
"$root/cmake/wine-run.sh" win32 "$win32/wineprefix" cmd /c exit >/dev/null 2>&1 || true
apply() {
  rm -rf "$work/install"; cp -a "$work/old" "$work/install"
  "$root/cmake/wine-run.sh" win32 "$win32/wineprefix" "$runner" "$(winpath "$work/$1.exe")" \
    "$(winpath "$work/install")" 2>&1 | tr -d '\r' > "$work/result.txt" || true
  grep -q '^result ok' "$work/result.txt" && diff -r "$work/install" "$work/new" >/dev/null ||
    { echo "the update with $1.exe FAILED or left a different tree" >&2; cat "$work/result.txt" >&2; exit 1; }
  echo "$(sed -n 's/^total //p' "$work/result.txt") $(sed -n 's/^peak memory \([0-9]*\) KiB.*/\1/p' "$work/result.txt")"
}
read -r with_u with_um < <(apply delta)
read -r without_u without_um < <(apply whole)

xd=0; xd_ns=0; zs=0; bs=0; xz=0; changed=0; added=0; bytes=0
while IFS= read -r -d '' f; do
  rel=${f#"$new"/}
  o="$old/$rel"
  w=$(xz -9 -c "$f" | wc -c)
  if [ ! -f "$o" ]; then
    added=$((added + 1)); xd=$((xd + w)); zs=$((zs + w)); bs=$((bs + w)); xz=$((xz + w)); continue
  fi
  cmp -s "$o" "$f" && continue
  changed=$((changed + 1)); bytes=$((bytes + $(stat -c %s "$f"))); xz=$((xz + w))
  t0=$(date +%s%N)
  xdelta3 -9 -e -f -s "$o" "$f" "$work/d" && xd=$((xd + $(stat -c %s "$work/d")))
  xd_ns=$((xd_ns + $(date +%s%N) - t0))
  zstd -q -19 --long=31 -f --patch-from="$o" "$f" -o "$work/d" && zs=$((zs + $(stat -c %s "$work/d")))
  bsdiff "$o" "$f" "$work/d" && bs=$((bs + $(stat -c %s "$work/d")))
done < <(find "$new" -type f -print0)

printf '%s -> %s: %d changed files (%d bytes), %d added\n' "$1" "$2" "$changed" "$bytes" "$added"
printf '%-34s %12s %12s %9s %10s %9s %10s\n' "" "patch bytes" "archive part" "mkpatch s" "peak KiB" \
  "update s" "peak KiB"
printf '%-34s %12d %12d %9s %10s %9s %10s\n' "mkpatch, deltas" "$with" "$with_a" "$with_s" "$with_m" \
  "$with_u" "$with_um"
printf '%-34s %12d %12d %9s %10s %9s %10s\n' "mkpatch --no-delta" "$without" "$without_a" "$without_s" \
  "$without_m" "$without_u" "$without_um"
printf '%-34s %12s %12d %9s\n' "xdelta3 -9 (sum)" "" "$xd" "$(awk -v n="$xd_ns" 'BEGIN{printf "%.2f", n/1e9}')"
printf '%-34s %12s %12d\n' "zstd -19 --long --patch-from (sum)" "" "$zs" \
  "bsdiff (sum)" "" "$bs" "xz -9 whole (sum)" "" "$xz"
printf 'archive part with/without deltas: %s; with deltas / smallest tool sum: %s\n' \
  "$(awk -v a="$with_a" -v b="$without_a" 'BEGIN{printf "%.3f", a/b}')" \
  "$(awk -v a="$with_a" -v x="$xd" -v z="$zs" -v b="$bs" 'BEGIN{m=x; if(z<m)m=z; if(b<m)m=b; printf "%.3f", a/m}')"
grep -E "loose files|\.dat|deltas:" "$work/summary-delta.txt" || true
