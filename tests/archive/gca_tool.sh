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
echo "gca tool OK"
