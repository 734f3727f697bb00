#!/usr/bin/env bash
# Installs the Debian packages that building and testing the updater on Linux
# need, when they are missing. Runs apt-get update only when something must be
# installed.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev googletest
          libzip-dev zipcmp zipmerge ziptool zlib1g-dev python3-pyftpdlib zip unzip curl
          libsodium-dev minisign libzstd-dev zstd clang libclang-rt-dev llvm
          libcurl4-openssl-dev libssl-dev nginx-light tinyproxy openssl stress-ng strace libdivsufsort-dev)
# (zipcmp, zipmerge and ziptool: libzip's CMake package names them. clang and
# libclang-rt-dev are the distribution's default version of each, so the
# compiler matches its sanitizer and libFuzzer runtimes; llvm brings
# llvm-symbolizer for readable sanitizer stacks. libssl-dev: the HTTPS
# client loads the system's trust store through OpenSSL. nginx-light, tinyproxy and
# openssl serve the HTTPS tests on loopback. stress-ng loads the cores while
# the bounds of the transfer tests are tried on a busy machine. strace shows
# the order of an install's flushes and renames, and holds a rename while a
# test kills the run.)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
