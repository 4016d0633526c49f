#!/usr/bin/env bash
# What a newcomer can see today: the modules built and installed into a
# sample client directory, the plug-in's info record, and the server list
# fetched from a loopback server and shown as a launcher would show it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/deps.sh
echo "== building"
scripts/build.sh build/release >/dev/null
bin=$root/build/release/bin

work=$root/demo
rm -rf "$work"
mkdir -p "$work/client" "$work/www" "$work/nginx"
client=$work/client

echo "== installing the plug-in into a sample client directory"
"$bin/dizedir" install --client "$client"

# A free loopback port for the server-list host.
port=$(( 20000 + RANDOM % 20000 ))

# IPconfig.dat holds the server-list host with byte i shifted by i + 10.
shift_text() {
  local text=$1 i code
  for (( i = 0; i < ${#text}; i++ )); do
    code=$(( ( $(printf '%d' "'${text:i:1}") + i + 10 ) % 256 ))
    printf "\\$(printf '%03o' "$code")"
  done
}
shift_text "127.0.0.1:$port" >"$client/IPconfig.dat"
printf '[SETTING]\r\nSP=0\r\n' >"$client/ng.ini"

# Operators write the list as UTF-16LE with a byte-order mark, as Windows
# clients read it.
{ printf '\xff\xfe'; sed 's/$/\r/' scripts/demo/patchone.ini | iconv -f UTF-8 -t UTF-16LE; } \
  >"$work/www/patchone.ini"

cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events {}
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
  }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  [ -f "$work/nginx/nginx.pid" ] && break
  sleep 0.1
done

echo "== the plug-in's info record"
"$bin/dizedir" info --client "$client"
echo
echo "== the server list, fetched from http://127.0.0.1:$port/patchone.ini"
"$bin/dizedir" servers --client "$client"
echo
echo "== the same for launchers and scripts (--json)"
"$bin/dizedir" servers --client "$client" --json
