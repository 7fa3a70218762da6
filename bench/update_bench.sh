#!/bin/sh
# Whole update under Wine: a generated installation with two data archives (many members
# of mixed sizes, compressible and not), a patch that changes a tenth of the members and
# a few loose files, and the update run once by bench/update_bench.exe (win64 build).
# Beside it, the same data archives copied three times in a chain with cp, in the same run:
# unpacking, rebuilding and moving them in is at best about three copies.
#   bench/update_bench.sh [SIZE_MIB] [HOST_BUILD] [WIN_BUILD]
# SIZE_MIB (default 1024) is the size of the two data archives together. The builds
# default to build/host (gca, mkpatch) and build/win64 (updater, update_bench).
# Environment: GU_BENCH_COMPRESS=1 packs the installed data archives compressed;
# GU_BENCH_KEEP=1 keeps the generated trees. Everything is generated below the Windows
# build directory and removed at the end.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${1:-1024}
host=${2:-$root/build/host}
win=${3:-$root/build/win64}
# Wine wants absolute paths (its prefix, the programs it starts).
host=$(cd "$host" && pwd)
win=$(cd "$win" && pwd)
gca=$host/tools/gca
mkpatch=$host/tools/mkpatch
bench=$win/bench/update_bench.exe
stub=$win/app/updater.exe
for f in "$gca" "$mkpatch" "$bench" "$stub"; do
  [ -f "$f" ] || { echo "missing $f: build gca and mkpatch (host), updater and update_bench (win64)" >&2; exit 1; }
done
arch=win64
case "$win" in *win32*) arch=win32 ;; esac

work=$win/update_bench_data
rm -rf "$work"
mkdir -p "$work"
cleanup() { [ "${GU_BENCH_KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

now() { date +%s.%N; }
store=--store
[ "${GU_BENCH_COMPRESS:-0}" = 1 ] && store=

# ---- the two versions of the game ---------------------------------------------------
t0=$(now)
python3 - "$work" "$size_mib" <<'EOF'
import os, random, sys
work, size_mib = sys.argv[1], int(sys.argv[2])
rng = random.Random(20240501)
base_time = 1650000000          # the old version's files
new_time = base_time + 86400     # the files the patch changes

words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9))) for _ in range(4000)]
lines = []
size = 0
while size < (8 << 20):
    line = ' '.join(rng.choices(words, k=rng.randint(4, 14))) + '\n'
    lines.append(line)
    size += len(line)
text_pool = ''.join(lines).encode()
# Table-like binary: small counters and zeros, compresses well.
table_pool = b''.join(bytes([i & 0xff, (i >> 8) & 0x0f, 0, 0]) + bytes(12) for i in range(1 << 19))

def content(kind, n, r):
    if kind == 'noise':
        return r.randbytes(n)
    pool = text_pool if kind == 'text' else table_pool
    at = r.randrange(len(pool))
    out = pool[at:at + n]
    while len(out) < n:
        out += pool[:n - len(out)]
    return out

def write(path, data, t):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)
    os.utime(path, (t, t))

old, new = os.path.join(work, 'old-src'), os.path.join(work, 'new-src')
total = size_mib << 20
members = changed = 0
for name, share in (('data', 0.6), ('voice', 0.4)):
    budget = int(total * share)
    i = 0
    while budget > 0:
        n = min(budget, int(2 ** rng.uniform(9, 22)))   # 512 B .. 4 MiB, log-uniform
        budget -= n
        kind = rng.choices(['text', 'noise', 'table'], weights=[45, 45, 10])[0]
        rel = os.path.join(name, 'd%02d' % (i % 24), 'm%05d.%s' % (i, {'text': 'txt', 'noise': 'bin', 'table': 'tbl'}[kind]))
        seed = rng.getrandbits(64)
        data = content(kind, n, random.Random(seed))
        write(os.path.join(old, rel), data, base_time + i)
        if rng.random() < 0.10:
            data = content(kind, n + rng.randint(0, 64), random.Random(seed + 1))
            write(os.path.join(new, rel), data, new_time + i)
            changed += 1
        else:
            os.makedirs(os.path.dirname(os.path.join(new, rel)), exist_ok=True)
            os.link(os.path.join(old, rel), os.path.join(new, rel))
        members += 1
        i += 1
    # A few members only the new version has.
    for k in range(3):
        write(os.path.join(new, name, 'added', 'n%d.txt' % k), content('text', 20000 + k, rng), new_time)

loose = {'game.exe': 3 << 20, 'readme.txt': 4000, 'config/settings.ini': 600, 'movie/intro.bin': 8 << 20,
         'docs/manual.txt': 50000}
for k, (rel, n) in enumerate(sorted(loose.items())):
    write(os.path.join(old, 'game', rel), content('noise' if rel.endswith(('exe', 'bin')) else 'text', n, rng), base_time)
    changed_file = rel in ('game.exe', 'readme.txt', 'config/settings.ini')
    write(os.path.join(new, 'game', rel), content('noise', n, rng) if changed_file else
          open(os.path.join(old, 'game', rel), 'rb').read(), new_time if changed_file else base_time)
