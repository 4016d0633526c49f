#!/usr/bin/env bash
# One update of a Windows client directory under Wine from a loopback
# server: tests/windows/update_e2e.sh WINDOWS_BUILD_DIR LINUX_BIN_DIR.
# The release is made and served by the Linux dizedir-publish; the client,
# at version 1, is updated by dizedir.exe and must then hold version 3 file
# for file and pack entry for pack entry, with nothing left behind. Then the
# client is damaged, verified and repaired, and a second client is installed
# from nothing, all by dizedir.exe, and its launcher page is driven over
# HTTP.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
publish=$bin/dizedir-publish
pack=$bin/dizedir-pack
run() { "$root/cmake/wine-run.sh" "$win/wine" "$win/client" "$@"; }
# shellcheck source=../../scripts/lib/wine-env.sh
. "$root/scripts/lib/wine-env.sh"

work=$win/e2e
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# shellcheck source=../../scripts/lib/sample_client.sh
. "$root/scripts/lib/sample_client.sh"
# shellcheck source=../../scripts/lib/launcher_address.sh
. "$root/scripts/lib/launcher_address.sh"

# Three versions: files added, changed and removed, names with spaces and
# in nested directories, pack entries merged, removed and moved.
mkdir -p v1/qmz/fodder
printf 'version=1\r\n' >v1/game.cfg
for i in $(seq 0 29); do random_file "v1/data/zone$(( i % 4 ))/tile$i.dat" $(( 512 + i * 97 )); done
random_file "v1/bin/old_tool.exe" 3000
add_entries "$pack" v1/qmz/fodder/items.pac 1 120
add_entries "$pack" v1/qmz/fodder/maps.pac 500 560

cp -r v1 v2
printf 'version=2\r\n' >v2/game.cfg
random_file "v2/sounds/theme one.ogg" 200000
for i in 2 7 11; do random_file "v2/data/zone$(( i % 4 ))/tile$i.dat" 4000; done
rm "v2/bin/old_tool.exe"
add_entries "$pack" v2/qmz/fodder/items.pac 121 140
"$pack" rm v2/qmz/fodder/items.pac 5 6 >/dev/null
"$pack" cat v2/qmz/fodder/maps.pac 501 >entry.tmp
"$pack" add v2/qmz/fodder/items.pac 501 entry.tmp >/dev/null
"$pack" rm v2/qmz/fodder/maps.pac 501 >/dev/null
rm -f entry.tmp

cp -r v2 v3
printf 'version=3\r\n' >v3/game.cfg
random_file "v3/data/world map.bin" 600000
rm v3/data/zone0/tile0.dat
add_entries "$pack" v3/qmz/fodder/maps.pac 561 600

port=$(( 20000 + RANDOM % 20000 ))
{
  "$publish" release --init rel --from v1
  "$publish" diff v1 v2 -o patch2
  "$publish" release rel --add patch2 --tree v2
  "$publish" diff v2 v3 -o patch3
  "$publish" release rel --add patch3 --parts 3 --tree v3
  "$publish" serverlist -o lists --region "Test=127.0.0.1:$port" --current 0 \
    --url "http://news.example/" --list-host "127.0.0.1:$port"
  "$publish" verify rel
} >publish.log
cp lists/patchone.ini rel/

cp -r v1 client
cp lists/IPconfig.dat lists/ng.ini client/
client_win=$(WINEPREFIX=$win/wine WINEARCH=win32 WINEDEBUG=-all winepath -w "$work/client")
run "$win/client/dizedir.exe" install --client "$client_win" >install.log

"$publish" serve rel --port "$port" >serve.log 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

fail() { echo "update_e2e: $*"; exit 1; }
SECONDS=0
run "$win/client/dizedir.exe" update --client "$client_win" </dev/null >update.log 2>&1 ||
  { cat update.log; fail "the update failed"; }
echo "update_e2e: version 1 to 3 under Wine in ${SECONDS}s"

system='^(dizedir\.dll|Http\.dll|VkMain\.dll|ResChn\.dll|IPconfig\.dat|ng\.ini|patchone\.ini|curver\.bin|dizedir\.lock|qmz_GT)'
client_matches v3 client "$pack" "$system" || fail "the client differs from version 3"
while IFS= read -r p; do
  "$pack" verify "client/$p" >/dev/null 2>&1 || fail "pack does not verify: $p"
