#!/usr/bin/env bash
# Builds and tests the Windows updater:
#   1. installs what is missing (mingw-w64, zlib for mingw, Wine, Xvfb, ...);
#   2. builds libzip, libsodium, libzstd and (for brindax-publish) libdivsufsort
#      for both Windows targets from Debian's source packages;
#   3. configures and builds the presets windows-x86 (the 32-bit product)
#      and windows-x64 (64-bit, with the unit tests);
#   4. runs the 64-bit unit tests under wine64 (ctest);
#   5. checks the 32-bit product statically (PE32, GUI, manifest, imports
#      only from system DLLs: libzip, libsodium and libzstd are linked in);
#   6. builds the 64-bit product once more, configured for the local test
#      FTP server (build/windows-x64-e2e: BRINDAX_FTP_HOST=127.0.0.1 and the
#      test port), and runs the process-level tests of it under wine64
#      against a local FTP server, with message boxes on a private Xvfb;
#   7. builds the 64-bit product once more for releases over HTTPS
#      (build/windows-x64-https: BRINDAX_RELEASE_URL=https://127.0.0.1:<port>/kelmor/,
#      the port one above the FTP test port), whose WinHTTP client the
#      process-level tests run against a local nginx (the same run as 6).
# Build directories are reused when present. Exits non-zero when any step
# fails, after a summary of every step.
#
# Environment: BRINDAX_JOBS (build and test jobs, default 2);
# BRINDAX_WINDOWS_BUILD_SUFFIX appended to every build directory's name
# (build/windows-x64<suffix>, ...), for a run beside the usual one.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
root=$PWD
jobs=${BRINDAX_JOBS:-2}
started=$(date +%s)
suffix=${BRINDAX_WINDOWS_BUILD_SUFFIX:-}
x86=build/windows-x86$suffix
x64=build/windows-x64$suffix
e2e=build/windows-x64$suffix-e2e
https=build/windows-x64$suffix-https

declare -a step_names=() step_results=()
failed=0
record() {  # record <name> <status>
  step_names+=("$1")
  if [ "$2" -eq 0 ]; then step_results+=("ok"); else step_results+=("FAILED"); failed=1; fi
}
step() {  # step <name> <command...>: runs and records a step
  local name=$1; shift
  local t0=$SECONDS
  echo
  echo "=== $name"
  "$@"
  local status=$?
  echo "--- $name: $([ $status -eq 0 ] && echo ok || echo "FAILED ($status)") ($((SECONDS - t0)) s)"
  record "$name" $status
  return $status
}
skip() {
  step_names+=("$1"); step_results+=("skipped ($2)"); failed=1
}
summary() {
  echo
  echo "=== Windows summary"
  local i
  for i in "${!step_names[@]}"; do
    printf '  %-48s %s\n' "${step_names[$i]}" "${step_results[$i]}"
  done
  local total=$(( $(date +%s) - started ))
  if [ $failed -eq 0 ]; then
    echo "WINDOWS TESTS PASSED (${total} s)"
  else
    echo "WINDOWS TESTS FAILED (${total} s)"
  fi
}

# --- 1. packages -----------------------------------------------------------------
install_packages() {
  local packages=(cmake ninja-build dpkg-dev libzip-dev libsodium-dev libzstd-dev libdivsufsort-dev googletest
                  make autoconf automake libtool minisign
                  gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix
                  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
                  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
                  libz-mingw-w64-dev wine64 xvfb xdotool python3 python3-pyftpdlib
                  nginx-light openssl)
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && { echo "all present"; return 0; }
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq || return 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null || return 1
}

# --- 2.-3. builds ------------------------------------------------------------------
build_preset() {  # build_preset <preset> <build directory>
  cmake --preset "$1" -B "$2" >"$2.configure.log" 2>&1 || {
    cat "$2.configure.log"; return 1; }
  cmake --build "$2" -j "$jobs"
}

# --- 4. unit tests under wine64 --------------------------------------------------
# On a private X display, so that the tests of the message requester can
# make real windows; the Wine session is started afresh on it.
xvfb_pid=""
stop_xvfb() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=""
  fi
}
trap 'stop_xvfb' EXIT

unit_tests() {
  local display_file status
  # Make the Wine prefix first (a minute on a slow machine), outside the
  # time limits of the test discovery.
  "$x64/wine-run.sh" cmd /c "exit 0" </dev/null >/dev/null 2>&1 || {
    echo "Wine does not run ($x64/wine-run.sh)"; return 1; }
  display_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  local i
  for i in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  local display
  display=$(tr -d '[:space:]' <"$display_file")
  rm -f "$display_file"
  [ -n "$display" ] || { echo "Xvfb did not start"; stop_xvfb; return 1; }
  stop_wine
  DISPLAY=":$display" ctest --test-dir "$x64" --output-on-failure --timeout 120 -j "$jobs"
  status=$?
  stop_wine
  stop_xvfb
  # GoogleTest's skipped cases count as passed for CTest: name them.
  local log=$x64/Testing/Temporary/LastTest.log
  local skipped
  skipped=$(sed -n -E 's/^\[  SKIPPED \] ([A-Za-z0-9_.\/]+)$/\1/p' "$log" 2>/dev/null | sort -u)
  if [ -n "$skipped" ]; then
    echo "skipped by the tests themselves (reported as passed by CTest):"
    printf '  %s\n' $skipped
  fi
  return $status
}

# --- 6. process-level tests under wine64 ------------------------------------------
test_port() {
  sed -n 's/^BRINDAX_TEST_FTP_PORT:[A-Z]*=//p' "$x64/CMakeCache.txt"
}