write(os.path.join(new, 'game', 'docs', 'changes.txt'), b'what changed\n', new_time)
print('members: %d (%d changed, 6 added), loose files: %d (3 changed, 1 added)' % (members, changed, len(loose)))
EOF
for side in old new; do
  mkdir -p "$work/$side"
  cp -a "$work/$side-src/game/." "$work/$side/"
  for a in data voice; do
    # shellcheck disable=SC2086
    "$gca" create $store "$work/$side/$a.dat" "$work/$side-src/$a" >/dev/null
  done
done
touch -d @1650000000 "$work/old/data.dat" "$work/old/voice.dat"
"$mkpatch" --stub "$stub" --old "$work/old" --new "$work/new" --title "Bench Quest" \
  --old-version 1.0.0 --new-version 1.1.0 --check-file game.exe -o "$work/patch.exe" | sed 's/^[^:]*: /mkpatch: /'
# The installation: the old version (its sources are not needed any more).
mv "$work/old" "$work/install"
rm -rf "$work/old-src"
dat_bytes=$(cat "$work/install/data.dat" "$work/install/voice.dat" | wc -c)
t1=$(now)
printf 'generated in %.0f s: data archives %s bytes (%s), patch %s bytes\n' "$(awk "BEGIN { print $t1 - $t0 }")" \
  "$dat_bytes" "${store:-compressed}" "$(stat -c %s "$work/patch.exe")"

# ---- the copies ---------------------------------------------------------------------
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
cat "$work/install/data.dat" "$work/install/voice.dat" "$work/patch.exe" >/dev/null  # page cache
c0=$(now)
prev=$work/install
for k in 1 2 3; do
  mkdir -p "$work/cp$k"
  cp "$prev/data.dat" "$prev/voice.dat" "$work/cp$k/"
  prev=$work/cp$k
done
c1=$(now)
rm -rf "$work/cp1" "$work/cp2" "$work/cp3"
sync

# ---- the update ---------------------------------------------------------------------
export WINEDEBUG=-all
"$root/cmake/wine-run.sh" "$arch" "$win/wineprefix" cmd /c exit >/dev/null 2>&1 || true  # prefix and server up
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before the update"
# Peak extra disk space: the file system's used bytes, sampled every 50 ms while the
# update runs, beside what was used before it started.
used() { df -B1 --output=used "$work" | tail -1 | tr -d ' '; }
used_before=$(used)
(
  peak=$used_before
  while [ ! -f "$work/update.done" ]; do
    u=$(used); [ "$u" -gt "$peak" ] && peak=$u
    sleep 0.05
  done
  echo "$peak" >"$work/peak.txt"
) &
sampler=$!
u0=$(now)
"$root/cmake/wine-run.sh" "$arch" "$win/wineprefix" "$bench" "$(winpath "$work/patch.exe")" \
  "$(winpath "$work/install")" >"$work/result.txt" 2>&1 || true
u1=$(now)
touch "$work/update.done"
wait "$sampler" || true
peak=$(cat "$work/peak.txt")
awk -v p="$peak" -v u="$used_before" -v b="$dat_bytes" 'BEGIN {
  printf "peak extra disk space: %.0f bytes, %.2f x the data archives (sampled every 50 ms)\n", p - u, (p - u) / b
}'
cat "$work/result.txt" | tr -d '\r' | sed -n 's/^phase /  /p'
grep -q '^result ok' "$work/result.txt" || { echo "the update FAILED" >&2; cat "$work/result.txt" >&2; exit 1; }

# ---- the result is the new version --------------------------------------------------
mkdir -p "$work/check"
for a in data voice; do
  "$gca" extract -C "$work/check" "$work/install/$a.dat" >/dev/null
  diff -r "$work/check/$a" "$work/new-src/$a" >/dev/null || { echo "$a.dat differs from the new version" >&2; exit 1; }
done
diff -r -x data.dat -x voice.dat "$work/install" "$work/new" >/dev/null || { echo "loose files differ" >&2; exit 1; }
echo "installation checked: data archives and loose files are the new version"

# ---- references for the phases, natively on the host --------------------------------
r0=$(now)
rm -rf "$work/check"
r1=$(now)
offset=$("$mkpatch" --show "$work/patch.exe" | sed -n 's/^archive at offset //p')
mkdir -p "$work/check"
"$gca" extract --offset "$offset" -C "$work/check" "$work/patch.exe" >/dev/null
r2=$(now)
awk -v a="$r0" -v b="$r1" -v c="$r2" 'BEGIN {
  printf "host reference: rm -rf of both data archives unpacked %.2f s, gca extract of the patch archive %.2f s\n", b - a, c - b
}'

update_s=$(tr -d '\r' <"$work/result.txt" | sed -n 's/^total //p')
awk -v u="$update_s" -v w="$u0" -v x="$u1" -v c="$c0" -v d="$c1" -v b="$dat_bytes" 'BEGIN {
  cp = d - c
  printf "%-14s %10s %10s %8s %10s\n", "", "RunUpdate", "3x cp", "ratio", "MB/s"
  printf "%-14s %9.2fs %9.2fs %8.2f %10.1f\n", "in-process", u, cp, u / cp, b / u / 1e6
  printf "%-14s %9.2fs %9.2fs %8.2f %10.1f\n", "with wine", x - w, cp, (x - w) / cp, b / (x - w) / 1e6
  printf "MB/s: data archive bytes per second of RunUpdate (3x cp: %.1f MB/s per copy)\n", 3 * b / cp / 1e6
}'
