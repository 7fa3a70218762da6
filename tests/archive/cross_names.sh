#!/bin/sh
# Japanese names across builds: archives made by the host tool and by the Windows tool
# (code page 932) are extracted by the other one and give the same names back.
#   cross_names.sh host GCA DATA_DIR WORK_DIR
#   cross_names.sh wine GCA_EXE DATA_DIR WORK_DIR WINE_RUNNER WINE_ARCH WINE_PREFIX
set -eu
mode=$1; gca=$2; data=$3; work=$4
rm -rf "$work"; mkdir -p "$work"; cd "$work"

if [ "$mode" = wine ]; then
  runner=$5; arch=$6; prefix=$7
  # Wine takes its ANSI code page (932) from the locale, and the Unix file names'
  # character set from the C library's locale: build that locale here when the system
  # does not have it.
  if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    mkdir -p "$work/locale"
    localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" >/dev/null 2>&1 || true
    LOCPATH="$work/locale"; export LOCPATH
  fi
  LC_ALL=ja_JP.UTF-8; export LC_ALL
  run() { "$runner" "$arch" "$prefix" "$gca" "$@"; }
  own=names932_host.gca other=names932_win.gca
else
  run() { "$gca" "$@"; }
  own=names932_win.gca other=names932_host.gca
fi

fail() { echo "FAIL: $*" >&2; exit 1; }
check_tree() {  # directory holding the extracted j
  [ -d "$1/j/日本語" ] || fail "$1/j/日本語 missing"
  [ -d "$1/j/ソフト" ] || fail "$1/j/ソフト missing"
  [ "$(cat "$1/j/日本語/表示.txt")" = table ] || fail "$1/j/日本語/表示.txt"
  [ "$(cat "$1/j/ソフト/ファイル.txt")" = file ] || fail "$1/j/ソフト/ファイル.txt"
  [ "$(cat "$1/j/表")" = e5c ] || fail "$1/j/表"
  [ "$(find "$1/j" | wc -l)" -eq 6 ] || fail "unexpected entries: $(find "$1/j")"
}

# 1. The archive made by the other build.
cp "$data/$other" in.gca
run extract --codepage 932 -C out in.gca
check_tree out

# 2. This build archives the same tree and reads it back.
mkdir -p src/j/日本語 src/j/ソフト
printf 'table\n' > src/j/日本語/表示.txt
printf 'file\n' > src/j/ソフト/ファイル.txt
printf 'e5c\n' > src/j/表
cd src
run create --codepage 932 --store --plain-dir ../new.gca j
cd ..
run extract --codepage 932 -C back new.gca
check_tree back

# 3. Its names are byte for byte those of the other build's archive.
run list --codepage 932 new.gca | awk '{print $NF}' | sort > new.txt
run list --codepage 932 in.gca | awk '{print $NF}' | sort > in.txt
cmp new.txt in.txt || fail "names differ: $(cat new.txt) / $(cat in.txt)"
echo "cross names OK ($mode)"
