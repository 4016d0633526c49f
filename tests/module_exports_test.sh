#!/usr/bin/env bash
# Each module exports exactly its entry points, finds its siblings through
# $ORIGIN, and nothing of its internals leaks into a host's namespace.
set -euo pipefail
dir=$1
# Sanitized builds (a second argument, the sanitizers): Clang's checks of
# indirect calls add the type information of function types, which a plain
# build, the one that ships, does not have.
sanitized=${2:-}
fail=0
exports() {
  # Defined, global dynamic symbols that are functions or data.
  nm -D --defined-only "$dir/$1" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' |
    { if [ -n "$sanitized" ]; then grep -v -E '^_ZT[IS]F' || true; else cat; fi; } | sort
}
check() {
  local module=$1
  shift
  local want got
  want=$(printf '%s\n' "$@" | sort)
  got=$(exports "$module")
  if [ "$got" != "$want" ]; then
    echo "FAIL $module exports:"; echo "$got"; echo "expected:"; echo "$want"; fail=1
  fi
}
check dizedir.so GetDizedirInterface GetDizedirInterfaceSlots PluginDllStop
check dizhttp.so GetHttpInterface GetHttpInterfaceSlots StopDll
# The region list's classes are its whole interface.
if exports vkmain.so | grep -v -E '^_ZN(K)?(9CVkRegion|13CVkRegionList)' | grep -q .; then
  echo "FAIL vkmain.so exports more than its two classes:"; exports vkmain.so; fail=1
fi
runpath=$(readelf -d "$dir/dizedir.so" | grep -E 'RUNPATH|RPATH' || true)
case "$runpath" in
  *'[$ORIGIN]'*) ;;
  *) echo "FAIL dizedir.so runpath: $runpath"; fail=1 ;;
esac
exit $fail
