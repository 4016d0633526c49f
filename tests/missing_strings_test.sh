#!/usr/bin/env bash
# A plug-in without ResChn.dll beside it says so and ends the launch.
set -uo pipefail
modules=$1
host=$2
client=$(mktemp -d)
trap 'rm -rf "$client"' EXIT
cp "$modules/dizedir.so" "$modules/dizhttp.so" "$modules/vkmain.so" "$client/"
# A string library in the working directory must not count.
cd "$modules"
"$host" info --client "$client" >"$client/out" 2>"$client/err"
status=$?
if [ $status -eq 0 ]; then echo "FAIL: exit status 0"; exit 1; fi
if ! grep -qF "Missing file! " "$client/err" || ! grep -qF "Program can't be launched" "$client/err"; then
  echo "FAIL: stderr was:"; cat "$client/err"; exit 1
fi
if [ "$(head -c 14 "$client/err")" != "Missing file! " ] || [ "$(sed -n 2p "$client/err")" != "Program can't be launched" ]; then
  echo "FAIL: message not as written:"; od -c "$client/err" | head; exit 1
fi
echo "ok: status $status"
