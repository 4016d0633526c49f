#!/usr/bin/env bash
# Updates of Windows clients under the ANSI code pages of Western (1252),
# Japanese (932) and Simplified Chinese (936) Windows, by dizedir.exe under
# Wine: tests/windows/codepage_e2e.sh WINDOWS_BUILD_DIR LINUX_BIN_DIR.
#
# For each page, a client in a folder whose name the page cannot spell is
# updated from a release whose second patch adds files named in Japanese
# (second bytes 0x5C in Shift-JIS), Chinese (second bytes 0x5C in GBK),
# Cyrillic, Hangul and beyond the BMP, and whose third patch is a del.txt in
# that page's bytes deleting some of them and entries of packs named in the
# page. The client must then hold exactly the published tree, names and
# directories alike. Then releases whose patch carries a look-alike climb
# (fullwidth dots and slashes, yen, won ...) must fail the update with
# nothing written anywhere: the client stays at version 1 and no planted
# file appears in the build tree, the Wine prefix's drive C or the root.
#
# Wine takes its code page from the Unix locale; the locales come from the
# Windows build (BUILD_DIR/locales, made by localedef). The code-page test
# program checks first that Wine took each page, so a locale it did not
# pick up fails the run rather than testing 1252 three times.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
publish=$bin/dizedir-publish
pack=$bin/dizedir-pack
SECONDS=0

fail() { echo "codepage_e2e: $*"; exit 1; }
pages=(1252 932 936)
declare -A locale=([1252]=en_US [932]=ja_JP [936]=zh_CN)
# Client folders that the page cannot spell (Cyrillic and kana are in 932
# and 936; Hangul and Ukrainian letters are in none of the three).
declare -A folder=([1252]="游戏 Клиент" [932]="클라이언트" [936]="Клієнт 클라이언트")
for page in "${pages[@]}"; do
  [ -f "$win/locales/${locale[$page]}.UTF-8/LC_CTYPE" ] ||
    fail "no locale ${locale[$page]}.UTF-8 under $win/locales (built with the Windows tree)"
  if printf '%s' "${folder[$page]}" | iconv -f UTF-8 -t "CP$page" >/dev/null 2>&1; then
    fail "code page $page can spell ${folder[$page]}; the test needs a name it cannot"
  fi
done

# run PAGE PROGRAM ARGS...: a Windows program under Wine in the page.
run() {
  local page=$1
  shift
  LANG=${locale[$page]}.UTF-8 LC_ALL=${locale[$page]}.UTF-8 LOCPATH=$win/locales \
    "$root/cmake/wine-run.sh" "$win/wine" "$win/client" "$@"
}
windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

work=$win/codepage-e2e
rm -rf "$work"
mkdir -p "$work"
cd "$work"
export LC_ALL=C.UTF-8

# shellcheck source=../../scripts/lib/sample_client.sh
. "$root/scripts/lib/sample_client.sh"

# Version 1: packs named in each page's script; version 2 adds the names.
mkdir -p v1/qmz/fodder
printf 'version=1\r\n' >v1/game.cfg
random_file v1/data/base.dat 3000
for p in items Übersicht 物品 道具; do add_entries "$pack" "v1/qmz/fodder/$p.pac" 1 8; done
cp -r v1 v2
printf 'version=2\r\n' >v2/game.cfg
names=(
  "Café_Müller.txt" "Œuvre€/Naïve.txt" "Œuvre€/keep.txt"
  "表示.txt" "ソフト/readme.txt" "ソフト/予定表.txt" "十/能力.txt"
  "游戏/说明.txt" "誠運/乗.txt"
  "Клиент/данные.txt" "클라이언트/설정.ini" "𠮷野家.txt"
  "価格¥500.txt" "全角／スラッシュ.txt"
)
for n in "${names[@]}"; do
  mkdir -p "v2/$(dirname "$n")"
  printf 'contents of %s\r\n' "$n" >"v2/$n"
done

