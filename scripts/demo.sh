#!/usr/bin/env bash
# The whole system on one machine: three versions of a sample game client,
# a release published from them with dizedir-publish, served on loopback,
# signed with the operator's key, and a client at version 1 that trusts the
# key brought to version 3 by the plug-in, with progress bars, then checked
# file for file against version 3; then a server that alters a list.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/deps.sh
echo "== building"
scripts/build.sh build/release >/dev/null
bin=$root/build/release/bin
publish=$bin/dizedir-publish
pack=$bin/dizedir-pack

work=$root/demo
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# client_matches checks the updated clients.
# shellcheck source=lib/sample_client.sh
. "$root/scripts/lib/sample_client.sh"
# shellcheck source=lib/launcher_address.sh
. "$root/scripts/lib/launcher_address.sh"

echo "== making four versions of a sample client"
# Plain files in nested directories, packs of thousands of entries, and what
# each version changes: tools/sample_client/sample_client.h.
SECONDS=0
"$bin/dizedir-sample" .
echo "made in ${SECONDS}s"

echo "== publishing the release"
port=$(( 20000 + RANDOM % 20000 ))
"$publish" release --init rel --from v1
"$publish" diff v1 v2 -o patch2
"$publish" release rel --add patch2 --tree v2
"$publish" diff v2 v3 -o patch3
"$publish" release rel --add patch3 --tree v3 --parts 4
"$publish" diff v3 v4 -o patch4
"$publish" release rel --add patch4 --tree v4 --optional
echo "== signing the release, with a mirror that shares the parts' load"
mirror_port=$(( port + 1 ))
"$publish" keygen -o keys --unencrypted
"$publish" release rel --mirror "http://127.0.0.1:$mirror_port" --key keys/dizedir.key
"$publish" sign rel --key keys/dizedir.key
"$publish" serverlist -o lists --region "Europe=127.0.0.1:$port,gw.example 7000" \
  --current 0 --url "http://news.example/" --list-host "127.0.0.1:$port" --key keys/dizedir.key
cp lists/patchone.ini lists/patchone.ini.minisig rel/
"$publish" verify rel --pub keys/dizedir.pub
"$publish" show rel/verlist.bin

echo "== a client at version 1"
cp -r v1 client
cp lists/IPconfig.dat lists/ng.ini keys/dizedir.pub client/
"$bin/dizedir" install --client client >/dev/null

"$publish" serve rel --port "$port" 2>serve.log &
server=$!
"$publish" serve rel --port "$mirror_port" 2>mirror.log &
mirror=$!
trap 'kill $server $mirror 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  "$bin/dizedir" servers --client client >/dev/null 2>&1 && break
  sleep 0.1
done

