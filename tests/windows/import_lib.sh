#!/usr/bin/env bash
# Makes an import library for Microsoft's linker from what a built DLL
# really exports, the way a launcher's build gets one for a DLL that comes
# without: tests/windows/import_lib.sh LLVM_READOBJ LLVM_DLLTOOL DLL OUT.lib
# The names are taken from the export table as they are, so a name the DLL
# lacks or spells differently fails the launcher's link.
set -euo pipefail
readobj=$1 dlltool=$2 dll=$3 out=$4
def=${out%.lib}.def
{
  echo "LIBRARY $(basename "$dll")"
  echo "EXPORTS"
  "$readobj" --coff-exports "$dll" | sed -n 's/^ *Name: \(.*\)$/  \1/p'
} >"$def"
grep -q '^  ' "$def" || { echo "import_lib: $dll exports nothing" >&2; exit 1; }
"$dlltool" -m i386 -d "$def" -l "$out"
