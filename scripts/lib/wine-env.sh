# shellcheck shell=bash disable=SC2034
# Which 32-bit Wine the Windows leg runs, decided here for every script that
# runs it: Debian's wine32 when installed, else the private copy
# scripts/wine32-private.sh unpacks when the mirror cannot install wine32.
# Sourced. Sets DIZEDIR_WINE32 to "system", to the private copy's directory
# or to "" when there is neither, and puts the private copy's wine, wineboot
# and winepath first on PATH, where they shadow the 64-bit-only system ones.
dizedir_wine32_dir=${DIZEDIR_WINE32_DIR:-/opt/dizedir-wine32}
if [ -x /usr/lib/wine/wine ]; then
  DIZEDIR_WINE32=system
elif [ -f "$dizedir_wine32_dir/.complete" ]; then
  DIZEDIR_WINE32=$dizedir_wine32_dir
  case ":$PATH:" in
    *":$dizedir_wine32_dir/bin:"*) ;;
    *) PATH=$dizedir_wine32_dir/bin:$PATH ;;
  esac
else
  DIZEDIR_WINE32=
fi
