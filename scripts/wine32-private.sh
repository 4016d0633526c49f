#!/usr/bin/env bash
# scripts/wine32-private.sh DEST: a 32-bit Wine unpacked under DEST, for a
# machine whose mirror cannot install wine32 (its i386 libraries must be the
# very versions of the amd64 ones installed, and a lagging i386 index cannot
# give them). Idempotent; quiet on success; does nothing when wine32 is
# installed. The Windows leg finds it through scripts/lib/wine-env.sh.
#
# Nothing installed is upgraded, downgraded or removed: apart from the
# 32-bit C library (the loader path is built into every i386 program), the
# i386 packages are unpacked under DEST, not installed, so they hold back no
# later amd64 update either.
set -euo pipefail
dest=$(realpath -m "${1:?usage: wine32-private.sh DEST}")
[ -x /usr/lib/wine/wine ] && exit 0

# The Windows DLLs and data come from the installed wine package; the
# loader and its unix side must be of the same release.
wine_version=$(dpkg-query -W -f='${Version}' wine)
[ "$(cat "$dest/.complete" 2>/dev/null)" = "$wine_version" ] && exit 0

# shellcheck disable=SC2034 # clean_install's
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck source=lib/clean_install.sh
. "$(dirname "$0")/lib/clean_install.sh"
if [ ! -e /lib/ld-linux.so.2 ]; then
  libc=$(dpkg-query -W -f='${Version}' libc6)
  # libc6-i386 is an amd64 package, so its index does not lag.
  clean_install "libc6:i386=$libc" || clean_install "libc6-i386=$libc" || {
    echo "wine32-private: no 32-bit C library of version $libc installs cleanly" >&2
    exit 1
  }
fi

# The i386 closure of wine32 as apt's resolver picks it (one of each set of
# alternatives), as though nothing were installed: installed amd64
# versions then constrain nothing.
: >"$work/status"
apt-get install -s -qq --no-install-recommends -o Dir::State::status="$work/status" \
  "wine32:i386=$wine_version" "libwine:i386=$wine_version" >"$work/plan"
# The C library stays the system's: it must match the loader.
mapfile -t debs < <(awk '/^Inst .*\[i386\]\)$/ && $2 != "libc6:i386" {
  print $2 "=" substr($3, 2) }' "$work/plan")
(cd "$work" && apt-get download -q "${debs[@]}" >download.log 2>&1) ||
  { cat "$work/download.log" >&2; exit 1; }

# DEST is remade whole, so it has to be ours (or empty).
if [ -e "$dest" ] && [ ! -d "$dest/usr/lib/wine" ] && [ -n "$(ls -A "$dest")" ]; then
  echo "wine32-private: $dest holds something else" >&2
  exit 1
fi
rm -rf "$dest"
mkdir -p "$dest/bin"
for deb in "$work"/*.deb; do dpkg -x "$deb" "$dest"; done
rm -rf "$dest/usr/share/doc" "$dest/usr/share/man"
# Wine looks for its data beside its loader; libwine brings the NLS tables
# and fonts, the installed wine package the rest (wine.inf).
for f in /usr/share/wine/*; do
  [ -e "$dest$f" ] || ln -s "$f" "$dest$f"
done
# Wine's own DLLs link mingw's zlib1.dll; libwine's maintainer script,
# which dpkg -x does not run, stamps a copy as a Wine builtin beside them.
zlib=/usr/i686-w64-mingw32/lib/zlib1.dll
{ head -c 64 "$zlib"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$zlib"; } \
  >"$dest/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll"

# Each new Windows process is a new run of the loader that inherits this
# environment. The package's wineserver script would pick the system's
# 64-bit server; the 32-bit one comes with this loader.
cat >"$dest/bin/wine" <<EOF
#!/bin/sh
export LD_LIBRARY_PATH="$dest/usr/lib/i386-linux-gnu:$dest/lib/i386-linux-gnu\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}"
export WINESERVER="$dest/usr/lib/wine/wineserver32"
exec "$dest/usr/lib/wine/wine" "\$@"
EOF
for tool in wineboot winepath; do
  printf '#!/bin/sh\nexec "%s/bin/wine" %s.exe "$@"\n' "$dest" "$tool" >"$dest/bin/$tool"
done
printf '#!/bin/sh\nexec "%s/usr/lib/wine/wineserver32" "$@"\n' "$dest" >"$dest/bin/wineserver"
chmod 755 "$dest"/bin/*

# Marked usable only once it has made a prefix and run a program in it.
check="$work/prefix"
out=$(WINEARCH=win32 WINEPREFIX=$check WINEDEBUG=-all "$dest/bin/wine" cmd.exe /c echo wine32-ok 2>&1) || true
WINEPREFIX=$check "$dest/bin/wineserver" -k 2>/dev/null || true
grep -q wine32-ok <<<"$out" || { echo "$out" >&2; echo "wine32-private: the unpacked Wine does not run" >&2; exit 1; }
echo "$wine_version" >"$dest/.complete"
