#!/bin/sh
# The three ways of rebuilding a data archive (mkpatch --rebuild unpack|stream|keep), each
# applied by the 32-bit update procedure under Wine (bench/update_bench.exe, win32 build)
# to two generated games:
#   noise: one stored data archive of incompressible members (about 1 GB: 199 members,
#          one of them 1% of the archive, the rest of equal size);
#   text:  one compressed data archive of compressible members (about 300 MB: 600
#          members of text and table-like records, one of them 1% of the archive).
# For each, a new version with the 1% member changed, and one with 30% of the archive's
# bytes changed (that member and the next ones), plus the check file game.exe.
# Per patch, over three runs: peak extra disk space during the update (the install
# folder's size sampled every 0.05 s, beside its size before), wall time of the update
# (Wine included, and less Wine's own start and end, measured in the same run with a
# program that does nothing) and of RunUpdate alone, the install's size after (beside the
# new version's tree), and the stored form of the data archive after. Beside them, in the
# same run: one copy of the installation on the same disk (cp -r, then sync; the median of
# three), each timed run from a settled machine (synced, and as root with the page cache
# dropped), and the time
# `gca create` takes to code the members changed at 30% with the game's options.
#   bench/rebuild_bench.sh [HOST_BUILD] [WIN32_BUILD]
# Builds default to build/host (gca, mkpatch) and build/win32 (updater, update_bench).
# Environment: SMALL=1 makes games of 40 MB and 15 MB (a quick run of a minute or two);
# GU_BENCH_KEEP=1 keeps the generated trees and update_bench's reports of the phases;
# GU_BENCH_WAYS="unpack stream" limits the ways, GU_BENCH_GAMES="noise" the games.
# Patches are built with --no-delta, so that every changed member goes whole and the
# update's work is the rebuild. Everything is generated below the win32 build directory
# and removed at the end.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
host=$(cd "${1:-$root/build/host}" && pwd)
win=$(cd "${2:-$root/build/win32}" && pwd)
gca=$host/tools/gca
mkpatch=$host/tools/mkpatch
bench=$win/bench/update_bench.exe
stub=$win/app/updater.exe
for f in "$gca" "$mkpatch" "$bench" "$stub"; do
  [ -f "$f" ] || { echo "missing $f: build gca and mkpatch (host), updater and update_bench (win32)" >&2; exit 1; }
done
ways=${GU_BENCH_WAYS:-unpack stream keep}
small=${SMALL:-0}

