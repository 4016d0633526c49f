# Shell helpers for making small sample client trees and checking an
# updated client against one; sourced by the Windows end-to-end tests, and
# by scripts/demo.sh for client_matches (its larger trees come from
# dizedir-sample).

# random_file PATH BYTES: a file of random bytes, its directories made.
random_file() {
  mkdir -p "$(dirname "$1")"
  head -c "$2" /dev/urandom >"$1"
}

# add_entries PACK_TOOL PACK FIRST LAST: random entries with ids FIRST to
# LAST, of 100 to 3099 bytes depending on the id.
add_entries() {
  local tool=$1 pack=$2 id entry
  entry=$(mktemp)
  for (( id = $3; id <= $4; id++ )); do
    head -c $(( 100 + id * 53 % 3000 )) /dev/urandom >"$entry"
    "$tool" add "$pack" "$id" "$entry" >/dev/null
  done
  rm -f "$entry"
}

# client_matches EXPECTED CLIENT PACK_TOOL IGNORE_REGEX: true when CLIENT
# holds the files of the tree EXPECTED (its curver.bin aside) byte for byte
# and its packs entry for entry, names matching IGNORE_REGEX left out;
# otherwise says what differs on standard error.
client_matches() {
  local expected=$1 client=$2 tool=$3 ignore=$4 f p
  if ! diff <(cd "$expected" && find . -type f ! -name curver.bin | sed 's|^\./||' | sort) \
            <(cd "$client" && find . -type f | sed 's|^\./||' | grep -v -E "$ignore" | sort) >&2
  then
    echo "the client's files differ from $expected" >&2
    return 1
  fi
  while IFS= read -r f; do
    cmp -s "$expected/$f" "$client/$f" || { echo "differs: $f" >&2; return 1; }
  done < <(cd "$expected" && find . -type f ! -name '*.pac' ! -name curver.bin)
  while IFS= read -r p; do
    diff <("$tool" ls "$expected/$p" | sort) <("$tool" ls "$client/$p" | sort) >/dev/null ||
      { echo "pack differs: $p" >&2; return 1; }
  done < <(cd "$expected" && find . -name '*.pac')
}
