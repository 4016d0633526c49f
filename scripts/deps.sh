#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent; silent when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  zlib1g-dev libminizip-dev libzip-dev libcurl4-openssl-dev
  libcpp-httplib-dev libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev nginx zip unzip curl
  # The many-connection downloader bench/wan_bench measures the update against.
  aria2
  # The launcher page's test in a real browser, headless.
  chromium
  # Release signatures, and the tool they must interoperate with.
  libsodium-dev minisign
  clang libclang-rt-14-dev
  # The test launcher built in Microsoft's ABI: its linker, and the tools
  # that read the built DLLs' exports and make import libraries of them.
  lld llvm
  binutils-mingw-w64-i686
  # The Windows build and its test leg under Wine.
  g++-mingw-w64-i686-posix mingw-w64-tools libz-mingw-w64-dev
  wine
  # The locale sources the Windows leg compiles to run Wine under the code
  # pages 932 and 936 (localedef).
  locales
  # Unpacking the zlib, libzip, libsodium and cpp-httplib source packages;
  # libsodium's carries no configure script.
  dpkg-dev bzip2 xz-utils autoconf automake libtool
)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# wine32 is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
# shellcheck source=lib/wine-env.sh
. "$(dirname "$0")/lib/wine-env.sh"
# shellcheck source=lib/clean_install.sh
. "$(dirname "$0")/lib/clean_install.sh"
# A 32-bit Wine for the Windows leg: Debian's wine32, or else a private copy
# (a no-op once made).
wine32_ready() {
  installed wine32 || $sudo "$(dirname "$0")/wine32-private.sh" "$dizedir_wine32_dir"
}
[ ${#missing[@]} -eq 0 ] && wine32_ready 2>/dev/null && exit 0

export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index (seen for the i386 security
# index); what the other indexes hold still installs.
$sudo apt-get update -qq || echo "deps: some package indexes could not be fetched" >&2
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# wine32 needs i386 libraries of exactly the amd64 versions installed; a
# mirror whose i386 index lags cannot give them without changing those.
# The private copy then stands in; without either, the Windows modules are
# still built and scripts/test.sh says loudly that they did not run.
if ! installed wine32 && ! clean_install wine32:i386; then
  [ -n "$DIZEDIR_WINE32" ] ||
    echo "deps: wine32 does not install cleanly from this mirror; unpacking one into $dizedir_wine32_dir"
  wine32_ready || echo "deps: WARNING: no 32-bit Wine: the Windows tests cannot run" >&2
fi