work=$win/rebuild_bench_data
rm -rf "$work"
mkdir -p "$work"
sampler=
cleanup() {
  [ -n "$sampler" ] && kill "$sampler" 2>/dev/null
  [ "${GU_BENCH_KEEP:-0}" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

now() { date +%s.%N; }
# Every timed run starts from the same state of the machine: nothing waiting to be
# written, and (as root) nothing of the games in the page cache, so that the copies and
# the updates read from the disk alike and none is slowed by the one before it.
settle() {
  sync
  if [ -w /proc/sys/vm/drop_caches ]; then echo 3 >/proc/sys/vm/drop_caches; fi
}
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
size_of() { du -sb "$1" | cut -f1; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
# The stored form of a data archive, from its directory head's flags.
form_of() {
  python3 - "$1" <<'EOF'
import struct, sys
with open(sys.argv[1], 'rb') as f:
    front = f.read(16)
    if front[:4] != b'GCAX':
        print('?'); sys.exit()
    f.seek(struct.unpack('<Q', front[8:16])[0])
    head = f.read(8)
flags = struct.unpack('<I', head[4:8])[0] if head[:4] == b'GCA3' else 0
words = ['compressed' if flags & 0x10 or flags & 0x100 else 'stored']
words += [w for bit, w in ((0x20, 'scr.data'), (0x2, 'scr.dir'), (0x100, 'solid')) if flags & bit]
print('+'.join(words))
EOF
}
# Members as the new version must have them: CRC, size and name of every file entry.
members_of() { "$gca" list "$1" | awk '$1 != "00000010" { print $2, $4, $7 }' | sort; }

# update_bench runs the update in its own process and reads the patch from the file it is
# given: the image in front of the payload is never run. When the updater's image leaves no
# room for the records in the first 1 MiB, mkpatch refuses it; a minimal PE image of two
# sections then stands in, and the bench says so.
minimal_stub() {
  python3 - "$1" <<'EOF'
import struct, sys
pe = bytearray(b'\xcc' * 0x1440)
pe[0:0x400] = bytes(0x400)
pe[0:2] = b'MZ'
pe[0x3c:0x40] = struct.pack('<I', 0x80)
pe[0x80:0x84] = b'PE\0\0'
pe[0x86] = 2                  # two sections
pe[0x94] = 0xe0               # optional header size
table = 0x80 + 24 + 0xe0
for k, (size, at) in enumerate(((0x800, 0x400), (0x400, 0x1000))):
    pe[table + 40 * k + 16:table + 40 * k + 24] = struct.pack('<II', size, at)
open(sys.argv[1], 'wb').write(pe)
EOF
}
stub_image=$(stat -c %s "$stub")
if [ "$stub_image" -gt 1040000 ]; then
  echo "NOTE: $stub is $stub_image bytes, too large for the records to fit in the first 1 MiB;" \
    "the patches carry a minimal PE image in front instead (update_bench never runs it)"
  minimal_stub "$work/stub.exe"
  stub=$work/stub.exe
fi

export WINEDEBUG=-all
"$root/cmake/wine-run.sh" win32 "$win/wineprefix" cmd /c exit >/dev/null 2>&1 || true  # prefix and server up
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg); ways: $ways"
# Wine's own start and end from a settled machine (a program that only prints its usage),
# the median of three: the part of an update's wall time that is not the updater's.
for k in 1 2 3; do
  settle
  w0=$(now)
  "$root/cmake/wine-run.sh" win32 "$win/wineprefix" "$bench" >/dev/null 2>&1 || true
  since "$w0"
  echo
done >"$work/wine.txt"
wine_s=$(sort -n "$work/wine.txt" | sed -n 2p)
echo "Wine's start and end from a settled machine: $wine_s s"
table=$work/table.txt
printf '%-6s %4s %-7s %9s %10s %6s %6s %7s %7s %8s %6s %10s %7s %-11s %s\n' game chg way "patch MB" "peak MB" \
  "/old" "/new" "wall s" "-Wine" "update" "/copy" "after MB" "/tree" "form after" result >"$table"

# ---- one game ---------------------------------------------------------------------
# run_game NAME KIND TOTAL_MIB MEMBERS GCA_OPTIONS
run_game() {
  name=$1; kind=$2; total_mib=$3; count=$4; options=$5
  dir=$work/$name
  mkdir -p "$dir"
  t0=$(now)
  python3 - "$dir" "$kind" "$total_mib" "$count" <<'EOF'
import os, random, sys
work, kind, total_mib, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(20261210)
old_time, new_time = 1650000000, 1650086400
total = total_mib << 20
if kind == 'text':
    words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9)))
             for _ in range(5000)]
    pool = ' '.join(rng.choices(words, k=1 << 20)).encode()
    table = b''.join(bytes([i & 0xff, (i >> 8) & 0x0f, (i >> 12) & 0x3, 0]) + bytes(12) for i in range(1 << 17))

def content(n, seed):
    r = random.Random(seed)
    if kind == 'noise':
        return r.randbytes(n)
    # Text with a numbered line now and then, and a table-like run in every fifth member.
    parts, size = [], 0
    while size < n:
        at = r.randrange(len(pool) - 65536)
        piece = pool[at:at + r.randint(2048, 65536)] + b'\n%d\n' % r.getrandbits(32)
        if seed % 5 == 0:
            piece += table[:r.randint(4096, 65536)]
        parts.append(piece)
        size += len(piece)
    return b''.join(parts)[:n]

def write(path, data, t):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)
    os.utime(path, (t, t))

first = total // 100
rest = (total - first) // (count - 1)
sizes = [first] + [rest] * (count - 1)
changed30, done = 0, 0
while done < total * 30 // 100:
    done += sizes[changed30]
    changed30 += 1
