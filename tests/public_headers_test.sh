#!/usr/bin/env bash
# The public headers are what launchers compile: each must build alone as
# C++14, with GCC's strict rules here and for 32-bit Windows (whose branches
# lay slots out as MSVC does), and with clang in Microsoft's ABI for 32-bit
# Windows (MSVC's default is /std:c++14), where a C++17 construct would stop
# a launcher's build. The MSVC case uses the few standard headers of
# tests/msvc_std, since no MSVC headers exist here.
#   tests/public_headers_test.sh SOURCE_ROOT
set -euo pipefail
root=$1
fail=0
for header in "$root"/include/dizedir/*.h; do
  name=${header#"$root/include/"}
  if ! echo "#include \"$name\"" |
       g++ -std=c++14 -pedantic-errors -Wall -Wextra -Werror -fsyntax-only \
         -I"$root/include" -x c++ -; then
    echo "FAIL $name as C++14 (g++)"; fail=1
  fi
  if command -v i686-w64-mingw32-g++ >/dev/null; then
    if ! echo "#include \"$name\"" |
         i686-w64-mingw32-g++ -std=c++14 -pedantic-errors -Wall -Wextra -Werror -fsyntax-only \
           -I"$root/include" -x c++ -; then
      echo "FAIL $name as C++14 for 32-bit Windows (mingw g++)"; fail=1
    fi
  fi
  if command -v clang++ >/dev/null; then
    if ! echo "#include \"$name\"" |
         clang++ --target=i686-pc-windows-msvc -std=c++14 -Werror -Wc++17-extensions \
           -fsyntax-only -nostdinc++ -isystem "$root/tests/msvc_std" -I"$root/include" \
           -x c++ -; then
      echo "FAIL $name as C++14 in the MSVC ABI (clang)"; fail=1
    fi
  fi
done
exit $fail
