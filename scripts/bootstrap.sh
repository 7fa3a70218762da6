#!/usr/bin/env bash
# Installs, as root on a Debian machine, everything the build and the tests need.
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

# The Windows cross compilers are the win32-thread-model ones: the posix ones link the
# winpthreads runtime, whose imports (GetTickCount64, TryEnterCriticalSection, ...) keep the
# updater from loading on Windows 98/ME/2000/XP.
packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev libfuzzer-14-dev
  g++-mingw-w64-i686-win32 gcc-mingw-w64-i686-win32 binutils-mingw-w64-i686
  googletest libgtest-dev zlib1g-dev python3
  wine wine32:i386 wine64 g++-mingw-w64-x86-64-win32 gcc-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 xvfb xauth imagemagick x11-apps
  bzip2 lbzip2 xz-utils osslsigncode openssl file locales
  # the suffix array of mkpatch's deltas
  libdivsufsort-dev
  # Wine's own fonts: without them the caption buttons (Marlett) show letters
  fonts-wine
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: missing packages and not root; run as root: $0" >&2
  exit 1
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror that is syncing can serve an index whose size does not match its Release
# file; apt-get update then fails although most indexes arrived. Retry a few times,
# then go on with what did download: only a failed install is fatal.
for attempt in 1 2 3 4; do
  if apt-get update -qq; then
    break
  fi
  echo "bootstrap: package index update failed (attempt $attempt)" >&2
  [ "$attempt" -lt 4 ] && sleep $((attempt * 10))
done
apt_install() { apt-get install -y -qq --no-install-recommends "$@" "${missing[@]}"; }
if apt_install; then
  exit 0
fi
# With one architecture's security index missing, the i386 libraries exist only at the
# main release's versions while their amd64 twins want the security versions, and
# multiarch packages must match. Preferring the main release for this install makes
# both architectures agree on what did download.
pref=$(mktemp)
trap 'rm -f "$pref"' EXIT
printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$pref"
for attempt in 1 2 3; do
  if apt_install -o Dir::Etc::Preferences="$pref"; then
    exit 0
  fi
  echo "bootstrap: install failed (attempt $attempt)" >&2
  [ "$attempt" -lt 3 ] && { sleep 15; apt-get update -qq || true; }
done
echo "bootstrap: could not install: ${missing[*]}" >&2
exit 1
