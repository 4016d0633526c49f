#!/usr/bin/env bash
# wine-run.sh PREFIX DLL_DIR PROGRAM [ARGS...]: runs a Windows program under
# 32-bit Wine in a private prefix, with DLL_DIR searched for DLLs. The
# prefix is made on first use.
set -euo pipefail
# shellcheck source=../scripts/lib/wine-env.sh
. "$(dirname "$0")/../scripts/lib/wine-env.sh"
prefix=$1 dll_dir=$2
shift 2
export WINEARCH=win32 WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}
# No desktop integration, no first-run dialogs.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  wineboot -i >/dev/null 2>&1 || true
fi
export WINEPATH="$(winepath -w "$dll_dir" 2>/dev/null || echo "Z:${dll_dir//\//\\}")"
exec wine "$@"
