#!/usr/bin/env bash
# Runs the MSVC-ABI launcher under Wine from a fresh client directory:
#   tests/windows/msvc_launcher_test.sh SOURCE_ROOT WINE_PREFIX MODULE_DIR LAUNCHER
# The client holds the four modules and the launcher beside them, and an
# IPconfig.dat naming a loopback port nothing listens on, so the server-list
# task fails at its connect probe without leaving the machine. The process
# works from another directory, so nothing is found through it.
set -euo pipefail
root=$1 prefix=$2 modules=$3 launcher=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
client=$work/client
mkdir -p "$client" "$work/elsewhere"
for module in dizedir.dll Http.dll VkMain.dll ResChn.dll; do
  cp "$modules/$module" "$client/"
done
cp "$launcher" "$client/"

# Byte i of IPconfig.dat is byte i of the host text plus i + 10.
host=127.0.0.1:1
for ((i = 0; i < ${#host}; i++)); do
  byte=$(( ($(printf '%d' "'${host:i:1}") + i + 10) % 256 ))
  printf "\\$(printf '%03o' "$byte")"
done >"$client/IPconfig.dat"

cd "$work/elsewhere"
"$root/cmake/wine-run.sh" "$prefix" "$client" "$client/$(basename "$launcher")"