build_product_for() {  # build_product_for <build directory> <cmake -D options...>
  local dir=$1; shift
  cmake --preset windows-x64 -B "$dir" \
    -DBRINDAX_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release "$@" \
    -DBRINDAX_LIBZIP_PREFIX="$root/$x64/_deps/libzip" \
    -DBRINDAX_SODIUM_PREFIX="$root/$x64/_deps/libsodium" \
    -DBRINDAX_ZSTD_PREFIX="$root/$x64/_deps/libzstd" \
    -DBRINDAX_DIVSUFSORT_PREFIX="$root/$x64/_deps/libdivsufsort" \
    >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs" --target brindax-updater
}

build_e2e_product() {
  local port
  port=$(test_port)
  [ -n "$port" ] || { echo "no BRINDAX_TEST_FTP_PORT in $x64"; return 1; }
  build_product_for "$e2e" -DBRINDAX_FTP_HOST=127.0.0.1 -DBRINDAX_FTP_PORT="$port"
}

# The product for releases over HTTPS from nginx on 127.0.0.1 (WinHTTP).
build_https_product() {
  local port
  port=$(test_port)
  [ -n "$port" ] || { echo "no BRINDAX_TEST_FTP_PORT in $x64"; return 1; }
  build_product_for "$https" -DBRINDAX_RELEASE_URL="https://127.0.0.1:$((port + 1))/kelmor/"
}

e2e_tests() {
  local extra=()
  [ "$https_built" -eq 0 ] && extra=(--https-build-dir "$https")
  /usr/bin/python3 tests/windows/wine_e2e.py --build-dir "$x64" \
    --product "$e2e/bin/brindax-updater.exe" "${extra[@]}"
}

stop_wine() {
  local prefix
  prefix=$(sed -n 's/^BRINDAX_WINEPREFIX:PATH=//p' "$x64/CMakeCache.txt" 2>/dev/null)
  if [ -n "$prefix" ] && [ -d "$prefix" ]; then
    WINEPREFIX=$prefix /usr/lib/wine/wineserver64 -k 2>/dev/null
    WINEPREFIX=$prefix timeout 30 /usr/lib/wine/wineserver64 -w 2>/dev/null
  fi
  return 0
}

mkdir -p build
if ! step "install packages" install_packages; then
  summary; exit 1
fi
step "libzip for i686 (Debian source)" \
  scripts/windows/build-libzip.sh i686 "$x86/_deps/libzip"
x86_lib=$?
step "libzip for x86_64 (Debian source)" \
  scripts/windows/build-libzip.sh x86_64 "$x64/_deps/libzip"
x64_lib=$?
step "libsodium for i686 (Debian source)" \
  scripts/windows/build-libsodium.sh i686 "$x86/_deps/libsodium" || x86_lib=1
step "libsodium for x86_64 (Debian source)" \
  scripts/windows/build-libsodium.sh x86_64 "$x64/_deps/libsodium" || x64_lib=1
step "libzstd for i686 (Debian source)" \
  scripts/windows/build-libzstd.sh i686 "$x86/_deps/libzstd" || x86_lib=1
step "libzstd for x86_64 (Debian source)" \
  scripts/windows/build-libzstd.sh x86_64 "$x64/_deps/libzstd" || x64_lib=1
step "libdivsufsort for i686 (Debian source)" \
  scripts/windows/build-libdivsufsort.sh i686 "$x86/_deps/libdivsufsort" || x86_lib=1
step "libdivsufsort for x86_64 (Debian source)" \
  scripts/windows/build-libdivsufsort.sh x86_64 "$x64/_deps/libdivsufsort" || x64_lib=1

if [ $x86_lib -eq 0 ]; then
  step "build windows-x86 (product)" build_preset windows-x86 "$x86"
  x86_built=$?
else
  skip "build windows-x86 (product)" "no libzip, libsodium, libzstd or libdivsufsort"; x86_built=1
fi
if [ $x64_lib -eq 0 ]; then
  step "build windows-x64 (with tests)" build_preset windows-x64 "$x64"
  x64_built=$?
else
  skip "build windows-x64 (with tests)" "no libzip, libsodium, libzstd or libdivsufsort"; x64_built=1
fi

if [ $x64_built -eq 0 ]; then
  step "unit tests under wine64 (ctest)" unit_tests
else
  skip "unit tests under wine64 (ctest)" "no build"
fi
if [ $x86_built -eq 0 ]; then
  step "static check of the 32-bit product" \
    scripts/windows/check-product.sh "$x86/bin/brindax-updater.exe"
else
  skip "static check of the 32-bit product" "no build"
fi
if [ $x64_built -eq 0 ]; then
  step "static check of the 64-bit build" \
    scripts/windows/check-product.sh --arch amd64 "$x64/bin/brindax-updater.exe"
  step "build windows-x64-https (product for https://127.0.0.1)" build_https_product
  https_built=$?
  if [ "$https_built" -eq 0 ]; then
    step "static check of the 64-bit HTTPS build" \
      scripts/windows/check-product.sh --arch amd64 --https "$https/bin/brindax-updater.exe"
  else
    skip "static check of the 64-bit HTTPS build" "no build"
  fi
  if step "build windows-x64-e2e (product for 127.0.0.1)" build_e2e_product; then
    step "process tests under wine64 + Xvfb" e2e_tests
    stop_wine
  else
    skip "process tests under wine64 + Xvfb" "no build"
  fi
else
  skip "static check of the 64-bit build" "no build"
  skip "build windows-x64-https (product for https://127.0.0.1)" "no build"
  skip "static check of the 64-bit HTTPS build" "no build"
  skip "build windows-x64-e2e (product for 127.0.0.1)" "no build"
  skip "process tests under wine64 + Xvfb" "no build"
fi

summary
exit $failed
