#!/usr/bin/env bash
# Makes the sample archives of this directory once; the results are committed
# so the tests need neither zip nor python. Run from anywhere.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Info-ZIP zip: Unix host, "UT" timestamps, directory items, a read-only file.
mkdir -p "$work/tree/dir/sub"
for i in $(seq 200); do printf 'nested file\n'; done >"$work/tree/dir/sub/file.txt"
printf 'top level\n' >"$work/tree/top.txt"
printf 'do not edit\n' >"$work/tree/readonly.txt"
chmod 444 "$work/tree/readonly.txt"
for f in dir/sub/file.txt top.txt readonly.txt dir/sub dir; do
  touch -h -d '2020-01-02 03:04:05 UTC' "$work/tree/$f"
done
touch -d '2021-06-07 08:09:10 UTC' "$work/tree/top.txt"
rm -f "$here/infozip.zip"
(cd "$work/tree" && TZ=UTC zip -q -r "$here/infozip.zip" dir top.txt readonly.txt)

# Info-ZIP zip -fz: zip64 records for small files (the uncompressed size in
# the central directory's zip64 block, a zip64 end record and its locator).
mkdir -p "$work/z64"
for i in $(seq 300); do printf 'zip64 line %d\n' "$i"; done >"$work/z64/lines.txt"
printf 'small\n' >"$work/z64/small.txt"
touch -d '2020-01-02 03:04:05 UTC' "$work/z64/lines.txt" "$work/z64/small.txt"
rm -f "$here/zip64.zip"
(cd "$work/z64" && TZ=UTC zip -q -X -fz "$here/zip64.zip" lines.txt small.txt)

python3 "$here/make_samples.py" "$here"