for i, n in enumerate(sizes):
    rel = os.path.join('data', 'd%02d' % (i % 10), 'm%04d.%s' % (i, 'bin' if kind == 'noise' else 'txt'))
    old = os.path.join(work, 'old-src', rel)
    write(old, content(n, 2 * i), old_time + i)
    for version, changed in (('new1', i == 0), ('new30', i < changed30)):
        path = os.path.join(work, version + '-src', rel)
        if changed:
            write(path, content(n, 2 * i + 1), new_time + i)
            if version == 'new30':
                os.makedirs(os.path.dirname(os.path.join(work, 'changed-src', rel)), exist_ok=True)
                os.link(path, os.path.join(work, 'changed-src', rel))
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.link(old, path)
for version in ('old', 'new1', 'new30'):
    write(os.path.join(work, version, 'game.exe'), random.Random(version).randbytes(65536), old_time)
print('%s: %d members (%d changed at 30%%)' % (kind, count, changed30))
EOF
  for version in old new1 new30; do
    # shellcheck disable=SC2086
    "$gca" create $options "$dir/$version/data.dat" "$dir/$version-src/data" >/dev/null
    rm -rf "${dir:?}/$version-src"
  done
  old_bytes=$(stat -c %s "$dir/old/data.dat")
  echo "$name: generated in $(since "$t0") s, data.dat $old_bytes bytes ($(form_of "$dir/old/data.dat"))"

  # One copy of the installation on the same disk (a real copy, never a shared extent):
  # the median of three.
  for k in 1 2 3; do
    settle
    c0=$(now)
    cp -r --reflink=never "$dir/old" "$dir/copy"
    sync
    since "$c0"
    echo
    rm -rf "$dir/copy"
  done >"$dir/copies.txt"
  copy_s=$(sort -n "$dir/copies.txt" | sed -n 2p)
  # The same under Wine: the data archive copied by the system's CopyFile and flushed,
  # timed inside the process as RunUpdate is (the median of three).
  for k in 1 2 3; do
    settle
    "$root/cmake/wine-run.sh" win32 "$win/wineprefix" "$bench" --copy "$(winpath "$dir/old/data.dat")" \
      "$(winpath "$dir/copy.dat")" 2>/dev/null | tr -d '\r' | sed -n 's/^copy ok //p'
    rm -f "$dir/copy.dat"
  done >"$dir/wcopies.txt"
  wcopy_s=$(sort -n "$dir/wcopies.txt" | sed -n 2p)
  # Coding the members changed at 30% as gca create codes them.
  g0=$(now)
  # shellcheck disable=SC2086
  "$gca" create $options "$dir/changed.dat" "$dir/changed-src/data" >/dev/null
  create_s=$(since "$g0")
  echo "$name: one copy of the installation $copy_s s (data.dat by CopyFile under Wine: $wcopy_s s); gca create of the members changed at 30% $create_s s" \
    "($(size_of "$dir/changed-src") bytes)"
  echo "$name: copy $copy_s s (data.dat by CopyFile under Wine, flushed: $wcopy_s s), gca create of the 30% changed members $create_s s" >>"$work/references.txt"
  rm -rf "$dir/changed.dat" "$dir/changed-src"

  for change in 1 30; do
    tree_bytes=$(size_of "$dir/new$change")
    for way in $ways; do
      run_update "$dir" "$name" "$change" "$way" "$old_bytes" "$tree_bytes" "$copy_s"
    done
  done
  rm -rf "$dir"
}

