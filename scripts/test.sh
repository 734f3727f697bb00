#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build with its unit and
# process-level tests, the same suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer, a short run of every fuzz target, then the
# Windows builds (cross-compiled with mingw-w64; the 64-bit one tested under
# Wine, the 32-bit product checked).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
. scripts/compiler-cache.sh

# The tests' servers listen on fixed loopback ports from 47000 on. Those lie
# in the system's range of automatic ports, so a passive-mode listener or an
# outgoing connection of another test could hold one at the wrong moment:
# keep them out of that range where we may (root), else carry on as before.
reserved=/proc/sys/net/ipv4/ip_local_reserved_ports
if [ -w "$reserved" ] && [ -z "$(cat "$reserved")" ]; then
  echo 47000-47999 > "$reserved" || true
fi

log=$(mktemp /tmp/brindax-test.XXXXXX)
trap 'rm -f "$log"' EXIT

jobs=$(nproc)
cmake --preset linux
cmake --build --preset linux -j "$jobs"
ctest --preset linux -j "$jobs" 2>&1 | tee -a "$log"

if [ "${BRINDAX_SKIP_SANITIZERS:-0}" != 1 ]; then
  cmake --preset linux-asan
  cmake --build --preset linux-asan -j "$jobs"
  ctest --preset linux-asan -j "$jobs" 2>&1 | tee -a "$log"
  scripts/fuzz.sh 2>&1 | tee -a "$log"
fi

if [ "${BRINDAX_SKIP_WINDOWS:-0}" != 1 ]; then
  scripts/windows/test-windows.sh 2>&1 | tee -a "$log"
fi

# One closing line over every runner: CTest's counts, the Wine process
# tests' count and the fuzz targets that ran clean.
passed=0
while read -r count; do passed=$((passed + count)); done < <(
  sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p; s/^wine e2e: \([0-9]*\) passed, 0 failed.*/\1/p; s/^fuzz: \([0-9]*\) passed, 0 failed$/\1/p' "$log")
echo "All tests passed."
echo "$passed passed, 0 failed"
