#!/usr/bin/env bash
# Cross-builds the Windows client modules, the host program and the tests
# for Windows: scripts/build-windows.sh [BUILD_DIR] (default build/windows).
# Idempotent. Installs the cross toolchain, fetches the zlib source package
# that carries minizip and libzip's, builds libsodium for the target and
# mkreschn for this machine, then the tree.
# Results: BUILD_DIR/client/{dizedir,Http,VkMain,ResChn}.dll,
# BUILD_DIR/client/dizedir.exe and the test programs in BUILD_DIR/bin/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=${1:-build/windows}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

scripts/deps.sh

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# A mirror caught mid-sync fails one index (seen for the i386 security
# index) while the source index this needs arrives: the fetch below tells.
refresh_indexes() {
  $sudo apt-get update -qq || echo "build-windows: some package indexes could not be fetched" >&2
}

# Source packages: minizip comes with Debian's zlib source, libzip with its
# own, the tests' loopback server with cpp-httplib's.
src_list=/etc/apt/sources.list.d/dizedir-src.sources
if ! grep -qs '^Types: deb-src' "$src_list"; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
    "Suites: $codename" "Components: main" \
    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
    $sudo tee "$src_list" >/dev/null
  refresh_indexes
fi

# quietly LOG COMMAND...: runs COMMAND with its output in LOG, shown only
# when it fails.
quietly() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
}

# unpack_source PACKAGE DIR FILE [patched]: unpacks the upstream tarball of
# a Debian source package into DIR, unless FILE is already there; with
# "patched", Debian's own patches (its security fixes) are applied too.
unpack_source() {
  local package=$1 into=$2 marker=$3 patched=${4:-}
  [ -f "$into/$marker" ] && return 0
  local fetch="$dir/deps/fetch-$package"
  rm -rf "$fetch" "$into"
  mkdir -p "$fetch"
  (cd "$fetch" && apt-get source --download-only -qq "$package" >/dev/null 2>&1) || {
    refresh_indexes
    (cd "$fetch" && apt-get source --download-only -qq "$package" >/dev/null)
  }
  if [ "$patched" = patched ]; then
    quietly "$fetch/unpack.log" dpkg-source --no-copy -x "$fetch/${package}"_*.dsc "$into"
  else
    local orig
    orig=$(ls "$fetch/${package}"_*.orig.tar.* | grep -v '\.asc$' | head -1)
    mkdir -p "$into"
    tar -xf "$orig" -C "$into" --strip-components=1
  fi
  rm -rf "$fetch"
}

zlib_dir="$dir/deps/zlib"
unpack_source zlib "$zlib_dir" contrib/minizip/unzip.c
# The archive reader of zip extraction (libzip-dev on Linux).
libzip_dir="$dir/deps/libzip"
unpack_source libzip "$libzip_dir" CMakeLists.txt

# Release signatures and content hashes (libsodium-dev on Linux): a static
# library, so no extra DLL travels with the modules, built once per build
# tree, the library alone. Debian's source carries no configure script, so
# autoreconf makes one. Left alone, configure would add _FORTIFY_SOURCE and
# -fstack-protector, which mingw-w64 implements in libssp, and every link of
# the library would then need that too. The SIMD variants are compiled with
# their own -m flags and chosen at run time by CPUID, so the rest stays at
# the toolchain's baseline (i686, no SSE).
sodium_src="$dir/deps/libsodium-src"
sodium_dir="$dir/deps/libsodium"
unpack_source libsodium "$sodium_src" configure.ac patched
if [ ! -f "$sodium_dir/lib/libsodium.a" ]; then
  sodium_build="$dir/deps/libsodium-build"
  rm -rf "$sodium_build" "$sodium_dir"
  mkdir -p "$sodium_build"
  if [ ! -x "$sodium_src/configure" ]; then
    (cd "$sodium_src" && quietly "$sodium_build/autoreconf.log" autoreconf -fi) ||
      { rm -rf "$sodium_src"; exit 1; }
  fi
  (cd "$sodium_build" && quietly configure.log "$sodium_src/configure" \
    --host=i686-w64-mingw32 --prefix="$sodium_dir" \
    --disable-shared --enable-static --disable-ssp --without-pthreads \
    --disable-dependency-tracking \
    CC=i686-w64-mingw32-gcc-posix CFLAGS=-O2 CPPFLAGS=-D_FORTIFY_SOURCE=0)
  quietly "$sodium_build/make.log" \
    make -C "$sodium_build/src/libsodium" -j"${DIZEDIR_JOBS:-2}" install
  rm -rf "$sodium_build"
fi

httplib_dir="$dir/deps/httplib"
scripts/fetch-httplib-source.sh "$httplib_dir"

# The string library is generated at build time by mkreschn, which has to
# run here.
host_tools="$dir/host"
mkdir -p "$host_tools"
mkreschn_sources=(tools/mkreschn/main.cpp tools/mkreschn/string_source.cpp)
if [ ! -x "$host_tools/mkreschn" ] || [ -n "$(find "${mkreschn_sources[@]}" \
    tools/mkreschn/string_source.h -newer "$host_tools/mkreschn")" ]; then
  c++ -std=c++20 -O1 -Wall -Wextra -Itools/mkreschn "${mkreschn_sources[@]}" \
    -o "$host_tools/mkreschn"
fi

cmake -S "$root" -B "$dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DDIZEDIR_BENCH=OFF \
  -DDIZEDIR_ZLIB_SOURCE="$zlib_dir" \
  -DDIZEDIR_LIBZIP_SOURCE="$libzip_dir" \
  -DDIZEDIR_SODIUM_ROOT="$sodium_dir" \
  -DDIZEDIR_HOST_MKRESCHN="$host_tools/mkreschn" \
  -DDIZEDIR_HTTPLIB_SOURCE="$httplib_dir" \
  -DDIZEDIR_WINE_PREFIX="$dir/wine" >/dev/null
cmake --build "$dir" -j"${DIZEDIR_JOBS:-2}"
