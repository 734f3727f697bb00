#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build with its unit and
# process-level tests, then the Windows builds (cross-compiled with
# mingw-w64; the 64-bit one tested under Wine, the 32-bit product checked).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
cmake --preset linux
cmake --build --preset linux -j "$jobs"
ctest --preset linux -j "$jobs"

if [ "${BRINDAX_SKIP_WINDOWS:-0}" != 1 ]; then
  scripts/windows/test-windows.sh
fi
echo "All tests passed."