# Each page's del.txt, in the page's bytes, and the tree it leaves.
declare -A del_list=(
  [1252]=$'Packet:Übersicht 3 4\r\nend\r\nCafé_Müller.txt\r\nŒuvre€\\Naïve.txt\r\n'
  [932]=$'Packet:物品 5 6\r\nend\r\n表示.txt\r\nソフト\\readme.txt\r\n十\\能力.txt\r\n'
  [936]=$'Packet:道具 7\r\nend\r\n游戏\\说明.txt\r\n誠運\\乗.txt\r\n'
)
declare -A del_pack=([1252]=Übersicht [932]=物品 [936]=道具)
declare -A del_ids=([1252]="3 4" [932]="5 6" [936]="7")
declare -A del_files=(
  [1252]="Café_Müller.txt Œuvre€/Naïve.txt"
  [932]="表示.txt ソフト/readme.txt 十/能力.txt"
  [936]="游戏/说明.txt 誠運/乗.txt"
)
for page in "${pages[@]}"; do
  mkdir -p "del-$page"
  printf '%s' "${del_list[$page]}" | iconv -f UTF-8 -t "CP$page" >"del-$page/del.txt"
  # Bytes that are UTF-8 as well would never reach the code page.
  if iconv -f UTF-8 -t UTF-8 "del-$page/del.txt" >/dev/null 2>&1; then
    fail "del.txt of code page $page is valid UTF-8"
  fi
  (cd "del-$page" && zip -q -X "../del-$page.zip" del.txt)
  cp -r v2 "v3-$page"
  # shellcheck disable=SC2086
  "$pack" rm "v3-$page/qmz/fodder/${del_pack[$page]}.pac" ${del_ids[$page]} >/dev/null
  for f in ${del_files[$page]}; do rm "v3-$page/$f"; done
done