# run_update DIR GAME CHANGE WAY OLD_BYTES TREE_BYTES COPY_S
run_update() {
  dir=$1; game=$2; change=$3; way=$4; old_bytes=$5; tree_bytes=$6; copy_s=$7
  patch=$dir/patch.exe
  rm -f "$patch"
  if ! "$mkpatch" --stub "$stub" --old "$dir/old" --new "$dir/new$change" --title "Bench Quest" \
    --old-version 1.0.0 --new-version 1.1.0 --check-file game.exe --no-delta --rebuild "$way" \
    -o "$patch" >"$dir/mkpatch.txt" 2>&1; then
    printf '%-6s %3s%% %-7s mkpatch failed: %s\n' "$game" "$change" "$way" "$(tail -1 "$dir/mkpatch.txt")" >>"$table"
    return 0
  fi
  patch_mb=$(awk -v b="$(stat -c %s "$patch")" 'BEGIN { printf "%.1f", b / 1e6 }')
  install=$dir/install
  # Three runs, each on a fresh copy of the old installation from a settled machine;
  # the times are their medians, the peak the largest, and every run must be right.
  : >"$dir/runs.txt"
  peak_all=0
  result=ok
  for k in 1 2 3; do
    rm -rf "$install"
    cp -r "$dir/old" "$install"
    settle
    before=$(size_of "$install")
    rm -f "$dir/peak.txt" "$dir/update.done"
    (
      peak=$before
      while [ ! -f "$dir/update.done" ]; do
        u=$(du -sb "$install" 2>/dev/null | cut -f1)
        [ -n "$u" ] && [ "$u" -gt "$peak" ] && peak=$u
        sleep 0.05
      done
      echo "$peak" >"$dir/peak.txt"
    ) &
    sampler=$!
    u0=$(now)
    "$root/cmake/wine-run.sh" win32 "$win/wineprefix" "$bench" "$(winpath "$patch")" "$(winpath "$install")" \
      >"$dir/result.txt" 2>&1 || true
    wall=$(since "$u0")
    touch "$dir/update.done"
    wait "$sampler" || true
    sampler=
    peak=$(cat "$dir/peak.txt")
    [ $((peak - before)) -gt "$peak_all" ] && peak_all=$((peak - before))
    update_s=$(tr -d '\r' <"$dir/result.txt" | sed -n 's/^total //p')
    echo "$wall ${update_s:-0}" >>"$dir/runs.txt"
    if ! tr -d '\r' <"$dir/result.txt" | grep -q '^result ok'; then
      result="update FAILED"
    elif [ "$(members_of "$install/data.dat")" != "$(members_of "$dir/new$change/data.dat")" ]; then
      result="WRONG members"
    elif ! cmp -s "$install/game.exe" "$dir/new$change/game.exe"; then
      result="WRONG game.exe"
    fi
    [ "$result" = ok ] || break
  done
  wall=$(cut -d' ' -f1 "$dir/runs.txt" | sort -n | sed -n 2p)
  update_s=$(cut -d' ' -f2 "$dir/runs.txt" | sort -n | sed -n 2p)
  after=$(size_of "$install")
  # update_bench's report (its phases) stays beside the table, for GU_BENCH_KEEP=1.
  tr -d '\r' <"$dir/result.txt" >"$work/phases-$game-$change-$way.txt"
  new_bytes=$(stat -c %s "$install/data.dat")
  awk -v g="$game" -v c="$change" -v w="$way" -v p="$patch_mb" -v pk="$peak_all" -v o="$old_bytes" \
    -v n="$new_bytes" -v wall="${wall:-0}" -v u="${update_s:-0}" -v cp="$copy_s" -v a="$after" -v t="$tree_bytes" \
    -v ws="$wine_s" \
    -v f="$(form_of "$install/data.dat")" -v r="$result" 'BEGIN {
    own = wall - ws < u ? u : wall - ws
    printf "%-6s %3s%% %-7s %9s %10.1f %6.2f %6.2f %7.2f %7.2f %8.2f %6.2f %10.1f %+6.1f%% %-11s %s\n", g, c, w, p,
      pk / 1e6, pk / o, pk / n, wall, own, u, own / cp, a / 1e6, 100 * (a - t) / t, f, r
  }' >>"$table"
  tail -1 "$table"
  rm -rf "$install" "$patch"
}

games=${GU_BENCH_GAMES:-noise text}
for game in $games; do
  case "$game$small" in
    noise1) run_game noise noise 40 40 --store ;;
    text1) run_game text text 15 150 "" ;;
    noise0) run_game noise noise 1000 199 --store ;;
    text0) run_game text text 300 600 "" ;;
  esac
done

echo
cat "$table"
echo
echo "peak MB: extra disk space at the peak of the update (install folder sampled every 0.05 s, the"
echo "largest of three runs); /old, /new: that peak over the old data.dat and over the rebuilt one;"
echo "wall s: the update under Wine (median of three runs, each from a settled machine); -Wine: less"
echo "Wine's own start and end ($wine_s s), never below RunUpdate; update: RunUpdate alone; /copy: -Wine over one copy of the"
echo "installation (cp -r + sync, median of 3); after MB: the install after the update, /tree: beside"
echo "the new version's tree. References:"
cat "$work/references.txt"
