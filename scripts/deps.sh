#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent; silent when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  zlib1g-dev libminizip-dev libzip-dev libcurl4-openssl-dev
  libcpp-httplib-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev nginx zip unzip curl
  # Release signatures, and the tool they must interoperate with.
  libsodium-dev minisign
  clang libclang-rt-14-dev
  binutils-mingw-w64-i686
  # The Windows build and its test leg under Wine.
  g++-mingw-w64-i686-posix mingw-w64-tools libz-mingw-w64-dev
  wine wine32
  # Unpacking the zlib, libzip and cpp-httplib source packages.
  dpkg-dev bzip2 xz-utils
)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# wine32 is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
