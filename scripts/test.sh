#!/usr/bin/env bash
# Sets up, builds and runs every test: the whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, a plain build of what a
# sanitizer cannot check, the threaded tests under ThreadSanitizer,
# a short run of every fuzz target, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
# run_suite DIR [cmake args]; $only, when set, is a ctest -R pattern.
only=""
run_suite() {
  local dir=$1
  shift
  echo "== $dir"
  SECONDS=0
  scripts/build.sh "$dir" "$@"
  echo "built in ${SECONDS}s"
  # Sanitizer runtimes map memory at fixed places; address randomisation on
  # newer kernels can collide with them, so tests run without it.
  setarch "$(uname -m)" -R ctest --test-dir "$dir" --output-on-failure -j"$jobs" \
    ${only:+-R "$only"}
}

# The whole suite runs under AddressSanitizer + UndefinedBehaviorSanitizer.
# Sanitizer builds skip the optimiser's time: they exist to find faults.
# Clang builds them in well under half the time GCC took (the plain build
# and the Windows one stay with GCC, so both compilers see the code).
sanitized=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DDIZEDIR_BENCH=OFF
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
run_suite build/asan -DDIZEDIR_SANITIZE=address,undefined "${sanitized[@]}"
# The plain optimised build: the tests that hold the plug-in to a 32-bit
# launcher's address space (a sanitizer's runtime reserves more than that),
# what the modules that ship export, the link model the benches run on, the
# benchmarks (built, not run) and the Linux tools the Windows leg publishes
# with. The rest of the suite ran above; building it twice cost CI a third
# of its time.
plain=(dizedir_handlers_test hostile_server_test module_exports_test link_model_test)
only="^($(IFS='|'; echo "${plain[*]}"))\$"
DIZEDIR_TARGETS="dizedir_handlers_test hostile_server_test dizedir_module link_model_test benches
  dizedir-publish dizedir-pack" run_suite build/release
only=""
# ThreadSanitizer where threads meet: the plug-in's task threads and its
# status polling, the engine's update and apply threads with the side
# hasher, the repair's fetch with its progress watcher and a stop from
# another thread, the downloader's queue with its progress queries, the
# interrupt handling, the host program's polling and the launcher page's
# server with the session it reads. The rest is single-threaded (or kills
# whole processes) and runs under the builds above.
threaded=(dizedir_plugin_test downloader_test queued_downloader_test interrupt_test host_test
  update_e2e_test hostile_server_test signed_update_test update_command_test
  update_command_e2e_test server_list_test dizedir_platform_test tree_hostile_test
  launcher_session_test launcher_server_test launcher_e2e_test)
only="^($(IFS='|'; echo "${threaded[*]}"))\$"
DIZEDIR_TARGETS="${threaded[*]}" TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp halt_on_error=1" \
  run_suite build/tsan -DDIZEDIR_SANITIZE=thread "${sanitized[@]}"
only=""

echo "== fuzz"
SECONDS=0
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DDIZEDIR_FUZZ=ON -DDIZEDIR_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" >/dev/null
cmake --build build/fuzz -j"$jobs" --target fuzzers
echo "built in ${SECONDS}s"
scripts/fuzz.sh build/fuzz 6

# The Windows build, tested under 32-bit Wine (deps.sh installs wine32, or
# unpacks a private one when the mirror cannot install it).
# shellcheck source=lib/wine-env.sh
. scripts/lib/wine-env.sh
if [ -n "$DIZEDIR_WINE32" ]; then
  scripts/test-windows.sh build/windows build/release
else
  scripts/build-windows.sh build/windows
  echo "== WINDOWS TESTS SKIPPED: no 32-bit Wine (wine32 or $dizedir_wine32_dir); the Windows modules were built, not run"
fi
echo "all tests passed"
