#!/bin/sh
# The gca tool: exit codes, messages, --overwrite, --offset, test on a damaged archive.
#   gca_tool.sh GCA WORK_DIR
set -u
gca=$1; work=$2
rm -rf "$work"; mkdir -p "$work"; cd "$work" || exit 1
fail() { echo "FAIL: $*" >&2; exit 1; }
expect() {  # expected-exit-code command...
  want=$1; shift
  "$@" > out.txt 2> err.txt; got=$?
  [ "$got" -eq "$want" ] || fail "exit $got (wanted $want): $* : $(cat err.txt)"
}

mkdir -p src/d/empty
printf 'alpha\n' > src/a.txt
seq 1 20000 > src/d/n.txt
: > src/zero

expect 0 "$gca" --help
grep -q 'usage: gca create' out.txt || fail "help text"
expect 2 "$gca"
expect 2 "$gca" frobnicate x
expect 2 "$gca" list --bogus x.gca
expect 2 "$gca" create only-archive.gca
for cmd in list extract test; do
  expect 2 "$gca" $cmd
  expect 2 "$gca" $cmd a.gca b.gca
done
expect 0 "$gca" --version
grep -q '^gca [0-9]' out.txt || fail "version text: $(cat out.txt)"
expect 1 "$gca" create x.gca does-not-exist
expect 1 "$gca" list missing.gca
grep -q 'cannot read archive' err.txt || fail "message for a missing archive"
expect 2 "$gca" list --codepage 99999 x.gca
expect 1 "$gca" list --codepage 12345 x.gca
grep -q "not supported" err.txt || fail "message for an unknown code page"

for opts in "" "--store" "--solid --scramble --scramble-dir" "--store --plain-dir --scramble"; do
  # shellcheck disable=SC2086
  expect 0 "$gca" create $opts t.gca src
  expect 0 "$gca" test t.gca
  grep -q '^6 entries OK' out.txt || fail "test output: $(cat out.txt)"
  expect 0 "$gca" list t.gca
  [ "$(wc -l < out.txt)" -eq 6 ] || fail "list lines"
  grep -q '^00000020 *6 .* src/a.txt$' out.txt || fail "list line of a.txt: $(cat out.txt)"
  rm -rf x; expect 0 "$gca" extract -C x t.gca
  diff -r src x/src || fail "extracted tree differs ($opts)"
done

# A solid stream is always compressed: asked to store one, gca says so and still writes it.
expect 0 "$gca" create --store --solid s.gca src
grep -q 'always compressed' err.txt || fail "no word on --store with --solid: $(cat err.txt)"
expect 0 "$gca" test s.gca
expect 0 "$gca" create --store s.gca src
grep -q 'always compressed' err.txt && fail "the solid note without --solid"

# Existing files are kept without --overwrite.
printf 'mine\n' > x/src/a.txt
expect 1 "$gca" extract -C x t.gca
grep -q 'not overwritten' err.txt || fail "message for an existing file"
[ "$(cat x/src/a.txt)" = mine ] || fail "a.txt overwritten without --overwrite"
expect 0 "$gca" extract -C x --overwrite t.gca
[ "$(cat x/src/a.txt)" = alpha ] || fail "a.txt not overwritten with --overwrite"

# An archive inside a host file.
head -c 1234 /dev/zero > host.bin; cat t.gca >> host.bin; printf 'tail' >> host.bin
expect 1 "$gca" list host.bin
expect 0 "$gca" test --offset 1234 host.bin

# A damaged entry fails the test (stored, plain directory: flip a data byte).
expect 0 "$gca" create --store --plain-dir s.gca src
printf 'Z' | dd of=s.gca bs=1 seek=20 conv=notrunc 2>/dev/null
expect 1 "$gca" test s.gca
grep -q 'CRC mismatch' err.txt || fail "CRC message: $(cat err.txt)"

# ---- a file system the tool does not control ----------------------------------------
# Existing links and FIFOs in the output tree: nothing is written through a link,
# nothing outside the output directory, a FIFO is refused without hanging.
rm -rf lk; mkdir -p lk/src/sub lk/outside
printf 'payload\n' > lk/src/sub/pwned.txt
printf 'x\n' > lk/src/created.txt
printf 'f\n' > lk/src/fifo
(cd lk && "$gca" create a.gca src > /dev/null) || fail "create lk/a.gca"
# A link in place of a directory of the archive.
mkdir -p lk/out/src; ln -s ../../outside lk/out/src/sub
expect 1 "$gca" extract -C lk/out lk/a.gca
grep -q 'link' err.txt || fail "message for a link on the way: $(cat err.txt)"
[ -e lk/outside/pwned.txt ] && fail "written through a directory link"
# A dangling link at a file's place counts as an existing file.
rm -rf lk/out; mkdir -p lk/out/src; ln -s ../../outside/created.txt lk/out/src/created.txt
expect 1 "$gca" extract -C lk/out lk/a.gca
grep -q 'src/created.txt exists' err.txt || fail "dangling link not seen as existing: $(cat err.txt)"
[ -e lk/outside/created.txt ] && fail "dangling link followed"
# With --overwrite a link to a file outside is replaced, the file outside untouched.
printf 'keep\n' > lk/outside/victim
rm -rf lk/out; mkdir -p lk/out/src; ln -s ../../outside/victim lk/out/src/created.txt
expect 0 "$gca" extract --overwrite -C lk/out lk/a.gca
[ "$(cat lk/outside/victim)" = keep ] || fail "file behind a link overwritten"
[ -w lk/outside/victim ] || fail "file behind a link made read-only"
[ -L lk/out/src/created.txt ] && fail "link left in place with --overwrite"
[ "$(cat lk/out/src/created.txt)" = x ] || fail "link not replaced by the entry"
# A FIFO at a target is refused (the timeout turns a hang into a failure).
rm -rf lk/out; mkdir -p lk/out/src; mkfifo lk/out/src/fifo
expect 1 timeout 20 "$gca" extract --overwrite -C lk/out lk/a.gca
grep -q 'not a regular file' err.txt || fail "FIFO message: $(cat err.txt)"
[ -p lk/out/src/fifo ] || fail "FIFO replaced"
expect 1 timeout 20 "$gca" list lk/out/src/fifo

