#!/usr/bin/env bash
# Builds libzip for a Windows cross build from Debian's own source package,
# the same version as the installed Linux libzip-dev, and installs it as a
# static library into a prefix inside the build tree.
#
#   scripts/windows/build-libzip.sh <i686|x86_64> <prefix>
#
# The source is fetched by fetch-debian-source.sh (apt-get with a private
# configuration made from the machine's own source entries). Environment and
# the steps shared with the other libraries: library-build.sh. Nothing is
# done when the prefix already holds this version.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/library-build.sh"
library_setup libzip libzip-dev "$@"
config="$prefix/lib/cmake/libzip/libzip-config.cmake"
library_exit_if_current "$config"
[ -f "/usr/$host/lib/libz.a" ] || die "libz.a for $arch missing (apt-get install libz-mingw-w64-dev)"

src_dir=$("$here/fetch-debian-source.sh" libzip-dev "$source_cache") || die "no libzip source"
library_cmake_build "$src_dir" \
  -DCMAKE_POLICY_DEFAULT_CMP0074=NEW \
  -DBUILD_SHARED_LIBS=OFF \
  -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
  -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
  -DENABLE_OPENSSL=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF \
  -DENABLE_COMMONCRYPTO=OFF -DENABLE_WINDOWS_CRYPTO=OFF
library_finish "$config" "$prefix/lib/libzip.a"
