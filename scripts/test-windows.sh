#!/usr/bin/env bash
# The Windows leg: builds for Windows (scripts/build-windows.sh), runs the
# unit tests built for it under 32-bit Wine in a private prefix, then one
# end-to-end update of a client directory by dizedir.exe from a loopback
# server run by the Linux dizedir-publish, and updates under the ANSI code
# pages 1252, 932 and 936.
#   scripts/test-windows.sh [WINDOWS_BUILD_DIR] [LINUX_BUILD_DIR]
# (defaults build/windows and build/release; the Linux tools are built there
# when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
win=${1:-build/windows}
linux=${2:-build/release}

echo "== $win"
SECONDS=0
scripts/build-windows.sh "$win"
echo "built in ${SECONDS}s"
# Looked for once the build's scripts/deps.sh has had its chance to make one.
# shellcheck source=lib/wine-env.sh
. scripts/lib/wine-env.sh
[ -n "$DIZEDIR_WINE32" ] ||
  { echo "test-windows: no 32-bit Wine: install wine32 or run scripts/deps.sh" >&2; exit 1; }

linux_tools=(dizedir-publish dizedir-pack)
[ "${DIZEDIR_WINE_TLS:-0}" = 1 ] && linux_tools+=(https_e2e_test)
for tool in "${linux_tools[@]}"; do
  if [ ! -x "$linux/bin/$tool" ]; then
    cmake -S . -B "$linux" -G Ninja >/dev/null
    cmake --build "$linux" -j"$(nproc)" --target "${linux_tools[@]}"
    break
  fi
done

SECONDS=0
# The prefix is made once, before tests start side by side.
"$PWD/cmake/wine-run.sh" "$(cd "$win" && pwd)/wine" "$(cd "$win" && pwd)/client" \
  wineboot >/dev/null 2>&1 || true
ctest --test-dir "$win" --output-on-failure -j"$(nproc)"
tests/windows/update_e2e.sh "$win" "$linux/bin"
tests/windows/codepage_e2e.sh "$win" "$linux/bin"
# The https update cases of the Linux suite, through dizedir.exe and the
# WinHTTP downloader, against the same nginx the Linux harness runs. On
# request only (DIZEDIR_WINE_TLS=1): Wine reports a refused certificate as a
# bare secure-channel failure, which the downloader retries like a dropped
# connection, so the refusal cases take about 100 s.
if [ "${DIZEDIR_WINE_TLS:-0}" = 1 ]; then
  DIZEDIR_WINDOWS_CLIENT="$(cd "$win" && pwd)/client" DIZEDIR_WINE_PREFIX="$(cd "$win" && pwd)/wine" \
    "$linux/bin/https_e2e_test" --gtest_filter='HttpsUpdate.WindowsLauncherUnderWine'
fi
echo "Windows leg in ${SECONDS}s"