# Hostile patches: a harmless item, then one whose look-alikes read as a
# climb (out of the client folder and its page folder, into the work tree),
# a drive or a root after a best-fit conversion to some code page. Made
# from files of those exact names, which are plain names on Linux.
climbs=(
  "．．／．．／planted.txt"
  "..¥..¥planted.txt"
  "．．＼．．＼planted.txt"
  "..₩..₩planted.txt"
  "﹒﹒∕﹒﹒∕planted.txt"
  "C：＼planted.txt"
)
sources=$(mktemp -d)
trap 'rm -rf "$sources"' EXIT
for i in "${!climbs[@]}"; do
  rm -rf "${sources:?}"/*
  printf 'harmless\r\n' >"$sources/ok.txt"
  printf 'planted\r\n' >"$sources/${climbs[$i]}"
  (cd "$sources" && zip -q -X "$work/hostile-$i.zip" ok.txt "${climbs[$i]}")
done
rm -rf "$sources"

# One release line: each page's release adds its del.txt to the shared
# patch 2; each hostile release has its climb as patch 2.
{
  "$publish" release --init rel0 --from v1
  "$publish" diff v1 v2 -o patch2
  cp -r rel0 rel
  "$publish" release rel --add patch2
  for page in "${pages[@]}"; do
    cp -r rel "rel-$page"
    "$publish" release "rel-$page" --add "del-$page.zip"
    "$publish" verify "rel-$page"
  done
  for i in "${!climbs[@]}"; do
    cp -r rel0 "hostile-$i"
    "$publish" release "hostile-$i" --add "hostile-$i.zip"
  done
} >publish.log 2>&1 || { cat publish.log; fail "publishing failed"; }

# A server for each release, on ports of its own.
releases=("${pages[@]/#/rel-}")
for i in "${!climbs[@]}"; do releases+=("hostile-$i"); done
base_port=$(( 20000 + RANDOM % 20000 ))
declare -A port
servers=()
trap 'kill "${servers[@]}" 2>/dev/null || true' EXIT
n=0
for r in "${releases[@]}"; do
  port[$r]=$(( base_port + n ))
  n=$(( n + 1 ))
  "$publish" serverlist -o "lists-$r" --region "Test=127.0.0.1:${port[$r]}" --current 0 \
    --url "http://news.example/" --list-host "127.0.0.1:${port[$r]}" >>publish.log
  cp "lists-$r/patchone.ini" "$r/"
  "$publish" serve "$r" --port "${port[$r]}" >"serve-$r.log" 2>&1 &
  servers+=($!)
done
for r in "${releases[@]}"; do
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/${port[$r]}") 2>/dev/null && break
    sleep 0.1
  done
done

# client PAGE DIR RELEASE [INSTALLED]: a client at version 1 in DIR, with
# the plug-in installed by dizedir.exe (or copied from the client INSTALLED
# that it was installed into), set to update from RELEASE.
client() {
  local page=$1 dir=$2 r=$3 installed=${4:-}
  mkdir -p "$(dirname "$dir")"
  cp -r "${installed:-v1}" "$dir"
  cp "lists-$r/IPconfig.dat" "lists-$r/ng.ini" "$dir/"
  [ -z "$installed" ] || return 0
  run "$page" "$win/client/dizedir.exe" install --client "$(windows_path "$dir")" \
    >"$dir.install.log" 2>&1 || { cat "$dir.install.log"; fail "install into $dir failed"; }
}

system='^(dizedir\.dll|Http\.dll|VkMain\.dll|ResChn\.dll|IPconfig\.dat|ng\.ini|patchone\.ini|curver\.bin|dizedir\.lock|qmz_GT)'
# holds EXPECTED CLIENT [IGNORE]: the client holds the tree's files and
# directories under exactly its names, and its packs entry for entry;
# besides its own files, only names matching IGNORE may be there.
holds() {
  local expected=$1 client=$2 ignore=$system${3:+|$3}
  client_matches "$expected" "$client" "$pack" "$ignore" || return 1
  diff <(cd "$expected" && find . -mindepth 1 -type d | sed 's|^\./||' | sort) \
       <(cd "$client" && find . -mindepth 1 -type d | sed 's|^\./||' | grep -v -E "$ignore" | sort) >&2 ||
    { echo "the client's directories differ from $expected" >&2; return 1; }
  [ -z "$(find "$client" -name '*.dztmp')" ] || { echo "temporary files left behind" >&2; return 1; }
}

passed=0
for page in "${pages[@]}"; do
  DIZEDIR_EXPECTED_ACP=$page run "$page" "$win/bin/codepage_win32_test.exe" \
    --gtest_filter='CodePageTest.ListsInTheCodePageAreDecodedAndUtf8IsKept' >"page-$page.log" 2>&1 ||
    { cat "page-$page.log"; fail "Wine did not run under code page $page"; }
  dir=$work/cp$page/${folder[$page]}
  client "$page" "$dir" "rel-$page"
  installed=$work/cp$page/installed
  cp -r "$dir" "$installed"
  start=$SECONDS
  run "$page" "$win/client/dizedir.exe" update --client "$(windows_path "$dir")" </dev/null \
    >"$dir.update.log" 2>&1 || { cat "$dir.update.log"; fail "code page $page: the update failed"; }
  holds "v3-$page" "$dir" || fail "code page $page: the client differs from the published tree"
  echo "codepage_e2e: code page $page, client \"${folder[$page]}\": version 1 to 3 in $(( SECONDS - start ))s"
  passed=$(( passed + 1 ))

  start=$SECONDS
  for i in "${!climbs[@]}"; do
    dir=$work/cp$page/hostile$i/${folder[$page]}
    client "$page" "$dir" "hostile-$i" "$installed"
    if run "$page" "$win/client/dizedir.exe" update --client "$(windows_path "$dir")" </dev/null \
        >"$dir.update.log" 2>&1; then
      fail "code page $page: the update from a patch with ${climbs[$i]} succeeded"
    fi
    # Refused for that name, not for some other fault on the way.
    grep -qF "${climbs[$i]}" "$dir.update.log" ||
      { cat "$dir.update.log"; fail "code page $page: ${climbs[$i]} failed for another reason"; }
    # The archive stays for the next run, which is told the same.
    holds v1 "$dir" '^patch2\.zip$' || fail "code page $page: the patch with ${climbs[$i]} changed the client"
  done
  # The build tree holds the work tree and the Wine prefix with its drive C.
  planted=$(find "$win" -name planted.txt; if [ -e /planted.txt ]; then echo /planted.txt; fi)
  [ -z "$planted" ] || fail "code page $page: a climb wrote outside its client: $planted"
  echo "codepage_e2e: code page $page: ${#climbs[@]} look-alike climbs refused, nothing written, in $(( SECONDS - start ))s"
  passed=$(( passed + 1 ))
done
echo "codepage_e2e: done in ${SECONDS}s"
echo "$passed passed, 0 failed"
