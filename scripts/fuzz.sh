#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a few seconds each over its
# seed corpus: scripts/fuzz.sh BUILD_DIR SECONDS.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
seconds=${2:-10}
shopt -s nullglob
for target in "$dir"/bin/fuzz_*; do
  name=$(basename "$target")
  seeds=fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  echo "fuzz: $name for ${seconds}s"
  setarch "$(uname -m)" -R "$target" -max_total_time="$seconds" -max_len=65536 \
    -print_final_stats=0 "$work" 2>"$work.log" || { tail -n 40 "$work.log"; exit 1; }
  rm -rf "$work" "$work.log"
done
