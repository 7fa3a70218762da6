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
# and the result is compared with the new tree. Then the member path: each tree's files
# packed into one data archive (data.dat, stored, by the host gca), patched with and
# without deltas and applied the same way, the rebuilt archive's entries compared with
# the new tree's (GU_BENCH_MEMBERS=0 leaves this run out; GU_BENCH_BSDIFF=0 leaves bsdiff
# out, which takes long on large files). Never part of the test command.
set -euo pipefail
old=$(realpath "$1"); new=$(realpath "$2")
host=$(realpath "${3:-build/host}"); win32=$(realpath "${4:-build/win32}")
mkpatch="$host/tools/mkpatch"; gca="$host/tools/gca"; stub="$win32/app/updater.exe"
runner="$win32/bench/update_bench.exe"
[ -x "$mkpatch" ] && [ -x "$gca" ] && [ -f "$stub" ] && [ -f "$runner" ] ||
  { echo "build mkpatch and gca (host), updater and update_bench (win32) first" >&2; exit 2; }
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

build() {  # patch name, tree prefix, extra options; prints size archive-part seconds peak-KiB
  local out="$work/$1.exe" trees="$work/$2"; shift 2
  /usr/bin/time -f "%e %M" -o "$work/time" "$mkpatch" --stub "$stub" --old "${trees}old" --new "${trees}new" \
    --title Bench --old-version 1 --new-version 2 --check-file bench-version.txt --allow-long-names "$@" \
    -o "$out" > "$work/summary.txt"
  local part; part=$(sed -n 's/.*archive \([0-9]*\)).*/\1/p' "$work/summary.txt")
  echo "$(stat -c %s "$out") $part $(cat "$work/time")"
}
read -r with with_a with_s with_m < <(build delta "")
cp "$work/summary.txt" "$work/summary-delta.txt"
read -r without without_a without_s without_m < <(build whole "" --no-delta)

# The update under Wine: prints seconds peak-working-set-KiB, or fails.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
export WINEDEBUG=-all
"$root/cmake/wine-run.sh" win32 "$win32/wineprefix" cmd /c exit >/dev/null 2>&1 || true
same() {  # installation, new tree: the same files, a data archive by its entries' bytes
  local a
  diff -r -x data.dat "$1" "$2" >/dev/null || return 1
  [ -f "$2/data.dat" ] || return 0
  for a in "$1" "$2"; do
    rm -rf "$a.x"; mkdir "$a.x"; "$gca" extract -C "$a.x" "$a/data.dat" >/dev/null || return 1
  done
  diff -r "$1.x" "$2.x" >/dev/null; local ok=$?; rm -rf "$1.x" "$2.x"; return $ok
}
apply() {  # patch name, tree prefix
  rm -rf "$work/install"; cp -a "$work/${2}old" "$work/install"
  "$root/cmake/wine-run.sh" win32 "$win32/wineprefix" "$runner" "$(winpath "$work/$1.exe")" \
    "$(winpath "$work/install")" 2>&1 | tr -d '\r' > "$work/result.txt" || true
  grep -q '^result ok' "$work/result.txt" && same "$work/install" "$work/${2}new" ||
    { echo "the update with $1.exe FAILED or left a different tree" >&2; cat "$work/result.txt" >&2; exit 1; }
  echo "$(sed -n 's/^total //p' "$work/result.txt") $(sed -n 's/^peak memory \([0-9]*\) KiB.*/\1/p' "$work/result.txt")"
}
read -r with_u with_um < <(apply delta "")
read -r without_u without_um < <(apply whole "")

# The member path: the same files as the members of one stored data archive.
members=${GU_BENCH_MEMBERS:-1}
if [ "$members" = 1 ]; then
  for side in old new; do
    mkdir -p "$work/m$side" "$work/pack-$side"
    mv "$work/$side" "$work/pack-$side/data"
    (cd "$work/pack-$side" && "$gca" create --store "$work/m$side/data.dat" data >/dev/null)
    mv "$work/pack-$side/data" "$work/$side"
    echo "$side" > "$work/m$side/bench-version.txt"
  done
  read -r m_with m_with_a m_with_s m_with_m < <(build mdelta m)
  read -r m_without m_without_a m_without_s m_without_m < <(build mwhole m --no-delta)
  read -r m_with_u m_with_um < <(apply mdelta m)
  read -r m_without_u m_without_um < <(apply mwhole m)
fi

xd=0; xd_ns=0; zs=0; bs=0; xz=0; changed=0; added=0; bytes=0; bsdiff=${GU_BENCH_BSDIFF:-1}
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
  zstd -q -19 --long=31 -f --patch-from="$o" "$f" -o "$work/d" 2>/dev/null && zs=$((zs + $(stat -c %s "$work/d")))
  if [ "$bsdiff" = 1 ]; then bsdiff "$o" "$f" "$work/d" && bs=$((bs + $(stat -c %s "$work/d"))); fi
done < <(find "$new" -type f -print0)

printf '%s -> %s: %d changed files (%d bytes), %d added\n' "$1" "$2" "$changed" "$bytes" "$added"
printf '%-34s %12s %12s %9s %10s %9s %10s\n' "" "patch bytes" "archive part" "mkpatch s" "peak KiB" \
  "update s" "peak KiB"
printf '%-34s %12d %12d %9s %10s %9s %10s\n' "mkpatch, deltas" "$with" "$with_a" "$with_s" "$with_m" \
  "$with_u" "$with_um"
printf '%-34s %12d %12d %9s %10s %9s %10s\n' "mkpatch --no-delta" "$without" "$without_a" "$without_s" \
  "$without_m" "$without_u" "$without_um"
if [ "$members" = 1 ]; then
  printf '%-34s %12d %12d %9s %10s %9s %10s\n' "members of data.dat, deltas" "$m_with" "$m_with_a" \
    "$m_with_s" "$m_with_m" "$m_with_u" "$m_with_um"
  printf '%-34s %12d %12d %9s %10s %9s %10s\n' "members of data.dat, --no-delta" "$m_without" \
    "$m_without_a" "$m_without_s" "$m_without_m" "$m_without_u" "$m_without_um"
fi
printf '%-34s %12s %12d %9s\n' "xdelta3 -9 (sum)" "" "$xd" "$(awk -v n="$xd_ns" 'BEGIN{printf "%.2f", n/1e9}')"
printf '%-34s %12s %12d\n' "zstd -19 --long --patch-from (sum)" "" "$zs" \
  "bsdiff (sum)" "" "$([ "$bsdiff" = 1 ] && echo "$bs" || echo 0)" "xz -9 whole (sum)" "" "$xz"
printf 'archive part with/without deltas: %s; with deltas / smallest tool sum: %s\n' \
  "$(awk -v a="$with_a" -v b="$without_a" 'BEGIN{printf "%.3f", a/b}')" \
  "$(awk -v a="$with_a" -v x="$xd" -v z="$zs" -v b="$bs" -v u="$bsdiff" \
     'BEGIN{m=x; if(z<m)m=z; if(u==1&&b<m)m=b; printf "%.3f", a/m}')"
printf 'mkpatch with deltas / xdelta3 -9 time: %s\n' \
  "$(awk -v a="$with_s" -v n="$xd_ns" 'BEGIN{printf "%.2f", a/(n/1e9)}')"
grep -E "loose files|\.dat|deltas:" "$work/summary-delta.txt" || true
