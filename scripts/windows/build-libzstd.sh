#!/usr/bin/env bash
# Builds libzstd for a Windows cross build from Debian's own source package,
# the same version as the installed Linux libzstd-dev, and installs it as a
# static library into a prefix inside the build tree.
#
#   scripts/windows/build-libzstd.sh <i686|x86_64> <prefix>
#
# The source is fetched by fetch-debian-source.sh and built with its own
# CMake project (build/cmake) out of the source tree, so both targets share
# one cached source: the library alone, single-threaded (the updater runs
# one frame per worker itself), without the legacy formats. Environment and
# the steps shared with the other libraries: library-build.sh. Nothing is
# done when the prefix already holds this version.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/library-build.sh"
library_setup libzstd libzstd-dev "$@"
library_exit_if_current "$prefix/lib/libzstd.a"

# The installed version's source first; when the archive no longer serves
# it (a security update's source pool may be out of reach), the other
# versions the package lists have, newest first.
src_dir=""
for version in "$src_ver" $(apt-cache madison libzstd-dev 2>/dev/null | awk '{print $3}'); do
  if src_dir=$("$here/fetch-debian-source.sh" libzstd-dev "$source_cache" "$version"); then
    [ "$version" = "$src_ver" ] || log "the source of $src_ver is not served; building $version"
    src_ver=$version
    break
  fi
  src_dir=""
done
[ -n "$src_dir" ] || die "no libzstd source"
[ -f "$src_dir/build/cmake/CMakeLists.txt" ] || die "no build/cmake/CMakeLists.txt in $src_dir"
library_cmake_build "$src_dir/build/cmake" \
  -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_SHARED=OFF \
  -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF -DZSTD_BUILD_CONTRIB=OFF \
  -DZSTD_MULTITHREAD_SUPPORT=OFF -DZSTD_LEGACY_SUPPORT=OFF
library_finish "$prefix/lib/libzstd.a" "$prefix/include/zstd.h"
