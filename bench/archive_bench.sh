#!/bin/sh
# Archive throughput: gca create/extract (stored and compressed, non-solid and solid)
# beside tar (store), tar with bzip2 and tar with lbzip2 (two threads), over the same
# corpus in the same run.
#   bench/archive_bench.sh [BUILD_DIR] [CORPUS_DIR]
# BUILD_DIR defaults to build/host; build/win32 runs the shipped 32-bit gca.exe under Wine
# (the peers are the host's, in the same run). Without CORPUS_DIR the codec corpus script
# (bench/corpus.sh) makes one when it exists; otherwise a mixed corpus is generated.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/host}
# A Windows build (win32, the shipped one, or win64) runs its gca.exe under Wine, in the
# build's own prefix.
gca=$build/tools/gca
wine_gca=
if [ ! -x "$gca" ] && [ -f "$build/tools/gca.exe" ]; then
  gca=$build/tools/gca.exe
  wine_gca=1
  export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
  case $build in *win64*) export WINEARCH=win64 ;; *) export WINEARCH=win32 ;; esac
  command -v wine >/dev/null 2>&1 || { echo "wine is needed for $gca" >&2; exit 1; }
fi
[ -f "$gca" ] || { echo "build the gca target first ($gca)" >&2; exit 1; }
run_gca() {
  if [ -n "$wine_gca" ]; then wine "$gca" "$@"; else "$gca" "$@"; fi
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

corpus=${2:-}
if [ -z "$corpus" ]; then
  corpus=$work/corpus
  mkdir -p "$corpus"
  if [ -f "$root/bench/corpus.sh" ]; then
    bash "$root/bench/corpus.sh" "$corpus" >/dev/null
  else
    # Text, a source-like tree, binary noise and zeros: about 64 MiB in 400 files.
    i=0
    while [ $i -lt 100 ]; do
      d=$corpus/dir$((i % 10))
      mkdir -p "$d"
      seq $((i * 1000)) $((i * 1000 + 20000)) > "$d/text$i.txt"
      head -c $((200000 + i * 1000)) /dev/urandom > "$d/noise$i.bin"
      head -c 131072 /dev/zero > "$d/zero$i.dat"
      awk -v n=$i 'BEGIN { for (k = 0; k < 3000; k++) printf "int f%d_%d(int x) { return x * %d + %d; }\n", n, k, k, n }' > "$d/src$i.c"
      i=$((i + 1))
    done
  fi
fi
bytes=$(du -sb "$corpus" | cut -f1)
files=$(find "$corpus" -type f | wc -l)
cat $(find "$corpus" -type f) > /dev/null  # warm the page cache
echo "corpus: $files files, $bytes bytes"

now() { date +%s.%N; }
# measure LABEL COMMAND...: prints MB/s of the corpus size
measure() {
  label=$1; shift
  t0=$(now)
  "$@" >/dev/null 2>&1 || { echo "$label: FAILED" >&2; return 1; }
  t1=$(now)
  awk -v l="$label" -v b="$bytes" -v a="$t0" -v z="$t1" \
    'BEGIN { s = z - a; if (s <= 0) s = 1e-6; printf "%-28s %8.3f s %9.1f MB/s\n", l, s, b / s / 1e6 }'
}
src_parent=$(dirname "$corpus"); src_name=$(basename "$corpus")

out() { rm -rf "$work/x"; mkdir -p "$work/x"; }
measure "tar create (store)" tar -C "$src_parent" -cf "$work/t.tar" "$src_name"
out; measure "tar extract (store)" tar -C "$work/x" -xf "$work/t.tar"
measure "tar -cjf (bzip2)" tar -C "$src_parent" -cjf "$work/t.tbz" "$src_name"
out; measure "tar -xjf (bzip2)" tar -C "$work/x" -xjf "$work/t.tbz"
if command -v lbzip2 >/dev/null 2>&1; then
  measure "tar + lbzip2 -9 -n2 create" tar -C "$src_parent" -I "lbzip2 -9 -n2" -cf "$work/t.tlbz" "$src_name"
  out; measure "tar + lbzip2 -n2 extract" tar -C "$work/x" -I "lbzip2 -n2" -xf "$work/t.tlbz"
else
  echo "lbzip2: not installed (scripts/bootstrap.sh installs it)"
fi
for form in "--store" "--store --solid" "" "--solid"; do
  name=$(echo "gca create ${form:-(compressed)}" | tr -s ' ')
  # shellcheck disable=SC2086
  measure "$name" run_gca create $form "$work/g.gca" "$corpus"
  out; measure "gca extract ${form:-(compressed)}" run_gca extract -C "$work/x" "$work/g.gca"
  diff -r "$corpus" "$work/x/$src_name" >/dev/null || echo "  extracted tree differs!" >&2
  printf '  archive: %s bytes\n' "$(stat -c %s "$work/g.gca")"
done
printf '  tar: %s bytes, tar.bz2: %s bytes\n' "$(stat -c %s "$work/t.tar")" "$(stat -c %s "$work/t.tbz")"

# Many small files: the per-entry cost of the stored forms beside tar.
small=$work/small
mkdir -p "$small"
i=0
while [ $i -lt 50 ]; do
  mkdir -p "$small/d$i"
  head -c $((100 * 3000)) /dev/urandom | split -b 3000 -a 3 - "$small/d$i/f" 2>/dev/null
  i=$((i + 1))
done
bytes=$(du -sb "$small" | cut -f1)
echo "small files: $(find "$small" -type f | wc -l) files, $bytes bytes"
measure "tar create (store)" tar -C "$work" -cf "$work/s.tar" small
out; measure "tar extract (store)" tar -C "$work/x" -xf "$work/s.tar"
measure "gca create --store" run_gca create --store "$work/s.gca" "$small"
out; measure "gca extract --store" run_gca extract -C "$work/x" "$work/s.gca"
diff -r "$small" "$work/x/small" >/dev/null || echo "  extracted tree differs!" >&2
