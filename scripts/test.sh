#!/usr/bin/env bash
# Sets up, builds and runs every test: a plain build, the whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer,
# and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
run_suite() {
  local dir=$1
  shift
  echo "== $dir"
  scripts/build.sh "$dir" "$@"
  # Sanitizer runtimes map memory at fixed places; address randomisation on
  # newer kernels can collide with them, so tests run without it.
  setarch "$(uname -m)" -R ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

run_suite build/release
run_suite build/asan -DDIZEDIR_SANITIZE=address,undefined -DDIZEDIR_BENCH=OFF
TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp halt_on_error=1" \
  run_suite build/tsan -DDIZEDIR_SANITIZE=thread -DDIZEDIR_BENCH=OFF

echo "== fuzz"
CC=clang CXX=clang++ scripts/build.sh build/fuzz -DDIZEDIR_FUZZ=ON -DDIZEDIR_BENCH=OFF
scripts/fuzz.sh build/fuzz 10
echo "all tests passed"