# ---- no data lost on failure ---------------------------------------------------------
# An entry damaged after its first megabyte, extracted with --overwrite over an
# existing file: the old file survives, and no temporary file is left.
rm -rf dm; mkdir -p dm/src
head -c 3000000 /dev/urandom > dm/src/big.bin
(cd dm && "$gca" create --store --plain-dir a.gca src > /dev/null) || fail "create dm/a.gca"
printf 'Z' | dd of=dm/a.gca bs=1 seek=2000000 conv=notrunc 2>/dev/null
mkdir -p dm/out/src; printf 'old\n' > dm/out/src/big.bin
expect 1 "$gca" extract --overwrite -C dm/out dm/a.gca
[ "$(cat dm/out/src/big.bin)" = old ] || fail "old file lost to a damaged entry"
[ "$(ls dm/out/src)" = big.bin ] || fail "files left behind: $(ls dm/out/src)"
# create failing over an existing archive (a name the code page cannot hold): the old
# archive survives, and the name is shown as typed.
cp dm/a.gca dm/keep.gca
mkdir -p dm/bad; printf 'x' > "dm/bad/$(printf '\346\227\245').txt"
expect 1 "$gca" create dm/a.gca dm/bad/
cmp -s dm/a.gca dm/keep.gca || fail "old archive destroyed by a failed create"
grep -q "no form in code page 1252: dm/bad/$(printf '\346\227\245').txt" err.txt || fail "unrepresentable message: $(cat err.txt)"
[ "$(ls dm)" = "$(printf 'a.gca\nbad\nkeep.gca\nout\nsrc')" ] || fail "files left behind: $(ls dm)"

# ---- the command line ----------------------------------------------------------------
# The archive being written is not put into itself; special files are named; a link
# given as a source is stored under its own name; a trailing slash is stripped.
rm -rf cl; mkdir -p cl/src/d cl/elsewhere
printf 'a\n' > cl/src/a.txt
printf 'e\n' > cl/elsewhere/e.txt
mkfifo cl/src/fifo
ln -s ../elsewhere cl/src/dirlink
ln -s nowhere cl/src/dangling
ln -s elsewhere cl/named
expect 0 "$gca" create cl/src/out.gca cl/src/
grep -q 'skipped the archive being written: cl/src/out.gca' err.txt || fail "archive skip message: $(cat err.txt)"
for n in fifo dirlink dangling; do
  grep -q "skipped (not a file or directory): cl/src/$n" err.txt || fail "no message for $n: $(cat err.txt)"
done
expect 0 "$gca" list cl/src/out.gca
grep -q 'out.gca' out.txt && fail "archive stored in itself"
grep -q ' src/a.txt$' out.txt || fail "trailing slash: $(cat out.txt)"
expect 0 "$gca" create cl/n.gca cl/named
expect 0 "$gca" list cl/n.gca
grep -q ' named/e.txt$' out.txt || fail "link source not stored under its own name: $(cat out.txt)"
# extract -v names each entry.
expect 0 "$gca" extract -v -C cl/x cl/n.gca
[ "$(cat out.txt)" = "$(printf 'named\nnamed/e.txt')" ] || fail "extract -v output: $(cat out.txt)"

# ---- names ---------------------------------------------------------------------------
# Control bytes are shown escaped in list and messages, and such names and Windows
# device names are not extracted.
rm -rf nm; mkdir -p nm/src
esc=$(printf '\033')
printf 'e' > "nm/src/a${esc}[31mred"
printf 'n' > nm/src/NUL.txt
printf 'c' > nm/src/com1
printf 'k' > nm/src/ok.txt
expect 0 "$gca" create nm/a.gca nm/src
expect 0 "$gca" list nm/a.gca
grep -q "$esc" out.txt && fail "raw ESC in list output"
grep -qF 'src/a\x1b[31mred' out.txt || fail "escaped name in list: $(cat out.txt)"
expect 1 "$gca" extract -C nm/out nm/a.gca
grep -q "$esc" err.txt && fail "raw ESC in a message"
grep -qF 'refused unsafe entry name' err.txt || fail "unsafe-name message: $(cat err.txt)"
[ "$(ls nm/out/src)" = ok.txt ] || fail "unsafe names extracted: $(ls nm/out/src)"
# Shift-JIS names read with the default code page: a hint to use 932.
if "$gca" list --codepage 932 nm/a.gca > /dev/null 2>&1; then
  mkdir -p nm/j/sub; printf 't' > "nm/j/sub/$(printf '\350\241\250').txt"   # 表 = 95 5C
  expect 0 "$gca" create --codepage 932 nm/j.gca nm/j
  expect 0 "$gca" list nm/j.gca
  grep -q 'may need --codepage 932' err.txt || fail "no code page hint: $(cat err.txt)"
  expect 0 "$gca" list --codepage 932 nm/j.gca
  grep -q 'codepage' err.txt && fail "hint with the right code page"
fi
echo "gca tool OK"