done < <(cd v3 && find . -name '*.pac')
[ -z "$(find client -name '*.dztmp')" ] || fail "temporary files left behind"

# A second run finds the client current and changes nothing.
run "$win/client/dizedir.exe" update --client "$client_win" </dev/null >again.log 2>&1 ||
  { cat again.log; fail "the second run failed"; }
echo "update_e2e: the client holds version 3, file for file and pack entry for pack entry"

# Verify game files: a deleted file, a pack entry gone and one the release
# does not hold, a file of the player's. Verify finds them (exit 3), repair puts back what the release
# owns and leaves the player's file.
rm "client/data/zone1/tile5.dat"
"$pack" rm client/qmz/fodder/items.pac 7 >/dev/null
printf 'not the release' >entry.tmp
"$pack" add client/qmz/fodder/items.pac 99999 entry.tmp >/dev/null
rm -f entry.tmp
printf 'mine' >"client/data/my notes.txt"
status=0
run "$win/client/dizedir.exe" verify --client "$client_win" </dev/null >verify.log 2>&1 || status=$?
[ "$status" -eq 3 ] || { cat verify.log; fail "verify of a damaged client exited $status, not 3"; }
grep -q 'tile5.dat' verify.log || { cat verify.log; fail "verify did not name the deleted file"; }
run "$win/client/dizedir.exe" repair --client "$client_win" </dev/null >repair.log 2>&1 ||
  { cat repair.log; fail "the repair failed"; }
[ -f "client/data/my notes.txt" ] || fail "the repair removed the player's file"
rm "client/data/my notes.txt"
client_matches v3 client "$pack" "$system" || fail "the repaired client differs from version 3"
echo "update_e2e: verify found the damage and repair put it right"

# A whole client from nothing.
fresh_win=$(WINEPREFIX=$win/wine WINEARCH=win32 WINEDEBUG=-all winepath -w "$work/fresh")
run "$win/client/dizedir.exe" install --from "127.0.0.1:$port" "$fresh_win" </dev/null \
  >fresh.log 2>&1 || { cat fresh.log; fail "the install failed"; }
client_matches v3 fresh "$pack" "$system" || fail "the installed client differs from version 3"
echo "update_e2e: a client installed from nothing holds version 3"

# The launcher page, served by dizedir.exe: the page with its token, 403
# without it, an update started from the page that finds the client
# current, and Quit from the page ending the program.
run "$win/client/dizedir.exe" launcher --client "$client_win" --no-browser </dev/null \
  >launcher.log 2>&1 &
launcher=$!
page_url=$(launcher_address launcher.log 300)
[ -n "$page_url" ] || { cat launcher.log; kill $launcher; fail "the launcher printed no address"; }
base=${page_url%%\?*}
token=${page_url##*token=}
curl -sf --max-time 30 "$page_url" | grep -q 'id="start"' || { kill $launcher; fail "no launcher page"; }
refused=$(curl -s --max-time 30 -o /dev/null -w '%{http_code}' "$base")
[ "$refused" = 403 ] || { kill $launcher; fail "without the token the launcher answered $refused"; }
view_has() {
  for _ in $(seq 600); do
    curl -s --max-time 30 "${base}state?token=$token" | grep -q "$1" && return 0
    sleep 0.1
  done
  return 1
}
view_has '"phase":"idle"' || { kill $launcher; fail "the launcher never loaded the server list"; }
curl -sf --max-time 30 -d "" "${base}action/start?token=$token" >/dev/null || { kill $launcher; fail "start refused"; }
view_has '"current":true' || { cat launcher.log; kill $launcher; fail "the page never showed the client current"; }
curl -sf --max-time 30 -d "" "${base}action/quit?token=$token" >/dev/null || { kill $launcher; fail "quit refused"; }
status=0
wait $launcher || status=$?
[ "$status" -eq 0 ] || { cat launcher.log; fail "the launcher exited $status after Quit"; }
echo "update_e2e: the launcher page served by dizedir.exe updated the client and quit"
echo "1 passed, 0 failed"
