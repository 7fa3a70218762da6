#!/usr/bin/env bash
# Patch sizes with and without deltas for a pair of trees, beside the delta tools a
# publisher could use instead, summed over the changed and added files:
#   bench/delta_bench.sh OLD_DIR NEW_DIR [HOST_BUILD] [WIN32_BUILD]
# Prints mkpatch's patch size with deltas and with --no-delta (time and peak memory of
# each build), and the sums of xdelta3 -9, zstd -19 --long --patch-from, the suffix-array
# tool of the bsdiff package and xz -9 of the changed files whole. Added files count
# with their xz -9 size in every column. Never part of the test command.
set -euo pipefail
old=$(realpath "$1"); new=$(realpath "$2")
host=$(realpath "${3:-build/host}"); win32=$(realpath "${4:-build/win32}")
mkpatch="$host/tools/mkpatch"; stub="$win32/app/updater.exe"
[ -x "$mkpatch" ] && [ -f "$stub" ] || { echo "build mkpatch (host) and updater (win32) first" >&2; exit 2; }

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

build() {  # extra options; prints size seconds peak-KiB
  /usr/bin/time -f "%e %M" -o "$work/time" "$mkpatch" --stub "$stub" --old "$work/old" --new "$work/new" \
    --title Bench --old-version 1 --new-version 2 --check-file bench-version.txt --allow-long-names "$@" \
    -o "$work/patch.exe" > "$work/summary.txt"
  echo "$(stat -c %s "$work/patch.exe") $(cat "$work/time")"
}
read -r with with_s with_m < <(build)
cp "$work/summary.txt" "$work/summary-delta.txt"
read -r without without_s without_m < <(build --no-delta)

xd=0; zs=0; bs=0; xz=0; changed=0; added=0; bytes=0
while IFS= read -r -d '' f; do
  rel=${f#"$new"/}
  o="$old/$rel"
  w=$(xz -9 -c "$f" | wc -c)
  if [ ! -f "$o" ]; then
    added=$((added + 1)); xd=$((xd + w)); zs=$((zs + w)); bs=$((bs + w)); xz=$((xz + w)); continue
  fi
  cmp -s "$o" "$f" && continue
  changed=$((changed + 1)); bytes=$((bytes + $(stat -c %s "$f"))); xz=$((xz + w))
  xdelta3 -9 -e -f -s "$o" "$f" "$work/d" && xd=$((xd + $(stat -c %s "$work/d")))
  zstd -q -19 --long=31 -f --patch-from="$o" "$f" -o "$work/d" && zs=$((zs + $(stat -c %s "$work/d")))
  bsdiff "$o" "$f" "$work/d" && bs=$((bs + $(stat -c %s "$work/d")))
done < <(find "$new" -type f -print0)

printf '%s -> %s: %d changed files (%d bytes), %d added\n' "$1" "$2" "$changed" "$bytes" "$added"
printf '%-34s %12s %9s %12s\n' "" "bytes" "seconds" "peak KiB"
printf '%-34s %12d %9s %12s\n' "mkpatch, deltas" "$with" "$with_s" "$with_m"
printf '%-34s %12d %9s %12s\n' "mkpatch --no-delta" "$without" "$without_s" "$without_m"
printf '%-34s %12d\n' "xdelta3 -9 (sum)" "$xd" "zstd -19 --long --patch-from (sum)" "$zs" \
  "bsdiff (sum)" "$bs" "xz -9 whole (sum)" "$xz"
printf 'ratio with/without deltas: %s\n' "$(awk -v a="$with" -v b="$without" 'BEGIN{printf "%.3f", a/b}')"
grep -E "loose files|\.dat|deltas:" "$work/summary-delta.txt" || true
