#!/usr/bin/env bash
# Static check of the Windows product executable.
#
#   scripts/windows/check-product.sh [--arch x86|amd64] [--https] <brindax-updater.exe>
#
# The default is the shipped 32-bit product: PE32, Intel 386, GUI subsystem,
# application manifest (Common Controls 6.0.0.0, x86), imports only from
# system DLLs with MSVCRT.dll as the C library. The PE parsing is done by
# pe_check.py; the list of imported DLLs is cross-checked with objdump -p of
# the mingw binutils. --https: a build with release URLs, which imports
# WINHTTP.dll as well.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
arch=x86
https=()
if [ "${1:-}" = "--arch" ]; then arch=${2:-}; shift 2; fi
if [ "${1:-}" = "--https" ]; then https=(--https); shift; fi
if [ $# -ne 1 ] || { [ "$arch" != x86 ] && [ "$arch" != amd64 ]; }; then
  echo "usage: $0 [--arch x86|amd64] [--https] <exe>" >&2
  exit 2
fi
exe=$1
if [ ! -f "$exe" ]; then
  echo "check-product: FAIL: $exe does not exist" >&2
  exit 1
fi

echo "check-product: $exe ($arch)"
status=0
/usr/bin/python3 "$here/pe_check.py" --arch "$arch" "${https[@]}" "$exe" || status=1

# Second opinion on the format and the imports from objdump.
if [ "$arch" = x86 ]; then objdump=i686-w64-mingw32-objdump; want_fmt=pei-i386
else objdump=x86_64-w64-mingw32-objdump; want_fmt=pei-x86-64; fi
if command -v "$objdump" >/dev/null; then
  dump=$("$objdump" -p "$exe" 2>&1)
  fmt=$(printf '%s\n' "$dump" | sed -n -E 's/.*file format ([^ ]+).*/\1/p' | head -n 1)
  if [ "$fmt" = "$want_fmt" ]; then
    echo "  ok    objdump: file format $fmt"
  else
    echo "  FAIL  objdump: file format '$fmt', expected $want_fmt"; status=1
  fi
  from_objdump=$(printf '%s\n' "$dump" | sed -n -E 's/^[[:space:]]*DLL Name: (.*)$/\1/p' | tr a-z A-Z | sort -u)
  from_parser=$(/usr/bin/python3 "$here/pe_check.py" --arch "$arch" --list-imports "$exe" | tr a-z A-Z | sort -u)
  if [ -n "$from_objdump" ] && [ "$from_objdump" = "$from_parser" ]; then
    echo "  ok    objdump agrees on the imported DLLs"
  else
    echo "  FAIL  imported DLLs differ: objdump [$(echo $from_objdump)] parser [$(echo $from_parser)]"
    status=1
  fi
else
  echo "  FAIL  $objdump not found (apt-get install binutils-mingw-w64)"; status=1
fi

if [ $status -eq 0 ]; then
  echo "check-product: PASS $exe"
else
  echo "check-product: FAIL $exe" >&2
fi
exit $status
