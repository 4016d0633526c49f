#!/usr/bin/env bash
# Unpacks the source of Debian's cpp-httplib package, with Debian's patches
# applied, into DIR: scripts/fetch-httplib-source.sh DIR. The package itself
# ships the library compiled for the build machine only; the source is one
# header that the Windows build of the tests' loopback server includes.
# Idempotent; needs a deb-src entry (scripts/build-windows.sh adds one).
set -euo pipefail
dir=$1
[ -f "$dir/httplib.h" ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
fetch="$dir.fetch"
rm -rf "$fetch" "$dir"
mkdir -p "$fetch"
(cd "$fetch" && apt-get source --download-only -qq cpp-httplib >/dev/null 2>&1) || {
  $sudo apt-get update -qq
  (cd "$fetch" && apt-get source --download-only -qq cpp-httplib >/dev/null)
}
dsc=$(ls "$fetch"/cpp-httplib_*.dsc | head -1)
# apt has checked the files against the signed archive index; the .dsc's
# own signature cannot be checked without Debian's developer keys.
dpkg-source --no-check -x "$dsc" "$dir" >/dev/null 2>&1
rm -rf "$fetch"
[ -f "$dir/httplib.h" ]
