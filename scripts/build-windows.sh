#!/usr/bin/env bash
# Cross-builds the Windows client modules, the host program and the tests
# for Windows: scripts/build-windows.sh [BUILD_DIR] (default build/windows).
# Idempotent. Installs the cross toolchain, fetches the zlib source package
# that carries minizip, builds mkreschn for this machine and then the tree.
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

# Source packages: minizip comes with Debian's zlib source, the tests'
# loopback server with cpp-httplib's.
src_list=/etc/apt/sources.list.d/dizedir-src.sources
if ! grep -qs '^Types: deb-src' "$src_list"; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
    "Suites: $codename" "Components: main" \
    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
    $sudo tee "$src_list" >/dev/null
  $sudo apt-get update -qq
fi

zlib_dir="$dir/deps/zlib"
if [ ! -f "$zlib_dir/contrib/minizip/unzip.c" ]; then
  fetch="$dir/deps/fetch"
  rm -rf "$fetch" "$zlib_dir"
  mkdir -p "$fetch"
  (cd "$fetch" && apt-get source --download-only -qq zlib >/dev/null 2>&1) || {
    $sudo apt-get update -qq
    (cd "$fetch" && apt-get source --download-only -qq zlib >/dev/null)
  }
  orig=$(ls "$fetch"/zlib_*.orig.tar.* | head -1)
  mkdir -p "$zlib_dir"
  tar -xf "$orig" -C "$zlib_dir" --strip-components=1
  rm -rf "$fetch"
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
  -DDIZEDIR_HOST_MKRESCHN="$host_tools/mkreschn" \
  -DDIZEDIR_HTTPLIB_SOURCE="$httplib_dir" \
  -DDIZEDIR_WINE_PREFIX="$dir/wine" >/dev/null
cmake --build "$dir" -j"${DIZEDIR_JOBS:-2}"