echo "== the server list"
"$bin/dizedir" servers --client client
echo
echo "== updating the client"
SECONDS=0
"$bin/dizedir" update --client client --optional yes
update_seconds=$SECONDS
part_requests() { grep -c -E '"GET /patch[^"]*" 20[06]' "$1" || true; }
from_server=$(part_requests serve.log)
from_mirror=$(part_requests mirror.log)
echo "parts and their ranges: $from_server requests to the region server, $from_mirror to the mirror"
echo
echo "== checking the client against version 3"
for p in client/qmz/fodder/*.pac; do "$pack" verify "$p"; done
echo "every pack verifies"
system_files='^(dizedir.so|dizhttp.so|vkmain.so|ResChn.dll|IPconfig.dat|ng.ini|patchone.ini|curver.bin|dizedir.lock|dizedir.pub|dizedir.state|qmz_GT|patch4)'
client_matches v3 client "$pack" "$system_files" || exit 1
echo "the client holds version 3, file for file and pack entry for pack entry"
echo
echo "== a second run, the optional patch declined, changes nothing"
"$bin/dizedir" update --client client --optional no
echo
echo "== a hostile server: an error page where the server list should be"
cp rel/patchone.ini patchone.good
printf '<html><body>502 Bad Gateway</body></html>\n' >rel/patchone.ini
"$bin/dizedir" servers --client client
cmp -s client/patchone.ini lists/patchone.ini && echo "the client kept the server list that works"
cp patchone.good rel/patchone.ini
echo
echo "== a man in the middle: one byte of the published version list changed"
cp rel/curver.bin curver.good
printf '\x01' | dd of=rel/curver.bin bs=1 seek=20 conv=notrunc status=none
if "$bin/dizedir" update --client client; then
  echo "the client took an altered list" >&2
  exit 1
fi
cp curver.good rel/curver.bin
client_matches v3 client "$pack" "$system_files" || exit 1
echo "the client refused it and still holds version 3"
echo
echo "== verify game files: a damaged file, a pack entry gone, a file of the player's"
printf 'garbage' | dd of=client/data/zone3/tile3.dat bs=1 seek=10 conv=notrunc status=none
"$pack" rm client/qmz/fodder/items.pac 10 >/dev/null
printf 'my notes\n' >client/notes.txt
verify_status=0
"$bin/dizedir" verify --client client || verify_status=$?
[ "$verify_status" -eq 3 ] || { echo "verify did not report the damage" >&2; exit 1; }
echo
echo "== repair: only what is damaged is fetched"
store_requests() { cat serve.log mirror.log | grep -c -E '"GET /store/[^"]*" 20[06]' || true; }
store_before=$(store_requests)
"$bin/dizedir" repair --client client
sleep 0.3  # the server logs a request once its answer is out
repaired_objects=$(( $(store_requests) - store_before ))
client_matches v3 client "$pack" "$system_files|^notes\.txt" || exit 1
[ -f client/notes.txt ] || { echo "the repair removed the player's file" >&2; exit 1; }
echo "the client holds version 3 again ($repaired_objects objects fetched from the server and the mirror); notes.txt, the player's own, is still there"
echo
echo "== a whole client from nothing, trusting the operator's key"
"$bin/dizedir" install --from "127.0.0.1:$port" fresh --pub keys/dizedir.pub
client_matches v3 fresh "$pack" "$system_files" || exit 1
echo "the new client holds version 3, file for file and pack entry for pack entry"
echo
echo "== the launcher page"
"$bin/dizedir" launcher --client client --no-browser >launcher.out 2>launcher.err &
launcher=$!
trap 'kill $server $mirror $launcher 2>/dev/null || true' EXIT
page_url=$(launcher_address launcher.out 50)
[ -n "$page_url" ] || { cat launcher.err >&2; echo "the launcher printed no address" >&2; exit 1; }
page_title=$(curl -s "$page_url" | grep -o '<title>[^<]*</title>' | sed 's/<[^>]*>//g')
refused=$(curl -s -o /dev/null -w '%{http_code}' "${page_url%%\?*}")
echo "the page \"$page_title\" is served at $page_url"
echo "without the token the launcher answers $refused; open the address in a browser to update, verify and play"
kill -INT $launcher 2>/dev/null || true
wait $launcher 2>/dev/null || true
echo
echo "== what happened"
echo "published: versions 2 and 3 (required) and 4 (optional) in $(ls rel | grep -c -E 'patch[0-9]') archive files"
echo "updated:   version 1 to 3 in ${update_seconds}s over several connections, $from_mirror of $(( from_server + from_mirror )) part requests served by the mirror; the optional patch 4 was fetched on consent and waits on disk"
echo "signed:    every list and part checked against release.manifest, signed by key $(sed -n 2p keys/dizedir.pub | cut -c1-12)..."
echo "checked:   $(cd client && find . -type f | wc -l) files and $(cat client/qmz/fodder/*.pac | wc -c) bytes of packs"
echo "repaired:  a damaged file and a lost pack entry, $repaired_objects objects fetched; a client of $(cd fresh && find . -type f | wc -l) files installed from nothing"
